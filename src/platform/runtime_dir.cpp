#include "platform/runtime_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

bool PrivateFolder(const std::string& path) {
  mkdir(path.c_str(), 0700);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

}  // namespace

std::string RuntimeDirPath() {
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  std::string dir;
  if (xdg && *xdg == '/') {
    struct stat st;
    if (stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid())
      dir = std::string(xdg) + "/tarvel";
  }
  if (dir.empty()) dir = "/tmp/tarvel-" + std::to_string(getuid());
  return dir;
}

std::string RuntimeDir() {
  std::string dir = RuntimeDirPath();
  return PrivateFolder(dir) ? dir : std::string();
}
