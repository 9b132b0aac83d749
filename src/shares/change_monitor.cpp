#include "shares/change_monitor.h"

#include <cstring>

#include "platform/tree_watcher.h"
#include "scan/catch_up.h"
#include "scan/dir_walk.h"
#include "scan/folder_state.h"
#include "scan/sync.h"
#include "shares/shared_folder_core.h"

ChangeMonitor::ChangeMonitor(CSharedFolderCore* page, std::vector<std::string> roots,
                             std::chrono::milliseconds settle)
    : page_(page) {
  TreeWatcherHooks hooks;
  hooks.onChange = [this](const TreeChange& c) {
    // Files still being written are left to their own notice, when complete.
    SyncChange(page_, WatchRecord{c.root}, ChangeNotice{c.name, c.isDirectory}, c.action,
               [this](const std::string& path) {
                 TreeWatcher* w = hookWatcher_.load();
                 return w && w->IsPending(path);
               });
  };
  hooks.onTakenUp = [this](const std::string& root, bool cameBack) {
    if (cameBack) page_->View().Warn(root + " is back; its changes are followed again");
    CatchUpFolder(page_, root);
    std::lock_guard lock(mountMutex_);
    wasMountPoint_[root] = StoredMountPoint(root);
  };
  hooks.onGone = [this](const std::string& root) {
    page_->View().Warn(root + " is not there; its rows are kept until it comes back or is unshared");
  };
  hooks.onLost = [this](const std::vector<std::string>& lost) {
    std::string names;
    for (const std::string& r : lost) names += (names.empty() ? "" : ", ") + r;
    page_->View().Warn("change notifications were lost; catching up with " + names);
    for (const std::string& r : lost) CatchUpFolder(page_, r);
  };
  hooks.onUnwatched = [this](const std::string& folder, int error) {
    // Said once: past the watch limit every further folder fails alike.
    if (warnedUnwatched_.exchange(true)) return;
    page_->View().Warn("cannot watch " + folder + " (" + strerror(error) +
                       "); changes there and in later folders are not followed until the "
                       "monitor restarts (raise fs.inotify.max_user_watches)");
  };
  hooks.isOwnRoot = [this](const std::string& folder) { return page_->IsListed(folder); };
  hooks.isPresent = [this](const std::string& root) {
    std::optional<bool> wasMount;
    {
      std::lock_guard lock(mountMutex_);
      auto it = wasMountPoint_.find(root);
      if (it == wasMountPoint_.end()) it = wasMountPoint_.emplace(root, StoredMountPoint(root)).first;
      wasMount = it->second;
    }
    return SharedFolderPresent(root, wasMount);
  };
  hooks.kindOf = [](const std::string& folder, const std::string& name) {
    std::optional<EntryKind> kind = KindOfEntry(folder, name, 0, PrivateFolders::Now());
    return !kind ? 0 : *kind == EntryKind::File ? 1 : 2;
  };
  watcher_ = std::make_unique<TreeWatcher>(std::move(roots), std::move(hooks), settle);
  hookWatcher_ = watcher_.get();
}

ChangeMonitor::~ChangeMonitor() {
  hookWatcher_ = nullptr;
  watcher_.reset();
}

bool ChangeMonitor::Ok() const { return watcher_ && watcher_->Ok(); }

void ChangeMonitor::SetRoots(std::vector<std::string> roots) {
  if (watcher_) watcher_->SetRoots(std::move(roots));
}
