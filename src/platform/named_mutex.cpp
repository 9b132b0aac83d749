#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/runtime_dir.h"

std::unique_ptr<NamedMutex> NamedMutex::Open(const std::string& name) {
  std::string dir = RuntimeDir();
  if (dir.empty() || name.empty() || name.find('/') != std::string::npos) return nullptr;
  std::string path = dir + "/" + name + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  return std::unique_ptr<NamedMutex>(new NamedMutex(fd));
}

NamedMutex::~NamedMutex() { close(fd_); }

void NamedMutex::Wait() {
  while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

bool NamedMutex::TryWait() { return flock(fd_, LOCK_EX | LOCK_NB) == 0; }

void NamedMutex::Release() { flock(fd_, LOCK_UN); }

void NamedMutex::SetNote(const std::string& note) {
  if (ftruncate(fd_, 0) != 0 || pwrite(fd_, note.data(), note.size(), 0) < 0) {
  }
}

std::string NamedMutex::ReadNote(const std::string& name) {
  std::string dir = RuntimeDir();
  if (dir.empty() || name.empty() || name.find('/') != std::string::npos) return {};
  int fd = open((dir + "/" + name + ".lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {};
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

NamedLock::NamedLock(const std::string& name) : mutex_(NamedMutex::Open(name)) {
  if (mutex_) mutex_->Wait();
}

NamedLock::~NamedLock() {
  if (mutex_) mutex_->Release();
}

bool ClaimSingleInstance(const std::string& name, std::unique_ptr<NamedMutex>* held) {
  auto m = NamedMutex::Open(name);
  if (m && !m->TryWait()) return false;
  *held = std::move(m);
  return true;
}
