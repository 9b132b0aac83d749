// What we keep of our own beside the catalogue rows, in tables the media
// server does not read: each catalogued file's size and modification time
// when its row was written, and each shared folder's chosen media types and
// whether it is a mount point of its own.
#pragma once

#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SqliteDatabase;
struct stat;

struct FileStamp {
  int64_t size = -1;
  int64_t mtime = 0;  // nanoseconds
  bool operator==(const FileStamp&) const = default;
};

// The stamp a stat gives.
FileStamp StampOf(const struct stat& st);
// A time as whole nanoseconds.
int64_t Nanoseconds(const timespec& time);
// The stamp of a file as it is now (links followed); nullopt when it cannot be read.
std::optional<FileStamp> StampOfFile(const std::string& path);

// Queued on `db` like a row: written with the row, in the same transaction.
void WriteFileStamp(SqliteDatabase* db, const std::string& path, const std::string& root,
                    const FileStamp& stamp);
void DeleteFileStamp(SqliteDatabase* db, const std::string& path);
std::optional<FileStamp> StoredFileStamp(SqliteDatabase* db, const std::string& path);
// Forgets the stamps of roots no longer listed in SHAREDFOLDER.
void DeleteStampsOfUnsharedRoots(SqliteDatabase* db);

// A shared folder's chosen media types (rows of kMediaTypeTable); nullopt when
// none were kept (folders shared before they were kept take every type).
std::optional<std::vector<std::string>> StoredMediaTypes(const std::string& listed);
void StoreMediaTypes(const std::string& listed, const std::vector<std::string>& rows);
// The types a folder's changes and its plain rescan use.
std::vector<std::string> MediaTypesOfFolder(const std::string& listed);

// Whether the folder was last seen as a mount point of its own (a disk that
// may be unplugged); nullopt when unknown.
std::optional<bool> StoredMountPoint(const std::string& listed);
void StoreMountPoint(const std::string& listed, bool mountPoint);
