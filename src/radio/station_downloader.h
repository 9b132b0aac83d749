// Downloads of dropped links, one after the other on a thread of its own, so
// that a drop returns at once and the window stays responsive. The owner is
// woken (on the download thread) when a download has finished, and then
// names the finished ones on its own thread, in the order of the drops.
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
  struct Finished {
    std::string link;
    StationResult result;                          // of the download
    std::unique_ptr<DownloadedPlaylist> download;  // set when it succeeded
  };

  // `wake` must only post work to the owner's thread: it runs on the
  // download thread.
  explicit StationDownloader(std::function<void()> wake, DownloadLimits limits = {});
  // Cancels the running download and forgets queued ones; nothing of them is
  // left in the station folder.
  ~StationDownloader();
  StationDownloader(const StationDownloader&) = delete;
  StationDownloader& operator=(const StationDownloader&) = delete;

  // Queues the download of `link` into `folder`; returns at once.
  void Submit(const std::string& link, const std::string& folder);

  // The downloads finished since the last call, in the order of Submit.
  std::vector<Finished> TakeFinished();

  // Names every finished download (NameStation); the results, in order,
  // failures of the downloads included.
  std::vector<StationResult> NameFinished();

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
  bool running_ = false;
  bool stop_ = false;
  std::atomic<bool> cancel_{false};
  std::thread thread_;  // last: started once everything above exists
};
