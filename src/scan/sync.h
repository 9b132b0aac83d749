// Applying one reported change of a watched folder to the catalogue.
#pragma once

#include <optional>
#include <string>

class CSharedFolderCore;

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

void SyncChange(CSharedFolderCore* page, const WatchRecord& record, const ChangeNotice& notice,
                int action);

// Walks a folder that appeared in a watched tree: its files are classified,
// its subfolders scanned by the ordinary walk. 0, or -1 without a catalogue.
int ScanNewFolder(CSharedFolderCore* page, const std::string& folder, const std::string& root);
