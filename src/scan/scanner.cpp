// The walk of a shared folder into the catalogue.
#include <cstdio>
#include <optional>

#include "catalog/database.h"
#include "scan/dir_walk.h"
#include "scan/playlist_writer.h"
#include "shares/folder_selection.h"
#include "shares/shared_folder_core.h"

namespace {

// The connection of the walk running on this thread: the outermost level
// opens it, deeper levels write through it, so a walk costs one connection
// and its rows are written by the connection's own thread while the walk
// reads the next tags.
thread_local SqliteDatabase* t_walkConnection = nullptr;

class WalkConnection {
 public:
  WalkConnection() {
    if (t_walkConnection) {
      db_ = t_walkConnection;
      return;
    }
    own_ = OpenCatalogue();
    if (!own_) return;
    own_->StartWriteBehind();
    db_ = t_walkConnection = own_.get();
  }
  ~WalkConnection() {
    if (own_) t_walkConnection = nullptr;
  }
  SqliteDatabase* get() const { return db_; }

 private:
  CatalogConnection own_;
  SqliteDatabase* db_ = nullptr;
};

}  // namespace

short CSharedFolderCore::ScanFolder(const std::string& folder, const std::string& root) {
  if (stopRequested_) return 0;
  const std::string dir = WithSlash(folder);
  BranchGuard guard(dir);
  if (guard.Loop()) return 0;  // a link back up the tree
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
