// Reads what a media file says about itself: playing time, bitrate,
// resolution, sample rate, channels, the tag's own texts and whether it
// carries a picture. Containers are read by libavformat from a descriptor we
// opened and checked ourselves: libavformat opens no file, no URL and no
// second file of its own, reads a bounded amount and gives up after a
// time-out. JPEG pictures are read from their frame header alone (a picture
// is never decoded here).
#pragma once

#include <chrono>
#include <string>

#include "server/content.h"

// Limits of one read.
struct ProbeLimits {
  std::chrono::milliseconds timeout{5000};
  int64_t probeBytes = 2 << 20;     // bytes looked at to tell the format and its streams
  int64_t analyzeMicros = 5000000;  // media time looked at for the streams' details
};

// The details of the file at `path` (its kind told by `kind` and the
// extension). A file that cannot be opened or read is left without details.
MediaInfo ProbeMedia(const std::string& path, const std::string& realRoot, MediaKind kind,
                     const ProbeLimits& limits = {});

// The largest embedded picture handed out.
inline constexpr size_t kMaxEmbeddedArt = 8 << 20;

// The bytes of the picture embedded in the file at `path` (the front cover
// where there are several, else the first), and its MIME type; false when it
// has none, or one larger than kMaxEmbeddedArt.
bool ReadEmbeddedArt(const std::string& path, const std::string& realRoot, std::string* bytes,
                     std::string* mime, const ProbeLimits& limits = {});
// The same from a file we opened already (read with pread).
bool ReadEmbeddedArtFromFd(int fd, std::string* bytes, std::string* mime,
                           const ProbeLimits& limits = {});

// The JPEG_TN of the JPEG picture embedded in the file open on `fd`; "" when
// it has none, or one that does not decode.
std::string EmbeddedCoverThumbnail(int fd);
