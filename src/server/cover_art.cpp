#include "server/cover_art.h"

#include "server/directory.h"

namespace {

// The rank of a file name as folder art, lower first; -1 when it is none.
int Rank(const std::string& path) {
  static const char* kNames[] = {"cover", "folder", "front", "album", "albumart"};
  static const char* kExtensions[] = {".jpg", ".jpeg", ".png"};
  size_t slash = path.rfind('/');
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  int rank = 0;
  for (const char* base : kNames)
    for (const char* ext : kExtensions) {
      if (name == std::string(base) + ext) return rank;
      ++rank;
    }
  return -1;
}

}  // namespace

FolderArt::FolderArt(const Content& content) : content_(content) {
  const auto& files = content.Files();
  for (uint32_t i = 0; i < files.size(); ++i) {
    if (files[i].kind != MediaKind::Image) continue;
    int rank = Rank(files[i].path);
    if (rank < 0) continue;
    auto [it, added] = best_.try_emplace(files[i].dir, rank, i);
    if (!added && rank < it->second.first) it->second = {rank, i};
  }
}

const MediaFile* FolderArt::Of(const std::string& dir) const {
  auto it = best_.find(dir);
  return it == best_.end() ? nullptr : &content_.Files()[it->second.second];
}

std::string ArtPath(const MediaFile& file, const MediaInfo& info, const FolderArt& folders) {
  if (file.kind != MediaKind::Audio && file.kind != MediaKind::Video) return "";
  if (!info.artMime.empty()) return "/art/" + file.hash + ArtExtension(info.artMime);
  if (file.kind != MediaKind::Audio) return "";
  const MediaFile* image = folders.Of(file.dir);
  return image ? MediaPath(*image) : "";
}

std::string AlbumArtElement(const std::string& url, const char* profile) {
  std::string out = "<upnp:albumArtURI";
  if (profile) out += std::string(" dlna:profileID=\"") + profile + '"';
  return out + '>' + XmlEscape(url) + "</upnp:albumArtURI>";
}
