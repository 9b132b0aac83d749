#include "shares/shared_folder_core.h"

#include <algorithm>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "catalog/text.h"
#include "platform/named_mutex.h"
#include "scan/catch_up.h"
#include "scan/folder_state.h"
#include "shares/change_monitor.h"

CSharedFolderCore::CSharedFolderCore() = default;

CSharedFolderCore::~CSharedFolderCore() {
  // No worker outlives the engine it uses. The watcher goes first: it posts
  // to the worker, whose queued changes (skipped now) need no monitor.
  RequestStop();
  StopMonitor();
  WaitForAdds();
}

void CSharedFolderCore::EnableMonitor() {
  {
    std::lock_guard lock(monitorMutex_);
    monitorEnabled_ = true;
  }
  RestartMonitor();
}

void CSharedFolderCore::StartMonitor() {
  {
    std::lock_guard lock(monitorMutex_);
    monitorEnabled_ = true;
  }
  worker_.Post([this] { RestartMonitor(); });
}

void CSharedFolderCore::RestartMonitor() {
  std::lock_guard lock(monitorMutex_);
  if (!monitorEnabled_ || stopRequested_) return;
  // One worker for the whole run: folders that stay listed keep their
  // watches, so that no change is lost while the list changes.
  if (monitor_ && monitor_->Ok()) {
    monitor_->SetRoots(m_list.Items());
    return;
  }
  monitor_.reset();  // the old worker ends before anything is rebuilt
  {
    // Stamps of folders unshared meanwhile are of no more use.
    CatalogConnection db = OpenCatalogue();
    if (db) DeleteStampsOfUnsharedRoots(db.get());
  }
  monitor_ = std::make_unique<ChangeMonitor>(this, worker_, m_list.Items(), monitorSettle_);
}

void CSharedFolderCore::StopMonitor() {
  unsigned long long handedOver = 0;
  {
    std::lock_guard lock(monitorMutex_);
    if (monitor_) handedOver = monitor_->Stop();
    monitor_.reset();
  }
  // Over when it returns, as when the watcher applied the changes itself:
  // what it noticed is applied (or skipped by a stop).
  if (!worker_.OnThread()) worker_.WaitFor(handedOver);
}

bool CSharedFolderCore::MonitorRunning() const {
  std::lock_guard lock(monitorMutex_);
  return monitor_ && monitor_->Ok();
}

void CSharedFolderCore::ResyncFolder(const std::string& listed) { CatchUpFolder(this, listed); }

void CSharedFolderCore::SetView(ShareView* view) {
  view_ = view ? view : &defaultView_;
  m_list.SetView(view);
}

namespace {

std::vector<std::string> SharedFolderPaths(SqliteDatabase* db, bool echo) {
  std::vector<std::string> paths;
  Recordset rs = Query(db, kSelectSharedFolders);
  if (echo) rs->Print();
  while (rs->Next()) paths.push_back(rs->Text(1));  // FullPath, whole
  return paths;
}

}  // namespace

int CSharedFolderCore::LoadList() {
  CatalogConnection db = OpenCatalogue();
  if (!db) return 0;
  for (const std::string& path : SharedFolderPaths(db.get(), echoList_)) AddListItem(path);
  listFromCatalogue_ = true;
  return 0;
}

bool CSharedFolderCore::StillShared(SqliteDatabase* db, const std::string& listed) const {
  return FindListIndex(listed) >= 0 && StillListedInCatalogue(db, listed);
}

bool CSharedFolderCore::StillListedInCatalogue(SqliteDatabase* db, const std::string& listed) const {
  if (!listFromCatalogue_ || !db) return true;
  return Query(db, SharedFolderExistsQuery(WithSlash(listed)))->RowCount() > 0;
}

void CSharedFolderCore::ReloadList() {
  std::vector<std::string> now;
  {
    CatalogConnection db = OpenCatalogue();
    if (!db) return;
    now = SharedFolderPaths(db.get(), false);
  }
  m_list.Clear();
  m_nItemCount = 0;
  for (const std::string& path : now) AddListItem(path);
  listFromCatalogue_ = true;
}

bool CSharedFolderCore::ReloadListIfChanged() {
  std::vector<std::string> now;
  {
    CatalogConnection db = OpenCatalogue();
    if (!db) return false;
    now = SharedFolderPaths(db.get(), false);
  }
  // Compared with the list itself, not with an older load: this engine's
  // own Adds and Deletes are in both already and change nothing here.
  std::vector<std::string> listed = m_list.Items();
  std::erase(now, std::string());
  std::sort(now.begin(), now.end());
  std::sort(listed.begin(), listed.end());
  if (now == listed) return false;
  ReloadList();
  RestartMonitor();
  return true;
}

void CSharedFolderCore::StartReloadIfChanged() {
  if (reloadQueued_.exchange(true)) return;
  Queue([this] {
    reloadQueued_ = false;
    ReloadListIfChanged();
  });
}

void CSharedFolderCore::AddListItem(const std::string& path) {
  if (path.empty()) return;
  m_list.Insert(m_nItemCount, path);
  ++m_nItemCount;
}

bool CSharedFolderCore::IsListed(const std::string& path) const {
  return m_list.IndexOf(WithSlash(path)) >= 0;
}

int CSharedFolderCore::FindListIndex(const std::string& path) const {
  return m_list.IndexOf(WithSlash(path));
}

bool CSharedFolderCore::IsSharedSubfolder(const std::string& folder, const std::string& name) const {
  return m_list.IndexOf(WithSlash(folder) + name + "/") >= 0;
}

std::string CSharedFolderCore::GetExtension(const std::string& name) { return ::GetExtension(name); }
std::string CSharedFolderCore::GetFileName(const std::string& path) { return ::GetFileName(path); }
std::string CSharedFolderCore::GetDirectory(const std::string& path) { return ::GetDirectory(path); }
std::string CSharedFolderCore::WithSlash(const std::string& path) { return ::WithSlash(path); }

bool CSharedFolderCore::HasNoExtension(const std::string& name) {
  return name.find('.') == std::string::npos;
}

int CSharedFolderCore::CreateProgress(int range) {
  // The whole count is kept: a bar of 70,000 files must not fill at 4,464.
  view_->CreateProgress(range < 0 ? 0 : range);
  view_->SetProgress(0);
  return 1;
}

int CSharedFolderCore::DestroyProgress() {
  NamedLock lock(kAlternateMutex);
  view_->DestroyProgress();
  return 1;
}
