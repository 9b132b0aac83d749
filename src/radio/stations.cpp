#include "radio/stations.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

namespace {

// Bytes of a line that take part in the title search; the rest of a longer
// line is skipped, so text in the middle of a line never counts as a line.
constexpr size_t kLinePiece = 1023;

// The title of one line, if it is a title line.
bool TitleOfLine(const std::string& line, std::string* title) {
  if (line.compare(0, 5, "Title") != 0) return false;
  size_t paren = line.find(')');
  if (paren == std::string::npos) return false;
  // The ')' and the blank after it are skipped.
  size_t start = paren + 2;
  *title = start < line.size() ? line.substr(start, kMaxStationTitle) : std::string();
  return true;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::string GetRadioFolder() {
  std::error_code ec;
  std::string folder = std::filesystem::current_path(ec).string();
  if (ec) folder.clear();  // the working directory is gone: stay relative
  if (!folder.empty() && folder.back() != '/') folder += '/';
  folder += kRadioFolderName;
  folder += '/';
  mkdir(folder.c_str(), 0777);  // an existing folder is fine; a failure shows as an empty list
  return folder;
}

std::vector<std::string> ListStations(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  const size_t prefixLength = strlen(kDownloadPrefix);
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (name.compare(0, prefixLength, kDownloadPrefix) == 0) continue;
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      isDir = fstatat(dirfd(dir), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    if (!isDir) names.push_back(std::move(name));
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

int ReadStationTitle(const char* path, std::string* title) {
  if (!path || !title) return -1;
  // Non-blocking, so that a pipe put in the folder cannot hang the reader;
  // only regular files are read.
  Fd file{open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  struct stat st;
  if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const char* reason = file.fd < 0 ? strerror(errno) : "not a regular file";
    fprintf(stderr, "fopen error\n%s: %s\n", path, reason);
    return -1;
  }
  std::string line;
  size_t rawLength = 0;  // bytes of the current line so far, before the cut
  bool cut = false;      // a NUL byte or the piece length ended what is kept
  char buffer[8192];
  for (;;) {
    ssize_t n = read(file.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      char c = buffer[i];
      if (c == '\n') {
        // A carriage return right before the line feed is not text.
        if (!cut && !line.empty() && line.back() == '\r') line.pop_back();
        std::string found;
        if (TitleOfLine(line, &found)) {
          *title = std::move(found);
          return 0;
        }
        line.clear();
        rawLength = 0;
        cut = false;
        continue;
      }
      ++rawLength;
      if (cut) continue;
      if (c == '\0' || line.size() == kLinePiece) {
        cut = true;
        continue;
      }
      line += c;
    }
  }
  std::string found;
  if (rawLength > 0 && TitleOfLine(line, &found)) {
    *title = std::move(found);
    return 0;
  }
  return -1;
}

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= NAME_MAX &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string StationFileNameForTitle(const std::string& title) {
  if (title.empty()) return {};
  std::string name = title;
  for (char& c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 1 && u <= 29) || strchr("./*><?:|", c)) c = ' ';
  }
  name += ".pls";
  if (name.size() > NAME_MAX) return {};
  return name;
}

bool RemoveStations(const std::string& folder, const std::vector<std::string>& names,
                    std::string* error) {
  std::vector<std::string> stations = ListStations(folder);
  std::set<std::string> listed(stations.begin(), stations.end());
  std::vector<std::string> unique;
  for (const std::string& name : names) {
    if (!IsPlainFileName(name) || !listed.count(name)) {
      if (error) *error = name + " is not a station";
      return false;
    }
    if (std::find(unique.begin(), unique.end(), name) == unique.end()) unique.push_back(name);
  }
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  bool ok = true;
  for (const std::string& name : unique) {
    if (unlink((dir + name).c_str()) != 0 && errno != ENOENT) {
      if (error && ok) *error = "cannot delete " + name + ": " + strerror(errno);
      ok = false;
    }
  }
  return ok;
}
