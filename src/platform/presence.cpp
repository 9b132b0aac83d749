#include "platform/presence.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/runtime_dir.h"

namespace {

std::string PathFor(const std::string& title, const char* suffix) {
  std::string dir = RuntimeDir();
  if (dir.empty() || title.find('/') != std::string::npos) return {};
  return dir + "/" + title + suffix;
}

}  // namespace

bool IsPresent(const std::string& title) {
  std::string path = PathFor(title, ".presence");
  if (path.empty()) return false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  // Anyone holding the shared lock keeps us from taking it exclusively.
  bool present = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return present;
}

bool RequestClose(const std::string& title) {
  std::string path = PathFor(title, ".close");
  if (path.empty()) return false;
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;  // ENXIO: nobody reads requests
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && write(fd, "c", 1) == 1;
  close(fd);
  return ok;
}

bool WaitUntilAbsent(const std::string& title, int limitMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (IsPresent(title)) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

Presence::Presence(const std::string& title) {
  std::string lockPath = PathFor(title, ".presence");
  std::string fifoPath = PathFor(title, ".close");
  if (lockPath.empty()) return;
  // The close pipe is open before the presence lock is taken: whoever finds
  // us present can ask us to close, and the request is never lost. It is a
  // fresh pipe of our own, put in place by rename: a request sent to an
  // earlier server that is still closing stays in that server's pipe.
  const std::string fresh = fifoPath + "." + std::to_string(getpid());
  unlink(fresh.c_str());
  if (mkfifo(fresh.c_str(), 0600) != 0) return;
  // Read and write: the FIFO then never reports a hang-up between requests.
  closeFd_ = open(fresh.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (closeFd_ < 0 || rename(fresh.c_str(), fifoPath.c_str()) != 0) {
    unlink(fresh.c_str());
    if (closeFd_ >= 0) close(closeFd_);
    closeFd_ = -1;
    return;
  }
  lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockFd_ >= 0 && flock(lockFd_, LOCK_SH) != 0) {
    close(lockFd_);
    lockFd_ = -1;
  }
}

Presence::~Presence() {
  if (closeFd_ >= 0) close(closeFd_);
  if (lockFd_ >= 0) close(lockFd_);
}

bool Presence::TakeCloseRequest() {
  char buf[64];
  return closeFd_ >= 0 && read(closeFd_, buf, sizeof buf) > 0;
}
