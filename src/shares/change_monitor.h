// The change monitor of the shared folders: watches every listed folder with
// its whole tree and applies each change to the catalogue through SyncChange,
// one at a time, on the watcher's thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class CSharedFolderCore;
class TreeWatcher;

class ChangeMonitor {
 public:
  ChangeMonitor(CSharedFolderCore* page, std::vector<std::string> roots);
  ~ChangeMonitor();  // ends the worker
  ChangeMonitor(const ChangeMonitor&) = delete;
  ChangeMonitor& operator=(const ChangeMonitor&) = delete;
  bool Ok() const;

 private:
  CSharedFolderCore* page_;
  std::vector<std::string> roots_;
  std::atomic<bool> warnedUnwatched_{false};
  std::unique_ptr<TreeWatcher> watcher_;
};
