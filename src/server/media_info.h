// What the server tells clients about a file beyond its catalogue row: its
// playing time and its DLNA profile, read from the file itself (MP3 frame
// headers and their Xing/Info/VBRI counts, WAV and AVI headers, the MP4 movie
// header, MPEG program stream clocks, TagLib for WMA and AIFF, the JPEG frame
// header) on a thread of its
// own, so that Browse never waits for the disk.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/content.h"

// Read from the file at `path` (its kind told by the extension).
MediaInfo ReadMediaInfo(const std::string& path);

class MediaInfoCache {
 public:
  MediaInfoCache();
  ~MediaInfoCache();
  MediaInfoCache(const MediaInfoCache&) = delete;
  MediaInfoCache& operator=(const MediaInfoCache&) = delete;

  // Queues the files of `content` that have not been read yet.
  void Prepare(const Content& content);
  // What is known of `file`: nothing until it has been read.
  MediaInfo Get(const MediaFile& file);

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::unordered_map<std::string, MediaInfo> known_;  // by path and size
  std::vector<std::pair<std::string, std::string>> queue_;  // (key, path)
  bool stop_ = false;
  std::thread thread_;
};
