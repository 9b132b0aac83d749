// The slideshow playlist of a folder: "JpgPlaylist.sls", one image name a line.
#include <fcntl.h>
#include <unistd.h>

#include "catalog/text.h"
#include "shares/shared_folder_core.h"

namespace {
constexpr const char* kPlaylistName = "JpgPlaylist.sls";
constexpr const char* kPlaylistImages[] = {".jpg", ".jpe", ".jpeg", ".jpeg2000", ".jp2", ".jpc",
                                           ".j2k", ".bmp", ".gif", ".png", ".tif", ".tiff"};
}  // namespace

int CSharedFolderCore::IsPlaylistImage(const std::string& name) const {
  std::string ext = Utf8Lower(GetExtension(name));
  for (const char* image : kPlaylistImages)
    if (ext == image) return 1;
  return 0;
}

bool CSharedFolderCore::AppendToPlaylist(const std::string& folder, const std::string& name) {
  if (!IsPlaylistImage(name)) return false;
  std::string path = WithSlash(folder) + kPlaylistName;
  // Never through a link: the playlist is written in its folder and nowhere else.
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::string line = name + "\r\n";
  bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  return ok;
}

void CSharedFolderCore::DeletePlaylist(const std::string& folder) {
  unlink((WithSlash(folder) + kPlaylistName).c_str());
}
