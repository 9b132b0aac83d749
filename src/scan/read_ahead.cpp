#include "scan/read_ahead.h"

ReadAhead::ReadAhead(int threads) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    end_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void ReadAhead::MarkRead(size_t i) {
  {
    std::lock_guard lock(mutex_);
    ready_[i] = 1;
  }
  done_.notify_all();
}

void ReadAhead::Work() {
  std::unique_lock lock(mutex_);
  uint64_t seen = 0;
  while (true) {
    wake_.wait(lock, [&] { return end_ || run_ != seen; });
    if (end_) return;
    seen = run_;
    if (!read_) continue;  // that run is over already
    const std::function<void(size_t)>& read = *read_;
    const size_t count = count_;
    ++busy_;
    lock.unlock();
    for (size_t i; (i = next_.fetch_add(1)) < count;) {
      read(i);
      MarkRead(i);
    }
    lock.lock();
    --busy_;
    done_.notify_all();
  }
}

void ReadAhead::Run(size_t count, const std::function<void(size_t)>& read,
                    const std::function<void(size_t)>& use) {
  {
    std::lock_guard lock(mutex_);
    read_ = &read;
    count_ = count;
    next_ = 0;
    ready_.assign(count, 0);
    ++run_;
  }
  wake_.notify_all();
  for (size_t i = 0; i < count; ++i) {
    while (true) {
      {
        std::unique_lock lock(mutex_);
        if (ready_[i]) break;
      }
      const size_t j = next_.fetch_add(1);
      if (j < count) {
        read(j);
        MarkRead(j);
        continue;
      }
      std::unique_lock lock(mutex_);  // every file is taken: wait for this one
      done_.wait(lock, [&] { return ready_[i] != 0; });
      break;
    }
    use(i);
  }
  // `read` may go once no pool thread is inside the run.
  std::unique_lock lock(mutex_);
  read_ = nullptr;
  done_.wait(lock, [&] { return busy_ == 0; });
}
