// Playing time of audio files, read from the files themselves (MP3 frame
// headers and their Xing/Info/VBRI counts, WAV headers) on a thread of its
// own, so that Browse never waits for the disk.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/content.h"

// Seconds, or -1 when the file is not one we can time.
int ReadDuration(const std::string& path);

class DurationCache {
 public:
  DurationCache();
  ~DurationCache();
  DurationCache(const DurationCache&) = delete;
  DurationCache& operator=(const DurationCache&) = delete;

  // Queues the audio files of `content` that have no known duration yet.
  void Prepare(const Content& content);
  // The known duration, or -1 (not yet read, or unknown).
  int Get(const MediaFile& file);

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::unordered_map<std::string, int> seconds_;  // by path and size
  std::vector<std::pair<std::string, std::string>> queue_;  // (key, path)
  bool stop_ = false;
  std::thread thread_;
};
