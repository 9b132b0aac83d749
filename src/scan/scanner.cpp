// The walk of a shared folder into the catalogue.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "catalog/database.h"
#include "platform/pause_point.h"
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
  PlaylistScope scope(root);
  DeletePlaylist(folder);
  WalkConnection db;
  if (!db.get()) {
    fprintf(stderr, "Open DB failed!\n");
    return -1;
  }
  // One transaction per folder level, closed before a deeper level writes
  // (a deeper level's rows then go in a transaction of their own).
  std::optional<Transaction> tx;
  int readError = 0;
  bool listed = ForEachEntry(dir, [&](const std::string& name, EntryKind kind) {
    if (name[0] == '.' || stopRequested_) return;  // hidden
    if (kind == EntryKind::File) {
      ++m_nProgressPos;
      view_->SetProgress(m_nProgressPos);
      AppendToPlaylist(folder, name);
      if (DuplicateGuard::Skip(dir + name)) return;
      if (!tx) tx.emplace(db.get());
      ClassifyFile(db.get(), folder, root, name);
      PausePoint();  // a row written, nothing committed
    } else if (!IsSharedSubfolder(folder, name)) {
      if (tx) {
        tx->Commit();
        tx.reset();
      }
      ClosePlaylists();
      ScanSubfolder(name, folder, root);
    }
  });
  if (!listed) readError = errno;
  if (tx) tx->Commit();
  ClosePlaylists();
  // A partial walk is said, not passed over: what is in there is not catalogued.
  if (!listed) view_->Warn("cannot read " + dir + ": " + strerror(readError) + "; its files are left out");
  return 0;
}

void CSharedFolderCore::DeletePlaylistsUnder(const std::string& folder) {
  const std::string dir = WithSlash(folder);
  BranchGuard guard(dir);
  if (guard.Skip()) return;
  PlaylistScope scope(folder);
  DeletePlaylist(folder);
  ForEachEntry(dir, [&](const std::string& name, EntryKind kind) {
    if (name[0] == '.' || kind != EntryKind::Folder || IsSharedSubfolder(folder, name)) return;
    if (!OnBranch(dir + name)) DeletePlaylistsUnder(dir + name);
  });
}

void CSharedFolderCore::ScanSubfolder(const std::string& name, const std::string& folder,
                                      const std::string& root) {
  std::string path = WithSlash(folder) + name;
  if (OnBranch(path)) return;  // a link back up the tree: touch nothing there
  DeletePlaylist(path);
  ScanFolder(path, root);
}
