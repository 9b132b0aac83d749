#include "scan/shared_rules.h"

#include "scan/folder_state.h"
#include "scan/walk.h"

WalkContext ListedFolderContext(const SharedFolderRules* shares, SqliteDatabase* db,
                                const std::string& listed) {
  WalkContext context;
  context.db = db;
  context.types.Set(MediaTypesOfFolder(listed));
  context.isSharedSubfolder = [shares](const std::string& folder, const std::string& name) {
    return shares->IsSharedSubfolder(folder, name);
  };
  context.stopped = [shares] { return shares->StopRequested(); };
  return context;
}
