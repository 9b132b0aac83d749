// Listing one folder for the walk and the change monitor, by one rule of what
// belongs in the catalogue: regular files and folders, following symbolic
// links to see what they point at. Left out are hidden entries (a leading
// '.'), other kinds of entry (devices, pipes, sockets, broken links, so that
// nothing blocks on them), the runtime folder, and the data folder's own files
// (the catalogue, the server's name, the radio stations), or the whole data
// folder when it lies inside the folder walked.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "shares/shared_folder_core.h"

enum class EntryKind { File, Folder };

// The folders the program keeps its own files in, as they are now.
struct PrivateFolders {
  FolderId data{0, 0};     // the working folder, which holds the catalogue
  FolderId runtime{0, 0};  // locks and presence files
  static PrivateFolders Now();
};

// What `name` in `folder` (ending with '/') is by the rule above; nullopt when
// it does not belong. `type` is the entry's d_type when known (DT_UNKNOWN
// otherwise).
std::optional<EntryKind> KindOfEntry(const std::string& folder, const std::string& name,
                                     unsigned char type, const PrivateFolders& own);
// A symbolic link is followed only to what lies inside the folder the walk
// started from (or, outside a walk, the folder holding the link): whoever can
// write into a shared folder must not publish the rest of the disk through it.
bool LinkStaysInside(const std::string& link, const std::string& folder);

// The same for a whole path below a shared folder `root` (ending with '/'):
// every folder between them must belong too.
std::optional<EntryKind> KindOfPath(const std::string& root, const std::string& relative);

// Calls `visit` for every entry of `folder` (which ends with '/') that
// belongs, in the order the file system returns them. False when the folder
// cannot be listed.
bool ForEachEntry(const std::string& folder,
                  const std::function<void(const std::string& name, EntryKind kind)>& visit);

// The identity of a folder, or {0,0} when it cannot be read.
FolderId IdentifyFolder(const std::string& folder);

// True when `folder` is already entered by the walk on this thread.
bool OnBranch(const std::string& folder);

// Folders entered by the walk on this thread, outermost first: a folder that
// is already among them is a loop through a symbolic link and is not entered.
class BranchGuard {
 public:
  explicit BranchGuard(const std::string& folder);
  ~BranchGuard();
  BranchGuard(const BranchGuard&) = delete;
  BranchGuard& operator=(const BranchGuard&) = delete;
  // The folder is not to be entered: a loop, or a kernel file system.
  bool Skip() const { return skip_; }

 private:
  bool skip_ = false;
  bool pushed_ = false;
  bool root_ = false;  // the walk started here
};
