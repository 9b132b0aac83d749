#include "shares/change_monitor.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "platform/tree_watcher.h"
#include "scan/catch_up.h"
#include "scan/dir_walk.h"
#include "scan/folder_state.h"
#include "scan/sync.h"
#include "shares/change_queue.h"
#include "shares/shared_folder_core.h"

struct ChangeMonitor::Shared {
  // Whether a file is still being written: its own change comes once it is
  // complete. None is, once the watcher has gone.
  bool IsPending(const std::string& path) {
    std::lock_guard lock(watcherMutex);
    return watcher && watcher->IsPending(path);
  }
  std::optional<bool> WasMountPoint(const std::string& root) {
    {
      std::lock_guard lock(mountMutex);
      auto it = wasMountPoint.find(root);
      if (it != wasMountPoint.end()) return it->second;
    }
    std::optional<bool> stored = StoredMountPoint(root);
    std::lock_guard lock(mountMutex);
    return wasMountPoint.emplace(root, stored).first->second;
  }
  void KeepMountPoint(const std::string& root) {
    std::optional<bool> stored = StoredMountPoint(root);
    std::lock_guard lock(mountMutex);
    wasMountPoint[root] = stored;
  }

  std::mutex watcherMutex;
  TreeWatcher* watcher = nullptr;
  std::mutex mountMutex;
  std::map<std::string, std::optional<bool>> wasMountPoint;  // by root, as last seen
};

size_t ChangeMonitor::DefaultLimit() { return 2048; }

ChangeMonitor::ChangeMonitor(CSharedFolderCore* engine, ShareWorker& worker,
                             std::vector<std::string> roots, std::chrono::milliseconds settle,
                             size_t limit)
    : engine_(engine), shared_(std::make_shared<Shared>()) {
  // Applied on the worker: what it uses outlives the monitor.
  auto apply = [engine, shared = shared_](const ChangeQueue::Item& item) {
    if (item.action == 0) {
      CatchUpFolder(engine, item.root);
      shared->KeepMountPoint(item.root);
      return;
    }
    // Files still being written are left to their own notice, when complete.
    SyncChange(engine, WatchRecord{item.root}, ChangeNotice{item.name, item.isDirectory},
               item.action, [shared](const std::string& path) { return shared->IsPending(path); });
  };
  queue_ = std::make_shared<ChangeQueue>(worker, limit, std::move(apply),
                                         [engine] { return engine->StopRequested(); });

  TreeWatcherHooks hooks;
  hooks.onChange = [this](const TreeChange& c) {
    if (queue_->Push({c.root, c.name, c.action, c.isDirectory}) == ChangeQueue::Pushed::kOverflow)
      WarnLost({c.root});
  };
  hooks.onTakenUp = [this](const std::string& root, bool cameBack) {
    if (cameBack) engine_->View().Warn(root + " is back; its changes are followed again");
    queue_->CatchUp(root);
  };
  hooks.onGone = [this](const std::string& root) {
    engine_->View().Warn(root + " is not there; its rows are kept until it comes back or is unshared");
  };
  hooks.onLost = [this](const std::vector<std::string>& lost) {
    std::vector<std::string> queued;
    for (const std::string& r : lost)
      if (queue_->CatchUp(r)) queued.push_back(r);
    WarnLost(queued);
  };
  hooks.onUnwatched = [this](const std::string& folder, int error) {
    // Said once: past the watch limit every further folder fails alike.
    if (warnedUnwatched_.exchange(true)) return;
    engine_->View().Warn("cannot watch " + folder + " (" + strerror(error) +
                         "); changes there and in later folders are not followed until the "
                         "monitor restarts (raise fs.inotify.max_user_watches)");
  };
  hooks.isOwnRoot = [this](const std::string& folder) { return engine_->IsListed(folder); };
  hooks.isPresent = [this](const std::string& root) {
    return SharedFolderPresent(root, shared_->WasMountPoint(root));
  };
  hooks.kindOf = [](const std::string& folder, const std::string& name) {
    std::optional<EntryKind> kind = KindOfEntry(folder, name, 0, PrivateFolders::Now());
    return !kind ? 0 : *kind == EntryKind::File ? 1 : 2;
  };
  watcher_ = std::make_unique<TreeWatcher>(std::move(roots), std::move(hooks), settle);
  std::lock_guard lock(shared_->watcherMutex);
  shared_->watcher = watcher_.get();
}

ChangeMonitor::~ChangeMonitor() { Stop(); }

unsigned long long ChangeMonitor::Stop() {
  {
    // A change being applied may be asking the watcher about a file.
    std::lock_guard lock(shared_->watcherMutex);
    shared_->watcher = nullptr;
  }
  watcher_.reset();
  return queue_->LastDrain();
}

void ChangeMonitor::WarnLost(const std::vector<std::string>& roots) {
  // Said once a loss: not again for a folder whose catch-up waits or runs.
  if (roots.empty()) return;
  std::string names;
  for (const std::string& r : roots) names += (names.empty() ? "" : ", ") + r;
  engine_->View().Warn("change notifications were lost; catching up with " + names);
}

bool ChangeMonitor::Ok() const { return watcher_ && watcher_->Ok(); }

void ChangeMonitor::SetRoots(std::vector<std::string> roots) {
  if (watcher_) watcher_->SetRoots(std::move(roots));
}
