// The slideshow playlist of a folder: "JpgPlaylist.sls", one image name a line.
#include <fcntl.h>
#include <unistd.h>

#include "catalog/text.h"
#include "scan/playlist_writer.h"
#include "shares/shared_folder_core.h"

namespace {

constexpr const char* kPlaylistName = "JpgPlaylist.sls";
constexpr const char* kPlaylistImages[] = {".jpg", ".jpe", ".jpeg", ".jpeg2000", ".jp2", ".jpc",
                                           ".j2k", ".bmp", ".gif", ".png", ".tif", ".tiff"};

// Lines are gathered and written when the walk leaves the folder (or another
// playlist is started), one write per folder.
struct OpenPlaylist {
  std::string path;
  std::string pending;
  int fd = -1;
  ~OpenPlaylist() { Close(); }
  void Write() {
    if (fd >= 0 && !pending.empty() && write(fd, pending.data(), pending.size()) < 0) {
    }
    pending.clear();
  }
  void Close() {
    Write();
    if (fd >= 0) close(fd);
    fd = -1;
    path.clear();
  }
};
thread_local OpenPlaylist t_playlist;

}  // namespace

void ClosePlaylists() { t_playlist.Close(); }

int CSharedFolderCore::IsPlaylistImage(const std::string& name) const {
  std::string ext = Utf8Lower(GetExtension(name));
  for (const char* image : kPlaylistImages)
    if (ext == image) return 1;
  return 0;
}

bool CSharedFolderCore::AppendToPlaylist(const std::string& folder, const std::string& name) {
  if (!IsPlaylistImage(name)) return false;
  std::string path = WithSlash(folder) + kPlaylistName;
  if (t_playlist.path != path || t_playlist.fd < 0) {
    t_playlist.Close();
    // Never through a link: the playlist is written in its folder and nowhere else.
    t_playlist.fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (t_playlist.fd < 0) return false;
    t_playlist.path = path;
  }
  t_playlist.pending += name;
  t_playlist.pending += "\r\n";
  if (t_playlist.pending.size() >= 64 * 1024) t_playlist.Write();
  return true;
}

void CSharedFolderCore::DeletePlaylist(const std::string& folder) {
  std::string path = WithSlash(folder) + kPlaylistName;
  if (t_playlist.path == path) {
    t_playlist.pending.clear();
    t_playlist.Close();
  }
  unlink(path.c_str());
}
