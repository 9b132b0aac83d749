// What the server tells clients about a file beyond its catalogue row, read
// from the file itself (see media_probe.h) on a thread of its own, so that
// Browse never waits for the disk: it answers with what is known, and with
// the catalogue's texts until the file has been read.
#pragma once

#include <condition_variable>
#include <memory>
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

// Reads on a thread of the lowest CPU priority (SCHED_IDLE): what clients
// ask for comes first, and a freshly shared library is read in the time left
// over.
class MediaInfoCache {
 public:
  MediaInfoCache();
  ~MediaInfoCache();
  MediaInfoCache(const MediaInfoCache&) = delete;
  MediaInfoCache& operator=(const MediaInfoCache&) = delete;

  // Queues the files of `content` that have not been read yet, and forgets
  // the files it no longer holds. `content` stays alive until the next call.
  void Prepare(const Content& content);
  // What is known of `file`: nothing until it has been read. A file of the
  // prepared content is found by its place in it (Browse asks for every item
  // of a page); any other by its path, size and time.
  MediaInfo Get(const MediaFile& file);

 private:
  using Known = std::shared_ptr<const MediaInfo>;
  struct Job {
    std::string key, path, realRoot;
    MediaKind kind;
    size_t index;  // in the prepared content's files
  };
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::unordered_map<std::string, Known> known_;  // by path, size and time
  // The prepared content's files, and what is known of each by its index.
  const MediaFile* files_ = nullptr;
  std::vector<Known> byIndex_;
  uint64_t generation_ = 0;  // of the last Prepare; jobs of earlier ones fill no index
  std::vector<Job> queue_;
  bool stop_ = false;
  std::thread thread_;
};
