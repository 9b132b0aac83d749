#include "scan/sync.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "catalog/text.h"
#include "platform/named_mutex.h"
#include "scan/dir_walk.h"
#include "scan/walk_connection.h"
#include "shares/shared_folder_core.h"

namespace {

// Files the system writes itself, or that belong to other programs' caches.
bool IsIgnoredExtension(const std::string& name) {
  std::string ext = CSharedFolderCore::GetExtension(name);
  return ext == ".sls" || ext == ".thumb" || ext == ".resize";
}

void DeleteFolderRows(const std::string& folder) {
  for (MediaTable t : kMediaTables) DeleteMediaLike(t, FolderLikeArgument(folder + "/"));
}

void DeleteFileRows(const std::string& path) {
  for (MediaTable t : kMediaTables) DeleteMediaByFilename(t, path);
}

}  // namespace

int ScanNewFolder(CSharedFolderCore* page, const std::string& folder, const std::string& root) {
  DuplicateGuard guard;
  WalkConnection db;
  if (!db.get()) {
    printf("Open DB failed!\n");
    return -1;
  }
  const std::string dir = CSharedFolderCore::WithSlash(folder);
  std::optional<Transaction> tx;
  ForEachEntry(dir, [&](const std::string& name, EntryKind kind) {
    if (kind == EntryKind::File) {
      if (DuplicateGuard::Skip(dir + name)) return;
      if (!tx) tx.emplace(db.get());
      page->ClassifyFile(db.get(), folder, root, name);
    } else {
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
  bool isDirectory;
  if (notice.isDirectory) {
    isDirectory = *notice.isDirectory;
  } else {
    struct stat st;
    isDirectory = stat(full.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
  }
  CatalogConnection db = OpenCatalogue();
  if (!db) {
    printf("Open DB failed!\n");
    return;
  }
  NamedLock lock(kCatalogueMutex);
  // A change that arrives after its folder stopped being shared is not applied.
  if (page->FindListIndex(watched) < 0) return;

  const std::string name = CSharedFolderCore::GetFileName(full);
  const std::string dir = CSharedFolderCore::GetDirectory(full);
  switch (action) {
    case kActionAdded:
      if (isDirectory) {
        ScanNewFolder(page, full, watched);
      } else if (!IsIgnoredExtension(name)) {
        page->DeletePlaylist(dir);
        if (!IsCatalogued(full)) {
          page->LoadMediaTypes();
          page->ClassifyFile(db.get(), dir, watched, name);
        }
      }
      break;
    case kActionRemoved:
      if (isDirectory) {
        DeleteFolderRows(full);
        int index = page->FindListIndex(full);
        if (index >= 0) page->RemoveListItem(index);
      } else if (!IsIgnoredExtension(name)) {
        page->DeletePlaylist(dir);
        DeleteFileRows(full);
      }
      break;
    case kActionOldName:
      if (isDirectory) DeleteFolderRows(full);
      else DeleteFileRows(full);
      break;
    case kActionNewName:
      if (isDirectory) {
        ScanNewFolder(page, full, watched);
      } else if (!IsIgnoredExtension(name) && !IsCatalogued(full)) {
        page->ClassifyFile(db.get(), dir, watched, name);
      }
      break;
    default:
      break;
  }
}
