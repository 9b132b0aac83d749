// Listing one folder for the walk and the change monitor, by one rule of what
// belongs in the catalogue: regular files and folders, following symbolic
// links to see what they point at. Left out are hidden entries (a leading
// '.'), other kinds of entry (devices, pipes, sockets, broken links, so that
// nothing blocks on them), the runtime folder, and the data folder's own files
// (the catalogue, the server's name, the radio stations), or the whole data
// folder when it lies inside the folder walked.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <optional>
#include <string>

#include "scan/paths.h"

enum class EntryKind { File, Folder };

// The folders the program keeps its own files in, as they are now.
struct PrivateFolders {
  FolderId data{0, 0};     // the working folder, which holds the catalogue
  FolderId runtime{0, 0};  // locks and presence files
  static PrivateFolders Now();
};

// What `name` in `folder` (ending with '/') is by the rule above; nullopt when
// it does not belong. `type` is the entry's d_type when known (DT_UNKNOWN
// otherwise); `bound` as for LinkStaysInside.
std::optional<EntryKind> KindOfEntry(const std::string& folder, const std::string& name,
                                     unsigned char type, const PrivateFolders& own,
                                     const std::string& bound = "");
// A symbolic link is followed only to what lies inside `bound`, the real path
// of the folder the walk started from (or, when "", the folder holding the
// link): whoever can write into a shared folder must not publish the rest of
// the disk through it.
bool LinkStaysInside(const std::string& link, const std::string& folder, const std::string& bound);

// The same for a whole path below a shared folder `root` (ending with '/'):
// every folder between them must belong too.
std::optional<EntryKind> KindOfPath(const std::string& root, const std::string& relative);

// Calls `visit` for every entry of `folder` (which ends with '/') that
// belongs, in the order the file system returns them; `bound` as for
// LinkStaysInside. False when the folder cannot be listed.
bool ForEachEntry(const std::string& folder,
                  const std::function<void(const std::string& name, EntryKind kind)>& visit,
                  const std::string& bound = "");
// The same with the private folders as the caller found them: a walk finds
// them once, not at every folder. `plain`, when given, is set to whether
// every entry that is not hidden was a file or a folder and visited (no
// link, no other kind, nothing of the program's own left out) and the
// folder was read to its end without an error.
bool ForEachEntry(const std::string& folder,
                  const std::function<void(const std::string& name, EntryKind kind)>& visit,
                  const std::string& bound, const PrivateFolders& own, bool* plain = nullptr);

// The identity of a folder, or {0,0} when it cannot be read.
FolderId IdentifyFolder(const std::string& folder);
// The identity of what `st` describes.
FolderId IdOf(const struct stat& st);
