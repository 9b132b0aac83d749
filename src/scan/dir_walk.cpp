#include "scan/dir_walk.h"

#include "platform/filesystems.h"
#include "platform/runtime_dir.h"
#include "catalog/database.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// A folder's entries, read by getdents64 into one buffer: opendir would also
// fstat the folder, one more system call at every folder of a walk.
class FolderEntries {
 public:
  explicit FolderEntries(const std::string& folder)
      : fd_(open(folder.c_str(), O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC)) {}
  ~FolderEntries() {
    if (fd_ >= 0) close(fd_);
  }
  FolderEntries(const FolderEntries&) = delete;
  FolderEntries& operator=(const FolderEntries&) = delete;

  bool Opened() const { return fd_ >= 0; }
  // Whether a read failed before the end (what was read is all there is).
  bool Failed() const { return failed_; }
  // The next entry; nullptr at the end, or where the folder cannot be read on.
  const dirent64* Next() {
    if (at_ >= end_) {
      const ssize_t n = getdents64(fd_, buffer_.get(), kSize);
      if (n < 0) failed_ = true;
      if (n <= 0) return nullptr;
      at_ = 0;
      end_ = static_cast<size_t>(n);
    }
    auto* entry = reinterpret_cast<const dirent64*>(buffer_.get() + at_);
    at_ += entry->d_reclen;
    return entry;
  }

 private:
  static constexpr size_t kSize = 32768;
  int fd_;
  std::unique_ptr<char[]> buffer_{new char[kSize]};
  size_t at_ = 0, end_ = 0;
  bool failed_ = false;
};

std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  std::string out = real ? real : "";
  free(real);
  return out;
}

}  // namespace

bool LinkStaysInside(const std::string& link, const std::string& folder, const std::string& bound) {
  const std::string inside = bound.empty() ? RealPath(folder) : bound;
  const std::string target = RealPath(link);
  if (inside.empty() || target.empty()) return false;
  if (inside == "/") return true;
  return target == inside || target.compare(0, inside.size() + 1, inside + "/") == 0;
}

PrivateFolders PrivateFolders::Now() {
  PrivateFolders own;
  own.data = IdentifyFolder(".");
  own.runtime = IdentifyFolder(RuntimeDirPath());
  return own;
}

FolderId IdOf(const struct stat& st) {
  return {static_cast<unsigned long>(st.st_dev), static_cast<unsigned long>(st.st_ino)};
}

namespace {

// The files the program writes in its data folder.
bool IsOwnDataFile(const std::string& name) {
  return name.rfind(kCatalogueFile + 2, 0) == 0 ||  // data.sqlite and its -wal, -shm, -journal
         name == "ServerName.change" || name == "RadioList";
}

}  // namespace

std::optional<EntryKind> KindOfEntry(const std::string& folder, const std::string& name,
                                     unsigned char type, const PrivateFolders& own,
                                     const std::string& bound) {
  if (name.empty() || name[0] == '.') return std::nullopt;  // hidden, or "." and ".."
  const std::string path = folder + name;
  struct stat st;
  bool haveStat = false;
  if (type == DT_UNKNOWN) {
    if (lstat(path.c_str(), &st) != 0) return std::nullopt;
    if (S_ISLNK(st.st_mode)) type = DT_LNK;
  }
  if (type == DT_LNK && !LinkStaysInside(path, folder, bound)) return std::nullopt;
  if (type == DT_LNK || type == DT_UNKNOWN) {
    if (stat(path.c_str(), &st) != 0) return std::nullopt;  // broken link, or gone
    haveStat = true;
    type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
  }
  if (type == DT_REG) {
    if (IsOwnDataFile(name) && IdentifyFolder(folder) == own.data) return std::nullopt;
    return EntryKind::File;
  }
  if (type != DT_DIR) return std::nullopt;
  if (!haveStat && stat(path.c_str(), &st) != 0) {
    // A folder too deep to reach by its path is still a folder of the tree:
    // the walk tries it and names it, rather than leave it out unsaid.
    return errno == ENAMETOOLONG ? std::optional(EntryKind::Folder) : std::nullopt;
  }
  const FolderId id = IdOf(st);
  if (id == own.data || id == own.runtime) return std::nullopt;
  if (IsOwnDataFile(name) && IdentifyFolder(folder) == own.data) return std::nullopt;
  return EntryKind::Folder;
}

std::optional<EntryKind> KindOfPath(const std::string& root, const std::string& relative) {
  const PrivateFolders own = PrivateFolders::Now();
  const std::string bound = RealPath(root);
  std::string folder = root;
  size_t start = 0;
  while (true) {
    size_t slash = relative.find('/', start);
    const std::string name = relative.substr(start, slash == std::string::npos ? slash : slash - start);
    std::optional<EntryKind> kind = KindOfEntry(folder, name, DT_UNKNOWN, own, bound);
    if (slash == std::string::npos || slash + 1 == relative.size()) return kind;
    if (kind != EntryKind::Folder) return std::nullopt;
    folder += name + "/";
    start = slash + 1;
  }
}

bool ForEachEntry(const std::string& folder,
                  const std::function<void(const std::string& name, EntryKind kind)>& visit,
                  const std::string& bound) {
  return ForEachEntry(folder, visit, bound, PrivateFolders::Now());
}

bool ForEachEntry(const std::string& folder,
                  const std::function<void(const std::string& name, EntryKind kind)>& visit,
                  const std::string& bound, const PrivateFolders& own, bool* plain) {
  FolderEntries entries(folder);
  if (!entries.Opened()) return false;
  if (plain) *plain = true;
  std::string name;
  while (const dirent64* e = entries.Next()) {
    if (e->d_name[0] == '.') continue;  // hidden, or "." and ".."
    name.assign(e->d_name);
    // Plain files are the common case: decided without a system call.
    if (e->d_type == DT_REG && !IsOwnDataFile(name)) {
      visit(name, EntryKind::File);
      continue;
    }
    std::optional<EntryKind> kind = KindOfEntry(folder, name, e->d_type, own, bound);
    if (plain && !(kind && (e->d_type == DT_REG || e->d_type == DT_DIR))) *plain = false;
    if (kind) visit(name, *kind);
  }
  if (plain && entries.Failed()) *plain = false;
  return true;
}

FolderId IdentifyFolder(const std::string& folder) {
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return {0, 0};
  return {static_cast<unsigned long>(st.st_dev), static_cast<unsigned long>(st.st_ino)};
}
