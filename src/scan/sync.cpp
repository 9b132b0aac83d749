#include "scan/sync.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "catalog/text.h"
#include "platform/named_mutex.h"
#include "scan/dir_walk.h"
#include "scan/folder_state.h"
#include "scan/shared_rules.h"
#include "scan/walk.h"

namespace {

// Files the system writes itself, or that belong to other programs' caches.
bool IsIgnoredExtension(const std::string& name) {
  std::string ext = GetExtension(name);
  return ext == ".sls" || ext == ".thumb" || ext == ".resize";
}

// Rows of the watched folder below `folder`: a folder shared in its own right
// inside it keeps its rows (they go when it is unshared).
void DeleteFolderRows(SqliteDatabase* db, const std::string& folder, const std::string& root) {
  const std::string like = FolderLikeArgument(folder + "/");
  for (MediaTable t : kMediaTables)
    db->Exec((std::string("DELETE FROM ") + TableName(t) + " WHERE Filename like " + like +
              " AND SharedRoot = " + Quoted(root))
                 .c_str());
  db->Exec(("DELETE FROM TARVEL_FILES WHERE Filename like " + like + " AND SharedRoot = " + Quoted(root))
               .c_str());
}

void DeleteFileRows(SqliteDatabase* db, const std::string& path) {
  for (MediaTable t : kMediaTables) DeleteMediaByFilename(t, path);
  DeleteFileStamp(db, path);
}

// Rows below a folder that just appeared whose files are not there now. A
// folder is watched only once its appearance is read: what was catalogued in
// it before (by a catch-up walk) and renamed or removed in that moment is
// never reported, so its rows are checked against the disk.
void DeleteRowsOfMissingFiles(SqliteDatabase* db, const std::string& folder,
                              const std::string& root) {
  const std::string like = FolderLikeArgument(folder + "/");
  std::vector<std::string> missing;
  for (MediaTable t : kMediaTables) {
    Recordset rs = Query(db, std::string("select Filename from ") + TableName(t) +
                                 " where Filename like " + like + " AND SharedRoot = " + Quoted(root));
    struct stat st;
    while (rs->Next())
      if (std::string file = rs->Text(0); stat(file.c_str(), &st) != 0) missing.push_back(file);
  }
  for (const std::string& file : missing) DeleteFileRows(db, file);
}

// A file that appeared, got a new name or was rewritten: catalogued unless
// its row is already up to date. `replaced`: another file now stands under a
// catalogued name, whatever its size and time.
void TakeFile(FolderWalk& walk, SqliteDatabase* db, const std::string& dir, const std::string& root,
              const std::string& name, bool replaced) {
  const std::string full = dir + name;
  if (!walk.TakesFile(name)) return;
  if (IsCatalogued(full)) {
    if (!replaced) {
      std::optional<FileStamp> now = StampOfFile(full);
      std::optional<FileStamp> kept = StoredFileStamp(db, full);
      if (now && kept && *now == *kept) return;
    }
    DeleteFileRows(db, full);
  }
  walk.ClassifyFile(dir, root, name);
}

// Whether an item (its name relative to the watched folder) lies in a
// folder below the watched one that is shared in its own right.
bool InsideInnerShare(const SharedFolderRules& shares, const std::string& watched,
                      const std::string& name) {
  std::string folder = watched;
  for (size_t start = 0, slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    const std::string part = name.substr(start, slash - start);
    if (shares.IsSharedSubfolder(folder, part)) return true;
    folder += part + "/";
  }
  return false;
}

}  // namespace

void SyncChange(const SharedFolderRules* shares, const WatchRecord& record,
                const ChangeNotice& notice, int action,
                const std::function<bool(const std::string& path)>& isIncomplete) {
  const std::string& watched = record.path;
  const std::string full = watched + notice.name;
  const std::string name = GetFileName(full);
  const std::string dir = GetDirectory(full);
  bool isDirectory;
  if (notice.isDirectory) {
    isDirectory = *notice.isDirectory;
  } else {
    struct stat st;
    isDirectory = stat(full.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
  }
  // What a walk would take of the item as it is now: hidden entries, pipes,
  // devices and the program's own files never reach the catalogue.
  std::optional<EntryKind> kind;
  if (action == kActionAdded || action == kActionModified || action == kActionNewName) {
    kind = KindOfPath(watched, notice.name);
    if (!kind) return;
    isDirectory = *kind == EntryKind::Folder;
    if (!isDirectory && IsIgnoredExtension(name)) return;
  }
  // A file that can have no row touches no catalogue: opening it would make
  // changes of its own (the catalogue's journal files) when the catalogue
  // lies in a watched folder.
  if (!isDirectory && !IsMediaName(name)) return;
  CatalogConnection db = OpenCatalogue();
  if (!db) {
    fprintf(stderr, "Open DB failed!\n");
    return;
  }
  NamedLock lock(kCatalogueMutex);
  // A change that arrives after its folder stopped being shared is not applied.
  if (!shares->StillShared(db.get(), watched)) return;
  // Nor one inside a folder shared in its own right below this one: that is
  // the inner share's, whose watch and catch-up take it. This watch still
  // sees such changes until the list's change reaches the watcher.
  // A folder shared meanwhile (its Add held the lock this change waited for)
  // counts itself.
  if (InsideInnerShare(*shares, watched, notice.name + (isDirectory ? "/" : ""))) return;
  WalkContext context = ListedFolderContext(shares, db.get(), watched);
  context.skipCatalogued = true;
  context.isIncomplete = isIncomplete;
  // A new folder is walked on a connection of its own, whose rows are
  // written while the walk reads the next tags.
  auto walkNewFolder = [&] {
    DeleteRowsOfMissingFiles(db.get(), full, watched);
    ThreadConnection walkDb;
    WalkContext folderContext = context;
    folderContext.db = walkDb.get();
    FolderWalk walk(std::move(folderContext));
    walk.SetPlaylistScope(watched);
    walk.ScanNewFolder(full, watched);
  };
  FolderWalk walk(context);
  walk.SetPlaylistScope(watched);

  switch (action) {
    case kActionAdded:
      if (isDirectory) {
        walkNewFolder();
      } else {
        walk.DeletePlaylist(dir);
        TakeFile(walk, db.get(), dir, watched, name, false);
      }
      break;
    case kActionModified:
      if (!isDirectory) TakeFile(walk, db.get(), dir, watched, name, false);
      break;
    case kActionRemoved:
      if (isDirectory) {
        DeleteFolderRows(db.get(), full, watched);
      } else if (!IsIgnoredExtension(name)) {
        walk.DeletePlaylist(dir);
        DeleteFileRows(db.get(), full);
      }
      break;
    case kActionOldName:
      if (isDirectory) DeleteFolderRows(db.get(), full, watched);
      else DeleteFileRows(db.get(), full);
      break;
    case kActionNewName:
      if (isDirectory) {
        walkNewFolder();
      } else {
        TakeFile(walk, db.get(), dir, watched, name, true);
      }
      break;
    default:
      break;
  }
}
