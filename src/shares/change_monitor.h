// The change monitor of the shared folders: watches every listed folder with
// its whole tree and applies each change to the catalogue through SyncChange,
// one at a time, on the watcher's thread. Whenever it takes a folder up (at
// start, when the folder is shared, when it comes back after going away,
// after lost notifications) it first brings the folder's rows in step with
// its tree (CatchUpFolder), so that nothing changed while no one looked is
// missed.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CSharedFolderCore;
class TreeWatcher;

class ChangeMonitor {
 public:
  // `settle`: how long a file that changes without being closed is given
  // before it counts as complete.
  ChangeMonitor(CSharedFolderCore* page, std::vector<std::string> roots,
                std::chrono::milliseconds settle = std::chrono::seconds(2));
  ~ChangeMonitor();  // ends the worker
  ChangeMonitor(const ChangeMonitor&) = delete;
  ChangeMonitor& operator=(const ChangeMonitor&) = delete;
  bool Ok() const;
  // Follows these folders from now on; those that stay keep their watches.
  void SetRoots(std::vector<std::string> roots);

 private:
  CSharedFolderCore* page_;
  std::atomic<bool> warnedUnwatched_{false};
  std::mutex mountMutex_;
  std::map<std::string, std::optional<bool>> wasMountPoint_;  // by root, as last seen
  std::unique_ptr<TreeWatcher> watcher_;
  // The watcher as its own thread's hooks see it: they run before the
  // constructor has stored it and while it is being destroyed, and then find
  // none (nothing counts as still being written).
  std::atomic<TreeWatcher*> hookWatcher_{nullptr};
};
