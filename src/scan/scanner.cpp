// The walk of a shared folder into the catalogue.
#include <cstdio>
#include <optional>

#include "catalog/database.h"
#include "scan/dir_walk.h"
#include "scan/playlist_writer.h"
#include "scan/walk_connection.h"
#include "shares/folder_selection.h"
#include "shares/shared_folder_core.h"

short CSharedFolderCore::ScanFolder(const std::string& folder, const std::string& root) {
  if (stopRequested_) return 0;
  const std::string dir = WithSlash(folder);
  BranchGuard guard(dir);
  if (guard.Skip()) return 0;  // a link back up the tree, or /proc and the like
  DeletePlaylist(folder);
  WalkConnection db;
  if (!db.get()) {
    printf("Open DB failed!\n");
    return -1;
  }
  // One transaction per folder level, closed before a deeper level writes
  // (a deeper level's rows then go in a transaction of their own).
  std::optional<Transaction> tx;
  ForEachEntry(dir, [&](const std::string& name, EntryKind kind) {
    if (name[0] == '.' || stopRequested_) return;  // hidden
    if (kind == EntryKind::File) {
      ++m_nProgressPos;
      view_->SetProgress(m_nProgressPos);
      AppendToPlaylist(folder, name);
      if (DuplicateGuard::Skip(dir + name)) return;
      if (!tx) tx.emplace(db.get());
      ClassifyFile(db.get(), folder, root, name);
    } else if (!IsSharedSubfolder(folder, name)) {
      if (tx) {
        tx->Commit();
        tx.reset();
      }
      ClosePlaylists();
      ScanSubfolder(name, folder, root);
    }
  });
  if (tx) tx->Commit();
  ClosePlaylists();
  return 0;
}

void CSharedFolderCore::ScanSubfolder(const std::string& name, const std::string& folder,
                                      const std::string& root) {
  std::string path = WithSlash(folder) + name;
  if (OnBranch(path)) return;  // a link back up the tree: touch nothing there
  g_folderSelection.Add(name, path);
  DeletePlaylist(path);
  ScanFolder(path, root);
}
