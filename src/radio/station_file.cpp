#include "radio/station_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "radio/stations.h"

namespace {

// Bytes of a line that take part in the title search; the rest of a longer
// line is skipped, so text in the middle of a line never counts as a line.
constexpr size_t kLinePiece = 1023;
// The most digits an entry number has; longer keys are not entries.
constexpr size_t kMaxEntryDigits = 6;

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// The title of one line by the station page's rule: the line starts with
// "Title" and holds a ')'; the title starts two bytes after it.
bool TitleOfLine(std::string_view line, std::string* title) {
  if (line.substr(0, 5) != "Title") return false;
  size_t paren = line.find(')');
  if (paren == std::string_view::npos) return false;
  size_t start = paren + 2;  // the ')' and the blank after it
  *title = start < line.size() ? std::string(line.substr(start, kMaxStationTitle)) : std::string();
  return true;
}

// The part of a line the title search looks at: up to its first NUL byte and
// its first kLinePiece bytes. A carriage return before the line feed is not
// text, unless the line was cut short before it.
std::string_view TitlePiece(std::string_view line, bool endedByLineFeed) {
  size_t end = std::min({line.find('\0'), line.size(), kLinePiece});
  bool cut = end < line.size();
  std::string_view piece = line.substr(0, end);
  if (endedByLineFeed && !cut && !piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
  return piece;
}

// Blanks around a value, and the line end after it, are not part of it.
std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && (blank(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  return s;
}

struct Entry {
  long number;
  std::string value;
};

// "<prefix><digits>" whatever the case: the entry's number.
bool EntryNumber(std::string_view key, const char* prefix, long* number) {
  size_t n = strlen(prefix);
  if (key.size() <= n || key.size() > n + kMaxEntryDigits) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(key[i])) != prefix[i]) return false;
  long value = 0;
  for (char c : key.substr(n)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *number = value;
  return true;
}

void TakeEntry(std::string_view line, std::vector<Entry>* files, std::vector<Entry>* titles) {
  line = Trim(line);
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return;
  std::string_view key = line.substr(0, eq);
  std::string value(Trim(line.substr(eq + 1)));
  long number;
  if (EntryNumber(key, "file", &number)) files->push_back({number, value});
  if (EntryNumber(key, "title", &number)) titles->push_back({number, std::move(value)});
}

bool ReadBounded(int fd, std::string* content, std::string* error) {
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = strerror(errno);
      return false;
    }
    if (n == 0) return true;
    if (content->size() + n > kMaxStationFile) {
      *error = "larger than a station file may be";
      return false;
    }
    content->append(buffer, n);
  }
}

}  // namespace

bool IsStreamLink(const std::string& url) {
  auto starts = [&](std::string_view scheme) {
    if (url.size() <= scheme.size()) return false;
    for (size_t i = 0; i < scheme.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
    return true;
  };
  if (!starts("http://") && !starts("https://")) return false;
  for (char c : url) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || strchr("\"<>", c)) return false;
  }
  return true;
}

bool ReadStationFile(const std::string& path, StationFile* station, std::string* error) {
  Fd file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  struct stat st;
  if (file.fd < 0 || fstat(file.fd, &st) != 0) {
    *error = strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "not a regular file";
    return false;
  }
  if (static_cast<uintmax_t>(st.st_size) > kMaxStationFile) {
    *error = "larger than a station file may be";
    return false;
  }
  std::string content;
  if (!ReadBounded(file.fd, &content, error)) return false;

  *station = StationFile();
  std::vector<Entry> files, titles;
  std::string_view rest = content;
  while (!rest.empty()) {
    size_t lf = rest.find('\n');
    bool endedByLineFeed = lf != std::string_view::npos;
    std::string_view line = rest.substr(0, lf);
    rest.remove_prefix(endedByLineFeed ? lf + 1 : rest.size());
    if (!station->hasTitle)
      station->hasTitle = TitleOfLine(TitlePiece(line, endedByLineFeed), &station->title);
    TakeEntry(line, &files, &titles);
  }
  std::stable_sort(files.begin(), files.end(),
                   [](const Entry& a, const Entry& b) { return a.number < b.number; });
  for (Entry& f : files) {
    if (!IsStreamLink(f.value)) continue;
    std::string title;
    for (const Entry& t : titles)
      if (t.number == f.number) title = t.value;
    station->streams.push_back({std::move(title), std::move(f.value)});
  }
  return true;
}
