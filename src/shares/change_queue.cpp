#include "shares/change_queue.h"

#include <algorithm>

#include "shares/share_worker.h"

ChangeQueue::ChangeQueue(ShareWorker& worker, size_t limit, Apply apply,
                         std::function<bool()> stopping)
    : worker_(worker), limit_(limit), apply_(std::move(apply)), stopping_(std::move(stopping)) {}

ChangeQueue::Pushed ChangeQueue::Push(Item change) {
  std::lock_guard lock(mutex_);
  if (catchingUp_.count(change.root)) return Pushed::kCovered;
  if (changes_ >= limit_) return QueueCatchUp(change.root) ? Pushed::kOverflow : Pushed::kCovered;
  OpenSegment().push_back(std::move(change));
  ++changes_;
  return Pushed::kQueued;
}

bool ChangeQueue::CatchUp(const std::string& root) {
  std::lock_guard lock(mutex_);
  if (catchingUp_.count(root)) return false;
  return QueueCatchUp(root);
}

size_t ChangeQueue::Waiting() const {
  std::lock_guard lock(mutex_);
  return changes_;
}

unsigned long long ChangeQueue::LastDrain() const {
  std::lock_guard lock(mutex_);
  return openTicket_;
}

std::vector<ChangeQueue::Item>& ChangeQueue::OpenSegment() {
  // The last segment is open while its drain has not started (it is popped
  // as it starts) and nothing was posted behind it.
  if (!segments_.empty() && worker_.LastPosted() == openTicket_) return segments_.back();
  segments_.emplace_back();
  openTicket_ = worker_.Post([self = shared_from_this()] { self->Drain(); });
  return segments_.back();
}

bool ChangeQueue::QueueCatchUp(const std::string& root) {
  catchingUp_.insert(root);
  std::vector<Item>& segment = OpenSegment();
  // The catch-up sees whatever they would have changed.
  const size_t before = segment.size();
  std::erase_if(segment, [&](const Item& i) { return i.action != 0 && i.root == root; });
  changes_ -= before - segment.size();
  segment.push_back(Item{root, "", 0, false});
  return running_.count(root) == 0;
}

void ChangeQueue::Drain() {
  std::vector<Item> items;
  {
    std::lock_guard lock(mutex_);
    items = std::move(segments_.front());
    segments_.pop_front();
    changes_ -= std::count_if(items.begin(), items.end(), [](const Item& i) { return i.action != 0; });
  }
  for (const Item& item : items) {
    if (stopping_()) return;
    if (item.action == 0) {
      // From now on its changes are queued again: this walk may miss them.
      std::lock_guard lock(mutex_);
      catchingUp_.erase(item.root);
      running_.insert(item.root);
    }
    apply_(item);
    if (item.action == 0) {
      std::lock_guard lock(mutex_);
      running_.erase(item.root);
    }
  }
}
