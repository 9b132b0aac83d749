// Small real videos for the tests, encoded with libavcodec and written with
// libavformat.
#pragma once

#include <array>
#include <functional>
#include <string>

namespace video {

// The colour (RGB) of every pixel of frame `index`.
using FrameColour = std::function<std::array<unsigned char, 3>(int index)>;

struct Clip {
  int width = 320, height = 240;
  int frames = 100, fps = 25;
  int keyEvery = 5;          // a key frame every so many frames
  const char* format = "avi";
  const char* codec = "mpeg4";
};

// Writes the clip to `path` (its folder made when missing); false when it cannot.
bool Write(const std::string& path, const Clip& clip, const FrameColour& colour);

}  // namespace video
