#include "platform/tree_watcher.h"

#include "platform/filesystems.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                 IN_CLOSE_WRITE | IN_MODIFY | IN_ONLYDIR | IN_EXCL_UNLINK;

}  // namespace

TreeWatcher::TreeWatcher(std::vector<std::string> roots, TreeWatcherHooks hooks,
                         std::chrono::milliseconds settle)
    : roots_(std::move(roots)), hooks_(std::move(hooks)), settle_(settle) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0 || stopFd_ < 0) return;
  for (int r = 0; r < static_cast<int>(roots_.size()); ++r) AddTree(r, "", false);
  thread_ = std::thread([this] { Run(); });
}

TreeWatcher::~TreeWatcher() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    if (write(stopFd_, &one, sizeof one) < 0) {
    }
    thread_.join();
  }
  if (fd_ >= 0) close(fd_);
  if (stopFd_ >= 0) close(stopFd_);
}

std::string TreeWatcher::Absolute(int root, const std::string& rel) const {
  return roots_[root] + rel;
}

void TreeWatcher::AddTree(int root, const std::string& rel, bool reported) {
  const std::string path = Absolute(root, rel);
  if (IsPseudoFileSystem(path)) return;
  // The root itself may be a link; folders inside are taken as they are.
  uint32_t mask = kFolderMask | (rel.empty() ? 0 : IN_DONT_FOLLOW);
  int wd = inotify_add_watch(fd_, path.c_str(), mask);
  if (wd < 0) {
    if (hooks_.onUnwatched && errno != ENOENT && errno != ENOTDIR) hooks_.onUnwatched(path, errno);
    return;
  }
  auto old = watches_.find(wd);
  if (old != watches_.end()) byFolder_.erase({old->second.root, old->second.rel});
  watches_[wd] = Watch{root, rel, reported};
  byFolder_[{root, rel}] = wd;
  // Listed after the watch exists: whatever was created before is seen here.
  DIR* dir = opendir(path.c_str());
  if (!dir) return;
  std::vector<std::string> subfolders;
  const auto now = std::chrono::steady_clock::now();
  while (dirent* e = readdir(dir)) {
    const char* n = e->d_name;
    if (reported && e->d_type == DT_REG) {
      // Maybe still being copied in: the walk of this folder takes it as it
      // is now, so when its writer closes it, it is taken again.
      struct stat st;
      if (fstatat(dirfd(dir), n, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          time(nullptr) - st.st_mtime <= std::chrono::duration_cast<std::chrono::seconds>(settle_).count())
        fresh_[path + n] = now;
      continue;
    }
    if (e->d_type != DT_DIR) continue;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    subfolders.emplace_back(n);
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

void TreeWatcher::FlushSettled(bool all) {
  auto now = std::chrono::steady_clock::now();
  for (auto it = fresh_.begin(); it != fresh_.end();)
    it = now - it->second >= settle_ ? fresh_.erase(it) : std::next(it);
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (all || now - it->second.lastChange >= settle_) {
      TreeChange change{it->second.root, it->second.name, 1, false};
      it = pending_.erase(it);
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
      pending_.clear();
      fresh_.clear();
      std::vector<int> all;
      for (int r = 0; r < static_cast<int>(roots_.size()); ++r) all.push_back(r);
      if (hooks_.onLost) hooks_.onLost(all);
      // Folders created during the loss may have no watch yet.
      for (int r : all) {
        DropTree(r, "");
        AddTree(r, "", false);
      }
      continue;
    }
    if (ev->mask & IN_IGNORED) {
      Forget(ev->wd);
      continue;
    }
    auto it = watches_.find(ev->wd);
    if (it == watches_.end() || ev->len == 0) continue;
    const Watch w = it->second;
    const std::string name = w.rel + ev->name;
    const std::string full = Absolute(w.root, name);
    const bool isDir = ev->mask & IN_ISDIR;
    if (isDir && (ev->mask & (IN_CREATE | IN_MOVED_TO)) && hooks_.isOwnRoot &&
        hooks_.isOwnRoot(full + "/"))
      continue;  // a shared folder of its own appearing here
    // A folder already found while the appearance of a folder above it was
    // being reported is walked with that one.
    if (isDir && (ev->mask & (IN_CREATE | IN_MOVED_TO)) && AlreadyReported(w.root, name + "/"))
      continue;
    if (ev->mask & IN_CREATE) {
      if (isDir) {
        AddTree(w.root, name + "/", true);
        hooks_.onChange({w.root, name, 1, true});
      } else {
        pending_[full] = Pending{w.root, name, std::chrono::steady_clock::now()};
      }
    } else if (ev->mask & IN_MODIFY) {
      auto pend = pending_.find(full);
      if (pend != pending_.end()) pend->second.lastChange = std::chrono::steady_clock::now();
    } else if (ev->mask & IN_CLOSE_WRITE) {
      auto pend = pending_.find(full);
      if (pend != pending_.end()) {
        pending_.erase(pend);
        hooks_.onChange({w.root, name, 1, false});
      } else if (fresh_.erase(full)) {
        // Walked while still being written: its row is made afresh.
        hooks_.onChange({w.root, name, 2, false});
        hooks_.onChange({w.root, name, 1, false});
      }
    } else if (ev->mask & IN_DELETE) {
      pending_.erase(full);
      if (isDir) DropTree(w.root, name + "/");
      hooks_.onChange({w.root, name, 2, isDir});
    } else if (ev->mask & IN_MOVED_FROM) {
      pending_.erase(full);
      // A folder moved away would go on reporting under its old name.
      if (isDir) DropTree(w.root, name + "/");
      hooks_.onChange({w.root, name, 4, isDir});
    } else if (ev->mask & IN_MOVED_TO) {
      if (isDir) AddTree(w.root, name + "/", true);
      hooks_.onChange({w.root, name, 5, isDir});
    }
  }
}

void TreeWatcher::Run() {
  alignas(inotify_event) char buffer[64 * 1024];
  while (true) {
    int timeout = -1;
    if (!pending_.empty() || !fresh_.empty()) {
      auto now = std::chrono::steady_clock::now();
      auto next = std::chrono::steady_clock::time_point::max();
      for (auto& [path, p] : pending_) next = std::min(next, p.lastChange + settle_);
      for (auto& [path, seen] : fresh_) next = std::min(next, seen + settle_);
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
      timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(wait + 1, INT_MAX)));
    }
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    int n = poll(fds, 2, timeout);
    if (n < 0 && errno != EINTR) break;
    if (fds[1].revents) break;
    if (n > 0 && (fds[0].revents & POLLIN)) {
      ssize_t len;
      while ((len = read(fd_, buffer, sizeof buffer)) > 0) HandleEvents(buffer, len);
    }
    if (!pending_.empty() || !fresh_.empty()) FlushSettled(false);
  }
}
