// The change monitor of the shared folders: watches every listed folder with
// its whole tree, and hands each change to the engine's share worker, which
// applies it to the catalogue through SyncChange between the Adds, Deletes
// and Rescans, in the order they all were asked for. The watcher's thread
// only collects (ChangeQueue), so it never waits for the catalogue and reads
// on while a long change runs. Whenever the monitor takes a folder up (at
// start, when the folder is shared, when it comes back after going away,
// after lost notifications) the worker first brings the folder's rows in
// step with its tree (CatchUpFolder), so that nothing changed while no one
// looked is missed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class CSharedFolderCore;
class ChangeQueue;
class ShareWorker;
class TreeWatcher;

class ChangeMonitor {
 public:
  // `settle`: how long a file that changes without being closed is given
  // before it counts as complete. `limit`: how many changes may wait for the
  // worker before a folder's further ones give way to a catch-up of it.
  // `engine` and `worker` outlive the tasks the monitor posts.
  ChangeMonitor(CSharedFolderCore* engine, ShareWorker& worker, std::vector<std::string> roots,
                std::chrono::milliseconds settle = std::chrono::seconds(2),
                size_t limit = DefaultLimit());
  ~ChangeMonitor();  // Stop
  // Ends the watcher; the changes it handed over stay queued. Returns the
  // worker's number of the last task it posted (0: none).
  unsigned long long Stop();
  ChangeMonitor(const ChangeMonitor&) = delete;
  ChangeMonitor& operator=(const ChangeMonitor&) = delete;
  bool Ok() const;
  // Follows these folders from now on; those that stay keep their watches.
  void SetRoots(std::vector<std::string> roots);
  // Past this many changes waiting, one catch-up of their folder (one
  // transaction) costs less than the changes one at a time (a transaction
  // each).
  static size_t DefaultLimit();

 private:
  struct Shared;  // what the worker's tasks use after the monitor has gone
  void WarnLost(const std::vector<std::string>& roots);

  CSharedFolderCore* engine_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<ChangeQueue> queue_;
  std::atomic<bool> warnedUnwatched_{false};
  std::unique_ptr<TreeWatcher> watcher_;
};
