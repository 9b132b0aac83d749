// Applying one reported change of a watched folder to the catalogue.
#pragma once

#include <functional>
#include <optional>
#include <string>

class SharedFolderRules;

// The watched folder as listed (ending with '/').
struct WatchRecord {
  std::string path;
};

// One change: the item's name relative to the watched folder (with its
// subfolder path), and whether it is a folder when the watcher knows.
struct ChangeNotice {
  std::string name;
  std::optional<bool> isDirectory;
};

enum ChangeAction {
  kActionAdded = 1,
  kActionRemoved = 2,
  kActionModified = 3,
  kActionOldName = 4,
  kActionNewName = 5,
};

// Applies one change under the catalogue lock, with the folder's own chosen
// media types. `isIncomplete` names files still being written: a folder's
// walk leaves them to their own notice, when complete.
void SyncChange(const SharedFolderRules* shares, const WatchRecord& record,
                const ChangeNotice& notice, int action,
                const std::function<bool(const std::string& path)>& isIncomplete = {});
