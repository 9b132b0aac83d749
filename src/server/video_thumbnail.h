// Video thumbnails: a JPEG_TN of a frame about a tenth into the video.
//
// A video file is hostile input to a large decoder, so it is decoded in a
// short-lived child process of our own, never in the server: the child gets
// the descriptor the at-open share check gave (as its standard input) and a
// pipe (as its standard output), limits its own address space and CPU time
// before it reads a byte, and is killed when it takes too long. A crash, a
// hang or a runaway allocation of the decoder costs one thumbnail, not the
// server. The thumbnail workers start the children, so no more than their
// count run at once.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "server/thumbnail_maker.h"

// The argument that makes MediaServer the child (see RunVideoThumbnailHelper).
inline constexpr const char* kVideoThumbnailMode = "--video-thumbnail";

struct VideoThumbnailer {
  // The child's program and arguments; empty: videos get no thumbnail.
  std::vector<std::string> command;
  std::chrono::milliseconds timeout{10000};
};

// The thumbnail of the video open on `fd` (the caller keeps the descriptor),
// made by the child; "" when it gave none in time.
std::string MakeVideoThumbnail(int fd, const VideoThumbnailer& how);

// The child: limits itself, makes the thumbnail of the video on its standard
// input and writes it to its standard output. Its exit status is 0 when it did.
int RunVideoThumbnailHelper();

// The thumbnail of the video open on `fd`, made in this process (the child's
// work; also for tools that decode trusted files).
ThumbnailResult VideoFrameThumbnail(int fd);
