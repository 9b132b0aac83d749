// The one thread that changes the shared folders for a long-lived engine: an
// Add, a Delete, a Delete All, a Rescan and the check for folders shared by
// another tarvel run on it one after another, in the order they were asked
// for, so that no two of them ever interleave and the caller (the panel's
// user-interface thread) never waits on the catalogue lock or the disk.
#pragma once

#include <condition_variable>
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

  // Queues `task`; the thread starts with the first one.
  void Post(std::function<void()> task);
  // Returns once every task posted so far has run.
  void WaitIdle();
  // Whether a task runs or waits.
  bool Busy() const;

 private:
  void Run();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> queue_;
  bool running_ = false;  // a task is being run
  bool ending_ = false;
  std::thread thread_;
};
