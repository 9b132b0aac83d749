#include "shares/change_monitor.h"

#include <cstring>

#include "platform/tree_watcher.h"
#include "scan/sync.h"
#include "scan/walk_connection.h"
#include "shares/shared_folder_core.h"

ChangeMonitor::ChangeMonitor(CSharedFolderCore* page, std::vector<std::string> roots)
    : page_(page), roots_(std::move(roots)) {
  TreeWatcherHooks hooks;
  hooks.onChange = [this](const TreeChange& c) {
    // Files still being written are left to their own notice, when complete.
    IncompleteFiles incomplete([this](const std::string& path) { return watcher_->IsPending(path); });
    SyncChange(page_, WatchRecord{roots_[c.root]}, ChangeNotice{c.name, c.isDirectory}, c.action);
  };
  hooks.onLost = [this](const std::vector<int>& lost) {
    std::string names;
    for (int r : lost) names += (names.empty() ? "" : ", ") + roots_[r];
    page_->View().Warn("change notifications were lost; rescanning " + names);
    for (int r : lost) page_->ResyncFolder(roots_[r]);
  };
  hooks.onUnwatched = [this](const std::string& folder, int error) {
    // Said once: past the watch limit every further folder fails alike.
    if (warnedUnwatched_.exchange(true)) return;
    page_->View().Warn("cannot watch " + folder + " (" + strerror(error) +
                       "); changes there and in later folders are not followed until the "
                       "monitor restarts (raise fs.inotify.max_user_watches)");
  };
  hooks.isOwnRoot = [this](const std::string& folder) { return page_->IsListed(folder); };
  watcher_ = std::make_unique<TreeWatcher>(roots_, std::move(hooks));
}

ChangeMonitor::~ChangeMonitor() { watcher_.reset(); }

bool ChangeMonitor::Ok() const { return watcher_ && watcher_->Ok(); }
