#include "scan/dir_walk.h"

#include "platform/filesystems.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace {
thread_local std::vector<FolderId> t_branch;
}

bool ForEachEntry(const std::string& folder,
                  const std::function<void(const std::string& name, EntryKind kind)>& visit) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  int dfd = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    unsigned char type = e->d_type;
    if (type == DT_LNK || type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dfd, name, &st, 0) != 0) continue;  // broken link, or gone
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_REG) visit(name, EntryKind::File);
    else if (type == DT_DIR) visit(name, EntryKind::Folder);
  }
  closedir(dir);
  return true;
}

FolderId IdentifyFolder(const std::string& folder) {
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return {0, 0};
  return {static_cast<unsigned long>(st.st_dev), static_cast<unsigned long>(st.st_ino)};
}

bool OnBranch(const std::string& folder) {
  FolderId id = IdentifyFolder(folder);
  return id != FolderId{0, 0} && std::find(t_branch.begin(), t_branch.end(), id) != t_branch.end();
}

BranchGuard::BranchGuard(const std::string& folder) {
  FolderId id = IdentifyFolder(folder);
  if (id == FolderId{0, 0}) return;
  if (std::find(t_branch.begin(), t_branch.end(), id) != t_branch.end()) {
    skip_ = true;
    return;
  }
  if (IsPseudoFileSystem(folder)) {
    skip_ = true;
    return;
  }
  t_branch.push_back(id);
  pushed_ = true;
}

BranchGuard::~BranchGuard() {
  if (pushed_) t_branch.pop_back();
}
