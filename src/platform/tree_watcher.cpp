#include "platform/tree_watcher.h"

#include "platform/filesystems.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                 IN_CLOSE_WRITE | IN_MODIFY | IN_ONLYDIR | IN_EXCL_UNLINK;
// A root also tells when it goes away itself.
constexpr uint32_t kRootMask = kFolderMask | IN_DELETE_SELF | IN_MOVE_SELF;
// How often roots are looked at: gone ones to see whether they are back,
// present ones to see whether the path still leads to the folder watched
// (a folder above it may have been renamed).
constexpr auto kRootCheck = std::chrono::seconds(2);

bool IsHidden(const char* name) { return name[0] == '.'; }

bool Wake(int fd) {
  uint64_t one = 1;
  return write(fd, &one, sizeof one) == sizeof one;
}

}  // namespace

TreeWatcher::TreeWatcher(std::vector<std::string> roots, TreeWatcherHooks hooks,
                         std::chrono::milliseconds settle)
    : hooks_(std::move(hooks)), settle_(settle) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0 || stopFd_ < 0 || wakeFd_ < 0) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return;
  }
  for (std::string& path : roots) roots_.push_back(Root{std::move(path)});
  // Watched before the constructor returns; taken up (or said to be gone) on
  // the thread.
  for (int r = 0; r < static_cast<int>(roots_.size()); ++r) {
    if (!Present(r)) continue;
    roots_[r].present = true;
    roots_[r].id = {0, 0};
    struct stat st;
    if (stat(roots_[r].path.c_str(), &st) == 0) roots_[r].id = {st.st_dev, st.st_ino};
    AddTree(r, "", false);
  }
  thread_ = std::thread([this] {
    for (int r = 0; r < static_cast<int>(roots_.size()); ++r) {
      if (roots_[r].present) {
        if (hooks_.onTakenUp) hooks_.onTakenUp(roots_[r].path, false);
      } else if (hooks_.onGone) {
        hooks_.onGone(roots_[r].path);
      }
    }
    Run();
  });
}

TreeWatcher::~TreeWatcher() {
  if (thread_.joinable()) {
    Wake(stopFd_);
    thread_.join();
  }
  if (fd_ >= 0) close(fd_);
  if (stopFd_ >= 0) close(stopFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void TreeWatcher::SetRoots(std::vector<std::string> roots) {
  {
    std::lock_guard lock(wantedMutex_);
    wanted_ = std::move(roots);
  }
  if (wakeFd_ >= 0) Wake(wakeFd_);
}

bool TreeWatcher::IsPending(const std::string& path) const {
  std::lock_guard lock(pendingMutex_);
  return pending_.count(path) != 0;
}

std::string TreeWatcher::Absolute(int root, const std::string& rel) const {
  return roots_[root].path + rel;
}

int TreeWatcher::KindOf(const std::string& folder, const std::string& name) const {
  if (hooks_.kindOf) return hooks_.kindOf(folder, name);
  if (IsHidden(name.c_str())) return 0;
  struct stat st;
  if (stat((folder + name).c_str(), &st) != 0) return 0;
  return S_ISDIR(st.st_mode) ? 2 : S_ISREG(st.st_mode) ? 1 : 0;
}

bool TreeWatcher::Present(int root) const {
  const std::string& path = roots_[root].path;
  if (path.empty()) return false;
  if (hooks_.isPresent) return hooks_.isPresent(path);
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void TreeWatcher::AddTree(int root, const std::string& rel, bool reported) {
  const std::string path = Absolute(root, rel);
  if (IsPseudoFileSystem(path)) return;
  // Folders inside are reached through links as a walk reaches them; a folder
  // already watched (met again through a link) is not entered twice, which
  // also ends loops.
  uint32_t mask = rel.empty() ? kRootMask : (kFolderMask | IN_MASK_ADD);
  int wd = inotify_add_watch(fd_, path.c_str(), mask);
  if (wd < 0) {
    if (hooks_.onUnwatched && errno != ENOENT && errno != ENOTDIR) hooks_.onUnwatched(path, errno);
    return;
  }
  if (watches_.count(wd)) return;
  watches_[wd] = Watch{root, rel, reported};
  byFolder_[{root, rel}] = wd;
  // Listed after the watch exists: whatever was created before is seen here.
  DIR* dir = opendir(path.c_str());
  if (!dir) return;
  std::vector<std::string> subfolders;
  const auto now = std::chrono::steady_clock::now();
  while (dirent* e = readdir(dir)) {
    const char* n = e->d_name;
    if (IsHidden(n)) continue;  // hidden, "." and ".."
    if (e->d_type == DT_REG) {
      if (!reported) continue;
      // Maybe still being copied in: the walk of this folder takes it as it
      // is now, so when its writer closes it, it is taken again.
      struct stat st;
      if (fstatat(dirfd(dir), n, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          time(nullptr) - st.st_mtime <= std::chrono::duration_cast<std::chrono::seconds>(settle_).count())
        fresh_[path + n] = now;
      continue;
    }
    if (e->d_type != DT_DIR && e->d_type != DT_LNK && e->d_type != DT_UNKNOWN) continue;
    if (KindOf(path, n) == 2) subfolders.emplace_back(n);
  }
  closedir(dir);
  for (const std::string& sub : subfolders) {
    std::string subRel = rel + sub + "/";
    if (hooks_.isOwnRoot && hooks_.isOwnRoot(Absolute(root, subRel))) continue;
    AddTree(root, subRel, reported);
  }
}

bool TreeWatcher::AlreadyReported(int root, const std::string& rel) const {
  auto it = byFolder_.find({root, rel});
  return it != byFolder_.end() && watches_.at(it->second).reported;
}

void TreeWatcher::Forget(int wd) {
  auto it = watches_.find(wd);
  if (it == watches_.end()) return;
  auto by = byFolder_.find({it->second.root, it->second.rel});
  if (by != byFolder_.end() && by->second == wd) byFolder_.erase(by);
  watches_.erase(it);
}

void TreeWatcher::DropTree(int root, const std::string& rel) {
  // Folders below `rel` sort right after it.
  auto it = byFolder_.lower_bound({root, rel});
  while (it != byFolder_.end() && it->first.first == root &&
         it->first.second.compare(0, rel.size(), rel) == 0) {
    int wd = it->second;
    inotify_rm_watch(fd_, wd);
    watches_.erase(wd);
    it = byFolder_.erase(it);
  }
}

void TreeWatcher::ForgetPendingUnder(const std::string& folder) {
  // A folder that moved or went away takes its unfinished files with it:
  // they are found again under the folder's new name, if it has one.
  {
    std::lock_guard lock(pendingMutex_);
    for (auto it = pending_.lower_bound(folder);
         it != pending_.end() && it->first.compare(0, folder.size(), folder) == 0;)
      it = pending_.erase(it);
  }
  for (auto it = fresh_.lower_bound(folder);
       it != fresh_.end() && it->first.compare(0, folder.size(), folder) == 0;)
    it = fresh_.erase(it);
}

void TreeWatcher::TakeUp(int root) {
  Root& r = roots_[root];
  r.present = true;
  r.id = {0, 0};
  struct stat st;
  if (stat(r.path.c_str(), &st) == 0) r.id = {st.st_dev, st.st_ino};
  AddTree(root, "", false);
}

void TreeWatcher::Gone(int root) {
  Root& r = roots_[root];
  if (!r.present) return;
  DropTree(root, "");
  ForgetPendingUnder(r.path);
  r.present = false;
  if (hooks_.onGone) hooks_.onGone(r.path);
}

void TreeWatcher::ApplyRoots(const std::vector<std::string>& wanted) {
  std::vector<std::string> changed;  // roots added or dropped
  for (int r = 0; r < static_cast<int>(roots_.size()); ++r) {
    Root& root = roots_[r];
    if (root.path.empty() || std::find(wanted.begin(), wanted.end(), root.path) != wanted.end())
      continue;
    changed.push_back(root.path);
    DropTree(r, "");
    ForgetPendingUnder(root.path);
    {
      std::lock_guard lock(pendingMutex_);
      for (auto it = pending_.begin(); it != pending_.end();)
        it = it->second.root == r ? pending_.erase(it) : std::next(it);
    }
    root = Root{};
  }
  std::vector<int> added;
  for (const std::string& path : wanted) {
    bool known = std::any_of(roots_.begin(), roots_.end(), [&](const Root& r) { return r.path == path; });
    if (known || path.empty()) continue;
    roots_.push_back(Root{path});
    added.push_back(static_cast<int>(roots_.size()) - 1);
    changed.push_back(path);
  }
  // A root with a root added or dropped inside it changes its limits: it is
  // watched and caught up afresh.
  std::vector<int> takeUp;
  for (int r = 0; r < static_cast<int>(roots_.size()); ++r) {
    const Root& root = roots_[r];
    if (root.path.empty() || !root.present) continue;
    bool around = std::any_of(changed.begin(), changed.end(), [&](const std::string& c) {
      return c.size() > root.path.size() && c.compare(0, root.path.size(), root.path) == 0;
    });
    if (!around) continue;
    DropTree(r, "");
    AddTree(r, "", false);
    takeUp.push_back(r);
  }
  for (int r : added) {
    if (Present(r)) {
      TakeUp(r);
      takeUp.push_back(r);
    } else if (hooks_.onGone) {
      hooks_.onGone(roots_[r].path);
    }
  }
  if (hooks_.onTakenUp)
    for (int r : takeUp) hooks_.onTakenUp(roots_[r].path, false);
}

void TreeWatcher::CheckRoots() {
  for (int r = 0; r < static_cast<int>(roots_.size()); ++r) {
    Root& root = roots_[r];
    if (root.path.empty()) continue;
    bool here = Present(r);
    if (root.present) {
      struct stat st;
      bool same = here && stat(root.path.c_str(), &st) == 0 &&
                  FolderKey{st.st_dev, st.st_ino} == root.id;
      if (same) continue;
      Gone(r);
    }
    if (here) {
      TakeUp(r);
      if (hooks_.onTakenUp) hooks_.onTakenUp(root.path, true);
    }
  }
}

void TreeWatcher::FlushSettled(bool all) {
  auto now = std::chrono::steady_clock::now();
  for (auto it = fresh_.begin(); it != fresh_.end();)
    it = now - it->second >= settle_ ? fresh_.erase(it) : std::next(it);
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (all || now - it->second.lastChange >= settle_) {
      TreeChange change{roots_[it->second.root].path, it->second.name, 1, false};
      {
        std::lock_guard lock(pendingMutex_);
        it = pending_.erase(it);
      }
      hooks_.onChange(change);
    } else {
      ++it;
    }
  }
}

void TreeWatcher::HandleEvents(const char* buffer, ssize_t length) {
  for (const char* p = buffer; p < buffer + length;) {
    const auto* ev = reinterpret_cast<const inotify_event*>(p);
    p += sizeof(inotify_event) + ev->len;
    if (ev->mask & IN_Q_OVERFLOW) {
      {
        std::lock_guard lock(pendingMutex_);
        pending_.clear();
      }
      fresh_.clear();
      // Folders created during the loss may have no watch yet: the trees are
      // watched afresh, then caught up, so nothing changed meanwhile is missed.
      std::vector<std::string> lost;
      for (int r = 0; r < static_cast<int>(roots_.size()); ++r) {
        if (!roots_[r].present) continue;
        DropTree(r, "");
        AddTree(r, "", false);
        lost.push_back(roots_[r].path);
      }
      if (hooks_.onLost) hooks_.onLost(lost);
      continue;
    }
    auto it = watches_.find(ev->wd);
    if (ev->mask & IN_IGNORED) {
      Forget(ev->wd);
      continue;
    }
    if (it == watches_.end()) continue;
    const Watch w = it->second;
    if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
      // The root itself went away (a subfolder's removal is told by its parent).
      if (w.rel.empty()) Gone(w.root);
      continue;
    }
    if (ev->len == 0 || IsHidden(ev->name)) continue;
    const std::string folder = Absolute(w.root, w.rel);
    const std::string name = w.rel + ev->name;
    const std::string full = folder + ev->name;
    bool isDir = ev->mask & IN_ISDIR;
    if (ev->mask & (IN_CREATE | IN_MOVED_TO)) {
      int kind = KindOf(folder, ev->name);
      if (kind == 0) continue;  // left out, as a walk leaves it out
      isDir = kind == 2;        // a link to a folder is walked as a folder
      if (isDir) {
        if (hooks_.isOwnRoot && hooks_.isOwnRoot(full + "/"))
          continue;  // a shared folder of its own appearing here
        // A folder already found while the appearance of a folder above it
        // was being reported is walked with that one.
        if (AlreadyReported(w.root, name + "/")) continue;
        AddTree(w.root, name + "/", true);
        hooks_.onChange({roots_[w.root].path, name, (ev->mask & IN_CREATE) ? 1 : 5, true});
      } else if (ev->mask & IN_CREATE) {
        std::lock_guard lock(pendingMutex_);
        pending_[full] = Pending{w.root, name, std::chrono::steady_clock::now()};
      } else {
        hooks_.onChange({roots_[w.root].path, name, 5, false});
      }
    } else if (ev->mask & IN_MODIFY) {
      auto pend = pending_.find(full);
      if (pend != pending_.end()) pend->second.lastChange = std::chrono::steady_clock::now();
    } else if (ev->mask & IN_CLOSE_WRITE) {
      auto pend = pending_.find(full);
      if (pend != pending_.end()) {
        {
          std::lock_guard lock(pendingMutex_);
          pending_.erase(pend);
        }
        hooks_.onChange({roots_[w.root].path, name, 1, false});
      } else if (fresh_.erase(full)) {
        // Walked while still being written: its row is made afresh.
        hooks_.onChange({roots_[w.root].path, name, 3, false});
      } else if (KindOf(folder, ev->name) == 1) {
        // Rewritten in place (a tag edited, say).
        hooks_.onChange({roots_[w.root].path, name, 3, false});
      }
    } else if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) {
      {
        std::lock_guard lock(pendingMutex_);
        pending_.erase(full);
      }
      // A watched link to a folder goes as a folder.
      if (!isDir && byFolder_.count({w.root, name + "/"})) isDir = true;
      if (isDir) {
        // A folder moved away would go on reporting under its old name.
        DropTree(w.root, name + "/");
        ForgetPendingUnder(full + "/");
      }
      hooks_.onChange({roots_[w.root].path, name, (ev->mask & IN_DELETE) ? 2 : 4, isDir});
    }
  }
}

void TreeWatcher::Run() {
  alignas(inotify_event) char buffer[64 * 1024];
  nextRootCheck_ = std::chrono::steady_clock::now() + kRootCheck;
  while (true) {
    auto now = std::chrono::steady_clock::now();
    auto next = nextRootCheck_;
    for (auto& [path, p] : pending_) next = std::min(next, p.lastChange + settle_);
    for (auto& [path, seen] : fresh_) next = std::min(next, seen + settle_);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    int timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(wait + 1, INT_MAX)));
    pollfd fds[3] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int n = poll(fds, 3, timeout);
    if (n < 0 && errno != EINTR) break;
    if (fds[1].revents) break;
    if (n > 0 && (fds[0].revents & POLLIN)) {
      ssize_t len;
      while ((len = read(fd_, buffer, sizeof buffer)) > 0) HandleEvents(buffer, len);
    }
    if (n > 0 && (fds[2].revents & POLLIN)) {
      uint64_t count;
      if (read(wakeFd_, &count, sizeof count) < 0) {
      }
      std::optional<std::vector<std::string>> wanted;
      {
        std::lock_guard lock(wantedMutex_);
        wanted.swap(wanted_);
      }
      if (wanted) ApplyRoots(*wanted);
    }
    if (!pending_.empty() || !fresh_.empty()) FlushSettled(false);
    if (std::chrono::steady_clock::now() >= nextRootCheck_) {
      CheckRoots();
      nextRootCheck_ = std::chrono::steady_clock::now() + kRootCheck;
    }
  }
}
