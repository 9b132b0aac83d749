#include "catalog/statements.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "catalog/database.h"
#include "catalog/text.h"

namespace {

// printf into a string of whatever length the values need.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(out.data(), out.size() + 1, fmt, ap2);
  va_end(ap2);
  return out;
}

// An INSERT value as an SQL string, fitted to its field when it has one.
std::string Sq(const std::string& value, size_t field = 0) {
  return SqlEscape(field ? FitField(value, field) : value, '\'');
}

// A text value fitted to its field, when it has one.
std::string_view Fitted(const std::string& value, size_t field, std::string* room) {
  if (!field || value.size() < field) return value;
  *room = FitField(value, field);
  return *room;
}

int RunOnOwnConnection(const std::string& sql) {
  CatalogConnection own;
  if (SqliteDatabase* db = ChangeOrOwnConnection(&own)) db->Exec(sql.c_str());
  return 0;
}

const char* UpperName(MediaTable table) {
  switch (table) {
    case MediaTable::Audio: return "AUDIO";
    case MediaTable::Video: return "VIDEO";
    case MediaTable::Image: return "IMAGE";
  }
  return "";
}

}  // namespace

const char* TableName(MediaTable table) {
  switch (table) {
    case MediaTable::Audio: return "audio";
    case MediaTable::Video: return "video";
    case MediaTable::Image: return "image";
  }
  return "";
}

std::string Quoted(const std::string& value) { return "'" + SqlEscape(value, '\'') + "'"; }

const char kInsertAudioSql[] = "INSERT INTO audio VALUES(?,?,?,?,?,?,?,?)";
const char kInsertVideoSql[] = "INSERT INTO video VALUES(?,?,?,?,?,?,?,?,?,?)";
const char kInsertImageSql[] = "INSERT INTO image VALUES(?,?,?,?,?,?,?,?)";
const char kInsertStampSql[] = "INSERT INTO TARVEL_FILES VALUES(?,?,?,?)";

int InsertAudioRow(SqliteDatabase* db, const AudioRow& r) {
  std::string a, b, c, d;
  BoundStatement sql(kInsertAudioSql);
  sql.Text(Fitted(r.Title, kTitleField, &a)).Int(r.HasTag).Text(Fitted(r.Genre, kGenreField, &b));
  sql.Text(Fitted(r.TagText1, kTagTextField, &c)).Text(Fitted(r.TagText2, kTagTextField, &d));
  sql.Text(r.ParentDir).Text(r.Filename).Text(r.SharedRoot);
  db->Run(sql);
  return 0;
}

int InsertVideoRow(SqliteDatabase* db, const VideoRow& r) {
  std::string a, b, c, d;
  BoundStatement sql(kInsertVideoSql);
  sql.Text(Fitted(r.Title, kTitleField, &a)).Int(r.HasTag).Text(Fitted(r.Genre, kGenreField, &b));
  sql.Text(Fitted(r.TagText1, kTagTextField, &c)).Text(Fitted(r.TagText2, kTagTextField, &d));
  sql.Int(r.Number1).Int(r.Number2).Text(r.ParentDir).Text(r.Filename).Text(r.SharedRoot);
  db->Run(sql);
  return 0;
}

int InsertImageRow(SqliteDatabase* db, const ImageRow& r) {
  std::string a, b;
  BoundStatement sql(kInsertImageSql);
  sql.Text(Fitted(r.Title, kTitleField, &a)).Int(r.Number1).Int(r.Number2).Int(r.Number3);
  sql.Text(Fitted(r.Genre, kImageGenreField, &b)).Text(r.ParentDir).Text(r.Filename).Text(r.SharedRoot);
  db->Run(sql);
  return 0;
}

int DeleteMediaLike(MediaTable table, const std::string& likeArgument) {
  return RunOnOwnConnection(
      Format("DELETE FROM %s WHERE Filename like %s", TableName(table), likeArgument.c_str()));
}

namespace {

// The Filename index lookups of MayHoldRowsOutside, for each table it serves.
struct OutsideLookups {
  const char* table;
  const char* before;   // below ?1
  const char* between;  // from ?1 up to ?2
  const char* from;     // from ?1 on
  const char* nameless;
};
#define TARVEL_OUTSIDE(T)                                                                     \
  OutsideLookups {                                                                            \
    T, "select exists(select 1 from " T " where Filename < ?1)",                              \
        "select exists(select 1 from " T " where Filename >= ?1 and Filename < ?2)",          \
        "select exists(select 1 from " T " where Filename >= ?1)",                            \
        "select exists(select 1 from " T " where Filename is null)"                           \
  }
constexpr OutsideLookups kOutsideLookups[] = {TARVEL_OUTSIDE("audio"), TARVEL_OUTSIDE("video"),
                                              TARVEL_OUTSIDE("image"),
                                              TARVEL_OUTSIDE("TARVEL_FILES")};
#undef TARVEL_OUTSIDE

bool Exists(SqliteDatabase* db, BoundStatement statement) {
  std::optional<std::vector<std::string>> row = db->FirstRow(statement);
  return !row || (*row)[0] != "0";
}

// The statements of DeleteUnder, for each table it serves.
struct UnderStatements {
  const char* table;
  const char* all;
  const char* range;
};
#define TARVEL_UNDER(T) \
  UnderStatements { T, "DELETE FROM " T, "DELETE FROM " T " WHERE Filename >= ?1 AND Filename < ?2" }
constexpr UnderStatements kAudioUnder = TARVEL_UNDER("audio");
constexpr UnderStatements kVideoUnder = TARVEL_UNDER("video");
constexpr UnderStatements kImageUnder = TARVEL_UNDER("image");
constexpr UnderStatements kStampsUnder = TARVEL_UNDER("TARVEL_FILES");
#undef TARVEL_UNDER

// Deletes, in each table, the rows whose Filename begins with `folder`. A
// table that holds no other row (one shared folder rescanned, the common
// case) is emptied by a DELETE without WHERE, which frees its and its
// index's pages without looking at a row. Every table is asked before any
// delete is handed to the change's writer: a question waits for what was
// handed before it, and the walk that follows should not wait for the deletes.
void DeleteUnder(const std::vector<const UnderStatements*>& tables, const std::string& folder) {
  CatalogConnection own;
  SqliteDatabase* db = ChangeOrOwnConnection(&own);
  if (!db || folder.empty() || folder.back() != '/') return;
  const std::string end = *PrefixEnd(folder);  // "<folder>0": a '/' ends it
  std::vector<bool> alone;
  for (const UnderStatements* sql : tables)
    alone.push_back(!MayHoldRowsOutside(db, sql->table, {{folder, end}}));
  for (size_t i = 0; i < tables.size(); ++i) {
    if (alone[i]) db->Exec(tables[i]->all);
    else db->Run(BoundStatement(tables[i]->range).Text(folder).Text(end));
  }
}

}  // namespace

bool MayHoldRowsOutside(SqliteDatabase* db, std::string_view table, std::vector<NameRange> ranges) {
  const OutsideLookups* lookup = nullptr;
  for (const OutsideLookups& l : kOutsideLookups)
    if (table == l.table) lookup = &l;
  if (!lookup) return true;
  if (Exists(db, BoundStatement(lookup->nameless))) return true;
  if (ranges.empty())
    return Exists(db, BoundStatement(lookup->before).Text("")) ||
           Exists(db, BoundStatement(lookup->from).Text(""));
  std::sort(ranges.begin(), ranges.end());
  if (Exists(db, BoundStatement(lookup->before).Text(ranges.front().first))) return true;
  std::string from = ranges.front().first;  // where the present gap starts
  for (const auto& [start, end] : ranges) {
    if (from < start && Exists(db, BoundStatement(lookup->between).Text(from).Text(start)))
      return true;
    if (!end) return false;  // this range reaches the last name
    if (from < *end) from = *end;
  }
  return Exists(db, BoundStatement(lookup->from).Text(from));
}

int DeleteRowsAndStampsUnder(const std::string& folder) {
  DeleteUnder({&kAudioUnder, &kVideoUnder, &kImageUnder, &kStampsUnder}, folder);
  return 0;
}

int DeleteMediaByFilename(MediaTable table, const std::string& path) {
  CatalogConnection own;
  if (SqliteDatabase* db = ChangeOrOwnConnection(&own)) DeleteMediaRow(db, table, path);
  return 0;
}

void DeleteMediaRow(SqliteDatabase* db, MediaTable table, const std::string& path) {
  static constexpr const char* kDelete[] = {"DELETE FROM audio WHERE Filename = ?",
                                            "DELETE FROM video WHERE Filename = ?",
                                            "DELETE FROM image WHERE Filename = ?"};
  db->Run(BoundStatement(kDelete[static_cast<int>(table)]).Text(path));
}

int DeleteMediaByRoot(MediaTable table, const std::string& quotedRoot) {
  return RunOnOwnConnection(
      Format("DELETE FROM %s WHERE SharedRoot = %s", TableName(table), quotedRoot.c_str()));
}

int ClearMediaTable(MediaTable table) {
  return RunOnOwnConnection(Format("DELETE FROM %s;", UpperName(table)));
}

int InsertSharedFolderRow(const SharedFolderRow& r) {
  return RunOnOwnConnection(Format("INSERT INTO %s VALUES('%s','%s',%d)", "sharedfolder",
                                   Sq(r.Label, kLabelField).c_str(), Sq(r.FullPath).c_str(),
                                   r.ViewCode));
}

int DeleteSharedFolderLike(const std::string& argument) {
  return RunOnOwnConnection(
      Format("DELETE FROM %s WHERE FullPath like %s", "sharedfolder", argument.c_str()));
}

int ClearSharedFolders() { return RunOnOwnConnection("DELETE FROM SHAREDFOLDER;"); }

std::string SharedFolderExistsQuery(const std::string& fullPath) {
  return Format("select * from sharedfolder where FullPath='%s' ",
                SqlEscape(fullPath, '\'').c_str());
}

std::string FilenameCountQuery(const char* table, const std::string& likeArgument) {
  return Format("select * FROM %s WHERE filename like %s", table, likeArgument.c_str());
}

int IsCatalogued(const std::string& fullPath) {
  // One connection for the three lookups: this runs once per changed file.
  CatalogConnection db = OpenCatalogue();
  return db && IsCatalogued(db.get(), fullPath) ? 1 : 0;
}

bool IsCatalogued(SqliteDatabase* db, const std::string& path) {
  static constexpr const char* kFind[] = {"select 1 FROM audio WHERE Filename = ? LIMIT 1",
                                          "select 1 FROM video WHERE Filename = ? LIMIT 1",
                                          "select 1 FROM image WHERE Filename = ? LIMIT 1"};
  for (MediaTable t : kMediaTables)
    if (db->FirstRow(BoundStatement(kFind[static_cast<int>(t)]).Text(path))) return true;
  return false;
}
