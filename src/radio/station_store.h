// Storing a station from a dropped link: the playlist is downloaded into a
// temporary file of the station folder, then named after the station's
// title. The download may run on any thread; naming is quick and meant for
// one caller at a time (the drop window's thread, or the command line).
#pragma once

#include <atomic>
#include <memory>
#include <string>

struct DownloadLimits {
  long connectTimeoutMs = 10'000;
  long totalTimeoutMs = 30'000;
  size_t maxBodyBytes = 1 << 20;  // larger playlists are refused
  long maxRedirects = 5;
};

enum class StationError {
  None,
  NotAPlaylistLink,  // the link does not end in "pls"
  NoFileName,        // nothing after the link's last '='
  BadFileName,       // the name after the last '=' is not a plain file name
  Refused,           // not http or https (also after a redirect)
  HttpError,         // the server answered 4xx or 5xx
  TooLarge,
  TimedOut,
  DownloadFailed,    // any other network failure
  WriteFailed,       // the station folder cannot take the file
  Cancelled,
  NoTitle,           // the playlist has no title line
  AlreadyStored,     // a station of that name exists and was kept
};

struct StationResult {
  StationError error = StationError::None;
  std::string name;    // the station's file name (stored, or the one that exists)
  std::string detail;  // the network's or the system's own words, if any
  bool ok() const { return error == StationError::None; }
};

// One sentence for the user about a result that stored nothing.
std::string DescribeStationResult(const StationResult& result);

// A downloaded playlist in its temporary file; the file is deleted with this
// object unless NameStation gave it its name.
class DownloadedPlaylist {
 public:
  DownloadedPlaylist(std::string folder, std::string tempName, std::string linkName);
  ~DownloadedPlaylist();
  DownloadedPlaylist(const DownloadedPlaylist&) = delete;
  DownloadedPlaylist& operator=(const DownloadedPlaylist&) = delete;

  std::string Path() const { return folder_ + tempName_; }
  const std::string& Folder() const { return folder_; }
  const std::string& LinkName() const { return linkName_; }

 private:
  friend StationResult NameStation(std::unique_ptr<DownloadedPlaylist> download);
  std::string folder_;    // ends in '/'
  std::string tempName_;  // empty once named
  std::string linkName_;  // the name after the link's last '='
};

// Downloads the playlist a link points to into `folder` (ending in '/'). On
// success *download holds the file; otherwise nothing is left behind. Each
// line feed of the body is stored as a carriage return and a line feed,
// unless a carriage return already comes before it. `cancel`, when given and
// set, ends the download soon.
StationResult DownloadPlaylist(const std::string& link, const std::string& folder,
                               const DownloadLimits& limits,
                               std::unique_ptr<DownloadedPlaylist>* download,
                               const std::atomic<bool>* cancel = nullptr);

// Names a downloaded playlist after its title: "<title>.pls" with the unsafe
// characters made blanks. A station of that name that exists already is
// kept, and the download deleted. When the title gives no usable name, the
// station keeps the name from the link. Never replaces a file.
StationResult NameStation(std::unique_ptr<DownloadedPlaylist> download);

// The whole drop of a link as text: the "pls" test, the download into the
// station folder of the working directory, and the naming.
StationResult StoreStationFromLink(const std::string& link,
                                   const DownloadLimits& limits = DownloadLimits());
