// Every SQL text the program sends to the catalogue, with the small functions
// that send them. Statements that run per file bind their values; the others
// escape them; LIKE arguments are passed verbatim (build them with
// FolderLikeArgument).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalog/records.h"

struct SqliteDatabase;

enum class MediaTable { Audio, Video, Image };
inline constexpr MediaTable kMediaTables[] = {MediaTable::Audio, MediaTable::Video,
                                              MediaTable::Image};
const char* TableName(MediaTable table);  // "audio", "video", "image"

// The statements that write a file's row and its stamp. Statements are known
// by their text's address (see BoundStatement), so these are the ones.
extern const char kInsertAudioSql[];
extern const char kInsertVideoSql[];
extern const char kInsertImageSql[];
extern const char kInsertStampSql[];  // Filename, SharedRoot, Size, Mtime

// Run on the caller's connection; always return 0.
int InsertAudioRow(SqliteDatabase* db, const AudioRow& row);
int InsertVideoRow(SqliteDatabase* db, const VideoRow& row);
int InsertImageRow(SqliteDatabase* db, const ImageRow& row);

// Names from `first` up to `second`, or to the last name when it has none.
using NameRange = std::pair<std::string, std::optional<std::string>>;
// Whether `table` ("audio", "video", "image" or "TARVEL_FILES") may hold a
// row whose Filename lies in none of `ranges`, or has none. Asked of the
// Filename index in the gaps between the ranges: a few lookups whatever the
// table's size. A lookup that fails counts as yes.
bool MayHoldRowsOutside(SqliteDatabase* db, std::string_view table, std::vector<NameRange> ranges);

// Each opens its own connection to the catalogue; always return 0.
int DeleteMediaLike(MediaTable table, const std::string& likeArgument);
// Every media row and file stamp whose Filename begins with `folder` (which
// ends with '/'): what DeleteMediaLike with the folder's pattern takes, in
// each table. A table with no other row is emptied at once.
int DeleteRowsAndStampsUnder(const std::string& folder);
int DeleteMediaByFilename(MediaTable table, const std::string& path);
int DeleteMediaByRoot(MediaTable table, const std::string& quotedRoot);
int ClearMediaTable(MediaTable table);
int InsertSharedFolderRow(const SharedFolderRow& row);
int DeleteSharedFolderLike(const std::string& argument);
int ClearSharedFolders();

// The query texts.
inline constexpr const char* kSelectSharedFolders = "select * from sharedfolder";
std::string SharedFolderExistsQuery(const std::string& fullPath);
std::string FilenameCountQuery(const char* table, const std::string& likeArgument);

// 1 when the path is in AUDIO, VIDEO or IMAGE.
int IsCatalogued(const std::string& fullPath);
bool IsCatalogued(SqliteDatabase* db, const std::string& path);

// The file's row in one table, on the caller's connection.
void DeleteMediaRow(SqliteDatabase* db, MediaTable table, const std::string& path);

// Single-quoted SQL literal of a value.
std::string Quoted(const std::string& value);
