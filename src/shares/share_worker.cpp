#include "shares/share_worker.h"

ShareWorker::~ShareWorker() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

uint64_t ShareWorker::Post(std::function<void()> task) {
  uint64_t number;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
    number = ++posted_;
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  }
  wake_.notify_one();
  return number;
}

uint64_t ShareWorker::LastPosted() const {
  std::lock_guard lock(mutex_);
  return posted_;
}

void ShareWorker::WaitIdle() { WaitFor(LastPosted()); }

void ShareWorker::WaitFor(uint64_t number) {
  std::unique_lock lock(mutex_);
  progress_.wait(lock, [&] { return done_ >= number; });
}

bool ShareWorker::OnThread() const {
  std::lock_guard lock(mutex_);
  return thread_.get_id() == std::this_thread::get_id();
}

bool ShareWorker::Busy() const {
  std::lock_guard lock(mutex_);
  return running_ || !queue_.empty();
}

void ShareWorker::Run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return ending_ || !queue_.empty(); });
    if (queue_.empty()) break;  // ending, and nothing left to run
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    running_ = true;
    lock.unlock();
    task();
    task = nullptr;  // what it holds goes before it counts as done
    lock.lock();
    running_ = false;
    ++done_;
    progress_.notify_all();
  }
}
