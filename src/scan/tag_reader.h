// Reading the ID3 tag of an MP3 file into an AUDIO row.
#pragma once

#include "scan/folder_state.h"

#include <optional>
#include <string>

#include "catalog/records.h"

// What the four tag-text reads and the genre number give for one file. Texts
// are UTF-8 whatever the frame's encoding; an absent frame is nullopt.
struct Mp3Tag {
  std::optional<std::string> title;
  std::optional<std::string> text1;  // the artist
  std::optional<std::string> text2;  // the album
  std::optional<std::string> genreText;
  int genreNumber = 255;  // 255: none
  // The file's stamp as it was opened, before its tag was read; none when it
  // could not be opened.
  std::optional<FileStamp> stamp;
};

// Reads the ID3v1 and ID3v2 (2.2, 2.3, 2.4) tags of a file. A missing,
// damaged or hostile tag yields an empty Mp3Tag; a compressed frame that would
// inflate beyond a few MiB counts as absent.
Mp3Tag ReadTagTexts(const std::string& path);

// Fills Title, HasTag, Genre, TagText1, TagText2 and Filename of `row`; the
// caller has set ParentDir and SharedRoot. Always returns 1. `stamp`, when
// given, gets the file's stamp as it was opened (one stat less per file).
int ReadMp3Tag(const std::string& fullPath, const std::string& fallbackTitle, AudioRow* row,
               std::optional<FileStamp>* stamp = nullptr);
