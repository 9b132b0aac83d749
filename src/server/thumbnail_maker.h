// JPEG_TN thumbnails: at most 160 x 160, baseline JPEG, the picture's EXIF
// orientation applied and its aspect kept. Decoded with libjpeg-turbo's
// scaled decode, which reads a camera picture at an eighth of its size and so
// never holds the whole picture in memory (chosen by bench/thumbnail_bench).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr int kThumbnailBox = 160;
// Pictures larger than this are refused by their header, before any decoding:
// a small file can claim a picture that would take gigabytes to hold.
inline constexpr uint64_t kMaxThumbnailSourcePixels = 120'000'000;
inline constexpr unsigned kMaxThumbnailSourceSide = 20'000;
// Source files larger than this are not read (no camera writes such a JPEG).
inline constexpr uint64_t kMaxThumbnailSourceBytes = 96ull * 1024 * 1024;

struct ThumbnailResult {
  std::string jpeg;   // the thumbnail; empty when none could be made
  std::string error;  // why not, for the log
  int width = 0, height = 0;
};

// From the JPEG file open on `fd` (read from its start; the caller keeps the
// descriptor). Anything that is not a whole, sane JPEG gives no thumbnail.
ThumbnailResult MakeThumbnailFromFd(int fd);
// From a JPEG held in memory (an embedded cover, say).
ThumbnailResult MakeThumbnail(const unsigned char* data, size_t size);

// True when `data` starts a JPEG whose header reads and whose size a
// thumbnail may be made from (nothing is decoded): an embedded cover is
// offered as a thumbnail only then.
bool JpegHeaderFits(const unsigned char* data, size_t size);

// The size of a `width` x `height` picture made to fit the thumbnail box,
// aspect kept, never enlarged.
void FitThumbnailBox(int width, int height, int* fitWidth, int* fitHeight);
// The JPEG_TN of an RGB picture (3 bytes a pixel, rows packed), shrunk to
// fit the box where it is larger.
ThumbnailResult ThumbnailFromRgb(const unsigned char* rgb, int width, int height);

// The EXIF orientation (1 to 8) in the APP1 segment `data` ("Exif\0\0" and a
// TIFF structure), 1 when there is none or it cannot be read.
int ExifOrientation(const unsigned char* data, size_t size);
