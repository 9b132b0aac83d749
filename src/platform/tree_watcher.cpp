#include "platform/tree_watcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

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
  for (int r = 0; r < static_cast<int>(roots_.size()); ++r) AddTree(r, "");
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

void TreeWatcher::AddTree(int root, const std::string& rel) {
  const std::string path = Absolute(root, rel);
  // The root itself may be a link; folders inside are taken as they are.
  uint32_t mask = kFolderMask | (rel.empty() ? 0 : IN_DONT_FOLLOW);
  int wd = inotify_add_watch(fd_, path.c_str(), mask);
  if (wd < 0) {
    if (hooks_.onUnwatched && errno != ENOENT && errno != ENOTDIR) hooks_.onUnwatched(path, errno);
    return;
  }
  watches_[wd] = Watch{root, rel};
  // Listed after the watch exists: whatever was created before is seen here.
  DIR* dir = opendir(path.c_str());
  if (!dir) return;
  std::vector<std::string> subfolders;
  while (dirent* e = readdir(dir)) {
    if (e->d_type != DT_DIR) continue;
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    subfolders.emplace_back(n);
  }
  closedir(dir);
  for (const std::string& sub : subfolders) {
    std::string subRel = rel + sub + "/";
    if (hooks_.isOwnRoot && hooks_.isOwnRoot(Absolute(root, subRel))) continue;
    AddTree(root, subRel);
  }
}

void TreeWatcher::DropTree(int root, const std::string& rel) {
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (it->second.root == root && it->second.rel.compare(0, rel.size(), rel) == 0) {
      inotify_rm_watch(fd_, it->first);
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
}

void TreeWatcher::FlushSettled(bool all) {
  auto now = std::chrono::steady_clock::now();
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
      std::vector<int> all;
      for (int r = 0; r < static_cast<int>(roots_.size()); ++r) all.push_back(r);
      if (hooks_.onLost) hooks_.onLost(all);
      // Folders created during the loss may have no watch yet.
      for (int r : all) {
        DropTree(r, "");
        AddTree(r, "");
      }
      continue;
    }
    if (ev->mask & IN_IGNORED) {
      watches_.erase(ev->wd);
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
    if (ev->mask & IN_CREATE) {
      if (isDir) {
        AddTree(w.root, name + "/");
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
      if (isDir) AddTree(w.root, name + "/");
      hooks_.onChange({w.root, name, 5, isDir});
    }
  }
}

void TreeWatcher::Run() {
  alignas(inotify_event) char buffer[64 * 1024];
  while (true) {
    int timeout = -1;
    if (!pending_.empty()) {
      auto now = std::chrono::steady_clock::now();
      auto next = std::chrono::steady_clock::time_point::max();
      for (auto& [path, p] : pending_) next = std::min(next, p.lastChange + settle_);
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
    if (!pending_.empty()) FlushSettled(false);
  }
}
