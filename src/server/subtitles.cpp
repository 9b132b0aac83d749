#include "server/subtitles.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>

namespace {

// In order of preference when a video has several.
constexpr struct {
  const char* extension;
  const char* mime;
} kKinds[] = {{".srt", "text/srt"},   {".vtt", "text/vtt"},       {".ass", "text/x-ass"},
              {".ssa", "text/x-ssa"}, {".smi", "application/smil"}};

int Rank(const std::string& extension) {
  for (size_t i = 0; i < std::size(kKinds); ++i)
    if (extension == kKinds[i].extension) return static_cast<int>(i);
  return -1;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool Inside(const std::string& path, const std::string& realRoot) {
  if (realRoot.empty()) return false;
  char real[PATH_MAX];
  if (!realpath(path.c_str(), real)) return false;
  if (realRoot == "/") return true;
  size_t n = realRoot.size();
  return strncmp(real, realRoot.c_str(), n) == 0 && real[n] == '/';
}

std::string BaseOf(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

const char* SubtitleMimeType(const std::string& extension) {
  int rank = Rank(extension);
  return rank < 0 ? nullptr : kKinds[rank].mime;
}

std::string SubtitleType(const std::string& extension) { return extension.substr(1); }

std::string SubtitlePath(const MediaFile& video, const Subtitle& subtitle) {
  return "/subtitles/" + video.hash + subtitle.extension;
}

SubtitleFinder::Folder SubtitleFinder::List(const std::string& dir, const std::string& realRoot) {
  Folder f;
  DIR* d = opendir(dir.c_str());
  if (!d) return f;
  size_t seen = 0;
  while (dirent* e = readdir(d)) {
    if (++seen > kMaxNames) break;
    std::string name = e->d_name;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) continue;
    std::string extension = Lower(name.substr(dot));
    int rank = Rank(extension);
    if (rank < 0) continue;
    std::string base = Lower(BaseOf(name));
    auto it = f.byName.find(base);
    if (it != f.byName.end() && Rank(it->second.extension) <= rank) continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !Inside(path, realRoot)) continue;
    f.byName[base] = {path, extension};
  }
  closedir(d);
  return f;
}

std::optional<Subtitle> SubtitleFinder::Find(const MediaFile& video) {
  if (video.kind != MediaKind::Video || video.dir.empty()) return std::nullopt;
  std::string dir = video.dir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return std::nullopt;
  std::string base = Lower(BaseOf(video.path.substr(video.path.rfind('/') + 1)));
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = folders_.find(dir);
  if (it == folders_.end() || it->second.mtime.tv_sec != st.st_mtim.tv_sec ||
      it->second.mtime.tv_nsec != st.st_mtim.tv_nsec) {
    if (folders_.size() >= kMaxFolders) folders_.clear();
    Folder listed = List(dir, video.realRoot);
    listed.mtime = st.st_mtim;
    it = folders_.insert_or_assign(dir, std::move(listed)).first;
  }
  auto found = it->second.byName.find(base);
  if (found == it->second.byName.end()) return std::nullopt;
  return found->second;
}
