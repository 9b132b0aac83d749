#include "scan/walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/statements.h"
#include "catalog/text.h"
#include "platform/fd_io.h"
#include "platform/filesystems.h"
#include "platform/pause_point.h"
#include "scan/dir_walk.h"
#include "scan/folder_state.h"
#include "scan/read_ahead.h"

namespace {

constexpr const char* kPlaylistName = "JpgPlaylist.sls";
constexpr const char* kPlaylistImages[] = {".jpg", ".jpe", ".jpeg", ".jpeg2000", ".jp2", ".jpc",
                                           ".j2k", ".bmp", ".gif", ".png", ".tif", ".tiff"};

std::string RealFolder(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) return {};
  std::string r = real;
  free(real);
  return r.back() == '/' ? r : r + "/";
}

}  // namespace

bool IsPlaylistImage(const std::string& name) {
  return IsPlaylistImageExtension(Utf8Lower(GetExtension(name)));
}

bool IsPlaylistImageExtension(std::string_view lowerExtension) {
  for (const char* image : kPlaylistImages)
    if (lowerExtension == image) return true;
  return false;
}

FolderWalk::FolderWalk(WalkContext context) : context_(std::move(context)) {
  if (context_.readers > 0) readAhead_ = std::make_unique<ReadAhead>(context_.readers);
}

FolderWalk::~FolderWalk() { ClosePlaylist(); }

bool FolderWalk::Enter(const std::string& folder, bool* entered) {
  *entered = false;
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return true;
  const FolderId id = IdOf(st);
  if (std::find(branch_.begin(), branch_.end(), id) != branch_.end()) return false;
  // Kernel file systems are mounted file systems of their own: a folder on
  // its parent's device is none.
  if ((branch_.empty() || branch_.back().first != id.first) && IsPseudoFileSystem(folder)) return false;
  if (branch_.empty()) {
    char* real = realpath(folder.c_str(), nullptr);
    bound_ = real ? real : "";
    free(real);
  }
  branch_.push_back(id);
  enteredStat_ = st;
  *entered = true;
  return true;
}

void FolderWalk::Leave() {
  branch_.pop_back();
  if (branch_.empty()) bound_.clear();
}

short FolderWalk::ScanFolder(const std::string& folder, const std::string& root) {
  if (Stopped()) return 0;
  const std::string dir = WithSlash(folder);
  EnteredFolder entered(*this, dir);
  if (entered.Skip()) return 0;  // a link back up the tree, or /proc and the like
  SetPlaylistScope(root);
  SqliteDatabase* db = context_.db;
  if (!db) {
    fprintf(stderr, "Open DB failed!\n");
    return -1;
  }
  // The level's entries first, in the file system's order: its files are
  // read ahead while the walk writes rows, and no folder stays open below.
  std::vector<std::pair<std::string, EntryKind>> entries;
  bool listed = ForEachEntry(
      dir,
      [&](const std::string& name, EntryKind kind) {
        // Hidden ones are left out, and so is the playlist (it is ours).
        if (name[0] != '.' && !(kind == EntryKind::File && name == kPlaylistName))
          entries.emplace_back(name, kind);
      },
      bound_, own_);
  const int readError = errno;
  // The playlist lists the level's pictures in the order listed, whatever
  // the chosen media types; written here, once the whole level is known.
  std::string playlist;
  for (const auto& [name, kind] : entries)
    if (kind == EntryKind::File && IsPlaylistImage(name)) AppendPlaylistLine(&playlist, name);
  WritePlaylist(folder, playlist);
  // One transaction per folder level, closed before a deeper level writes
  // (a deeper level's rows then go in a transaction of their own).
  std::optional<Transaction> tx;
  std::vector<std::string> files;
  for (const auto& [name, kind] : entries) {
    if (Stopped()) break;
    if (kind == EntryKind::File) {
      files.push_back(name);
      continue;
    }
    if (context_.isSharedSubfolder && context_.isSharedSubfolder(folder, name)) continue;
    TakeFiles(folder, root, files, tx);
    files.clear();
    if (tx) {
      tx->Commit();
      tx.reset();
    }
    ScanSubfolder(name, folder, root);
  }
  TakeFiles(folder, root, files, tx);
  if (tx) tx->Commit();
  // A partial walk is said, not passed over: what is in there is not catalogued.
  if (!listed && context_.warn)
    context_.warn("cannot read " + dir + ": " + strerror(readError) + "; its files are left out");
  return 0;
}

void FolderWalk::TakeFiles(const std::string& folder, const std::string& root,
                           const std::vector<std::string>& names, std::optional<Transaction>& tx) {
  if (!readAhead_ || names.size() < 2) {
    for (const std::string& name : names) TakeFile(folder, root, name, nullptr, tx);
    return;
  }
  // In runs, so that what is read ahead stays small whatever the folder holds.
  constexpr size_t kRun = 256;
  std::vector<ClassifiedFile> read;
  for (size_t start = 0; start < names.size() && !Stopped(); start += kRun) {
    const size_t n = std::min(kRun, names.size() - start);
    read.assign(n, ClassifiedFile{});
    readAhead_->Run(
        n, [&](size_t i) { read[i] = ReadForRow(context_.types, folder, root, names[start + i]); },
        [&](size_t i) { TakeFile(folder, root, names[start + i], &read[i], tx); });
  }
}

void FolderWalk::TakeFile(const std::string& folder, const std::string& root, const std::string& name,
                          ClassifiedFile* read, std::optional<Transaction>& tx) {
  if (Stopped()) return;
  if (context_.onFile) context_.onFile();
  if (LeaveOut(WithSlash(folder) + name)) return;
  if (!tx) tx.emplace(context_.db);
  if (read) WriteRow(context_.db, *read);
  else ClassifyFile(folder, root, name);
  PausePoint();  // a row written, nothing committed
}

void FolderWalk::ScanSubfolder(const std::string& name, const std::string& folder,
                               const std::string& root) {
  std::string path = WithSlash(folder) + name;
  // A link back up the tree is not entered, and its playlist not touched.
  ScanFolder(path, root);
}

int FolderWalk::ScanNewFolder(const std::string& folder, const std::string& root) {
  SqliteDatabase* db = context_.db;
  if (!db) {
    fprintf(stderr, "Open DB failed!\n");
    return -1;
  }
  const std::string dir = WithSlash(folder);
  std::optional<Transaction> tx;
  ForEachEntry(
      dir,
      [&](const std::string& name, EntryKind kind) {
        if (kind == EntryKind::File) {
          if (LeaveOut(dir + name)) return;
          if (!tx) tx.emplace(db);
          ClassifyFile(folder, root, name);
        } else if (!context_.isSharedSubfolder || !context_.isSharedSubfolder(folder, name)) {
          if (tx) {
            tx->Commit();
            tx.reset();
          }
          ScanSubfolder(name, folder, root);
        }
      },
      bound_, own_);
  if (tx) tx->Commit();
  return 0;
}

int FolderWalk::ClassifyFile(const std::string& folder, const std::string& root,
                             const std::string& fileName) {
  return ::ClassifyFile(context_.db, context_.types, folder, root, fileName);
}

bool FolderWalk::TakesFile(const std::string& fileName) const {
  return ::TakesFile(context_.types, fileName);
}

int FolderWalk::CountFiles(const std::string& folder) {
  const std::string dir = WithSlash(folder);
  EnteredFolder entered(*this, dir);
  if (entered.Skip()) return 0;
  int count = 0;
  ForEachEntry(
      dir,
      [&](const std::string& name, EntryKind kind) {
        if (kind == EntryKind::File) {
          ++count;
        } else if (!context_.isSharedSubfolder || !context_.isSharedSubfolder(folder, name)) {
          count += CountFiles(dir + name);  // nothing back up the tree
        }
      },
      bound_, own_);
  return count;
}

bool FolderWalk::LeaveOut(const std::string& path) {
  if (!context_.skipCatalogued) return false;
  if (context_.isIncomplete && context_.isIncomplete(path)) return true;
  if (!lookup_) lookup_ = OpenCatalogue();
  if (!lookup_ || !IsCatalogued(lookup_.get(), path)) return false;
  // Catalogued as it was then: a file read half written by a catch-up, whose
  // writer closed it before its new folder was watched, never sends another
  // notice. Changed since, it is read again instead of left out.
  if (!RowReadsContents(path)) return true;
  std::optional<FileStamp> now = StampOfFile(path);
  std::optional<FileStamp> kept = StoredFileStamp(lookup_.get(), path);
  if (!now || !kept || *now == *kept) return true;
  for (MediaTable t : kMediaTables) DeleteMediaByFilename(t, path);
  if (context_.db) DeleteFileStamp(context_.db, path);
  return false;
}

// Slideshow playlists. Lines are gathered and written when the walk leaves
// the folder (or another playlist is started), one write per folder.

void FolderWalk::SetPlaylistScope(const std::string& root) {
  if (!playlistScope_) playlistScope_ = RealFolder(root);
}

int FolderWalk::OpenInPlaylistScope(const std::string& folder) const {
  if (playlistScope_ && playlistScope_->empty()) return -1;
  const int fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || !playlistScope_) return fd;
  // Where the descriptor leads, as the kernel resolved it: what is written
  // through it stays there, whatever the path turns into meanwhile.
  char real[PATH_MAX + 1];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), real, PATH_MAX);
  std::string path = n > 0 ? std::string(real, static_cast<size_t>(n)) : RealFolder(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  if (path.empty() || path.compare(0, playlistScope_->size(), *playlistScope_) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void FolderWalk::WritePending() {
  if (playlist_.fd >= 0 && !playlist_.pending.empty() &&
      write(playlist_.fd, playlist_.pending.data(), playlist_.pending.size()) < 0) {
  }
  playlist_.pending.clear();
}

void FolderWalk::ClosePlaylist() {
  WritePending();
  if (playlist_.fd >= 0) close(playlist_.fd);
  playlist_.fd = -1;
  playlist_.path.clear();
}

void AppendPlaylistLine(std::string* text, std::string_view picture) {
  text->append(picture);
  text->append("\r\n");
}

bool FolderWalk::AppendToPlaylist(const std::string& folder, const std::string& name) {
  if (!IsPlaylistImage(name)) return false;
  std::string path = WithSlash(folder) + kPlaylistName;
  if (playlist_.path != path || playlist_.fd < 0) {
    ClosePlaylist();
    const int dir = OpenInPlaylistScope(folder);
    if (dir < 0) return false;
    // Never through a link: the playlist is written in its folder and nowhere else.
    playlist_.fd =
        openat(dir, kPlaylistName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    close(dir);
    if (playlist_.fd < 0) return false;
    playlist_.path = path;
  }
  AppendPlaylistLine(&playlist_.pending, name);
  if (playlist_.pending.size() >= 64 * 1024) WritePending();
  return true;
}

void FolderWalk::DeletePlaylist(const std::string& folder) {
  std::string path = WithSlash(folder) + kPlaylistName;
  if (playlist_.path == path) {
    playlist_.pending.clear();
    ClosePlaylist();
  }
  const int dir = OpenInPlaylistScope(folder);
  if (dir < 0) return;
  unlinkat(dir, kPlaylistName, 0);
  close(dir);
}

void FolderWalk::WritePlaylist(const std::string& folder, const std::string& content) {
  if (playlist_.path == WithSlash(folder) + kPlaylistName) {
    playlist_.pending.clear();
    ClosePlaylist();
  }
  const int dir = OpenInPlaylistScope(folder);
  if (dir < 0) return;
  if (content.empty()) {
    unlinkat(dir, kPlaylistName, 0);
    close(dir);
    return;
  }
  // Never through a link, and only over a plain file: a link or anything
  // else in its place is taken away and a playlist made anew.
  struct stat st;
  int fd = -1;
  if (fstatat(dir, kPlaylistName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
    fd = openat(dir, kPlaylistName, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    unlinkat(dir, kPlaylistName, 0);
    fd = openat(dir, kPlaylistName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  close(dir);
  if (fd < 0) return;
  // Written from the start (FileHolds leaves the offset there); what a
  // longer playlist held behind goes. Should either fail, the next walk
  // finds the difference and writes it again.
  if (!FileHolds(fd, content) && WriteAll(fd, content))
    [[maybe_unused]] const int cut = ftruncate(fd, static_cast<off_t>(content.size()));
  close(fd);
}

void FolderWalk::DeletePlaylistsUnder(const std::string& folder) {
  const std::string dir = WithSlash(folder);
  EnteredFolder entered(*this, dir);
  if (entered.Skip()) return;
  SetPlaylistScope(folder);
  DeletePlaylist(folder);
  ForEachEntry(
      dir,
      [&](const std::string& name, EntryKind kind) {
        if (name[0] == '.' || kind != EntryKind::Folder) return;
        if (context_.isSharedSubfolder && context_.isSharedSubfolder(folder, name)) return;
        DeletePlaylistsUnder(dir + name);  // nothing back up the tree
      },
      bound_, own_);
}
