// Bringing a shared folder's rows in step with its tree without a full
// rescan: the tree is walked by the same rules as a share, files that are new
// or whose size or modification time changed are read and catalogued again,
// rows of files that are gone (or no longer of a chosen media type) go, and
// the rest is left as it is. Used when the change monitor takes a folder up:
// at start, when a folder is shared or comes back, after lost notifications.
#pragma once

#include <optional>
#include <string>

class SharedFolderRules;

struct CatchUpCounts {
  int unchanged = 0;
  int added = 0;
  int changed = 0;
  int removed = 0;
  bool done = false;  // false: not run (no catalogue, folder absent, or stopped)
};

// `listed` is the folder as listed (ending with '/'). Takes the catalogue lock.
CatchUpCounts CatchUpFolder(const SharedFolderRules* shares, const std::string& listed);

// Whether a listed folder is there to be walked: a folder, and, when it was
// last seen as a mount point of its own (a disk), still one (an unmounted
// disk leaves its empty mount folder behind).
// `wasMountPoint` is what was kept of it (StoredMountPoint).
bool SharedFolderPresent(const std::string& listed, std::optional<bool> wasMountPoint);
// Whether a folder is a mount point of its own.
bool IsMountPoint(const std::string& folder);
