#include "platform/server_name.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/named_mutex.h"

std::string ReadServerName(size_t limit) {
  NamedLock lock(kAlternateMutex);
  struct stat st;
  if (stat(kServerNameFile, &st) != 0) return kDefaultServerName;
  std::string buffer(limit, '\0');
  int fd = open(kServerNameFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  size_t got = 0;
  while (got < limit) {
    ssize_t n = read(fd, buffer.data() + got, limit - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  size_t len = 0;
  while (len < got && buffer[len] != '\0') ++len;
  return buffer.substr(0, len);
}

bool WriteServerName(const std::string& name) {
  // Written beside the file and renamed over it, so a failed write never
  // leaves the server without its old name.
  const std::string temp = std::string(kServerNameFile) + ".new";
  unlink(temp.c_str());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, name.data(), name.size()) == static_cast<ssize_t>(name.size());
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(temp.c_str(), kServerNameFile) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}
