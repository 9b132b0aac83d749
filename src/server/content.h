// What the media server publishes: an immutable tree of containers and items
// built from one consistent read of the catalogue and the station files. A new
// tree replaces the old one as a whole when the catalogue changes, so a Browse
// never sees half of a change.
//
// Identifiers are derived from paths (a 64-bit hash in hex), never from row
// numbers: they survive VACUUM, a rescan and a restart, and they never give a
// path away.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

enum class MediaKind { Audio, Video, Image, Broadcast };

struct MediaFile {
  MediaKind kind = MediaKind::Audio;
  std::string path;  // the file; for a broadcast, the stream's URL
  std::string title;
  std::string genre, artist, album;  // "" when unknown
  std::string dir;                   // the folder holding the file, with '/'
  std::string hash;                  // 16 hex digits of the path
  std::string extension;             // lower case, with the dot; "" for broadcasts
  std::string realRoot;               // real path of its shared folder, "" when unknown
  uint64_t size = 0;
  int64_t mtimeNs = 0;  // when it was last written, as stat() said at load
  bool present = true;  // false when the file could not be stat()ed at load
};

// Opens `path` for reading only when it is a regular file that, wherever
// links lead at this moment, lies inside `realRoot` (the real path of its
// shared folder): a file replaced by a link after it was catalogued gives
// nothing outside the share. -1 otherwise. The caller closes the descriptor.
// Every read of a shared file, to serve it or to look into it, opens it so.
int OpenInsideShare(const std::string& path, const std::string& realRoot);

struct Container {
  std::string id, parentId, title;
  const char* upnpClass = "object.container.storageFolder";
  std::vector<std::string> containers;  // child ids, in display order
  std::vector<uint32_t> items;          // indices into Content::files, in display order
  uint64_t signature = 0;               // changes when the children change
  // Both kinds of children are in title order (a stable sort by title alone
  // would change nothing): a Browse sorted by title takes them as they are.
  bool byTitle = false;
  size_t ChildCount() const { return containers.size() + items.size(); }
};

// A station file of the radio folder, read into its streams.
struct Station {
  std::string file;   // path of the .pls file
  std::string title;  // from the file name
  std::vector<std::pair<std::string, std::string>> streams;  // (title, url)
};

// Rows as read from the catalogue.
struct CatalogueRows {
  struct Media {
    MediaKind kind;
    std::string title, genre, artist, album, dir, path, root;
    int64_t row = 0;  // its rowid: rows of one table are numbered in the order they were written
  };
  struct Folder {
    std::string label, path;
    int viewCode = 0;
  };
  std::vector<Media> media;
  std::vector<Folder> folders;
};

class Content {
 public:
  // Builds the tree; `stat` false leaves sizes at 0 and keeps files that are
  // not there (for tests of ids). Files that are gone are not listed.
  static std::shared_ptr<const Content> Build(const CatalogueRows& rows,
                                              const std::vector<Station>& stations,
                                              bool statFiles = true);

  const Container* FindContainer(std::string_view id) const;
  // An item id is "<container id>:<file hash>"; null unless that container
  // really holds that file.
  const MediaFile* FindItem(std::string_view id, const Container** parent = nullptr) const;
  // A file (never a broadcast) by its hash: what the HTTP side serves.
  const MediaFile* FindFile(std::string_view hash) const;

  const std::vector<MediaFile>& Files() const { return files_; }
  // The id under which an item is found when it is searched for.
  std::string CanonicalItemId(uint32_t index) const;
  // Every item below a container, once each, in tree order.
  std::vector<uint32_t> ItemsBelow(const Container& c) const;
  // The containers whose children differ between `old` and this tree.
  std::vector<std::string> ChangedContainers(const Content& old) const;

 private:
  Container& Add(const std::string& id, const std::string& parent, const std::string& title,
                 const char* cls = "object.container.storageFolder");
  // `written`: (row, file) of every catalogued file.
  void AddRecent(std::vector<std::pair<int64_t, uint32_t>> written);
  void Finish();

  std::vector<MediaFile> files_;
  std::unordered_map<std::string, Container> containers_;
  std::unordered_map<std::string, uint32_t> byHash_;
};

// 16 hex digits of a 64-bit FNV-1a hash of `text`.
std::string PathHash(std::string_view text);

// The MIME type of a catalogued file by its extension (lower case, with dot).
std::string MimeTypeOf(MediaKind kind, const std::string& extension);
// What is read from a file's own bytes rather than from the catalogue.
struct MediaInfo {
  int64_t millis = -1;            // playing time, -1 when unknown
  int64_t bytesPerSecond = 0;     // average, 0 when unknown
  int width = 0, height = 0;      // of the picture or the video, 0 when unknown
  int sampleRate = 0, channels = 0;
  const char* profile = nullptr;  // DLNA profile name, only when certain
  // The tag's texts as it writes them (not lower-cased); "" where it has none.
  bool tagRead = false;
  std::string title, artist, album, genre;
  std::string artMime;  // the type of an embedded picture, "" when there is none
  bool artJpeg = false;  // that picture is a JPEG whose header reads
};

// The DLNA fourth field of a protocolInfo, also sent as contentFeatures.dlna.org.
// `profile` (DLNA.ORG_PN) only when the file was seen to fit it: a wrong one
// keeps televisions from playing, a missing one does not.
std::string DlnaFeatures(MediaKind kind, const char* profile = nullptr);
// The same, appended to `out`.
void AppendDlnaFeatures(std::string* out, MediaKind kind, const char* profile = nullptr);
