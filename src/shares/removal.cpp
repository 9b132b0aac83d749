// Taking folders out of the catalogue: Delete, Delete All and Rescan.
#include "catalog/database.h"
#include "catalog/in_place_rewrite.h"
#include "catalog/statements.h"
#include "catalog/text.h"
#include "platform/named_mutex.h"
#include "scan/folder_state.h"
#include "shares/folder_selection.h"
#include "shares/catalogue_change.h"
#include "shares/shared_folder_core.h"

#include <sys/stat.h>
#include <functional>
#include <optional>
#include <unistd.h>

namespace {

// The listed path without its trailing '/' ("" for the root).
std::string WithoutSlash(const std::string& listed) {
  return !listed.empty() && listed.back() == '/' ? listed.substr(0, listed.size() - 1) : listed;
}

void DeleteRowsUnder(const std::string& listed) {
  DeleteRowsAndStampsUnder(WithSlash(listed));
}

void DeleteRowsOfRoot(const std::string& listed) {
  for (MediaTable t : kMediaTables) DeleteMediaByRoot(t, Quoted(listed));
}

}  // namespace

bool CSharedFolderCore::IsInsideSharedFolder(const std::string& listed) const {
  std::string p = WithoutSlash(listed);
  while (true) {
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return false;
    std::string ancestor = p.substr(0, slash + 1);
    if (m_list.IndexOf(ancestor) >= 0) return true;
    p = ancestor.substr(0, ancestor.size() - 1);
  }
}

bool CSharedFolderCore::ContainsOtherSharedFolder(const std::string& listed) const {
  // Only true descendants count: /m/Music2/ is no folder of /m/Music/.
  const std::string folder = WithSlash(listed);
  int count = 0;
  for (const std::string& item : m_list.Items())
    if (item.compare(0, folder.size(), folder) == 0 && ++count > 1) return true;
  return false;
}

int CSharedFolderCore::DeleteFolderFromCatalogue(const std::string& listed) {
  if (m_bRescan) {
    // The rows stay for the walk to write again in place (RescanAsAWhole).
    m_bRescan = false;
  } else if (IsInsideSharedFolder(listed)) {
    // The rows stay catalogued under the enclosing shared folder.
  } else if (ContainsOtherSharedFolder(listed)) {
    DeleteRowsOfRoot(listed);
  } else {
    DeleteRowsUnder(listed);
  }
  DeleteSharedFolderLike(ExactLikeArgument(listed));
  return 1;
}

void CSharedFolderCore::RemoveListItem(int index) {
  m_list.Erase(index);
  --m_nItemCount;
}

void CSharedFolderCore::DeleteSelected() {
  lastChangeOk_ = DeleteSelectedAsAWhole();
}

bool CSharedFolderCore::ChangeAsAWhole(const std::function<bool()>& change,
                                       const std::function<void(bool)>& after) {
  bool wanted = false, committed = false;
  {
    // Waits for an Add or a change being applied: neither may interleave
    // with this one, or rows of an unshared folder would survive it.
    NamedLock lock(kCatalogueMutex);
    if (!lock.Held()) {
      view_->ShowMessage(kNoLockText);
      return false;
    }
    CatalogueChange transaction;
    wanted = change();
    committed = wanted && transaction.Commit();
    after(committed);
  }
  if (wanted && !committed) view_->ShowMessage(kWriteFailedText);
  RestartMonitor();
  return committed;
}

bool CSharedFolderCore::DeleteSelectedAsAWhole() {
  const size_t selected = m_list.SelectedIndices().size();
  if (selected == 0) return true;
  return ChangeAsAWhole(
      [this, selected] {
        for (size_t n = selected; n > 0; --n) {
          std::vector<int> now = m_list.SelectedIndices();
          if (now.empty()) break;
          DeleteFolderFromCatalogue(m_list.At(now.front()));
          RemoveListItem(now.front());
        }
        return true;
      },
      [this](bool committed) {
        if (!committed) ReloadList();  // the list as the catalogue still has it
      });
}

void CSharedFolderCore::OnReset() {
  lastChangeOk_ = ResetAsAWhole();
}

bool CSharedFolderCore::ResetAsAWhole() {
  return ChangeAsAWhole(
      [] {
        ClearMediaTable(MediaTable::Image);
        ClearSharedFolders();
        ClearMediaTable(MediaTable::Video);
        ClearMediaTable(MediaTable::Audio);
        return true;
      },
      [this](bool committed) {
        if (!committed) return;
        m_list.Clear();
        m_nItemCount = 0;
      });
}

std::string CSharedFolderCore::FolderNameFromPath(const std::string& path) {
  std::string p = WithoutSlash(path);
  if (p.empty()) return "/";
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

void CSharedFolderCore::RescanSelected() {
  lastChangeOk_ = RescanAsAWhole();
}

bool CSharedFolderCore::RescanAsAWhole() {
  std::vector<int> selected = m_list.SelectedIndices();
  if (selected.empty()) return true;
  std::vector<std::string> folders;
  for (int i : selected) folders.push_back(m_list.At(i));
  for (const std::string& folder : folders) {
    // A folder that is gone for now (a network share offline) would lose
    // every row to an empty walk.
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        access(folder.c_str(), R_OK | X_OK) != 0) {
      view_->ShowMessage(folder + " cannot be read now; nothing was rescanned");
      return false;
    }
  }
  // Walked again and written as one: a rescan stopped, failed or killed
  // half way leaves the rows as they were.
  return ChangeAsAWhole(
      [&] {
        int total = 0;
        for (const std::string& folder : folders) {
          m_bRescan = true;
          DeleteFolderFromCatalogue(folder);
          m_nFileCount = 0;
          if (view_->ShowsProgress()) total += CountFiles(folder);
        }
        CreateProgress(total);
        m_nProgressPos = 0;
        for (const std::string& folder : folders) {
          // Each folder with its own chosen types, unless others were asked for.
          std::vector<std::string> types = rescanTypes_ ? *rescanTypes_ : MediaTypesOfFolder(folder);
          // Rows of files that did not change stay as they are; those of
          // files the walk no longer takes go once it is done.
          std::optional<InPlaceRewrite> rewrite;
          if (SqliteDatabase* db = ThreadCatalogue())
            rewrite.emplace(db, WithSlash(folder),
                            RescansByRoot(folder) ? InPlaceRewrite::Scope::Root : InPlaceRewrite::Scope::Under);
          ScanFolder(folder, folder, types);
          if (rewrite && !stopRequested_) rewrite->DropUnmet();
          AddSharedFolderRow(folder, FolderNameFromPath(folder), "");
          if (rescanTypes_) StoreMediaTypes(folder, types);
        }
        DestroyProgress();
        return !stopRequested_;
      },
      [](bool) {});
}
