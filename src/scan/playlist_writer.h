#pragma once

#include <string>

// A walk appends many lines to one folder's playlist in a row; the file stays
// open between them on the walking thread. Closes it (the walk calls this
// when it leaves the folder).
void ClosePlaylists();

// While the outermost one exists on this thread, playlists are written and
// deleted only in folders whose real path lies inside `root`'s: a folder
// reached through a symbolic link out of the shared tree is someone else's.
class PlaylistScope {
 public:
  explicit PlaylistScope(const std::string& root);
  ~PlaylistScope();
  PlaylistScope(const PlaylistScope&) = delete;
  PlaylistScope& operator=(const PlaylistScope&) = delete;

 private:
  bool outermost_ = false;
};
