#include "platform/fd_io.h"

#include <errno.h>
#include <unistd.h>

bool WriteAll(int fd, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool FileHolds(int fd, std::string_view content) {
  // One byte more than wanted: a read that stops short is the file's end.
  std::string stored(content.size() + 1, '\0');
  size_t got = 0;
  while (got < stored.size()) {
    ssize_t n = pread(fd, stored.data() + got, stored.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got == content.size() && std::string_view(stored.data(), got) == content;
}
