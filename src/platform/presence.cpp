#include "platform/presence.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

Presence::Presence(const std::string& title) {
  std::string lockPath = PathFor(title, ".presence");
  std::string fifoPath = PathFor(title, ".close");
  if (lockPath.empty()) return;
  lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockFd_ >= 0 && flock(lockFd_, LOCK_SH) != 0) {
    close(lockFd_);
    lockFd_ = -1;
  }
  struct stat st;
  if (lstat(fifoPath.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) unlink(fifoPath.c_str());
  mkfifo(fifoPath.c_str(), 0600);
  // Read and write: the FIFO then never reports a hang-up between requests.
  closeFd_ = open(fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
}

Presence::~Presence() {
  if (closeFd_ >= 0) close(closeFd_);
  if (lockFd_ >= 0) close(lockFd_);
}

bool Presence::TakeCloseRequest() {
  char buf[64];
  return closeFd_ >= 0 && read(closeFd_, buf, sizeof buf) > 0;
}
