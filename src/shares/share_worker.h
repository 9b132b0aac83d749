// The one thread that changes the shared folders for a long-lived engine: an
// Add, a Delete, a Delete All, a Rescan, the check for folders shared by
// another tarvel and the change monitor's changes run on it one after
// another, in the order they were asked for, so that no two of them ever
// interleave and the caller (the panel's user-interface thread, the
// monitor's watcher) never waits on the catalogue lock or the disk.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class ShareWorker {
 public:
  ShareWorker() = default;
  // Runs what is queued already, then ends the thread.
  ~ShareWorker();
  ShareWorker(const ShareWorker&) = delete;
  ShareWorker& operator=(const ShareWorker&) = delete;

  // Queues `task`; the thread starts with the first one. Tasks are numbered
  // 1, 2, ... in the order posted; returns this one's number.
  uint64_t Post(std::function<void()> task);
  // The number of the task posted last (0 before the first).
  uint64_t LastPosted() const;
  // Returns once every task posted before the call has run (not those
  // posted meanwhile: the monitor may go on posting).
  void WaitIdle();
  // Returns once task `number`, and every one before it, has run.
  void WaitFor(uint64_t number);
  // Whether the caller is the worker's own thread.
  bool OnThread() const;
  // Whether a task runs or waits.
  bool Busy() const;

 private:
  void Run();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable progress_;
  std::deque<std::function<void()>> queue_;
  uint64_t posted_ = 0;
  uint64_t done_ = 0;
  bool running_ = false;  // a task is being run
  bool ending_ = false;
  std::thread thread_;
};
