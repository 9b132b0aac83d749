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
//
// The roots can change while watching: roots that stay keep their watches.
// A root that goes away (deleted, renamed, its disk unmounted) is no longer
// followed; it is looked for every few seconds and followed again when it is
// back.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct TreeChange {
  std::string root;  // the root as handed to the watcher
  std::string name;  // relative to the root, with its subfolder path
  int action;        // 1 added, 2 removed, 3 rewritten in place, 4 old name, 5 new name
  bool isDirectory;
};

struct TreeWatcherHooks {
  // Each change, in the order the kernel reported it, on the watcher's thread.
  std::function<void(const TreeChange&)> onChange;
  // A root is watched: at start, when it was added, when it came back (after
  // being gone). Its tree may have changed unseen; called on the watcher's
  // thread once the watches are in place.
  std::function<void(const std::string& root, bool cameBack)> onTakenUp;
  // A root is not there (at start or when added) or went away; no longer followed.
  std::function<void(const std::string& root)> onGone;
  // The kernel lost events (queue overflow): these roots may be out of step.
  // Called once their watches are in place again.
  std::function<void(const std::vector<std::string>& roots)> onLost;
  // A folder could not be watched (the watch limit, most often).
  std::function<void(const std::string& folder, int error)> onUnwatched;
  // Whether `folder` (ending with '/') belongs to a root of its own and is
  // left out of the tree of the root above it.
  std::function<bool(const std::string& folder)> isOwnRoot;
  // Whether a root is there to be followed; by default, when it is a folder.
  std::function<bool(const std::string& root)> isPresent;
  // What an entry `name` of `folder` (ending with '/') is: 0 left out, 1 a
  // file, 2 a folder. By default hidden entries and anything but regular
  // files and folders (links followed) are left out.
  std::function<int(const std::string& folder, const std::string& name)> kindOf;
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
  // Follows these roots from now on, on the watcher's thread: roots that
  // stay keep their watches, new ones are taken up, others dropped.
  void SetRoots(std::vector<std::string> roots);
  // Whether a file is still being written, to be reported once complete.
  // From any thread: the changes reported are applied on another one.
  bool IsPending(const std::string& path) const;
  size_t WatchCount() const { return watches_.size(); }

 private:
  using FolderKey = std::pair<unsigned long, unsigned long>;  // device, inode
  struct Root {
    std::string path;  // "" once dropped
    bool present = false;
    FolderKey id{0, 0};
  };
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
  int KindOf(const std::string& folder, const std::string& name) const;
  bool Present(int root) const;
  void TakeUp(int root);
  void Gone(int root);
  void ForgetPendingUnder(const std::string& absoluteFolder);
  void ApplyRoots(const std::vector<std::string>& wanted);
  void CheckRoots();

  std::vector<Root> roots_;
  TreeWatcherHooks hooks_;
  std::chrono::milliseconds settle_;
  int fd_ = -1;
  int stopFd_ = -1;
  int wakeFd_ = -1;
  std::map<int, Watch> watches_;
  std::map<std::pair<int, std::string>, int> byFolder_;  // (root, rel) -> watch
  // By absolute path. Changed only on the watcher's thread, always under
  // pendingMutex_, which IsPending takes to read it from other threads.
  std::map<std::string, Pending> pending_;
  mutable std::mutex pendingMutex_;
  // Files found, recently changed, when a new folder was listed: taken again
  // if their writer closes them within the settling time.
  std::map<std::string, std::chrono::steady_clock::time_point> fresh_;
  std::chrono::steady_clock::time_point nextRootCheck_;
  std::mutex wantedMutex_;
  std::optional<std::vector<std::string>> wanted_;  // roots handed to SetRoots, not yet applied
  std::thread thread_;
};
