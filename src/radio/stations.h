// The station folder "RadioList" and its playlist files: where it is, which
// files are stations, and the title a station file carries.
#pragma once

#include <string>
#include <vector>

inline constexpr const char* kRadioFolderName = "RadioList";

// The longest title ReadStationTitle gives, in bytes.
inline constexpr size_t kMaxStationTitle = 256;

// Downloads in progress live in the station folder under this prefix until
// they are named; they are not stations.
inline constexpr const char* kDownloadPrefix = ".download-";

// The station folder of the working directory, ending in '/'. Creates it when
// it does not exist (an existing folder, or one that cannot be made, is no
// error: listing it then finds nothing).
std::string GetRadioFolder();

// The stations in `folder`: every entry that is not a directory (following
// symbolic links) and not a download in progress, sorted by name. An
// unreadable or missing folder has none.
std::vector<std::string> ListStations(const std::string& folder);

// The title of a station file (read by ReadStationFile, so at most
// kMaxStationFile bytes of a regular file): the text two characters after
// the first ')' of the first line that starts with "Title" and holds a ')',
// at most kMaxStationTitle bytes, without its line end. Lines are taken from
// their start only; a line is considered up to its first NUL byte and its
// first 1023 bytes. A carriage return right before a line feed is not part of
// the line. Returns 0 and sets *title, or -1 (leaving *title as it was) when
// an argument is missing, the file has no title line or cannot be read; a
// file that cannot be read is reported on standard error ("fopen error").
int ReadStationTitle(const char* path, std::string* title);

// A single path component: not empty, no '/', not "." or "..", not longer
// than a file name may be.
bool IsPlainFileName(const std::string& name);

// The station file name for a title: every byte 1 to 29 and every
// . / * > < ? : | becomes a space, then ".pls" is appended. Empty when the
// title is empty or the name would be longer than a file name may be.
std::string StationFileNameForTitle(const std::string& title);

// Deletes the named station files from `folder`. Every name must be a
// station listed there; otherwise nothing is deleted, *error says which
// name, and false is returned. Also false (with *error) when a deletion
// fails; the others are still deleted.
bool RemoveStations(const std::string& folder, const std::vector<std::string>& names,
                    std::string* error);
