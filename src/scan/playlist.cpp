// The slideshow playlist of a folder: "JpgPlaylist.sls", one image name a line.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

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
thread_local std::string t_realRoot;  // of the outermost PlaylistScope, ending with '/'
thread_local bool t_scoped = false;

std::string RealFolder(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) return {};
  std::string r = real;
  free(real);
  return r.back() == '/' ? r : r + "/";
}

// Whether playlists may be written or deleted in `folder`.
bool InScope(const std::string& folder) {
  if (!t_scoped) return true;
  if (t_realRoot.empty()) return false;
  std::string real = RealFolder(folder);
  return !real.empty() && real.compare(0, t_realRoot.size(), t_realRoot) == 0;
}

}  // namespace

PlaylistScope::PlaylistScope(const std::string& root) {
  if (t_scoped) return;
  t_scoped = outermost_ = true;
  t_realRoot = RealFolder(root);
}

PlaylistScope::~PlaylistScope() {
  if (!outermost_) return;
  t_scoped = false;
  t_realRoot.clear();
}

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
    if (!InScope(folder)) return false;
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
  if (InScope(folder)) unlink(path.c_str());
}
