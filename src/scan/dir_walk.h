// Listing one folder for the walk: regular files and folders, following
// symbolic links to see what they point at. Other kinds of entry (devices,
// pipes, sockets, broken links) are left out, so nothing blocks on them.
#pragma once

#include <functional>
#include <string>

#include "shares/shared_folder_core.h"

enum class EntryKind { File, Folder };

// Calls `visit` for every entry of `folder` (which ends with '/') except "."
// and "..", in the order the file system returns them. False when the folder
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
};
