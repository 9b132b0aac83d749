// The records from which catalogue rows are written. Text fields carry their
// field sizes (terminator included): titles, tags and labels longer than their
// field are cut at a character boundary when the row is written; paths are
// never cut.
#pragma once

#include <string>

inline constexpr size_t kTitleField = 80;
inline constexpr size_t kGenreField = 80;
inline constexpr size_t kTagTextField = 100;
inline constexpr size_t kImageGenreField = 100;
inline constexpr size_t kLabelField = 256;

inline constexpr const char* kDefaultText = "Others";

struct AudioRow {
  std::string Title;
  int HasTag = 0;
  std::string Genre = kDefaultText;
  std::string TagText1 = kDefaultText;
  std::string TagText2 = kDefaultText;
  std::string ParentDir;
  std::string Filename;
  std::string SharedRoot;
};

struct VideoRow {
  std::string Title;
  int HasTag = 0;
  std::string Genre = kDefaultText;
  std::string TagText1 = kDefaultText;
  std::string TagText2 = kDefaultText;
  int Number1 = 0;
  int Number2 = 0;
  std::string ParentDir;
  std::string Filename;
  std::string SharedRoot;
};

struct ImageRow {
  std::string Title;
  int Number1 = 0;
  int Number2 = 0;
  int Number3 = 0;
  std::string Genre = kDefaultText;
  std::string ParentDir;
  std::string Filename;
  std::string SharedRoot;
};

struct SharedFolderRow {
  std::string FullPath;
  std::string Label;
  int ViewCode = 0;
};

// "SourceView" and "" give 0, "AllVideo" 1, "AllAudio" 2, "AllImage" 3.
int ViewCodeFromName(const std::string& viewName);
