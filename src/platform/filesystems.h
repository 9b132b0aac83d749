#pragma once

#include <string>

// True for folders on the kernel's own file systems (/proc, /sys, /dev and
// the like): no media lives there, and walking them would never end.
bool IsPseudoFileSystem(const std::string& folder);

// True for folders on local disk file systems (ext2/3/4, XFS, Btrfs, F2FS,
// tmpfs), where a folder's status-change time moves whenever an entry is
// added, removed or renamed. Not network ones, whose clients cache it, nor
// FUSE ones, which report what their daemon says.
bool KeepsFolderChangeTimes(const std::string& folder);
