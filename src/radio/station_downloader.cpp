#include "radio/station_downloader.h"

#include <algorithm>
#include <utility>

StationDownloader::StationDownloader(std::function<void()> wake, DownloadLimits limits,
                                     int parallel)
    : wake_(std::move(wake)), limits_(limits) {
  for (int i = 0; i < std::max(1, parallel); ++i) threads_.emplace_back([this] { Run(); });
}

StationDownloader::~StationDownloader() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  cancel_ = true;
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
  // Unnamed downloads are deleted with finished_.
}

bool StationDownloader::Submit(const std::string& link, const std::string& folder) {
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxWaiting) return false;
    queue_.emplace_back(link, folder);
  }
  work_.notify_one();
  return true;
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

int StationDownloader::Pending() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(queue_.size()) + running_;
}

bool StationDownloader::Idle() {
  std::lock_guard lock(mutex_);
  return queue_.empty() && running_ == 0 && finished_.empty();
}

void StationDownloader::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    auto [link, folder] = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lock.unlock();
    Finished done{link, {}, nullptr};
    done.result = DownloadPlaylist(link, folder, limits_, &done.download, &cancel_);
    lock.lock();
    --running_;
    if (stop_) return;
    finished_.push_back(std::move(done));
    lock.unlock();
    wake_();
    lock.lock();
  }
}
