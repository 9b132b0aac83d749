// A few threads that read files ahead of a walk. The walk hands over a run of
// files and takes what was read of each in its own order; while the file it
// needs next is not read yet it reads the next untaken one itself, so it never
// stands idle beside an idle pool. The threads live as long as the walk.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class ReadAhead {
 public:
  explicit ReadAhead(int threads);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Calls read(i) once for every i < count, on the pool and on the calling
  // thread, and use(i) on the calling thread in the order of i, each after
  // its read(i) has returned. Returns when every read has returned.
  void Run(size_t count, const std::function<void(size_t)>& read,
           const std::function<void(size_t)>& use);

 private:
  void Work();
  void MarkRead(size_t i);

  std::mutex mutex_;
  std::condition_variable wake_;  // the pool: a run to read, or the end
  std::condition_variable done_;  // the walk: a file read, or the pool out of the run
  const std::function<void(size_t)>* read_ = nullptr;
  size_t count_ = 0;
  std::atomic<size_t> next_{0};
  std::vector<char> ready_;
  int busy_ = 0;  // pool threads inside the current run
  uint64_t run_ = 0;
  bool end_ = false;
  std::vector<std::thread> threads_;
};
