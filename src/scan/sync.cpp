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
#include "shares/folder_selection.h"
#include "scan/playlist_writer.h"
#include "scan/walk_connection.h"
#include "shares/shared_folder_core.h"

namespace {

// Files the system writes itself, or that belong to other programs' caches.
bool IsIgnoredExtension(const std::string& name) {
  std::string ext = CSharedFolderCore::GetExtension(name);
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
void TakeFile(CSharedFolderCore* page, SqliteDatabase* db, const std::string& dir,
              const std::string& root, const std::string& name, bool replaced) {
  const std::string full = dir + name;
  if (!page->TakesFile(name)) return;
  if (IsCatalogued(full)) {
    if (!replaced) {
      std::optional<FileStamp> now = StampOfFile(full);
      std::optional<FileStamp> kept = StoredFileStamp(db, full);
      if (now && kept && *now == *kept) return;
    }
    DeleteFileRows(db, full);
  }
  page->ClassifyFile(db, dir, root, name);
}

}  // namespace

int ScanNewFolder(CSharedFolderCore* page, const std::string& folder, const std::string& root) {
  DuplicateGuard guard;
  WalkConnection db;
  if (!db.get()) {
    fprintf(stderr, "Open DB failed!\n");
    return -1;
  }
  const std::string dir = CSharedFolderCore::WithSlash(folder);
  std::optional<Transaction> tx;
  ForEachEntry(dir, [&](const std::string& name, EntryKind kind) {
    if (kind == EntryKind::File) {
      if (DuplicateGuard::Skip(dir + name)) return;
      if (!tx) tx.emplace(db.get());
      page->ClassifyFile(db.get(), folder, root, name);
    } else if (!page->IsSharedSubfolder(folder, name)) {
      if (tx) {
        tx->Commit();
        tx.reset();
      }
      page->ScanSubfolder(name, folder, root);
    }
  });
  if (tx) tx->Commit();
  return 0;
}

void SyncChange(CSharedFolderCore* page, const WatchRecord& record, const ChangeNotice& notice,
                int action) {
  const std::string& watched = record.path;
  const std::string full = watched + notice.name;
  const std::string name = CSharedFolderCore::GetFileName(full);
  const std::string dir = CSharedFolderCore::GetDirectory(full);
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
  if (!isDirectory && !CSharedFolderCore::IsMediaName(name)) return;
  CatalogConnection db = OpenCatalogue();
  if (!db) {
    fprintf(stderr, "Open DB failed!\n");
    return;
  }
  NamedLock lock(kCatalogueMutex);
  // A change that arrives after its folder stopped being shared is not applied.
  // The catalogue is asked too: another tarvel may have unshared it a moment
  // ago, before this one's list caught up.
  if (page->FindListIndex(watched) < 0 || !page->StillListedInCatalogue(db.get(), watched)) return;
  // The folder's own chosen media types.
  ScopedMediaTypes types(MediaTypesOfFolder(watched));
  PlaylistScope scope(watched);

  switch (action) {
    case kActionAdded:
      if (isDirectory) {
        DeleteRowsOfMissingFiles(db.get(), full, watched);
        ScanNewFolder(page, full, watched);
      } else {
        page->DeletePlaylist(dir);
        TakeFile(page, db.get(), dir, watched, name, false);
      }
      break;
    case kActionModified:
      if (!isDirectory) TakeFile(page, db.get(), dir, watched, name, false);
      break;
    case kActionRemoved:
      if (isDirectory) {
        DeleteFolderRows(db.get(), full, watched);
      } else if (!IsIgnoredExtension(name)) {
        page->DeletePlaylist(dir);
        DeleteFileRows(db.get(), full);
      }
      break;
    case kActionOldName:
      if (isDirectory) DeleteFolderRows(db.get(), full, watched);
      else DeleteFileRows(db.get(), full);
      break;
    case kActionNewName:
      if (isDirectory) {
        DeleteRowsOfMissingFiles(db.get(), full, watched);
        ScanNewFolder(page, full, watched);
      } else {
        TakeFile(page, db.get(), dir, watched, name, true);
      }
      break;
    default:
      break;
  }
}
