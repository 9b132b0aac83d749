// Which picture stands for a track, an album, an artist or a folder: the
// track's own embedded picture, else an image in its folder named cover,
// folder, front, album or albumart (in that order; .jpg, .jpeg, .png in that
// order; any case), else none. Folder images are those the catalogue holds,
// so finding them costs no look at the disk; a folder without one never
// borrows another folder's.
#pragma once

#include <string>
#include <unordered_map>

#include "server/content.h"

class FolderArt {
 public:
  explicit FolderArt(const Content& content);
  // The picture file of `dir` (with its trailing '/'), null when it has none.
  const MediaFile* Of(const std::string& dir) const;

 private:
  const Content& content_;
  std::unordered_map<std::string, std::pair<int, uint32_t>> best_;  // dir -> (rank, file)
};

// The URL path of the picture that stands for `file` (given what was read of
// it), "" when there is none. An embedded picture is served under
// "/art/<hash><.jpg or .png>", a folder image as the media file it is.
std::string ArtPath(const MediaFile& file, const MediaInfo& info, const FolderArt& folders);

// The extension an "/art/" path gives a picture of type `mime`.
inline std::string ArtExtension(const std::string& mime) {
  return mime == "image/png" ? ".png" : ".jpg";
}

// A upnp:albumArtURI element for `url`, with its DLNA profile when known.
std::string AlbumArtElement(const std::string& url, const char* profile);
