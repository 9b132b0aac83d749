// libavformat reading a container from a descriptor we opened and checked
// ourselves: it opens no file, no URL and no second file of its own, tries
// only the demuxers of the containers the catalogue holds, reads a bounded
// amount and gives up after a time-out.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <memory>

#include "server/media_probe.h"

struct DemuxSource {
  int fd = -1;
  int64_t pos = 0, size = 0;
  std::chrono::steady_clock::time_point deadline;
};

struct AvIoDeleter {
  void operator()(AVIOContext* io) const;
};
struct AvFormatDeleter {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};

// An opened container; `format` is null when libavformat could not read it.
struct Demuxer {
  DemuxSource source;
  std::unique_ptr<AVIOContext, AvIoDeleter> io;
  std::unique_ptr<AVFormatContext, AvFormatDeleter> format;
};

// Opens the container on `fd` (read with pread: the descriptor's offset is
// left alone). The time-out of `limits` runs from here, for every later read.
bool OpenDemuxer(int fd, const ProbeLimits& limits, Demuxer* d);

// The first stream of `type` that is not an attached picture, null for none.
const AVStream* BestStream(const AVFormatContext* f, AVMediaType type);
