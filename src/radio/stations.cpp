#include "radio/stations.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "radio/station_file.h"

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
  StationFile station;
  std::string error;
  if (!ReadStationFile(path, &station, &error)) {
    fprintf(stderr, "fopen error\n%s: %s\n", path, error.c_str());
    return -1;
  }
  if (!station.hasTitle) return -1;
  *title = std::move(station.title);
  return 0;
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
