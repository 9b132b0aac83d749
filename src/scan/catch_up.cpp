#include "scan/catch_up.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <unordered_map>
#include <vector>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "platform/named_mutex.h"
#include "scan/dir_walk.h"
#include "scan/folder_state.h"
#include "scan/shared_rules.h"
#include "scan/walk.h"

namespace {

constexpr const char* kPlaylistName = "JpgPlaylist.sls";

struct Known {
  unsigned tables = 0;  // bit per media table holding a row of the file
  int rows = 0;
  bool seen = false;
  std::optional<FileStamp> stamp;
};

class CatchUp {
 public:
  CatchUp(WalkContext context, std::string root)
      : walk_(std::move(context)), root_(std::move(root)), db_(walk_.Context().db) {}

  void Load() {
    const std::string quotedRoot = Quoted(root_);
    int bit = 0;
    for (MediaTable t : kMediaTables) {
      Recordset rs = Query(db_, std::string("select Filename from ") + TableName(t) +
                                    " where SharedRoot = " + quotedRoot);
      while (rs->Next()) {
        Known& k = rows_[rs->Text(0)];
        k.tables |= 1u << bit;
        ++k.rows;
      }
      ++bit;
    }
    Recordset rs = Query(db_, "select Filename, Size, Mtime from TARVEL_FILES where SharedRoot = " +
                                  quotedRoot);
    while (rs->Next()) {
      std::string file = rs->Text(0);
      auto it = rows_.find(file);
      // A stamp without a row is left over; it is dropped before any new
      // stamp is written.
      if (it == rows_.end()) {
        DeleteFileStamp(db_, file);
        continue;
      }
      it->second.stamp = FileStamp{std::strtoll(rs->Text(1).c_str(), nullptr, 10),
                                   std::strtoll(rs->Text(2).c_str(), nullptr, 10)};
    }
  }

  void Walk(const std::string& dir) {
    if (walk_.Stopped()) return;
    EnteredFolder entered(walk_, dir);
    if (entered.Skip()) return;
    const WalkContext& context = walk_.Context();
    std::vector<std::string> images, subfolders;
    bool listed = ForEachEntry(
        dir,
        [&](const std::string& name, EntryKind kind) {
          if (kind == EntryKind::Folder) {
            if (!context.isSharedSubfolder(dir, name)) subfolders.push_back(name);
            return;
          }
          if (IsPlaylistImage(name)) images.push_back(name);
          if (!walk_.TakesFile(name)) return;
          TakeFile(dir, name);
        },
        walk_.Bound());
    if (!listed) {
      // Unreadable for now (permissions, a failing disk): its rows stay.
      unlisted_.push_back(dir);
      return;
    }
    UpdatePlaylist(dir, images);
    for (const std::string& sub : subfolders) {
      const std::string path = dir + sub + "/";
      if (walk_.OnBranch(path)) continue;  // a link back up the tree
      Walk(path);
    }
  }

  // Rows of files the walk did not meet go, except below folders it could not list.
  void RemoveUnseen() {
    for (auto& [file, k] : rows_) {
      if (k.seen || BelowUnlisted(file)) continue;
      DeleteRows(file, k.tables);
      DeleteFileStamp(db_, file);
      ++counts.removed;
    }
  }

  CatchUpCounts counts;

 private:
  void TakeFile(const std::string& dir, const std::string& name) {
    const std::string full = dir + name;
    auto it = rows_.find(full);
    if (it != rows_.end()) {
      Known& k = it->second;
      if (k.seen) return;  // met twice through a link: one row
      k.seen = true;
      if (k.stamp && k.rows == 1) {
        std::optional<FileStamp> now = StampOfFile(full);
        if (now && *now == *k.stamp) {
          ++counts.unchanged;
          return;
        }
      }
      DeleteRows(full, k.tables);
      ++counts.changed;
    } else {
      rows_[full].seen = true;
      ++counts.added;
    }
    walk_.ClassifyFile(dir, root_, name);
  }

  void DeleteRows(const std::string& file, unsigned tables) {
    int bit = 0;
    for (MediaTable t : kMediaTables) {
      if (tables & (1u << bit))
        DeleteMediaRow(db_, t, file);
      ++bit;
    }
  }

  bool BelowUnlisted(const std::string& file) const {
    for (const std::string& dir : unlisted_)
      if (file.compare(0, dir.size(), dir) == 0) return true;
    return false;
  }

  // The folder's slideshow playlist as a walk would write it: rewritten only
  // when it differs, removed when the folder holds no image.
  void UpdatePlaylist(const std::string& dir, const std::vector<std::string>& images) {
    std::string wanted;
    for (const std::string& name : images) wanted += name + "\r\n";
    const std::string path = dir + kPlaylistName;
    std::string have;
    bool exists = false;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      exists = true;
      char buffer[8192];
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0 && have.size() <= wanted.size())
        have.append(buffer, static_cast<size_t>(n));
      close(fd);
    }
    if (exists ? have == wanted : wanted.empty()) return;
    walk_.DeletePlaylist(dir);
    for (const std::string& name : images) walk_.AppendToPlaylist(dir, name);
    walk_.ClosePlaylist();
  }

  FolderWalk walk_;
  std::string root_;
  SqliteDatabase* db_;
  std::unordered_map<std::string, Known> rows_;
  std::vector<std::string> unlisted_;
};

}  // namespace

bool IsMountPoint(const std::string& folder) {
  struct stat here, parent;
  if (stat(folder.c_str(), &here) != 0) return false;
  if (stat((WithSlash(folder) + "..").c_str(), &parent) != 0) return false;
  return here.st_dev != parent.st_dev || here.st_ino == parent.st_ino;
}

bool SharedFolderPresent(const std::string& listed, std::optional<bool> wasMountPoint) {
  struct stat st;
  if (stat(listed.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return !(wasMountPoint && *wasMountPoint) || IsMountPoint(listed);
}

CatchUpCounts CatchUpFolder(const SharedFolderRules* shares, const std::string& listed) {
  NamedLock lock(kCatalogueMutex);
  // Asked under the lock: the folder may have been unshared meanwhile. A
  // folder that is not there keeps its rows (a disk that is not plugged in).
  if (!shares->IsListed(listed) || !SharedFolderPresent(listed, StoredMountPoint(listed))) return {};
  ThreadConnection db;
  if (!db.get()) {
    printf("Open DB failed!\n");
    return {};
  }
  WalkContext context;
  context.db = db.get();
  context.types.Set(MediaTypesOfFolder(listed));
  context.isSharedSubfolder = [shares](const std::string& folder, const std::string& name) {
    return shares->IsSharedSubfolder(folder, name);
  };
  context.stopped = [shares] { return shares->StopRequested(); };
  CatchUp catchUp(std::move(context), listed);
  {
    Transaction tx(db.get());
    catchUp.Load();
    catchUp.Walk(listed);
    if (shares->StopRequested()) return {};  // rolled back: nothing half done
    catchUp.RemoveUnseen();
    tx.Commit();
  }
  db.get()->Flush();
  StoreMountPoint(listed, IsMountPoint(listed));
  catchUp.counts.done = true;
  return catchUp.counts;
}
