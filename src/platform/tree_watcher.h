// Follows changes in whole folder trees with inotify, on one thread of its
// own that sleeps until the kernel reports something.
//
// inotify watches single folders, so every folder below each root gets a
// watch of its own: added when a folder is created or moved in (and then
// listed, so that files created before its watch existed are not lost),
// dropped when it is removed or moved out. A file created in the tree is
// reported once it is complete: when its writer closes it, or once it has not
// changed for a while when no close comes. A file found, recently changed, in
// a folder that has just appeared is reported again when its writer closes it.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct TreeChange {
  int root;          // index into the roots handed to the watcher
  std::string name;  // relative to the root, with its subfolder path
  int action;        // 1 added, 2 removed, 4 old name, 5 new name
  bool isDirectory;
};

struct TreeWatcherHooks {
  // Each change, in the order the kernel reported it, on the watcher's thread.
  std::function<void(const TreeChange&)> onChange;
  // The kernel lost events (queue overflow): these roots may be out of step.
  std::function<void(const std::vector<int>& roots)> onLost;
  // A folder could not be watched (the watch limit, most often).
  std::function<void(const std::string& folder, int error)> onUnwatched;
  // Whether `folder` (ending with '/') belongs to a root of its own and is
  // left out of the tree of the root above it.
  std::function<bool(const std::string& folder)> isOwnRoot;
};

class TreeWatcher {
 public:
  // Roots are folder paths ending with '/'. Watches are in place when the
  // constructor returns.
  TreeWatcher(std::vector<std::string> roots, TreeWatcherHooks hooks,
              std::chrono::milliseconds settle = std::chrono::milliseconds(2000));
  ~TreeWatcher();  // stops and joins the thread
  TreeWatcher(const TreeWatcher&) = delete;
  TreeWatcher& operator=(const TreeWatcher&) = delete;

  bool Ok() const { return fd_ >= 0; }
  // Whether a file is still being written, to be reported once complete.
  // Only on the watcher's own thread (from within onChange).
  bool IsPending(const std::string& path) const { return pending_.count(path) != 0; }
  size_t WatchCount() const { return watches_.size(); }

 private:
  struct Watch {
    int root;
    std::string rel;     // folder relative to the root: "" or "a/b/"
    bool reported;       // found under a folder whose appearance was reported
  };
  struct Pending {
    int root;
    std::string name;
    std::chrono::steady_clock::time_point lastChange;
  };

  void Run();
  void HandleEvents(const char* buffer, ssize_t length);
  void AddTree(int root, const std::string& rel, bool reported);
  void DropTree(int root, const std::string& rel);
  void Forget(int wd);
  bool AlreadyReported(int root, const std::string& rel) const;
  void FlushSettled(bool all);
  std::string Absolute(int root, const std::string& rel) const;

  std::vector<std::string> roots_;
  TreeWatcherHooks hooks_;
  std::chrono::milliseconds settle_;
  int fd_ = -1;
  int stopFd_ = -1;
  std::map<int, Watch> watches_;
  std::map<std::pair<int, std::string>, int> byFolder_;  // (root, rel) -> watch
  std::map<std::string, Pending> pending_;  // by absolute path
  // Files found, recently changed, when a new folder was listed: taken again
  // if their writer closes them within the settling time.
  std::map<std::string, std::chrono::steady_clock::time_point> fresh_;
  std::thread thread_;
};
