#include "server/content.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <utility>

namespace {

constexpr const char* kOthers = "Others";
constexpr const char* kRecentTitle = "Recently added";
constexpr size_t kRecentCount = 50;

// The "Recently added" containers keep their order: newest first.
bool IsRecent(const std::string& id) {
  return id == "music/recent" || id == "video/recent" || id == "pictures/recent";
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string ExtensionOf(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return LowerAscii(path.substr(dot));
}

std::string LastComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The tag texts the catalogue stores as "Others" when the tag had none.
std::string Known(const std::string& value) { return value == kOthers ? "" : value; }

// Items in title order, the path breaking ties, so that pages stay stable.
void SortItems(std::vector<uint32_t>* items, const std::vector<MediaFile>& files) {
  std::sort(items->begin(), items->end(), [&](uint32_t a, uint32_t b) {
    const MediaFile& x = files[a];
    const MediaFile& y = files[b];
    if (x.title != y.title) return x.title < y.title;
    return x.path < y.path;
  });
}

// The order of a picture folder's slideshow playlist: names in the order of
// "JpgPlaylist.sls", the others after them in title order.
void OrderAsPlaylist(std::vector<uint32_t>* items, const std::vector<MediaFile>& files,
                     const std::string& dir) {
  std::ifstream in(dir + "JpgPlaylist.sls", std::ios::binary);
  std::unordered_map<std::string, size_t> position;
  std::string line;
  while (in && std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) position.emplace(line, position.size());
  }
  if (position.empty()) return;
  auto rank = [&](uint32_t i) {
    auto it = position.find(files[i].path.substr(dir.size()));
    return it == position.end() ? position.size() : it->second;
  };
  std::stable_sort(items->begin(), items->end(),
                   [&](uint32_t a, uint32_t b) { return rank(a) < rank(b); });
}

}  // namespace

std::string PathHash(std::string_view text) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, h >>= 4) out[i] = kHex[h & 15];
  return out;
}

std::string MimeTypeOf(MediaKind kind, const std::string& ext) {
  static const std::map<std::string, const char*> kTypes = {
      {".mp3", "audio/mpeg"},      {".mpa", "audio/mpeg"},        {".mp1", "audio/mpeg"},
      {".mp2", "audio/mpeg"},      {".wav", "audio/wav"},         {".wma", "audio/x-ms-wma"},
      {".lpcm", "audio/L16"},      {".m3u", "audio/x-mpegurl"},   {".pls", "audio/x-scpls"},
      {".aif", "audio/aiff"},      {".aiff", "audio/aiff"},       {".mpeg2", "video/mpeg"},
      {".mpg", "video/mpeg"},      {".mpeg", "video/mpeg"},       {".vob", "video/mpeg"},
      {".dat", "video/mpeg"},      {".mp4", "video/mp4"},         {".avi", "video/x-msvideo"},
      {".jpg", "image/jpeg"},      {".jpe", "image/jpeg"},        {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},       {".bmp", "image/bmp"},         {".tif", "image/tiff"},
      {".tiff", "image/tiff"},     {".png", "image/png"},         {".jp2", "image/jp2"},
      {".jpc", "image/jp2"},       {".j2k", "image/jp2"},
  };
  auto it = kTypes.find(ext);
  if (it != kTypes.end()) return it->second;
  switch (kind) {
    case MediaKind::Video: return "video/mpeg";
    case MediaKind::Image: return "image/jpeg";
    default: return "audio/mpeg";
  }
}

void AppendDlnaFeatures(std::string* out, MediaKind kind, const char* profile) {
  // The profile comes first where there is one.
  if (profile) {
    *out += "DLNA.ORG_PN=";
    *out += profile;
    *out += ';';
  }
  if (kind == MediaKind::Image)
    *out += "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=00F00000000000000000000000000000";
  else if (kind == MediaKind::Broadcast)
    *out += "DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
  else
    *out += "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
}

std::string DlnaFeatures(MediaKind kind, const char* profile) {
  std::string out;
  AppendDlnaFeatures(&out, kind, profile);
  return out;
}

Container& Content::Add(const std::string& id, const std::string& parent, const std::string& title,
                        const char* cls) {
  auto [it, added] = containers_.try_emplace(id);
  Container& c = it->second;
  if (added) {
    c.id = id;
    c.parentId = parent;
    c.title = title;
    c.upnpClass = cls;
    if (!parent.empty()) containers_[parent].containers.push_back(id);
  }
  return c;
}

std::shared_ptr<const Content> Content::Build(const CatalogueRows& rows,
                                              const std::vector<Station>& stations,
                                              bool statFiles) {
  auto content = std::make_shared<Content>();
  Content& t = *content;
  std::set<std::string> seen;  // one item per file, whatever the duplicate rows
  std::map<std::string, std::string> realRoots;
  std::vector<std::pair<int64_t, uint32_t>> written;  // (row, file), for "Recently added"
  for (const auto& row : rows.media) {
    if (row.path.empty() || !seen.insert(row.path).second) continue;
    MediaFile f;
    f.kind = row.kind;
    f.path = row.path;
    f.title = row.title.empty() ? LastComponent(row.path) : row.title;
    f.genre = Known(row.genre);
    f.artist = Known(row.artist);
    f.album = Known(row.album);
    f.dir = row.dir.empty() ? row.path.substr(0, row.path.rfind('/') + 1) : row.dir;
    f.hash = PathHash(row.path);
    f.extension = ExtensionOf(row.path);
    if (statFiles) {
      struct stat st;
      f.present = stat(row.path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
      // A file deleted while nothing watched keeps its row for a while; a
      // client shown it could only fail to open it.
      if (!f.present) continue;
      f.size = static_cast<uint64_t>(st.st_size);
      f.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
      auto [it, added] = realRoots.emplace(row.root, "");
      if (added && !row.root.empty()) {
        char* real = realpath(row.root.c_str(), nullptr);
        it->second = real ? real : "";
        free(real);
      }
      f.realRoot = it->second;
    }
    written.push_back({row.row, static_cast<uint32_t>(t.files_.size())});
    t.byHash_.emplace(f.hash, static_cast<uint32_t>(t.files_.size()));
    t.files_.push_back(std::move(f));
  }

  t.Add("0", "", "root");
  t.containers_["0"].parentId = "-1";
  t.Add("music", "0", "Music");
  t.Add("video", "0", "Video");
  t.Add("pictures", "0", "Pictures");
  t.Add("folders", "0", "Folders");
  t.Add("radio", "0", "Internet Radio");
  t.Add("music/all", "music", "All Tracks");
  t.Add("music/artist", "music", "Artists");
  t.Add("music/album", "music", "Albums");
  t.Add("music/genre", "music", "Genres");
  t.Add("video/all", "video", "All Videos");
  t.Add("video/genre", "video", "Genres");
  t.Add("pictures/all", "pictures", "All Pictures");
  t.Add("pictures/folder", "pictures", "By Folder");
  t.Add("music/recent", "music", kRecentTitle);
  t.Add("video/recent", "video", kRecentTitle);
  t.Add("pictures/recent", "pictures", kRecentTitle);
  t.AddRecent(std::move(written));

  auto byValue = [&](const std::string& base, const std::string& value, const char* cls,
                     uint32_t i) {
    std::string title = value.empty() ? "Unknown" : value;
    t.Add(base + "/" + PathHash(title), base, title, cls).items.push_back(i);
  };
  for (uint32_t i = 0; i < t.files_.size(); ++i) {
    const MediaFile& f = t.files_[i];
    switch (f.kind) {
      case MediaKind::Audio:
        t.containers_["music/all"].items.push_back(i);
        byValue("music/artist", f.artist, "object.container.person.musicArtist", i);
        byValue("music/album", f.album, "object.container.album.musicAlbum", i);
        byValue("music/genre", f.genre, "object.container.genre.musicGenre", i);
        break;
      case MediaKind::Video:
        t.containers_["video/all"].items.push_back(i);
        byValue("video/genre", f.genre, "object.container.genre.movieGenre", i);
        break;
      case MediaKind::Image:
        t.containers_["pictures/all"].items.push_back(i);
        t.Add("pictures/folder/" + PathHash(f.dir), "pictures/folder", LastComponent(f.dir),
              "object.container.album.photoAlbum")
            .items.push_back(i);
        break;
      case MediaKind::Broadcast:
        break;
    }
  }

  // Folders: one container per shared folder, by its label.
  for (const auto& folder : rows.folders) {
    std::string root = folder.path;
    if (root.empty()) continue;
    if (root.back() != '/') root += '/';
    std::string rootId = "folders/" + PathHash(root);
    if (t.containers_.count(rootId)) continue;
    t.Add(rootId, "folders", folder.label.empty() ? LastComponent(root) : folder.label);
    for (uint32_t i = 0; i < t.files_.size(); ++i) {
      const MediaFile& f = t.files_[i];
      if (f.kind == MediaKind::Broadcast || f.path.compare(0, root.size(), root) != 0) continue;
      if (folder.viewCode == 1 || folder.viewCode == 2 || folder.viewCode == 3) {
        MediaKind wanted = folder.viewCode == 1   ? MediaKind::Video
                           : folder.viewCode == 2 ? MediaKind::Audio
                                                  : MediaKind::Image;
        if (f.kind == wanted) t.containers_[rootId].items.push_back(i);
        continue;
      }
      // The folder tree: a container for each folder between the root and the file.
      std::string parent = rootId;
      size_t from = root.size();
      for (size_t slash; (slash = f.dir.find('/', from)) != std::string::npos; from = slash + 1) {
        if (f.dir.compare(0, root.size(), root) != 0) break;
        std::string sub = f.dir.substr(0, slash + 1);
        std::string id = rootId + "/" + PathHash(sub);
        t.Add(id, parent, LastComponent(sub));
        parent = id;
      }
      t.containers_[parent].items.push_back(i);
    }
  }

  // Internet radio: one broadcast item per stream of each station file.
  for (const Station& s : stations) {
    for (size_t n = 0; n < s.streams.size(); ++n) {
      MediaFile f;
      f.kind = MediaKind::Broadcast;
      f.path = s.streams[n].second;
      f.title = s.streams.size() == 1 ? s.title : s.title + " (" + std::to_string(n + 1) + ")";
      if (!s.streams[n].first.empty() && s.streams.size() > 1)
        f.title = s.title + " - " + s.streams[n].first;
      f.hash = PathHash(s.file + "\n" + std::to_string(n + 1));
      f.dir = s.file;
      if (t.byHash_.count(f.hash)) continue;
      uint32_t index = static_cast<uint32_t>(t.files_.size());
      t.byHash_.emplace(f.hash, index);
      t.files_.push_back(std::move(f));
      t.containers_["radio"].items.push_back(index);
    }
  }
  t.Finish();
  return content;
}

void Content::AddRecent(std::vector<std::pair<int64_t, uint32_t>> written) {
  // The latest rows first (each table numbers its own rows; a kind is one
  // table); the path orders rows without a number.
  std::sort(written.begin(), written.end(), [this](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first > b.first;
    return files_[a.second].path < files_[b.second].path;
  });
  for (const auto& [row, i] : written) {
    const char* id = files_[i].kind == MediaKind::Audio   ? "music/recent"
                     : files_[i].kind == MediaKind::Video ? "video/recent"
                     : files_[i].kind == MediaKind::Image ? "pictures/recent"
                                                          : nullptr;
    if (!id) continue;
    auto& items = containers_[id].items;
    if (items.size() < kRecentCount) items.push_back(i);
  }
}

void Content::Finish() {
  for (auto& [id, c] : containers_) {
    // The fixed containers keep their order; the others go by title.
    bool fixed = id == "0" || id == "music" || id == "video" || id == "pictures";
    if (!fixed)
      std::sort(c.containers.begin(), c.containers.end(), [&](const auto& a, const auto& b) {
        const std::string& ta = containers_[a].title;
        const std::string& tb = containers_[b].title;
        return ta != tb ? ta < tb : a < b;
      });
    if (id.rfind("pictures/folder/", 0) == 0 && !c.items.empty()) {
      SortItems(&c.items, files_);
      OrderAsPlaylist(&c.items, files_, files_[c.items[0]].dir);
    } else if (id != "radio" && !IsRecent(id)) {
      SortItems(&c.items, files_);
      c.byTitle = !fixed;
    }
    uint64_t h = 14695981039346656037ull;
    auto mix = [&h](std::string_view s) {
      for (unsigned char ch : s) h = (h ^ ch) * 1099511628211ull;
      h = (h ^ 0xff) * 1099511628211ull;
    };
    for (const auto& child : c.containers) mix(child);
    for (uint32_t i : c.items) {
      mix(files_[i].hash);
      mix(files_[i].title);
      mix(std::to_string(files_[i].size));
    }
    c.signature = h;
  }
}

const Container* Content::FindContainer(std::string_view id) const {
  auto it = containers_.find(std::string(id));
  return it == containers_.end() ? nullptr : &it->second;
}

const MediaFile* Content::FindItem(std::string_view id, const Container** parent) const {
  size_t colon = id.rfind(':');
  if (colon == std::string_view::npos) return nullptr;
  const Container* c = FindContainer(id.substr(0, colon));
  auto it = byHash_.find(std::string(id.substr(colon + 1)));
  if (!c || it == byHash_.end()) return nullptr;
  if (std::find(c->items.begin(), c->items.end(), it->second) == c->items.end()) return nullptr;
  if (parent) *parent = c;
  return &files_[it->second];
}

const MediaFile* Content::FindFile(std::string_view hash) const {
  auto it = byHash_.find(std::string(hash));
  if (it == byHash_.end() || files_[it->second].kind == MediaKind::Broadcast) return nullptr;
  return &files_[it->second];
}

std::string Content::CanonicalItemId(uint32_t index) const {
  const MediaFile& f = files_[index];
  switch (f.kind) {
    case MediaKind::Audio: return "music/all:" + f.hash;
    case MediaKind::Video: return "video/all:" + f.hash;
    case MediaKind::Image: return "pictures/all:" + f.hash;
    default: return "radio:" + f.hash;
  }
}

std::vector<uint32_t> Content::ItemsBelow(const Container& top) const {
  std::vector<uint32_t> out;
  std::vector<bool> taken(files_.size());
  std::vector<const Container*> stack{&top};
  while (!stack.empty()) {
    const Container* c = stack.back();
    stack.pop_back();
    for (uint32_t i : c->items)
      if (!taken[i]) {
        taken[i] = true;
        out.push_back(i);
      }
    for (auto it = c->containers.rbegin(); it != c->containers.rend(); ++it)
      if (const Container* child = FindContainer(*it)) stack.push_back(child);
  }
  return out;
}

std::vector<std::string> Content::ChangedContainers(const Content& old) const {
  std::vector<std::string> out;
  for (const auto& [id, c] : containers_) {
    const Container* before = old.FindContainer(id);
    if (!before || before->signature != c.signature) out.push_back(id);
  }
  for (const auto& [id, c] : old.containers_)
    if (!FindContainer(id)) out.push_back(id);
  std::sort(out.begin(), out.end());
  return out;
}

int OpenInsideShare(const std::string& path, const std::string& realRoot) {
  if (realRoot.empty()) return -1;
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) close(fd);
    }
  } d{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  struct stat st;
  if (d.fd < 0 || fstat(d.fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  // Where the descriptor really leads, now that it is open.
  char link[64], target[PATH_MAX + 1];
  snprintf(link, sizeof link, "/proc/self/fd/%d", d.fd);
  ssize_t n = readlink(link, target, PATH_MAX);
  if (n <= 0) return -1;
  std::string_view opened(target, static_cast<size_t>(n));
  bool inside = realRoot == "/" ||
                (opened.size() > realRoot.size() && opened.compare(0, realRoot.size(), realRoot) == 0 &&
                 opened[realRoot.size()] == '/');
  if (!inside) return -1;
  return std::exchange(d.fd, -1);
}
