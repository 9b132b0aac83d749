// The engine's walks: each builds a FolderWalk with the engine's list, view
// and stop, and the media types it is given.
#include <algorithm>
#include <thread>

#include "catalog/database.h"
#include "catalog/text.h"
#include "scan/walk.h"
#include "shares/shared_folder_core.h"

WalkContext CSharedFolderCore::WalkContextFor(SqliteDatabase* db,
                                              const std::vector<std::string>& types) {
  WalkContext context;
  context.db = db;
  context.types.Set(types);
  context.isSharedSubfolder = [this](const std::string& folder, const std::string& name) {
    return IsSharedSubfolder(folder, name);
  };
  context.onFile = [this] { view_->SetProgress(++m_nProgressPos); };
  context.warn = [this](const std::string& message) { view_->Warn(message); };
  context.stopped = [this] { return stopRequested_.load(); };
  return context;
}

short CSharedFolderCore::ScanFolder(const std::string& folder, const std::string& root) {
  return ScanFolder(folder, root, g_enabledMediaTypes.Get());
}

int CSharedFolderCore::DefaultWalkReaders() {
  // One beside the walk's own thread per further core: the catalogue's writer
  // thread shares them, and more readers than cores only take turns.
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp(cores - 1, 0, 3);
}

short CSharedFolderCore::ScanFolder(const std::string& folder, const std::string& root,
                                    const std::vector<std::string>& types) {
  if (stopRequested_) return 0;
  ThreadConnection db;
  WalkContext context = WalkContextFor(db.get(), types);
  context.readers = walkReaders_;
  FolderWalk walk(std::move(context));
  return walk.ScanFolder(folder, root);
}

void CSharedFolderCore::ScanSubfolder(const std::string& name, const std::string& folder,
                                      const std::string& root) {
  ThreadConnection db;
  FolderWalk walk(WalkContextFor(db.get(), g_enabledMediaTypes.Get()));
  walk.ScanSubfolder(name, folder, root);
}

int CSharedFolderCore::CountFiles(const std::string& folder) {
  FolderWalk walk(WalkContextFor(nullptr, {}));
  m_nFileCount += walk.CountFiles(folder);
  return m_nFileCount;
}

int CSharedFolderCore::CountSubfolderFiles(const std::string& name, const std::string& folder) {
  CountFiles(WithSlash(folder) + name);
  return 0;
}

void CSharedFolderCore::DeletePlaylistsUnder(const std::string& folder) {
  FolderWalk walk(WalkContextFor(nullptr, {}));
  walk.DeletePlaylistsUnder(folder);
}

bool CSharedFolderCore::AppendToPlaylist(const std::string& folder, const std::string& name) {
  FolderWalk walk(WalkContext{});
  return walk.AppendToPlaylist(folder, name);  // written when the walk ends, here
}

int CSharedFolderCore::IsPlaylistImage(const std::string& name) const {
  return ::IsPlaylistImage(name) ? 1 : 0;
}

void CSharedFolderCore::DeletePlaylist(const std::string& folder) {
  FolderWalk walk(WalkContext{});
  walk.DeletePlaylist(folder);
}

void CSharedFolderCore::LoadMediaTypes() { g_enabledMediaTypes.LoadAll(); }

bool CSharedFolderCore::IsMediaTypeEnabled(const std::string& extension) const {
  return g_enabledMediaTypes.Contains(Utf8Lower(extension));
}

bool CSharedFolderCore::IsMediaName(const std::string& fileName) { return ::IsMediaName(fileName); }

int CSharedFolderCore::ClassifyFile(SqliteDatabase* db, const std::string& folder,
                                    const std::string& root, const std::string& fileName) {
  return ::ClassifyFile(db, g_enabledMediaTypes, folder, root, fileName);
}
