// One reader for the station files of "RadioList", for every program that
// reads them: the station page and `tarvel stations` show a station's title
// line, the media server publishes its streams. One pass over one bounded
// read of the file gives both.
#pragma once

#include <string>
#include <vector>

// A station file is small: a larger file is not read at all.
inline constexpr size_t kMaxStationFile = 1 << 20;  // bytes

struct StationStream {
  std::string title;  // its TitleN= (blanks around it taken off), or empty
  std::string url;    // its FileN=
};

struct StationFile {
  // The title line as the station page shows it (see ReadStationTitle).
  bool hasTitle = false;
  std::string title;
  // The FileN= entries in the order of N (a repeated N keeps the file's
  // order), each with the last TitleN= of the same N. Keys are matched
  // whatever their case. Only http and https links without blanks, quotes,
  // angle brackets or control characters are kept: nothing else is ever
  // published to a client.
  std::vector<StationStream> streams;
};

// Reads the station file at `path`: only a regular file (opened without
// blocking, so that a pipe cannot hang the reader) of at most
// kMaxStationFile bytes. False, with the reason in *error, when it cannot be
// read or is not such a file.
bool ReadStationFile(const std::string& path, StationFile* station, std::string* error);

// The link rule above: a link that may be published as a stream.
bool IsStreamLink(const std::string& url);
