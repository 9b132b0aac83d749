// The thumbnails the server offers, kept in a folder of the data folder:
// made on first request by a few workers of their own (never on the caller's
// thread), then read from the folder, across restarts too. The folder is
// bounded in size (the least recently used go first), and a thumbnail whose
// picture is no longer catalogued goes when the caller says which are.
//
// A thumbnail is known by a key of 16 hex digits (a path hash) and is
// stamped with its picture's modification time: a changed picture gets a
// new one.
#pragma once

#include <time.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class Thumbnails {
 public:
  static constexpr uint64_t kDefaultMaxBytes = 64ull * 1024 * 1024;
  static constexpr unsigned kDefaultWorkers = 2;
  // Distinct pictures waiting for a worker; more requests are refused.
  static constexpr size_t kMaxWaiting = 256;

  // Makes `folder` when it is missing. When it cannot be written, the server
  // goes on without thumbnails: Enabled() is false and stderr says so once.
  explicit Thumbnails(std::string folder, uint64_t maxBytes = kDefaultMaxBytes,
                      unsigned workers = kDefaultWorkers);
  ~Thumbnails();  // waits for the thumbnails being made; the waiting ones get none
  Thumbnails(const Thumbnails&) = delete;
  Thumbnails& operator=(const Thumbnails&) = delete;

  bool Enabled() const { return enabled_; }

  // The kept thumbnail of the picture open on `fd`, when it is of this
  // version of the picture (one small read; no decoding).
  std::optional<std::string> Cached(const std::string& key, int fd);

  // The JPEG_TN of the file open on `fd` (taken over: closed when done),
  // made by `make` from that descriptor (by default: the file is a JPEG).
  // `done` runs on a worker, with the thumbnail or "" when none can be made.
  // False, without calling `done`, when too many files are waiting. A file
  // that gave none is not tried again until it changes.
  using Done = std::function<void(const std::string& jpeg)>;
  using Maker = std::function<std::string(int fd)>;
  bool Request(const std::string& key, int fd, Done done);
  bool Request(const std::string& key, int fd, Maker make, Done done);

  // Drops every kept thumbnail whose key is not in `live` (on a worker).
  void Retain(std::unordered_set<std::string> live);

  // What the folder holds now.
  uint64_t Bytes();
  size_t Count();

 private:
  struct Job {
    std::string key;
    int fd = -1;
    Maker make;
    std::vector<Done> waiting;
    std::string result;
  };
  struct Entry {
    uint64_t bytes = 0;
    uint64_t use = 0;  // larger: used more recently
  };

  void Load();
  void Run();
  void Make(Job& job);
  void Keep(const std::string& key, const std::string& jpeg, const timespec& time);
  void Touch(const std::string& key);
  void EvictLocked();
  void DropLocked(const std::string& key);
  std::string PathOf(const std::string& key) const;
  void SayOnce(const std::string& what);

  std::string folder_;
  uint64_t maxBytes_;
  bool enabled_ = false;
  bool said_ = false;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::unordered_map<std::string, std::shared_ptr<Job>> pending_;  // queued or being made
  std::unordered_map<std::string, Entry> entries_;
  std::map<uint64_t, std::string> byUse_;
  uint64_t bytes_ = 0, nextUse_ = 1;
  std::optional<std::unordered_set<std::string>> retain_;
  // Files that gave no thumbnail, by key, with the time of the version tried.
  std::unordered_map<std::string, timespec> failed_;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

// True when the key is 16 lower-case hex digits.
bool IsThumbnailKey(const std::string& key);
