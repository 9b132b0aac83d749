// JPEG pictures for the tests, made and read with libjpeg.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace jpeg {

// An RGB colour of the pixel at (x, y).
using Paint = std::function<void(int x, int y, unsigned char rgb[3])>;

// A `width` x `height` JPEG; with an EXIF orientation tag when `orientation`
// is not 0.
std::string Make(int width, int height, int orientation = 0, const Paint& paint = {});

struct Picture {
  int width = 0, height = 0;
  bool baseline = false;  // the frame is SOF0 or SOF1 (not progressive)
  std::vector<unsigned char> rgb;
  const unsigned char* At(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};
// Decoded; width 0 when `data` is not a JPEG.
Picture Read(const std::string& data);

}  // namespace jpeg
