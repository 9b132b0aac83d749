// The change monitor's changes on their way from the watcher's thread to the
// share worker, which applies them between the Adds, Deletes and Rescans in
// the order they all were asked for.
//
// Changes wait in segments: a segment takes changes until its drain task
// starts or until anything else is posted to the worker, and each segment has
// one drain task on the worker, so a burst costs one task, not one a change,
// and a change noticed after an Add was asked for is applied after that Add.
// The changes waiting are bounded: past the limit a folder's changes are
// dropped for one catch-up of the folder (as when the kernel loses events),
// which also takes the place of its changes still waiting in the open segment.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class ShareWorker;

class ChangeQueue : public std::enable_shared_from_this<ChangeQueue> {
 public:
  struct Item {
    std::string root;  // the watched folder, as listed
    std::string name;  // relative to the root; "" for a catch-up
    int action = 0;    // a ChangeAction; 0: catch up with the whole root
    bool isDirectory = false;
  };
  enum class Pushed {
    kQueued,
    kCovered,   // dropped: a catch-up of its folder waits and will see it
    kOverflow,  // over the limit: a catch-up of its folder was queued instead,
                // and none was under way (the loss is news)
  };
  using Apply = std::function<void(const Item&)>;

  // `apply` runs on the worker, one item at a time; nothing more is applied
  // once `stopping` says so. Made with std::make_shared: drain tasks keep it.
  ChangeQueue(ShareWorker& worker, size_t limit, Apply apply, std::function<bool()> stopping);
  ChangeQueue(const ChangeQueue&) = delete;
  ChangeQueue& operator=(const ChangeQueue&) = delete;

  Pushed Push(Item change);
  // Queues a catch-up of `root` unless one waits already; true when queued
  // while none was under way.
  bool CatchUp(const std::string& root);
  // Changes waiting, catch-ups not counted.
  size_t Waiting() const;
  // The worker's number of the last drain task posted (0: none).
  unsigned long long LastDrain() const;

 private:
  void Drain();
  std::vector<Item>& OpenSegment();         // under mutex_
  // Under mutex_; whether no catch-up of `root` was under way.
  bool QueueCatchUp(const std::string& root);

  ShareWorker& worker_;
  const size_t limit_;
  const Apply apply_;
  const std::function<bool()> stopping_;
  mutable std::mutex mutex_;
  std::deque<std::vector<Item>> segments_;  // each with its drain queued, not started
  unsigned long long openTicket_ = 0;  // the worker's number of the last segment's drain
  size_t changes_ = 0;
  std::set<std::string> catchingUp_;  // roots whose catch-up waits
  std::set<std::string> running_;     // the root whose catch-up runs
};
