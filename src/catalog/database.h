// The catalogue connection, the in-memory query result and the row count.
// Failures are printed to standard output in fixed words and returned as codes.
#pragma once

#include <memory>
#include <string>

struct sqlite;

inline constexpr const char* kCatalogueFile = "./data.sqlite";

class WriteBehind;

struct SqliteDatabase {
  SqliteDatabase();
  ~SqliteDatabase();

  // Owned cell holding the library handle; null until Open succeeds.
  std::unique_ptr<sqlite*> handle = std::make_unique<sqlite*>(nullptr);

  int Open(const char* fileName);  // 0 on success, 1 on failure
  int Close();                     // always 0; clears the handle cell
  int Exec(const char* sql);       // the library's result code

  // From now on Exec hands its statements, in order, to a thread of the
  // connection's own and returns 0 at once; failures are still printed.
  // Queries and Close first wait until every handed statement has run.
  // Used by the walk, so that reading tags and writing rows overlap.
  void StartWriteBehind();
  void Flush();

  // Exec on this thread, whatever the mode; failures printed when `report`.
  int ExecNow(const char* sql, bool report = true);

 private:
  std::unique_ptr<WriteBehind> writer_;
};

SqliteDatabase* SqliteDatabaseCreate();
// Releases the structure; does not close the handle (callers Close first).
void SqliteDatabaseFree(SqliteDatabase* database);

struct SqliteRecordset {
  char** result = nullptr;   // (rows + 1) x columns cells, header first
  char** header = nullptr;
  int rowCount = 0;          // 0, or data rows + 1
  int columnCount = 0;
  int cursor = 0;            // first cell of the next row to hand out
  char** current = nullptr;  // first cell of the current row

  void Print() const;
  int RowCount() const;
  int Next();
  void GetIntByName(const char* columnName, int* value) const;
  void GetInt(int column, int* value) const;
  // Copies at most `bound` bytes and a terminator: buffer holds bound + 1 bytes.
  void GetText(int column, char* buffer, int bound) const;
  // The current row's cell as a string ("" for NULL or no row).
  std::string Text(int column) const;

 private:
  const char* Cell(int column) const;
};

SqliteRecordset* SqliteRecordsetInit(SqliteDatabase* database, const char* sql);
void SqliteRecordsetFree(SqliteRecordset* recordset);

int CountRows(const char* sql);

// Scoped forms of the pairs above.
struct DatabaseCloser {
  void operator()(SqliteDatabase* db) const;
};
// An open connection to the catalogue, or null when Open failed (already printed).
using CatalogConnection = std::unique_ptr<SqliteDatabase, DatabaseCloser>;
CatalogConnection OpenCatalogue(const char* fileName = kCatalogueFile);

struct RecordsetFreer {
  void operator()(SqliteRecordset* rs) const { SqliteRecordsetFree(rs); }
};
using Recordset = std::unique_ptr<SqliteRecordset, RecordsetFreer>;
inline Recordset Query(SqliteDatabase* db, const std::string& sql) {
  return Recordset(SqliteRecordsetInit(db, sql.c_str()));
}

// BEGIN IMMEDIATE on construction (so a write never fails on lock upgrade);
// ROLLBACK on destruction unless Commit() ran.
class Transaction {
 public:
  explicit Transaction(SqliteDatabase* db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  int Commit();
  bool Active() const { return active_; }

 private:
  SqliteDatabase* db_;
  bool active_ = false;
};
