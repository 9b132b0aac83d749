// What the server tells clients about a file beyond its catalogue row, read
// from the file itself (see media_probe.h) on a thread of its own, so that
// Browse never waits for the disk: it answers with what is known, and with
// the catalogue's texts until the file has been read.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/content.h"

// The texts an item shows: the tag's own where it has them, else the
// catalogue's (lower-cased, and "" where it stored its placeholder).
struct ShownTexts {
  const std::string& title;
  const std::string& artist;
  const std::string& album;
  const std::string& genre;
};
ShownTexts TextsOf(const MediaFile& file, const MediaInfo& info);

// The details of a `res` element as its attributes, each with a leading space:
// duration, bitrate (bytes per second), resolution, sampleFrequency, nrAudioChannels.
std::string ResDetails(const MediaInfo& info);

class MediaInfoCache {
 public:
  MediaInfoCache();
  ~MediaInfoCache();
  MediaInfoCache(const MediaInfoCache&) = delete;
  MediaInfoCache& operator=(const MediaInfoCache&) = delete;

  // Queues the files of `content` that have not been read yet, and forgets
  // the files it no longer holds.
  void Prepare(const Content& content);
  // What is known of `file`: nothing until it has been read.
  MediaInfo Get(const MediaFile& file);

 private:
  struct Job {
    std::string key, path, realRoot;
    MediaKind kind;
  };
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::unordered_map<std::string, MediaInfo> known_;  // by path, size and time
  std::vector<Job> queue_;
  bool stop_ = false;
  std::thread thread_;
};
