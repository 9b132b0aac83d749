// The walk of a shared folder into the catalogue. One FolderWalk is one walk:
// everything it needs is given in its context, and everything it keeps while
// it runs (the folders it is inside, the playlist it is writing, a reader for
// the catalogue) is its own, so that two walks on two threads share nothing.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "catalog/database.h"
#include "catalog/records.h"
#include "scan/dir_walk.h"
#include "scan/folder_state.h"
#include "scan/media_types.h"
#include "scan/paths.h"

class ReadAhead;

struct WalkContext {
  // The change's connection: rows go through it, inside its transaction.
  SqliteDatabase* db = nullptr;
  // The media types taken (each shared folder has its own).
  EnabledMediaTypes types;
  // Whether `name` in `folder` is shared in its own right: walked by its own
  // share, never by this one.
  std::function<bool(const std::string& folder, const std::string& name)> isSharedSubfolder;
  // A file met (the progress of an Add or a rescan).
  std::function<void()> onFile;
  // Said to the user: a folder that could not be read.
  std::function<void(const std::string& message)> warn;
  // Asked between files; a stopped walk leaves the rest.
  std::function<bool()> stopped;
  // The change monitor's walks: a folder that appears in a watched tree can
  // be reached both by its parent's walk and by its own notification, so
  // files catalogued already are left out, and so are files still being
  // written (catalogued when their writer closes them).
  bool skipCatalogued = false;
  std::function<bool(const std::string& path)> isIncomplete;
  // Threads that read the files of a folder (stamps and tags) ahead of the
  // walk, beside the walk's own; rows are still written in the walk's order.
  int readers = 0;
};

// Whether a file of this name can have a row at all, whatever the types.
bool IsMediaName(const std::string& fileName);
// Whether the classifier writes a row for a file of this name with these types.
bool TakesFile(const EnabledMediaTypes& types, const std::string& fileName);
// Whether a row of this file holds what is read from inside it (an MP3's
// tag). Only such files are stamped: every other row follows from the name
// alone, so no change of the file's contents can make it stale.
bool RowReadsContents(std::string_view fileName);
// What the classifier read of one file: its row (none when the file is not
// taken) and, when its row reads its contents, its stamp. Reading touches no
// catalogue, so files can be read on any thread; their rows are written in
// order on one.
struct ClassifiedFile {
  std::variant<std::monostate, AudioRow, VideoRow, ImageRow> row;
  std::string path;
  std::string root;
  std::optional<FileStamp> stamp;
};
ClassifiedFile ReadForRow(const EnabledMediaTypes& types, const std::string& folder,
                          const std::string& root, const std::string& fileName);
void WriteRow(SqliteDatabase* db, const ClassifiedFile& file);
// Classifies one file and writes its row (and its stamp) through `db`.
int ClassifyFile(SqliteDatabase* db, const EnabledMediaTypes& types, const std::string& folder,
                 const std::string& root, const std::string& fileName);
// Whether the name's extension is one a slideshow playlist lists.
bool IsPlaylistImage(const std::string& name);
// A picture's line in its folder's slideshow playlist, appended to `text`:
// the one place that says how a playlist is written.
void AppendPlaylistLine(std::string* text, std::string_view picture);
bool IsPlaylistImageExtension(std::string_view lowerExtension);
// All that TakesFile, RowReadsContents and IsPlaylistImage tell of a name,
// from one look at its extension: a catch-up asks it of every file.
struct NameTraits {
  bool taken = false;
  bool readsContents = false;
  bool playlistImage = false;
};
NameTraits TraitsOf(const EnabledMediaTypes& types, std::string_view fileName);

// TraitsOf for the many names of one walk, which hold few extensions: each
// extension is lowered and looked up once, and the media types are read
// once for it (their lock is not taken per name).
class NameTraitsCache {
 public:
  explicit NameTraitsCache(const EnabledMediaTypes& types) : types_(types) {}
  NameTraits Of(std::string_view fileName);

 private:
  const EnabledMediaTypes& types_;
  std::vector<std::pair<std::string, NameTraits>> known_;  // by extension, as written
};

class FolderWalk {
 public:
  explicit FolderWalk(WalkContext context);
  ~FolderWalk();
  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;

  // Walks `folder` and everything below it that belongs, writing rows whose
  // root is `root` and each folder's slideshow playlist. 0, or -1 without a
  // catalogue connection.
  short ScanFolder(const std::string& folder, const std::string& root);
  void ScanSubfolder(const std::string& name, const std::string& folder, const std::string& root);
  // A folder that appeared in a watched tree: its files are classified, its
  // subfolders walked by ScanFolder; it gets no playlist of its own.
  int ScanNewFolder(const std::string& folder, const std::string& root);
  int ClassifyFile(const std::string& folder, const std::string& root, const std::string& fileName);
  bool TakesFile(const std::string& fileName) const;
  // The files a ScanFolder of `folder` would meet.
  int CountFiles(const std::string& folder);

  // Slideshow playlists. Once a scope is set, they are written and deleted
  // only in folders whose real path lies inside it: a folder reached through
  // a symbolic link out of the shared tree is someone else's.
  void SetPlaylistScope(const std::string& root);
  bool AppendToPlaylist(const std::string& folder, const std::string& name);
  void DeletePlaylist(const std::string& folder);
  // Makes the folder's playlist say `content` (the playlist goes where it
  // is ""). One that says so already is left untouched, and one that does
  // not is written over in place: deleting and creating it again would free
  // its blocks, which costs a synchronous discard on a disk mounted so.
  void WritePlaylist(const std::string& folder, const std::string& content);
  // Writes what was gathered for the open playlist and closes it.
  void ClosePlaylist();
  // The playlists of every folder a walk of `folder` would enter.
  void DeletePlaylistsUnder(const std::string& folder);

  // Entering a folder: false when it is not to be entered, being entered
  // already (a loop through a symbolic link) or a kernel file system.
  // `entered`: whether it now counts as entered, matched by a Leave (a
  // folder whose identity cannot be read is walked but not counted).
  bool Enter(const std::string& folder, bool* entered);
  void Leave();
  // What stat told of the folder entered last, while it is entered.
  const struct stat& EnteredStat() const { return enteredStat_; }
  // The real path of the folder the walk started from: what links met on
  // the way may lead into. "" outside a walk.
  const std::string& Bound() const { return bound_; }
  // The program's own folders, as they were when the walk began.
  const PrivateFolders& Own() const { return own_; }

  bool Stopped() const { return context_.stopped && context_.stopped(); }
  const WalkContext& Context() const { return context_; }

 private:
  // True when the monitor's walk is to leave `path` out (see WalkContext).
  bool LeaveOut(const std::string& path);
  // The files of one folder level met between two subfolders, in order.
  void TakeFiles(const std::string& folder, const std::string& root,
                 const std::vector<std::string>& names, std::optional<Transaction>& tx);
  void TakeFile(const std::string& folder, const std::string& root, const std::string& name,
                ClassifiedFile* read, std::optional<Transaction>& tx);
  // The folder, opened (O_PATH) when it lies in the playlists' scope; -1
  // otherwise.
  int OpenInPlaylistScope(const std::string& folder) const;

  struct Playlist {
    std::string path;
    std::string pending;
    int fd = -1;
  };
  void WritePending();

  WalkContext context_;
  PrivateFolders own_ = PrivateFolders::Now();
  std::vector<FolderId> branch_;
  struct stat enteredStat_ {};
  std::string bound_;
  std::optional<std::string> playlistScope_;  // real path, ending with '/'
  Playlist playlist_;
  CatalogConnection lookup_;  // a reader of its own, for LeaveOut
  std::unique_ptr<ReadAhead> readAhead_;
};

// Enters a folder for as long as it lives (see FolderWalk::Enter).
class EnteredFolder {
 public:
  EnteredFolder(FolderWalk& walk, const std::string& folder)
      : walk_(walk), skip_(!walk.Enter(folder, &entered_)) {}
  ~EnteredFolder() {
    if (entered_) walk_.Leave();
  }
  EnteredFolder(const EnteredFolder&) = delete;
  EnteredFolder& operator=(const EnteredFolder&) = delete;
  bool Skip() const { return skip_; }
  // The folder's stat, when it counts as entered; until another is entered.
  const struct stat* Stat() const { return entered_ ? &walk_.EnteredStat() : nullptr; }

 private:
  FolderWalk& walk_;
  bool entered_ = false;
  bool skip_;
};
