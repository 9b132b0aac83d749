#include "scan/folder_state.h"

#include <sys/stat.h>

#include <cstdlib>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "scan/media_types.h"

int64_t Nanoseconds(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

FileStamp StampOf(const struct stat& st) {
  return FileStamp{static_cast<int64_t>(st.st_size), Nanoseconds(st.st_mtim)};
}

std::optional<FileStamp> StampOfFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return StampOf(st);
}

void WriteFileStamp(SqliteDatabase* db, const std::string& path, const std::string& root,
                    const FileStamp& stamp) {
  // Plain INSERT: the key replaces on conflict.
  db->Run(BoundStatement(kInsertStampSql)
              .Text(path)
              .Text(root)
              .Int(stamp.size)
              .Int(stamp.mtime));
}

void DeleteFileStamp(SqliteDatabase* db, const std::string& path) {
  db->Run(BoundStatement("DELETE FROM TARVEL_FILES WHERE Filename = ?").Text(path));
}

std::optional<FileStamp> StoredFileStamp(SqliteDatabase* db, const std::string& path) {
  auto row = db->FirstRow(BoundStatement("select Size, Mtime from TARVEL_FILES where Filename = ?").Text(path));
  if (!row || row->size() != 2) return std::nullopt;
  return FileStamp{std::strtoll((*row)[0].c_str(), nullptr, 10),
                   std::strtoll((*row)[1].c_str(), nullptr, 10)};
}

void DeleteStampsOfUnsharedRoots(SqliteDatabase* db) {
  db->Exec("DELETE FROM TARVEL_FILES WHERE SharedRoot NOT IN (select FullPath from sharedfolder)");
  db->Exec("DELETE FROM TARVEL_LISTINGS WHERE SharedRoot NOT IN (select FullPath from sharedfolder)");
}

namespace {

std::optional<std::string> FolderColumn(const std::string& listed, const char* column) {
  CatalogConnection own;
  SqliteDatabase* db = ChangeOrOwnConnection(&own);
  if (!db) return std::nullopt;
  Recordset rs = Query(db, std::string("select ") + column +
                                     " from TARVEL_FOLDERS where FullPath = " + Quoted(listed));
  if (!rs->Next()) return std::nullopt;
  const char* cell = rs->current[0];
  if (!cell) return std::nullopt;
  return std::string(cell);
}

void SetFolderColumn(const std::string& listed, const char* column, const std::string& value) {
  CatalogConnection own;
  SqliteDatabase* db = ChangeOrOwnConnection(&own);
  if (!db) return;
  db->Exec(("INSERT OR IGNORE INTO TARVEL_FOLDERS(FullPath) VALUES(" + Quoted(listed) + ");"
            "UPDATE TARVEL_FOLDERS SET " + column + " = " + value + " WHERE FullPath = " +
            Quoted(listed))
               .c_str());
}

}  // namespace

std::optional<std::vector<std::string>> StoredMediaTypes(const std::string& listed) {
  std::optional<std::string> text = FolderColumn(listed, "MediaTypes");
  if (!text) return std::nullopt;
  std::vector<std::string> rows;
  size_t start = 0;
  while (start < text->size()) {
    size_t nl = text->find('\n', start);
    if (nl == std::string::npos) nl = text->size();
    if (nl > start) rows.push_back(text->substr(start, nl - start));
    start = nl + 1;
  }
  return rows;
}

void StoreMediaTypes(const std::string& listed, const std::vector<std::string>& rows) {
  std::string text;
  for (const std::string& row : rows) text += row + "\n";
  SetFolderColumn(listed, "MediaTypes", Quoted(text));
}

std::vector<std::string> MediaTypesOfFolder(const std::string& listed) {
  if (auto rows = StoredMediaTypes(listed)) return *rows;
  return std::vector<std::string>(kMediaTypeTable, kMediaTypeTable + kMediaTypeCount);
}

std::optional<bool> StoredMountPoint(const std::string& listed) {
  std::optional<std::string> text = FolderColumn(listed, "MountPoint");
  if (!text || text->empty()) return std::nullopt;
  return *text != "0";
}

void StoreMountPoint(const std::string& listed, bool mountPoint) {
  SetFolderColumn(listed, "MountPoint", mountPoint ? "1" : "0");
}
