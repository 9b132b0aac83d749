// The catalogue connection, the in-memory query result and the row count.
// Failures are printed to standard error in fixed words and returned as codes;
// a connection also remembers that one of its statements failed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite;
struct sqlite3_stmt;

inline constexpr const char* kCatalogueFile = "./data.sqlite";

class WriteBehind;
struct SqliteDatabase;

// One value of a BoundStatement, as its Values() encode it.
struct BoundValue {
  char kind = 'T';  // 'T' text, 'I' whole number
  std::string_view text;
  int64_t number = 0;
};

// A statement with `?` placeholders and the values for them, in order: values
// never become SQL text. The text must live as long as the program (a
// literal): a connection keeps each statement prepared, found by its address.
class BoundStatement {
 public:
  explicit BoundStatement(const char* sql) : sql_(sql) {}
  BoundStatement& Text(std::string_view value);
  BoundStatement& Int(int64_t value);
  // Values encoded as Values() gives them, appended as they are.
  BoundStatement& Encoded(std::string_view values);
  const char* Sql() const { return sql_; }
  // Each value: 'T', a 4-byte length and the bytes, or 'I' and 8 bytes.
  std::string_view Values() const { return values_; }
  // Values() taken apart; none past a value cut short.
  static std::vector<BoundValue> Decode(std::string_view values);

 private:
  const char* sql_;
  std::string values_;
};

// One row of a query, valid only while it is being visited.
class QueryRow {
 public:
  int Columns() const;
  // The cell as text ("" for NULL), and as a whole number (0 for NULL).
  std::string_view Text(int column) const;
  int64_t Int(int column) const;
  // Whether the cell holds exactly this value: the same type and the same
  // bytes (a NULL or a number stored as text is not "" or that number).
  bool Holds(int column, const BoundValue& value) const;

 private:
  friend struct SqliteDatabase;
  explicit QueryRow(sqlite3_stmt* statement) : statement_(statement) {}
  sqlite3_stmt* statement_;
};

// Runs in place of some of the statements a connection is given (see
// SqliteDatabase::SetStandIn), on whichever thread runs them.
class StatementStandIn {
 public:
  virtual ~StatementStandIn() = default;
  // Runs the statement its own way and gives its result code, or nothing
  // when it leaves this statement to the connection. Statements it runs
  // through `db` meanwhile run as given.
  virtual std::optional<int> Run(SqliteDatabase& db, const char* sql, std::string_view values) = 0;
};

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

  // Exec on this thread, whatever the mode; failures printed (and the
  // connection marked) when `report`, or when they may have ended the transaction.
  int ExecNow(const char* sql, bool report = true);

  // A bound statement, handed to the writer like Exec when there is one.
  int Run(const BoundStatement& statement);
  // Runs it on this thread (the writer's way; values as BoundStatement::Values).
  int RunNow(const char* sql, std::string_view values);
  // The first row a bound query gives, each column as text ("" for NULL);
  // nothing when it gives none or fails (then reported, as queries are).
  std::optional<std::vector<std::string>> FirstRow(const BoundStatement& query);
  // Hands every row a bound query gives to `visit`, read in place, until
  // `visit` returns false: no copy of the whole result is made, so a query
  // over every file of a large share costs no more memory than one row.
  // False when it fails (then reported, as queries are).
  bool EachRow(const BoundStatement& query, const std::function<bool(const QueryRow&)>& visit);
  // EachRow on this thread, without waiting for the writer (the writer's way).
  bool EachRowNow(const BoundStatement& query, const std::function<bool(const QueryRow&)>& visit);
  // The rowid of the row the last INSERT run on this connection wrote.
  int64_t LastInsertRowid() const;

  // From now on, until set to null, `standIn` is offered every bound
  // statement before it runs. Set and cleared by the owner with nothing
  // handed to the writer (after Flush).
  void SetStandIn(StatementStandIn* standIn) { standIn_ = standIn; }

  // Whether a statement or query failed since the last ClearFailure (after
  // Flush, for statements handed to the writer). Once one has failed while a
  // Transaction is open, every later statement but ROLLBACK is refused until
  // ClearFailure: a transaction the library gave up on must not go on in
  // autocommit mode, row by row.
  bool Failed() const { return failed_; }
  void ClearFailure() { failed_ = false; }
  void MarkFailed() { failed_ = true; }

  std::atomic<int> transactionDepth{0};  // Transaction objects open on this connection

 private:
  sqlite3_stmt* Prepared(const char* sql);
  void FinalizePrepared();

  std::unique_ptr<WriteBehind> writer_;
  std::atomic<bool> failed_{false};
  StatementStandIn* standIn_ = nullptr;
  bool inStandIn_ = false;  // the stand-in's own statements run as given
  // Used by whichever thread runs statements: the writer while it has work,
  // the owner otherwise (it waits for the writer before a query).
  std::vector<std::pair<const char*, sqlite3_stmt*>> prepared_;
};

// The connection of the catalogue change running on this thread (a walk, an
// Add, a removal), or null. Statements that would open a connection of their
// own run on it instead, inside its transaction, and row counts read there.
SqliteDatabase* ThreadCatalogue();
void SetThreadCatalogue(SqliteDatabase* db);

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

// The connection of the catalogue change under way on this thread, if any
// (it holds the write lock: a connection of our own would wait on it for
// ever, and read around its uncommitted rows); else one opened into `own`.
// Null when that cannot be opened (already printed).
SqliteDatabase* ChangeOrOwnConnection(CatalogConnection* own);

// The connection of the change running on this thread: the outermost one
// opens it (its rows then written by the connection's own thread while the
// walk reads the next tags, see StartWriteBehind) and makes it the thread's
// catalogue; one made inside it uses the same connection.
class ThreadConnection {
 public:
  ThreadConnection();
  ~ThreadConnection();
  ThreadConnection(const ThreadConnection&) = delete;
  ThreadConnection& operator=(const ThreadConnection&) = delete;
  SqliteDatabase* get() const { return db_; }

 private:
  CatalogConnection own_;
  SqliteDatabase* db_ = nullptr;
};

struct RecordsetFreer {
  void operator()(SqliteRecordset* rs) const { SqliteRecordsetFree(rs); }
};
using Recordset = std::unique_ptr<SqliteRecordset, RecordsetFreer>;
inline Recordset Query(SqliteDatabase* db, const std::string& sql) {
  return Recordset(SqliteRecordsetInit(db, sql.c_str()));
}

// BEGIN IMMEDIATE on construction (so a write never fails on lock upgrade);
// ROLLBACK on destruction unless Commit() ran. One made while another is open
// on the same connection joins it: only the outermost one begins, commits or
// rolls back.
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
  bool nested_ = false;
};
