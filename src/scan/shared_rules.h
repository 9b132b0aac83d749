// What the walks of the change monitor and the catch-up ask of the list of
// shared folders, which the sharing engine keeps and the walk does not know.
#pragma once

#include <string>

struct SqliteDatabase;
struct WalkContext;

class SharedFolderRules {
 public:
  // Whether the folder is listed now (`listed` as listed, ending with '/').
  virtual bool IsListed(const std::string& listed) const = 0;
  // Whether `name` in `folder` is a folder shared in its own right.
  virtual bool IsSharedSubfolder(const std::string& folder, const std::string& name) const = 0;
  // Whether the listed folder is still shared, asked under the catalogue
  // lock: still listed, and, when the list was loaded from it, still in
  // SHAREDFOLDER (another tarvel may have unshared it a moment ago).
  virtual bool StillShared(SqliteDatabase* db, const std::string& listed) const = 0;
  // Whether the engine is ending: walks stop early.
  virtual bool StopRequested() const = 0;

 protected:
  ~SharedFolderRules() = default;
};

// The context of a walk of the listed folder `listed` writing through `db`:
// the folder's own chosen media types, and this list's shared subfolders
// and stop.
WalkContext ListedFolderContext(const SharedFolderRules* shares, SqliteDatabase* db,
                                const std::string& listed);
