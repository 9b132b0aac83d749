// Downloads of dropped links on threads of their own, so that a drop returns
// at once and the window stays responsive. Up to kParallel links download
// side by side, each with its own time-out, so that a link whose server never
// answers holds up no other; later ones wait in a bounded queue. The owner is
// woken (on a download thread) when a download has finished, and then names
// the finished ones on its own thread, in the order they finished.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "radio/station_store.h"

class StationDownloader {
 public:
  static constexpr int kParallel = 4;
  static constexpr size_t kMaxWaiting = 100;

  struct Finished {
    std::string link;
    StationResult result;                          // of the download
    std::unique_ptr<DownloadedPlaylist> download;  // set when it succeeded
  };

  // `wake` must only post work to the owner's thread: it runs on a download
  // thread.
  explicit StationDownloader(std::function<void()> wake, DownloadLimits limits = {},
                             int parallel = kParallel);
  // Cancels the running downloads and forgets queued ones; nothing of them
  // is left in the station folder.
  ~StationDownloader();
  StationDownloader(const StationDownloader&) = delete;
  StationDownloader& operator=(const StationDownloader&) = delete;

  // Queues the download of `link` into `folder`; returns at once. False (and
  // nothing queued) when kMaxWaiting links wait already.
  bool Submit(const std::string& link, const std::string& folder);

  // The downloads finished since the last call, in the order they finished.
  std::vector<Finished> TakeFinished();

  // Names every finished download (NameStation); the results, in the order
  // the downloads finished, failures of the downloads included.
  std::vector<StationResult> NameFinished();

  // Links queued or downloading, not yet finished.
  int Pending();
  // Nothing queued, running or waiting to be taken.
  bool Idle();

 private:
  void Run();

  std::function<void()> wake_;
  DownloadLimits limits_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::deque<std::pair<std::string, std::string>> queue_;  // link, folder
  std::vector<Finished> finished_;
  int running_ = 0;
  bool stop_ = false;
  std::atomic<bool> cancel_{false};
  std::vector<std::thread> threads_;  // last: started once everything above exists
};
