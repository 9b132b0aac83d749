#include "catalog/statements.h"

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

// One row's "INSERT INTO t VALUES(...)", written value by value into a buffer
// of the thread's own: this runs for every file a walk catalogues.
class RowStatement {
 public:
  explicit RowStatement(const char* table) : sql_(Buffer()) {
    sql_.clear();
    sql_ += "INSERT INTO ";
    sql_ += table;
    sql_ += " VALUES(";
  }
  // A value as an SQL string (single quotes: double ones name columns),
  // fitted to its field when it has one.
  RowStatement& Text(const std::string& value, size_t field = 0) {
    Separate();
    sql_ += '\'';
    if (field && value.size() >= field) AppendEscaped(FitField(value, field));
    else AppendEscaped(value);
    sql_ += '\'';
    return *this;
  }
  RowStatement& Int(int value) {
    Separate();
    char digits[16];
    sql_.append(digits, static_cast<size_t>(snprintf(digits, sizeof digits, "%d", value)));
    return *this;
  }
  const char* Finish() {
    sql_ += ')';
    return sql_.c_str();
  }

 private:
  static std::string& Buffer() {
    thread_local std::string buffer;
    return buffer;
  }
  void Separate() {
    if (sql_.back() != '(') sql_ += ',';
  }
  void AppendEscaped(std::string_view value) {
    for (char c : value) {
      sql_ += c;
      if (c == '\'') sql_ += c;
    }
  }
  std::string& sql_;
};

int RunOnOwnConnection(const std::string& sql) {
  if (SqliteDatabase* current = ThreadCatalogue()) {
    current->Exec(sql.c_str());
    return 0;
  }
  CatalogConnection db = OpenCatalogue();
  if (!db) return 0;
  db->Exec(sql.c_str());
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

int InsertAudioRow(SqliteDatabase* db, const AudioRow& r) {
  RowStatement sql("audio");
  sql.Text(r.Title, kTitleField).Int(r.HasTag).Text(r.Genre, kGenreField);
  sql.Text(r.TagText1, kTagTextField).Text(r.TagText2, kTagTextField);
  sql.Text(r.ParentDir).Text(r.Filename).Text(r.SharedRoot);
  db->Exec(sql.Finish());
  return 0;
}

int InsertVideoRow(SqliteDatabase* db, const VideoRow& r) {
  RowStatement sql("video");
  sql.Text(r.Title, kTitleField).Int(r.HasTag).Text(r.Genre, kGenreField);
  sql.Text(r.TagText1, kTagTextField).Text(r.TagText2, kTagTextField).Int(r.Number1).Int(r.Number2);
  sql.Text(r.ParentDir).Text(r.Filename).Text(r.SharedRoot);
  db->Exec(sql.Finish());
  return 0;
}

int InsertImageRow(SqliteDatabase* db, const ImageRow& r) {
  RowStatement sql("image");
  sql.Text(r.Title, kTitleField).Int(r.Number1).Int(r.Number2).Int(r.Number3);
  sql.Text(r.Genre, kImageGenreField).Text(r.ParentDir).Text(r.Filename).Text(r.SharedRoot);
  db->Exec(sql.Finish());
  return 0;
}

int DeleteMediaLike(MediaTable table, const std::string& likeArgument) {
  return RunOnOwnConnection(
      Format("DELETE FROM %s WHERE Filename like %s", TableName(table), likeArgument.c_str()));
}

int DeleteMediaByFilename(MediaTable table, const std::string& path) {
  const char* fmt = table == MediaTable::Audio ? "DELETE  FROM %s WHERE Filename = '%s'"
                                               : "DELETE FROM %s WHERE Filename = '%s'";
  return RunOnOwnConnection(Format(fmt, TableName(table), SqlEscape(path, '\'').c_str()));
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
  // One connection for the three counts: this runs once per changed file.
  CatalogConnection db = OpenCatalogue();
  if (!db) return 0;
  int sum = 0;
  std::string escaped = SqlEscape(fullPath, '\'');
  for (MediaTable t : kMediaTables) {
    std::string sql = Format("select * FROM %s WHERE Filename = '%s'", TableName(t), escaped.c_str());
    sum += Query(db.get(), sql)->RowCount();
  }
  return sum != 0 ? 1 : 0;
}
