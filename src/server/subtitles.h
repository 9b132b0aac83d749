// Subtitle files beside videos: "film.srt" (or .ass, .ssa, .smi, .vtt, the
// name in any case) next to "Film.mp4". Found when a client browses, from
// one listing of the video's folder, kept until the folder changes; the disk
// is never walked for them.
#pragma once

#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "server/content.h"

struct Subtitle {
  std::string path;       // the file beside the video
  std::string extension;  // lower case, with the dot
};

// The MIME type of a subtitle by its extension; null for other files.
const char* SubtitleMimeType(const std::string& extension);
// The name used for it by televisions ("srt", "ass", ...).
std::string SubtitleType(const std::string& extension);
// "/subtitles/<video hash><subtitle extension>".
std::string SubtitlePath(const MediaFile& video, const Subtitle& subtitle);

class SubtitleFinder {
 public:
  // Folders remembered; names read from one folder.
  static constexpr size_t kMaxFolders = 4096;
  static constexpr size_t kMaxNames = 20000;

  // The subtitle of `video`, when one lies beside it inside its shared
  // folder (a link that leads out of it does not count). Thread-safe.
  std::optional<Subtitle> Find(const MediaFile& video);

 private:
  struct Folder {
    timespec mtime{};
    // By lower-case base name: the best subtitle of that name.
    std::unordered_map<std::string, Subtitle> byName;
  };
  Folder List(const std::string& dir, const std::string& realRoot);

  std::mutex mutex_;
  std::unordered_map<std::string, Folder> folders_;
};
