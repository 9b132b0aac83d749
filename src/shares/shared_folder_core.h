// The sharing engine: the list of shared folders and every operation that
// changes it or the catalogue (Add, Delete, Delete All, Rescan), with the
// scanner, the classifier and the playlists they use. It owns no widgets:
// the command line drives it directly and the control panel's page holds one
// and shows it through a ShareView.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "scan/media_types.h"
#include "scan/paths.h"
#include "scan/shared_rules.h"
#include "shares/folder_list.h"
#include "shares/share_view.h"
#include "shares/share_worker.h"

struct SqliteDatabase;
struct WalkContext;
class ChangeMonitor;

class CSharedFolderCore final : public SharedFolderRules {
 public:
  CSharedFolderCore();
  ~CSharedFolderCore();
  CSharedFolderCore(const CSharedFolderCore&) = delete;
  CSharedFolderCore& operator=(const CSharedFolderCore&) = delete;

  void SetView(ShareView* view);
  ShareView& View() { return *view_; }
  SharedFolderList& List() { return m_list; }
  // Whether LoadList echoes the SHAREDFOLDER rows on standard output.
  void SetEchoList(bool echo) { echoList_ = echo; }

  // The list and its queries.
  int LoadList();
  // Loads the list again when SHAREDFOLDER no longer lists what the list
  // holds (another tarvel shared or unshared a folder) and watches the new
  // list. True when it did.
  bool ReloadListIfChanged();
  // ReloadListIfChanged on the worker, unless one is queued already.
  void StartReloadIfChanged();
  void AddListItem(const std::string& path);
  bool IsListed(const std::string& path) const override;
  int FindListIndex(const std::string& path) const;
  bool IsSharedSubfolder(const std::string& folder, const std::string& name) const override;
  bool StillShared(SqliteDatabase* db, const std::string& listed) const override;

  // Path utilities.
  static std::string GetExtension(const std::string& name);
  static std::string GetFileName(const std::string& path);
  static std::string GetDirectory(const std::string& path);
  static bool HasNoExtension(const std::string& name);
  static std::string WithSlash(const std::string& path);

  // Media types and classification, with the media types the dialogs chose
  // last (g_enabledMediaTypes). Walks of a shared folder use its own types,
  // given to the walk (scan/walk.h).
  bool IsMediaTypeEnabled(const std::string& extension) const;
  void LoadMediaTypes();
  static bool IsMediaName(const std::string& fileName);
  int ClassifyFile(SqliteDatabase* db, const std::string& folder, const std::string& root,
                   const std::string& fileName);

  // Slideshow playlists, written at once.
  bool AppendToPlaylist(const std::string& folder, const std::string& name);
  int IsPlaylistImage(const std::string& name) const;
  void DeletePlaylist(const std::string& folder);
  // The playlists of every folder a walk of `folder` would enter.
  void DeletePlaylistsUnder(const std::string& folder);

  // The walk, with the chosen media types, on this thread's change (see
  // ThreadConnection) or a connection of its own.
  short ScanFolder(const std::string& folder, const std::string& root);
  short ScanFolder(const std::string& folder, const std::string& root,
                   const std::vector<std::string>& types);
  void ScanSubfolder(const std::string& name, const std::string& folder, const std::string& root);
  // How many threads read files ahead of an Add's or a rescan's walk (tags
  // on every core); 0 reads them on the walk's own thread.
  void SetWalkReaders(int readers) { walkReaders_ = readers; }
  static int DefaultWalkReaders();
  // Adds the files a walk of `folder` meets to m_nFileCount; returns it.
  int CountFiles(const std::string& folder);
  int CountSubfolderFiles(const std::string& name, const std::string& folder);

  // The progress bar.
  int CreateProgress(int range);
  int DestroyProgress();

  // Add.
  bool IsAlreadyShared(const std::string& path, const std::string& label);
  bool IsParentOfSharedFolder(const std::string& path) const;
  // A listed folder that is `path`'s own folder, or lies inside or around it,
  // reached under another path (a symbolic link, a bind mount); "" if none.
  std::string SharedUnderAnotherPath(const std::string& path) const;
  // Refuses (false, "This folder has been shared" shown) or queues the Add
  // of the folder on the worker and returns true without waiting for it.
  bool StartAdd(const std::string& path, const std::string& label);
  // The same checks and the Add all on the worker, with the media types
  // chosen now: nothing here reads the catalogue or the disk.
  void QueueAdd(const std::string& path, const std::string& label);
  // Removal and rescan. Folders are named by their listed paths. Each
  // changes the catalogue as a whole; when it could not, it shows why and
  // changes nothing, the list included (see LastChangeOk).
  void DeleteSelected();
  int DeleteFolderFromCatalogue(const std::string& listed);
  bool IsInsideSharedFolder(const std::string& listed) const;
  bool ContainsOtherSharedFolder(const std::string& listed) const;
  void OnReset();  // Delete All
  // Removes the selected folders' rows and walks them again, with the media
  // types now enabled; their SHAREDFOLDER rows take the folder's own name.
  // A folder that cannot be read keeps its rows and fails the rescan; a
  // rescan stopped by RequestStop changes nothing.
  void RescanSelected();
  // RescanSelected of these listed folders with these types (each folder's
  // own when none) on the worker, like an Add: the buttons are disabled
  // while it runs. False when no folder is named.
  bool StartRescan(const std::vector<std::string>& folders,
                   std::optional<std::vector<std::string>> types);
  // DeleteSelected and OnReset (Delete All) on the worker, after whatever
  // it has queued. `folders` are the listed paths to take out; those no
  // longer listed by then are passed over.
  void StartDelete(const std::vector<std::string>& folders);
  void StartReset();
  // Whether the last Delete, Delete All or Rescan was carried out.
  bool LastChangeOk() const { return lastChangeOk_; }
  static std::string FolderNameFromPath(const std::string& path);
  void RemoveListItem(int index);
  // Whether a rescan of the listed folder rewrites the rows of its root
  // alone (a listed folder lies inside: a walk leaves that one to itself),
  // rather than every row below it.
  bool RescansByRoot(const std::string& listed) const { return ContainsOtherSharedFolder(listed); }

  // The change monitor. Once enabled, RestartMonitor (called after the list
  // is loaded and after every Add, Delete, Delete All and Rescan) hands the
  // listed folders to its watcher, or, when it has none that works, makes a
  // new one; exactly one watcher thread runs afterwards. Its changes are
  // applied on the worker, in order with everything else queued there. A
  // one-shot command line leaves it disabled.
  void EnableMonitor();
  // EnableMonitor on the worker, for a caller that must not wait on the disk:
  // placing the watches lists every shared tree, and dropping the stamps of
  // folders unshared meanwhile writes the catalogue.
  void StartMonitor();
  void RestartMonitor();
  // Ends the watcher, and returns once the changes it noticed are applied.
  void StopMonitor();
  bool MonitorRunning() const;
  // How long a file that changes without being closed is given to settle
  // before the monitor takes it; for the next start of the monitor.
  void SetMonitorSettle(std::chrono::milliseconds settle) { monitorSettle_ = settle; }
  // Brings a listed folder's rows back in step with its tree after changes
  // were lost: new and changed files are read, rows of files gone go.
  void ResyncFolder(const std::string& listed);
  // The media types the next RescanSelected uses for every selected folder,
  // and keeps as theirs; by default each folder's own chosen types.
  void SetRescanTypes(std::optional<std::vector<std::string>> rows) { rescanTypes_ = std::move(rows); }

  // Waits for every Add, Delete, Delete All and Rescan queued so far (and
  // for the monitor's changes queued before them).
  void WaitForAdds();
  // Adds that their worker refused, finding the folder shared meanwhile.
  int RefusedAdds() const { return refusedAdds_; }
  // Adds that could not write the catalogue, and took back what they wrote.
  int FailedAdds() const { return failedAdds_; }
  // Loads the list afresh from SHAREDFOLDER.
  void ReloadList();
  // False when the list was loaded from the catalogue and SHAREDFOLDER no
  // longer holds this listed folder: another tarvel unshared it, and this
  // list has not caught up yet.
  bool StillListedInCatalogue(SqliteDatabase* db, const std::string& listed) const;
  // Asks running scans to stop early; an Add stopped so takes back the rows
  // it wrote and lists nothing.
  void RequestStop() { stopRequested_ = true; }
  bool StopRequested() const override { return stopRequested_; }

  std::atomic<int> m_nItemCount{0};
  std::atomic<int> m_nProgressPos{0};
  std::atomic<int> m_nFileCount{0};
  bool m_bRescan = false;

 private:
  struct AddRequest {
    CSharedFolderCore* page;
    std::string path;
    std::string label;
    std::vector<std::string> types;  // the media types chosen for it
  };
  static unsigned AddFolderThread(AddRequest request);
  // Why `path` cannot be shared now, shown; false when it can.
  bool RefuseAdd(const std::string& path, const std::string& label);
  // Runs `task` on the worker unless a stop was asked for before its turn.
  void Queue(std::function<void()> task);
  // Selects exactly these listed folders.
  void SelectOnly(const std::vector<std::string>& folders);
  static void RunAdd(CSharedFolderCore* page, const std::string& path, const std::string& label,
                     const std::vector<std::string>& types);

  SharedFolderList m_list;
  ShareView defaultView_;
  ShareView* view_ = &defaultView_;
  bool echoList_ = true;
  std::atomic<bool> stopRequested_{false};
  std::atomic<int> refusedAdds_{0};
  std::atomic<int> failedAdds_{0};
  bool lastChangeOk_ = true;

  // Runs `change` under the catalogue lock as one transaction, committed
  // when it returns true; `after` sees whether it was, still under the lock.
  // Says when the lock or the write failed; true when committed.
  bool ChangeAsAWhole(const std::function<bool()>& change, const std::function<void(bool)>& after);
  bool DeleteSelectedAsAWhole();
  bool ResetAsAWhole();
  bool RescanAsAWhole();
  // What a walk of this engine's is given: its shared subfolders, its
  // progress, its warnings and its stop.
  WalkContext WalkContextFor(SqliteDatabase* db, const std::vector<std::string>& types);

  std::optional<std::vector<std::string>> rescanTypes_;
  int walkReaders_ = DefaultWalkReaders();
  std::atomic<bool> listFromCatalogue_{false};
  std::unique_ptr<ChangeMonitor> monitor_;
  bool monitorEnabled_ = false;
  std::chrono::milliseconds monitorSettle_{std::chrono::seconds(2)};
  mutable std::mutex monitorMutex_;
  std::atomic<bool> reloadQueued_{false};
  // Last, so that it ends first: its tasks use everything above. The
  // monitor, which posts to it, is stopped before (see the destructor).
  ShareWorker worker_;
};

// Writes the SHAREDFOLDER row of a folder unless one exists for its path.
void AddSharedFolderRow(const std::string& path, const std::string& label,
                        const std::string& viewName);

inline constexpr const char* kAlreadySharedMessage = "This folder has been shared";
inline constexpr const char* kWaitingText = "For be shared,please wait...";
inline constexpr const char* kWriteFailedText =
    "The catalogue could not be written; nothing was changed";
inline constexpr const char* kNoLockText =
    "The catalogue lock cannot be used; nothing was changed";
