#include "radio/station_downloader.h"

#include <utility>

StationDownloader::StationDownloader(std::function<void()> wake, DownloadLimits limits)
    : wake_(std::move(wake)), limits_(limits), thread_([this] { Run(); }) {}

StationDownloader::~StationDownloader() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  cancel_ = true;
  work_.notify_all();
  thread_.join();
  // Unnamed downloads are deleted with finished_.
}

void StationDownloader::Submit(const std::string& link, const std::string& folder) {
  {
    std::lock_guard lock(mutex_);
    queue_.emplace_back(link, folder);
  }
  work_.notify_one();
}

std::vector<StationDownloader::Finished> StationDownloader::TakeFinished() {
  std::lock_guard lock(mutex_);
  return std::exchange(finished_, {});
}

std::vector<StationResult> StationDownloader::NameFinished() {
  std::vector<StationResult> results;
  for (Finished& f : TakeFinished())
    results.push_back(f.result.ok() ? NameStation(std::move(f.download)) : f.result);
  return results;
}

bool StationDownloader::Idle() {
  std::lock_guard lock(mutex_);
  return queue_.empty() && !running_ && finished_.empty();
}

void StationDownloader::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    auto [link, folder] = std::move(queue_.front());
    queue_.pop_front();
    running_ = true;
    lock.unlock();
    Finished done{link, {}, nullptr};
    done.result = DownloadPlaylist(link, folder, limits_, &done.download, &cancel_);
    lock.lock();
    running_ = false;
    if (stop_) return;
    finished_.push_back(std::move(done));
    lock.unlock();
    wake_();
    lock.lock();
  }
}
