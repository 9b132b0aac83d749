// Add: the duplicate test, the file count and the worker that shares a folder.
#include <algorithm>
#include <cstdlib>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "catalog/text.h"
#include "platform/filesystems.h"
#include "platform/named_mutex.h"
#include "scan/catch_up.h"
#include "scan/dir_walk.h"
#include "scan/folder_state.h"
#include "shares/catalogue_change.h"
#include "shares/shared_folder_core.h"

bool CSharedFolderCore::IsParentOfSharedFolder(const std::string& path) const {
  const std::string p = WithSlash(path);
  bool seen = false;
  for (const std::string& item : m_list.Items()) {
    if (item.compare(0, p.size(), p) != 0) continue;
    if (p.size() >= item.size()) return false;  // the folder itself is listed
    seen = true;
  }
  return seen;
}

bool CSharedFolderCore::IsAlreadyShared(const std::string& path, const std::string& /*label*/) {
  const std::string like = FolderLikeArgument(WithSlash(path));
  // SHAREDFOLDER has no Filename column, so only the media tables are counted;
  // listed folders below the path are found in the list instead. Only
  // whether there is a row matters: one is enough, however large the folder.
  int sum = 0;
  for (MediaTable t : kMediaTables)
    sum += CountRows((FilenameCountQuery(TableName(t), like) + " LIMIT 1").c_str());
  if (sum == 0) return IsListed(path);
  return !IsParentOfSharedFolder(path);
}

void AddSharedFolderRow(const std::string& path, const std::string& label,
                        const std::string& viewName) {
  std::string l = label;
  // A root's label loses its slash, but is never left empty.
  if (l.size() > 1 && l.back() == '/') l.pop_back();
  SharedFolderRow row{path, l, ViewCodeFromName(viewName)};
  if (CountRows(SharedFolderExistsQuery(path).c_str()) == 0) InsertSharedFolderRow(row);
}

namespace {

// The folder and every folder above it, by identity: the same folder reached
// through a symbolic link or a bind mount has the same one.
std::vector<FolderId> SelfAndAncestors(const std::string& folder) {
  std::vector<FolderId> ids;
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) return ids;
  std::string p = real;
  free(real);
  while (true) {
    FolderId id = IdentifyFolder(p.empty() ? "/" : p);
    if (id != FolderId{0, 0}) ids.push_back(id);
    size_t slash = p.rfind('/');
    if (p.empty() || slash == std::string::npos) break;
    p.erase(slash);
  }
  return ids;
}

bool LexicallyRelated(const std::string& a, const std::string& b) {
  return a.compare(0, b.size(), b) == 0 || b.compare(0, a.size(), a) == 0;
}

}  // namespace

std::string CSharedFolderCore::SharedUnderAnotherPath(const std::string& path) const {
  const std::string p = WithSlash(path);
  const FolderId self = IdentifyFolder(p);
  const std::vector<FolderId> up = SelfAndAncestors(p);
  for (const std::string& item : m_list.Items()) {
    // Folders related by their paths follow the nesting rules of the list.
    if (LexicallyRelated(p, item)) continue;
    const FolderId listed = IdentifyFolder(item);
    if (listed == FolderId{0, 0}) continue;
    if (std::find(up.begin(), up.end(), listed) != up.end()) return item;  // the same, or inside
    std::vector<FolderId> above = SelfAndAncestors(item);
    if (std::find(above.begin(), above.end(), self) != above.end()) return item;  // around
  }
  return {};
}

bool CSharedFolderCore::RefuseAdd(const std::string& path, const std::string& label) {
  if (IsPseudoFileSystem(path)) {
    view_->ShowMessage(path + " is on a kernel file system and holds no media; not shared");
    return true;
  }
  const std::string other = SharedUnderAnotherPath(path);
  if (!other.empty()) {
    view_->ShowMessage(path + " is the same folder as the shared " + other +
                       ", or lies inside or around it, under another path; not shared");
    return true;
  }
  if (IsAlreadyShared(path, label)) {
    view_->ShowMessage(kAlreadySharedMessage);
    return true;
  }
  return false;
}

bool CSharedFolderCore::StartAdd(const std::string& path, const std::string& label) {
  if (RefuseAdd(path, label)) return false;
  Queue([request = AddRequest{this, path, label, g_enabledMediaTypes.Get()}] {
    AddFolderThread(request);
  });
  return true;
}

void CSharedFolderCore::QueueAdd(const std::string& path, const std::string& label) {
  Queue([this, request = AddRequest{this, path, label, g_enabledMediaTypes.Get()}] {
    if (!RefuseAdd(request.path, request.label)) AddFolderThread(request);
  });
}

bool CSharedFolderCore::StartRescan(const std::vector<std::string>& folders,
                                    std::optional<std::vector<std::string>> types) {
  if (folders.empty()) return false;
  // Disabled before the worker starts, so that no second operation slips in
  // between the click and the worker.
  view_->SetButtonsEnabled(false);
  Queue([this, folders, types = std::move(types)] {
    SelectOnly(folders);
    SetRescanTypes(types);
    RescanSelected();
  });
  // Queued apart: the buttons come back also when a stop skipped the rescan.
  worker_.Post([this] { view_->SetButtonsEnabled(true); });
  return true;
}

void CSharedFolderCore::StartDelete(const std::vector<std::string>& folders) {
  if (folders.empty()) return;
  // Queued behind whatever runs: the worker never interleaves two changes.
  Queue([this, folders] {
    SelectOnly(folders);
    DeleteSelected();
  });
}

void CSharedFolderCore::StartReset() {
  Queue([this] { OnReset(); });
}

void CSharedFolderCore::SelectOnly(const std::vector<std::string>& folders) {
  const std::vector<std::string> items = m_list.Items();
  for (size_t i = 0; i < items.size(); ++i)
    m_list.SetSelected(static_cast<int>(i),
                       std::find(folders.begin(), folders.end(), items[i]) != folders.end());
}

void CSharedFolderCore::Queue(std::function<void()> task) {
  worker_.Post([this, task = std::move(task)] {
    if (!stopRequested_) task();
  });
}

void CSharedFolderCore::WaitForAdds() { worker_.WaitIdle(); }

unsigned CSharedFolderCore::AddFolderThread(AddRequest request) {
  CSharedFolderCore* page = request.page;
  const std::string path = request.path;
  const std::string label = request.label;
  // The types chosen when the Add was asked for, kept as the folder's own.
  RunAdd(page, path, label, request.types);
  // The new folder's catch-up and changes are queued on the worker after
  // this task.
  if (!page->stopRequested_) page->RestartMonitor();
  return 0;
}

void CSharedFolderCore::RunAdd(CSharedFolderCore* page, const std::string& path,
                               const std::string& label, const std::vector<std::string>& types) {
  NamedLock lock(kCatalogueMutex);
  ShareView& view = *page->view_;
  if (!lock.Held()) {
    ++page->failedAdds_;
    view.ShowMessage(kNoLockText);
    return;
  }
  // Asked again under the lock: another Add of the same folder (from here or
  // from another tarvel) may have finished while this one waited.
  if (page->IsAlreadyShared(path, label)) {
    ++page->refusedAdds_;
    view.ShowMessage(kAlreadySharedMessage);
    return;
  }
  view.SetButtonsEnabled(false);
  view.ShowWaitingLabel(kWaitingText);
  page->m_nFileCount = 0;
  int count = view.ShowsProgress() ? page->CountFiles(path) : 0;
  view.HideWaitingLabel();
  page->CreateProgress(count);
  page->m_nProgressPos = 0;
  // Every row records the folder as it is listed, so that removal by root
  // finds them all.
  const std::string listed = WithSlash(path);
  bool committed = false;
  {
    // Rows and the SHAREDFOLDER row go in as one: stopped, failed or killed
    // half way, the Add leaves no row behind. The journal lets the next
    // start take back the playlists of an Add that was killed.
    AddJournal journal(listed);
    CatalogueChange change;
    page->ScanFolder(path, listed, types);
    page->DestroyProgress();
    if (!page->stopRequested_) {
      AddSharedFolderRow(listed, label, "");
      StoreMediaTypes(listed, types);
      StoreMountPoint(listed, IsMountPoint(listed));
      committed = change.Commit();
    }
    if (!committed) page->DeletePlaylistsUnder(listed);
  }
  if (committed) {
    page->AddListItem(listed);
  } else if (!page->stopRequested_) {
    ++page->failedAdds_;
    view.ShowMessage(kWriteFailedText);
  }
  view.SetButtonsEnabled(true);
}
