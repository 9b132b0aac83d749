#include "scan/catch_up.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "platform/fd_io.h"
#include "platform/filesystems.h"
#include "platform/named_mutex.h"
#include "scan/dir_walk.h"
#include "scan/folder_state.h"
#include "scan/shared_rules.h"
#include "scan/walk.h"

namespace {

constexpr const char* kPlaylistName = "JpgPlaylist.sls";

const char* RowsOfRootQuery(MediaTable table) {
  switch (table) {
    case MediaTable::Audio: return "select Filename from audio where SharedRoot = ?";
    case MediaTable::Video: return "select Filename from video where SharedRoot = ?";
    case MediaTable::Image: return "select Filename from image where SharedRoot = ?";
  }
  return nullptr;
}

// What the catalogue holds of one file. Kept small: a catch-up of
// hundreds of thousands of files holds one of these per row, and a page of
// memory first touched can cost as much as stating a few files.
struct Known {
  static constexpr uint32_t kNoStamp = UINT32_MAX;
  uint32_t offset = 0;  // its name in the folder's names
  uint32_t length = 0;
  uint32_t stamp = kNoStamp;  // its stamp in the catch-up's stamps, if it has one
  uint8_t rows = 0;  // counted up to 255: only whether there is more than one matters
  uint8_t tables = 0;  // bit per media table holding a row of the file
  bool seen = false;
};
static_assert(sizeof(Known) == 16);

// What the catalogue holds of the files of one folder, found by name. The
// names of a folder are kept one after another in one string: a share of
// hundreds of thousands of files loads with an allocation per folder, not
// one per file, and a file is looked up among its folder's alone.
struct KnownFolder {
  std::string names;
  std::vector<Known> files;  // by name, once settled

  std::string_view NameOf(const Known& k) const { return {names.data() + k.offset, k.length}; }
  // Takes the rows `batch` gathered of this folder, in one allocation each
  // for names and files rather than one per doubling.
  void Take(const KnownFolder& batch) {
    names.reserve(names.size() + batch.names.size());
    files.reserve(files.size() + batch.files.size());
    const auto shift = static_cast<uint32_t>(names.size());
    names.append(batch.names);
    for (Known k : batch.files) {
      k.offset += shift;
      files.push_back(k);
    }
  }
  void Add(std::string_view name, unsigned tableBit) {
    Known k;
    k.offset = static_cast<uint32_t>(names.size());
    k.length = static_cast<uint32_t>(name.size());
    k.tables = static_cast<uint8_t>(tableBit);
    k.rows = 1;
    names.append(name);
    files.push_back(k);
  }
  void Clear() {
    names.clear();
    files.clear();
  }
  // Sorts the files by name and makes one entry of each file's rows.
  void Settle() {
    std::sort(files.begin(), files.end(),
              [this](const Known& a, const Known& b) { return NameOf(a) < NameOf(b); });
    size_t out = 0;
    for (const Known& k : files) {
      if (out > 0 && NameOf(files[out - 1]) == NameOf(k)) {
        files[out - 1].tables |= k.tables;
        files[out - 1].rows = static_cast<uint8_t>(std::min(255, files[out - 1].rows + k.rows));
      } else {
        files[out++] = k;
      }
    }
    files.resize(out);
  }
  Known* Find(std::string_view name) {
    auto it = std::lower_bound(files.begin(), files.end(), name,
                               [this](const Known& k, std::string_view n) { return NameOf(k) < n; });
    return it != files.end() && NameOf(*it) == name ? &*it : nullptr;
  }
};

struct PathHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

std::pair<std::string_view, std::string_view> SplitPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {{}, path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// What the catalogue holds of the files of a shared folder: its folders by
// path, and the stamps of the files that have one.
struct KnownFiles {
  std::unordered_map<std::string, KnownFolder, PathHash, std::equal_to<>> folders;
  std::vector<FileStamp> stamps;
};

// Names one after another in one string: a folder's names take two
// allocations, not one each. Or, for names that lie in a text kept
// elsewhere for longer than the list (a kept listing), where they lie.
class NameList {
 public:
  // The names added from now on lie in `text`.
  void KeptIn(std::string_view text) { kept_ = text.data(); }
  void Add(std::string_view name) {
    if (kept_) {
      spans_.emplace_back(static_cast<uint32_t>(name.data() - kept_), static_cast<uint32_t>(name.size()));
      return;
    }
    spans_.emplace_back(static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(name.size()));
    text_.append(name);
  }
  size_t size() const { return spans_.size(); }
  std::string_view operator[](size_t i) const {
    return {(kept_ ? kept_ : text_.data()) + spans_[i].first, spans_[i].second};
  }

 private:
  std::string text_;
  const char* kept_ = nullptr;
  std::vector<std::pair<uint32_t, uint32_t>> spans_;  // offset and length
};

// Reads the stamps of one folder's files, by name within the folder.
class StampReader {
 public:
  explicit StampReader(const std::string& dir)
      : dir_(dir), fd_(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
  // Without a descriptor of the folder, for a look or two.
  enum ByPath { kByPath };
  StampReader(const std::string& dir, ByPath) : dir_(dir), fd_(-1) {}
  ~StampReader() {
    if (fd_ >= 0) close(fd_);
  }
  StampReader(const StampReader&) = delete;
  StampReader& operator=(const StampReader&) = delete;

  std::optional<FileStamp> Of(std::string_view name) {
    if (fd_ < 0) return StampOfFile(dir_ + std::string(name));
    name_.assign(name);  // ended by a NUL, in a buffer that is reused
    struct stat st;
    if (fstatat(fd_, name_.c_str(), &st, 0) != 0) return std::nullopt;  // links followed, as StampOfFile
    return StampOf(st);
  }
  // The entry itself, a link not followed.
  bool EntryStat(const char* name, struct stat* st) const {
    if (fd_ < 0) return fstatat(AT_FDCWD, (dir_ + name).c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
    return fstatat(fd_, name, st, AT_SYMLINK_NOFOLLOW) == 0;
  }

 private:
  const std::string& dir_;
  int fd_;
  std::string name_;
};

int64_t ChangeTime(const struct stat& st) { return Nanoseconds(st.st_ctim); }

// Whether what changed last at `st`'s status-change time has been still for
// longer than the grain of its times by `now`: a change within the same
// grain would not have moved the time.
bool StillSince(const struct stat& st, int64_t now) {
  const int64_t grain = st.st_ctim.tv_nsec == 0 ? 2000000000 : 100000000;  // whole seconds: maybe 2 s
  return ChangeTime(st) + grain < now;
}

// FNV-1a: a hash that stays the same from one build to the next.
uint64_t TextHash(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// A folder's slideshow playlist as a catch-up found it when it read it and
// it said what it should: the file's inode, status-change time and size, and
// a hash of what it said. Writing to the file moves that time, which nobody
// can set back; so while these are the same, and the playlist to write is
// too, it still says it and is not read again.
struct PlaylistStamp {
  int64_t inode = 0;
  int64_t ctime = 0;  // ns
  int64_t size = 0;
  uint64_t text = 0;
  bool operator==(const PlaylistStamp&) const = default;

  static PlaylistStamp Of(const struct stat& st, uint64_t text) {
    return {static_cast<int64_t>(st.st_ino), ChangeTime(st), static_cast<int64_t>(st.st_size), text};
  }
  // As kept after a folder's listed entries: 'p', the four numbers each
  // ended by ':', and '/'.
  std::string Record() const {
    std::string out = "p";
    char number[24];
    for (uint64_t n : {static_cast<uint64_t>(inode), static_cast<uint64_t>(ctime),
                       static_cast<uint64_t>(size), text}) {
      out.append(number, std::to_chars(number, number + sizeof number, n).ptr);
      out += ':';
    }
    out += '/';
    return out;
  }
  // Takes the record off the end of `entries`, where there is one that
  // reads whole.
  static std::optional<PlaylistStamp> TakeRecord(std::string& entries) {
    if (entries.size() < 2 || entries.back() != '/') return std::nullopt;
    const size_t before = entries.rfind('/', entries.size() - 2);
    const size_t at = before == std::string::npos ? 0 : before + 1;
    if (entries[at] != 'p') return std::nullopt;
    uint64_t n[4];
    const char* next = entries.data() + at + 1;
    const char* end = entries.data() + entries.size() - 1;
    for (uint64_t& value : n) {
      auto [ptr, ec] = std::from_chars(next, end, value);
      if (ec != std::errc() || ptr == end || *ptr != ':') return std::nullopt;
      next = ptr + 1;
    }
    if (next != end) return std::nullopt;
    entries.resize(at);
    return PlaylistStamp{static_cast<int64_t>(n[0]), static_cast<int64_t>(n[1]),
                         static_cast<int64_t>(n[2]), n[3]};
  }
};

struct StoredListing;

// One folder as the walk met it: the files it takes, with the stamps of those
// whose rows read their contents, and the pictures its slideshow playlist
// lists, with whether that playlist lists them now. Once matched with what
// the catalogue holds, the files whose rows are to be written. Kept small: a
// catch-up holds one per folder of the tree until it is done.
struct Listing {
  std::string dir;
  NameList files;
  std::vector<char> stamped;  // per file: whether its row reads its contents
  std::vector<std::optional<FileStamp>> stamps;  // per stamped file, in order, until matched
  NameList images;
  bool hasPlaylist = false;  // the listing met a file of the playlist's name
  bool playlistCurrent = false;
  std::optional<PlaylistStamp> keptPlaylist;  // kept with the listing it was taken from
  std::optional<PlaylistStamp> readPlaylist;  // found now by reading it, to keep
  // The kept listing it was taken from, or where its listing is to be kept.
  const StoredListing* replayed = nullptr;
  int keptAt = -1;  // in CatchUp::toStore_
  bool matched = false;
  size_t unchanged = 0;
  std::vector<std::pair<size_t, Known*>> todo;  // a file, and its rows (none when it has none)

  void Add(std::string_view name, bool readsContents) {
    files.Add(name);
    stamped.push_back(readsContents);
  }

  // Reads the stamps and the playlist. `known`: the catalogue's rows, once
  // loaded; the stamps are then matched with them as they are read, and not
  // kept. `started`: when the catch-up began.
  void Read(KnownFiles* known, int64_t started) {
    std::optional<StampReader> reader;
    if (std::find(stamped.begin(), stamped.end(), 1) != stamped.end()) {
      reader.emplace(dir);
      if (known) {
        Match(*known, [&](size_t i) { return reader->Of(files[i]); });
      } else {
        for (size_t i = 0; i < files.size(); ++i)
          if (stamped[i]) stamps.push_back(reader->Of(files[i]));
      }
    } else if (known) {
      Match(*known, [](size_t) { return std::optional<FileStamp>(); });
    }
    if (!reader) reader.emplace(dir, StampReader::kByPath);
    ReadPlaylist(*reader, started);
  }

  // Matches with the stamps read before the rows were loaded.
  void MatchRead(KnownFiles& known) {
    size_t next = 0;
    Match(known, [&](size_t) { return stamps[next++]; });
    stamps = {};
  }

  // Whether the playlist lists `images`, one per line, as a walk writes it:
  // not read where its kept stamp still holds, else read only as far as
  // tells, and stamped to keep when it does and has been still long enough.
  void ReadPlaylist(const StampReader& reader, int64_t started) {
    const std::string wanted = PlaylistText();
    if (!hasPlaylist) {
      playlistCurrent = wanted.empty();
      return;
    }
    const uint64_t text = TextHash(wanted);
    struct stat st;
    if (keptPlaylist && keptPlaylist->text == text && reader.EntryStat(kPlaylistName, &st) &&
        S_ISREG(st.st_mode) && PlaylistStamp::Of(st, text) == *keptPlaylist) {
      playlistCurrent = true;
      return;
    }
    const int fd = open((dir + kPlaylistName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      playlistCurrent = wanted.empty();
      return;
    }
    // Stamped before it is read: a write meanwhile leaves a stamp that no
    // longer holds.
    const bool stamped = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && StillSince(st, started);
    playlistCurrent = FileHolds(fd, wanted);
    close(fd);
    if (playlistCurrent && stamped) readPlaylist = PlaylistStamp::Of(st, text);
  }

  // The playlist as a walk writes it: the pictures, one per line.
  std::string PlaylistText() const {
    std::string text;
    for (size_t i = 0; i < images.size(); ++i) AppendPlaylistLine(&text, images[i]);
    return text;
  }

 private:
  // Marks the files' rows as met, and keeps the files whose rows are not
  // current. A row is current when it is the file's only one and, where the
  // row reads the file's contents, the file's stamp is the one it was
  // written with. `stampOf(i)`: the stamp of stamped file i, asked in order.
  template <typename StampOf>
  void Match(KnownFiles& known, StampOf stampOf) {
    auto folder = known.folders.find(std::string_view(dir));
    for (size_t i = 0; i < files.size(); ++i) {
      std::optional<FileStamp> now;
      if (stamped[i]) now = stampOf(i);
      Known* k = folder == known.folders.end() ? nullptr : folder->second.Find(files[i]);
      if (k) {
        k->seen = true;
        if (k->rows == 1 && (!stamped[i] || (k->stamp != Known::kNoStamp && now &&
                                             *now == known.stamps[k->stamp]))) {
          ++unchanged;
          continue;
        }
      }
      todo.emplace_back(i, k);
    }
    matched = true;
  }
};

// What a catch-up listed of a folder, kept for the next one. Adding,
// removing or renaming an entry moves the folder's status-change time,
// which nobody can set back: while the folder's inode and that time are
// the same, its entries are too. A listing is kept only where that holds:
// on a file system that keeps those times, for a folder of files and
// folders alone (a link's target can change behind it), and only once the
// folder has been still for longer than its times' grain, so that a change
// in the same grain as the listing cannot hide.
struct StoredListing {
  int64_t inode = 0;
  int64_t ctime = 0;     // ns
  std::string entries;   // per entry: 'f' or 'd', the name, '/'
  std::optional<PlaylistStamp> playlist;  // kept after the entries
  bool met = false;      // by this catch-up, and used
};
using StoredListings = std::unordered_map<std::string, StoredListing, PathHash, std::equal_to<>>;

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

// The folders listed so far whose stamps are still to be read. Reading a
// stamp per file is most of a catch-up's time, so it is shared by whoever is
// free: the walk once it has listed the tree, and the thread that loaded the
// catalogue once that is done.
class StampQueue {
 public:
  void Push(Listing* listing) {
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back(listing);
    }
    wake_.notify_one();
  }
  // Nothing more will be pushed.
  void Close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    wake_.notify_all();
  }
  // Reads stamps until the queue is closed and empty.
  void Work(const std::function<void(Listing*)>& read) {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return closed_ || !waiting_.empty(); });
      if (waiting_.empty()) return;
      Listing* listing = waiting_.front();
      waiting_.pop_front();
      lock.unlock();
      read(listing);
      lock.lock();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Listing*> waiting_;
  bool closed_ = false;
};

class CatchUp {
 public:
  CatchUp(WalkContext context, std::string root)
      : walk_(std::move(context)),
        root_(std::move(root)),
        db_(walk_.Context().db),
        traitsOf_(walk_.Context().types) {}

  // Lists the tree and reads its files' stamps while the catalogue's rows of
  // it load on a second thread (the connection is used by that thread alone
  // until it is joined).
  void Gather() {
    started_ = NowNs();
    LoadStoredListings();
    StampQueue stamps;
    // A listing read once the rows are loaded is matched with them there
    // and then, on whichever thread read it; the others in Apply.
    auto read = [this](Listing* listing) {
      listing->Read(loaded_.load(std::memory_order_acquire) ? &known_ : nullptr, started_);
    };
    std::thread loader([&] {
      Load();
      loaded_.store(true, std::memory_order_release);
      stamps.Work(read);
    });
    struct Joined {
      StampQueue& stamps;
      std::thread& loader;
      ~Joined() {
        stamps.Close();
        loader.join();
      }
    } joined{stamps, loader};
    List(root_, stamps);
    stamps.Close();
    stamps.Work(read);
  }

  // Brings the rows in step with what was gathered, folder by folder in the
  // order of the walk, as a walk would write them.
  void Apply() {
    for (Listing& listing : listings_) {
      if (walk_.Stopped()) return;
      if (!listing.matched) listing.MatchRead(known_);
      counts.unchanged += static_cast<int>(listing.unchanged);
      for (auto [i, k] : listing.todo) TakeFile(listing.dir, std::string(listing.files[i]), k);
      if (!listing.playlistCurrent) UpdatePlaylist(listing);
    }
  }

  // Rows of files the walk did not meet go, except below folders it could not list.
  void RemoveUnseen() {
    for (auto& [dir, folder] : known_.folders) {
      for (Known& k : folder.files) {
        if (k.seen) continue;
        std::string file = dir;
        file += folder.NameOf(k);
        if (BelowUnlisted(file)) continue;
        DeleteRows(file, k.tables);
        DeleteFileStamp(db_, file);
        ++counts.removed;
      }
    }
  }

  // Keeps this catch-up's listings for the next, with the stamps of the
  // playlists read now, and drops those that no longer hold.
  void KeepListings() {
    for (const auto& [dir, stored] : stored_)
      if (!stored.met)
        db_->Run(BoundStatement("DELETE FROM TARVEL_LISTINGS WHERE FullPath = ?").Text(dir));
    for (const Listing& listing : listings_) {
      if (!listing.readPlaylist) continue;
      if (listing.keptAt >= 0) {
        toStore_[listing.keptAt].second.playlist = listing.readPlaylist;
      } else if (listing.replayed && listing.replayed->playlist != listing.readPlaylist) {
        StoredListing again = *listing.replayed;
        again.playlist = listing.readPlaylist;
        toStore_.emplace_back(listing.dir, std::move(again));
      }
    }
    for (const auto& [dir, listing] : toStore_)
      db_->Run(BoundStatement("INSERT INTO TARVEL_LISTINGS VALUES(?,?,?,?,?)")
                   .Text(dir)
                   .Text(root_)
                   .Int(listing.inode)
                   .Int(listing.ctime)
                   .Text(listing.playlist ? listing.entries + listing.playlist->Record() : listing.entries));
  }

  CatchUpCounts counts;

 private:
  void LoadStoredListings() {
    db_->EachRow(BoundStatement("select FullPath, Inode, Ctime, Entries from TARVEL_LISTINGS"
                                " where SharedRoot = ?")
                     .Text(root_),
                 [&](const QueryRow& row) {
                   StoredListing& stored = stored_[std::string(row.Text(0))];
                   stored.inode = row.Int(1);
                   stored.ctime = row.Int(2);
                   stored.entries = row.Text(3);
                   stored.playlist = PlaylistStamp::TakeRecord(stored.entries);
                   return true;
                 });
  }

  // The stored listing of `dir`, when the folder has not changed since.
  StoredListing* StillStored(const std::string& dir, const struct stat& st) {
    auto it = stored_.find(dir);
    if (it == stored_.end() || it->second.inode != static_cast<int64_t>(st.st_ino) ||
        it->second.ctime != ChangeTime(st))
      return nullptr;
    return &it->second;
  }

  // Whether a listing of the folder just made may be kept: see StoredListing.
  bool Keepable(const std::string& dir, const struct stat& st) {
    if (!StillSince(st, started_)) return false;
    auto it = keepsTimes_.find(st.st_dev);
    if (it == keepsTimes_.end()) it = keepsTimes_.emplace(st.st_dev, KeepsFolderChangeTimes(dir)).first;
    return it->second;
  }

  void Load() {
    unsigned bit = 1;
    for (MediaTable t : kMediaTables) {
      // Rows come in the order they were written, a folder's together: they
      // are gathered in `batch` and stored when the folder changes.
      KnownFolder batch;
      std::string batchDir;
      auto store = [&] {
        if (batch.files.empty()) return;
        auto it = known_.folders.find(std::string_view(batchDir));
        if (it == known_.folders.end()) it = known_.folders.emplace(batchDir, KnownFolder()).first;
        it->second.Take(batch);
        batch.Clear();
      };
      db_->EachRow(BoundStatement(RowsOfRootQuery(t)).Text(root_), [&](const QueryRow& row) {
        auto [dir, name] = SplitPath(row.Text(0));
        if (dir != batchDir) {
          store();
          batchDir.assign(dir);
        }
        batch.Add(name, bit);
        return true;
      });
      store();
      bit <<= 1;
    }
    for (auto& [dir, folder] : known_.folders) folder.Settle();
    std::vector<std::string> leftOver;
    // Stamps too come a folder's together: its rows are looked up once.
    std::string lastDir;
    KnownFolder* folder = nullptr;
    db_->EachRow(
        BoundStatement("select Filename, Size, Mtime from TARVEL_FILES where SharedRoot = ?").Text(root_),
        [&](const QueryRow& row) {
          const std::string_view file = row.Text(0);
          auto [dir, name] = SplitPath(file);
          if (!folder || dir != lastDir) {
            auto it = known_.folders.find(dir);
            folder = it == known_.folders.end() ? nullptr : &it->second;
            lastDir.assign(dir);
          }
          Known* k = folder ? folder->Find(name) : nullptr;
          if (k && RowReadsContents(name)) {
            k->stamp = static_cast<uint32_t>(known_.stamps.size());
            known_.stamps.push_back(FileStamp{row.Int(1), row.Int(2)});
          } else {
            leftOver.emplace_back(file);
          }
          return true;
        });
    // A stamp without a row, or of a file whose row does not read its
    // contents (catalogues of earlier versions stamped every file), is left
    // over; it is dropped before any new stamp is written.
    for (const std::string& file : leftOver) DeleteFileStamp(db_, file);
  }

  void List(const std::string& dir, StampQueue& stamps) {
    if (walk_.Stopped()) return;
    EnteredFolder entered(walk_, dir);
    if (entered.Skip()) return;
    // A folder reached twice by the same path is met once.
    if (!listed_.insert(dir).second) return;
    const struct stat* st = entered.Stat();
    // Met by name in a kept listing: left out as ForEachEntry leaves it out.
    if (st && IsOwnFolder(*st) && dir != root_) return;
    const WalkContext& context = walk_.Context();
    Listing listing;
    listing.dir = dir;
    std::vector<std::string> subfolders;
    auto visit = [&](std::string_view name, EntryKind kind) {
      if (kind == EntryKind::Folder) {
        std::string folder(name);
        if (!context.isSharedSubfolder(dir, folder)) subfolders.push_back(std::move(folder));
        return;
      }
      if (name == kPlaylistName) listing.hasPlaylist = true;
      const NameTraits traits = traitsOf_.Of(name);
      if (traits.playlistImage) listing.images.Add(name);
      if (traits.taken) listing.Add(name, traits.readsContents);
    };
    StoredListing* stored = st ? StillStored(dir, *st) : nullptr;
    if (stored && Replayable(stored->entries)) {
      // Its names stay where they are, in the kept listing.
      listing.files.KeptIn(stored->entries);
      listing.images.KeptIn(stored->entries);
      Replay(stored->entries, visit);
      stored->met = true;
      listing.replayed = stored;
      listing.keptPlaylist = stored->playlist;
    } else {
      const bool keep = st && Keepable(dir, *st);
      StoredListing fresh;
      bool plain = false;
      bool listed = ForEachEntry(
          dir,
          [&](const std::string& name, EntryKind kind) {
            visit(name, kind);
            if (!keep) return;
            fresh.entries += kind == EntryKind::Folder ? 'd' : 'f';
            fresh.entries += name;
            fresh.entries += '/';
          },
          walk_.Bound(), walk_.Own(), &plain);
      if (!listed) {
        // Unreadable for now (permissions, a failing disk): its rows stay.
        unlisted_.push_back(dir);
        return;
      }
      if (keep && plain) {
        fresh.inode = static_cast<int64_t>(st->st_ino);
        fresh.ctime = ChangeTime(*st);
        listing.keptAt = static_cast<int>(toStore_.size());
        toStore_.emplace_back(dir, std::move(fresh));
      }
    }
    stamps.Push(&listings_.emplace_back(std::move(listing)));
    for (const std::string& sub : subfolders) List(dir + sub + "/", stamps);  // not back up the tree
  }

  bool IsOwnFolder(const struct stat& st) const {
    const FolderId id = IdOf(st);
    return id == walk_.Own().data || id == walk_.Own().runtime;
  }

  // Whether `entries` is a kept listing as this program writes them.
  static bool Replayable(std::string_view entries) {
    for (size_t at = 0; at < entries.size();) {
      const size_t end = entries.find('/', at);
      if (end == std::string_view::npos || end < at + 2 || (entries[at] != 'f' && entries[at] != 'd'))
        return false;
      at = end + 1;
    }
    return true;
  }

  // Visits the entries of a Replayable kept listing.
  template <typename Visit>
  static void Replay(std::string_view entries, Visit& visit) {
    for (size_t at = 0; at < entries.size();) {
      const size_t end = entries.find('/', at);
      visit(entries.substr(at + 1, end - at - 1),
            entries[at] == 'd' ? EntryKind::Folder : EntryKind::File);
      at = end + 1;
    }
  }

  // A file whose rows are not current: they are written again. `k`: what
  // the catalogue holds of it, none when nothing.
  void TakeFile(const std::string& dir, const std::string& name, Known* k) {
    if (k) {
      DeleteRows(dir + name, k->tables);
      ++counts.changed;
    } else {
      ++counts.added;
    }
    walk_.ClassifyFile(dir, root_, name);
  }

  void DeleteRows(const std::string& file, unsigned tables) {
    int bit = 0;
    for (MediaTable t : kMediaTables) {
      if (tables & (1u << bit))
        DeleteMediaRow(db_, t, file);
      ++bit;
    }
  }

  bool BelowUnlisted(const std::string& file) const {
    for (const std::string& dir : unlisted_)
      if (file.compare(0, dir.size(), dir) == 0) return true;
    return false;
  }

  // The folder's slideshow playlist as a walk would write it, where it is
  // not: rewritten, or removed when the folder holds no image.
  void UpdatePlaylist(const Listing& listing) { walk_.WritePlaylist(listing.dir, listing.PlaylistText()); }

  FolderWalk walk_;
  std::string root_;
  SqliteDatabase* db_;
  NameTraitsCache traitsOf_;  // for the listing, on the walk's thread alone
  KnownFiles known_;  // written by the loader alone until `loaded_`
  std::atomic<bool> loaded_{false};
  std::deque<Listing> listings_;  // in the order of the walk; stable for the readers
  std::unordered_set<std::string> listed_;
  std::vector<std::string> unlisted_;
  // Listings kept from before and to keep (the walk's thread alone).
  StoredListings stored_;
  std::vector<std::pair<std::string, StoredListing>> toStore_;
  std::unordered_map<dev_t, bool> keepsTimes_;  // per device: KeepsFolderChangeTimes
  int64_t started_ = 0;
};

}  // namespace

bool IsMountPoint(const std::string& folder) {
  struct stat here, parent;
  if (stat(folder.c_str(), &here) != 0) return false;
  if (stat((WithSlash(folder) + "..").c_str(), &parent) != 0) return false;
  return here.st_dev != parent.st_dev || here.st_ino == parent.st_ino;
}

bool SharedFolderPresent(const std::string& listed, std::optional<bool> wasMountPoint) {
  struct stat st;
  if (stat(listed.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return !(wasMountPoint && *wasMountPoint) || IsMountPoint(listed);
}

CatchUpCounts CatchUpFolder(const SharedFolderRules* shares, const std::string& listed) {
  NamedLock lock(kCatalogueMutex);
  // Asked under the lock: the folder may have been unshared meanwhile. A
  // folder that is not there keeps its rows (a disk that is not plugged in).
  if (!shares->IsListed(listed) || !SharedFolderPresent(listed, StoredMountPoint(listed))) return {};
  ThreadConnection db;
  if (!db.get()) {
    printf("Open DB failed!\n");
    return {};
  }
  WalkContext context;
  context.db = db.get();
  context.types.Set(MediaTypesOfFolder(listed));
  context.isSharedSubfolder = [shares](const std::string& folder, const std::string& name) {
    return shares->IsSharedSubfolder(folder, name);
  };
  context.stopped = [shares] { return shares->StopRequested(); };
  CatchUp catchUp(std::move(context), listed);
  {
    Transaction tx(db.get());
    catchUp.Gather();
    catchUp.Apply();
    if (shares->StopRequested()) return {};  // rolled back: nothing half done
    catchUp.RemoveUnseen();
    catchUp.KeepListings();
    tx.Commit();
  }
  db.get()->Flush();
  StoreMountPoint(listed, IsMountPoint(listed));
  catchUp.counts.done = true;
  return catchUp.counts;
}
