#include "catalog/database.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <string_view>
#include <mutex>
#include <thread>
#include <vector>

#include "catalog/sqlite2.h"

#include <sqlite3.h>

namespace {

// Errors after which the library may have rolled the transaction back by
// itself, and the statements after it would run outside any transaction.
bool FatalError(int rc) {
  switch (rc & 0xff) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_NOMEM:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
    case SQLITE_CORRUPT:
    case SQLITE_CANTOPEN:
    case SQLITE_INTERRUPT:
      return true;
    default:
      return false;
  }
}

thread_local SqliteDatabase* t_threadCatalogue = nullptr;

}  // namespace

SqliteDatabase* ThreadCatalogue() { return t_threadCatalogue; }
void SetThreadCatalogue(SqliteDatabase* db) { t_threadCatalogue = db; }

ThreadConnection::ThreadConnection() {
  if (SqliteDatabase* current = ThreadCatalogue()) {
    db_ = current;
    return;
  }
  own_ = OpenCatalogue();
  if (!own_) return;
  own_->StartWriteBehind();
  db_ = own_.get();
  SetThreadCatalogue(db_);
}

ThreadConnection::~ThreadConnection() {
  if (own_) SetThreadCatalogue(nullptr);
}

// A bounded queue of statements and the thread that runs them, in batches,
// so that the walk and the writer rarely wake each other. Statements are kept
// end to end in one buffer, and the two buffers pass between the threads
// without being freed: memory one thread allocates is never freed by the other.
class WriteBehind {
 public:
  explicit WriteBehind(SqliteDatabase* db) : db_(db), thread_([this] { Run(); }) {}
  ~WriteBehind() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    work_.notify_one();
    thread_.join();
  }
  // Entries: 'S', the SQL text and a zero byte; or 'B', the bound statement's
  // text address, the length of its values and the values.
  void Push(const char* sql) {
    std::unique_lock lock(Room());
    queued_.push_back(text_.size());
    text_.push_back('S');
    text_.append(sql);
    text_.push_back('\0');
    Queued();
  }
  void Push(const BoundStatement& statement) {
    std::unique_lock lock(Room());
    queued_.push_back(text_.size());
    text_.push_back('B');
    const char* sql = statement.Sql();
    text_.append(reinterpret_cast<const char*>(&sql), sizeof sql);
    const uint32_t length = static_cast<uint32_t>(statement.Values().size());
    text_.append(reinterpret_cast<const char*>(&length), sizeof length);
    text_.append(statement.Values());
    Queued();
  }
  void Flush() {
    std::unique_lock lock(mutex_);
    work_.notify_one();
    room_.wait(lock, [&] { return queued_.empty() && idle_; });
  }

 private:
  static constexpr size_t kMaxQueued = 4096;
  static constexpr size_t kBatch = 64;  // the writer is woken for this many
  std::unique_lock<std::mutex> Room() {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return queued_.size() < kMaxQueued; });
    return lock;
  }
  void Queued() {
    if (idle_ && queued_.size() >= kBatch) work_.notify_one();
  }
  void Run() {
    std::string text;
    std::vector<size_t> starts;
    std::unique_lock lock(mutex_);
    while (true) {
      idle_ = true;
      room_.notify_all();
      work_.wait(lock, [&] { return !queued_.empty() || done_; });
      if (queued_.empty()) return;
      idle_ = false;
      text.swap(text_);
      starts.swap(queued_);
      text_.clear();
      queued_.clear();
      room_.notify_all();
      lock.unlock();
      RunBatch(text, starts);
      lock.lock();
    }
  }
  // Runs the statements in order, each on its own: rows and stamps come
  // bound (parsed once per connection), so text statements are the few others.
  void RunBatch(const std::string& text, const std::vector<size_t>& starts) {
    for (size_t start : starts) {
      if (text[start] == 'B') RunBound(text.data() + start + 1);
      else db_->ExecNow(text.c_str() + start + 1);
    }
  }
  void RunBound(const char* entry) {
    const char* sql;
    uint32_t length;
    memcpy(&sql, entry, sizeof sql);
    memcpy(&length, entry + sizeof sql, sizeof length);
    db_->RunNow(sql, std::string_view(entry + sizeof sql + sizeof length, length));
  }

  SqliteDatabase* db_;
  std::mutex mutex_;
  std::condition_variable work_;  // the writer waits for statements
  std::condition_variable room_;  // callers wait for room, or for the queue to drain
  std::string text_;              // queued statements, each ended by a zero byte
  std::vector<size_t> queued_;    // where each queued statement starts in text_
  bool idle_ = false;
  bool done_ = false;
  std::thread thread_;
};

SqliteDatabase::SqliteDatabase() = default;

SqliteDatabase::~SqliteDatabase() {
  writer_.reset();
  FinalizePrepared();  // a handle closed elsewhere (sqlite_close) closes with them
}

void SqliteDatabase::StartWriteBehind() {
  if (!writer_ && *handle) writer_ = std::make_unique<WriteBehind>(this);
}

void SqliteDatabase::Flush() {
  if (writer_) writer_->Flush();
}

SqliteDatabase* SqliteDatabaseCreate() { return new SqliteDatabase; }

void SqliteDatabaseFree(SqliteDatabase* database) { delete database; }

int SqliteDatabase::Open(const char* fileName) {
  if (!fileName) return 1;
  char* err = nullptr;
  *handle = sqlite_open(fileName, 0x1ff, &err);
  sqlite_freemem(err);
  if (!*handle) {
    fprintf(stderr, "db open error.\n");
    return 1;
  }
  return 0;
}

int SqliteDatabase::Close() {
  writer_.reset();  // runs whatever is still queued
  FinalizePrepared();
  if (*handle) sqlite_close(*handle);
  // The cell is left as the version-2 layer left it, but a closed handle must
  // never be used again, so it is cleared here.
  *handle = nullptr;
  return 0;
}

BoundStatement& BoundStatement::Text(std::string_view value) {
  values_.push_back('T');
  const uint32_t length = static_cast<uint32_t>(value.size());
  values_.append(reinterpret_cast<const char*>(&length), sizeof length);
  values_.append(value);
  return *this;
}

BoundStatement& BoundStatement::Int(int64_t value) {
  values_.push_back('I');
  values_.append(reinterpret_cast<const char*>(&value), sizeof value);
  return *this;
}

BoundStatement& BoundStatement::Encoded(std::string_view values) {
  values_.append(values);
  return *this;
}

std::vector<BoundValue> BoundStatement::Decode(std::string_view values) {
  std::vector<BoundValue> decoded;
  size_t at = 0;
  while (at < values.size()) {
    BoundValue value;
    value.kind = values[at++];
    if (value.kind == 'T') {
      uint32_t length;
      if (values.size() - at < sizeof length) break;
      memcpy(&length, values.data() + at, sizeof length);
      at += sizeof length;
      if (values.size() - at < length) break;
      value.text = values.substr(at, length);
      at += length;
    } else {
      if (values.size() - at < sizeof value.number) break;
      memcpy(&value.number, values.data() + at, sizeof value.number);
      at += sizeof value.number;
    }
    decoded.push_back(value);
  }
  return decoded;
}

sqlite3_stmt* SqliteDatabase::Prepared(const char* sql) {
  for (auto& [text, statement] : prepared_)
    if (text == sql) return statement;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(sqlite_native(*handle), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement,
                         nullptr) != SQLITE_OK)
    return nullptr;
  prepared_.emplace_back(sql, statement);
  return statement;
}

void SqliteDatabase::FinalizePrepared() {
  for (auto& [text, statement] : prepared_) sqlite3_finalize(statement);
  prepared_.clear();
}

namespace {

// Binds values as BoundStatement encodes them; false when they do not fit.
bool BindValues(sqlite3_stmt* statement, std::string_view values) {
  int index = 1;
  size_t at = 0;
  while (at < values.size()) {
    char kind = values[at++];
    int rc;
    if (kind == 'T') {
      uint32_t length;
      memcpy(&length, values.data() + at, sizeof length);
      at += sizeof length;
      rc = sqlite3_bind_text(statement, index, values.data() + at, static_cast<int>(length),
                             SQLITE_STATIC);
      at += length;
    } else {
      int64_t value;
      memcpy(&value, values.data() + at, sizeof value);
      at += sizeof value;
      rc = sqlite3_bind_int64(statement, index, value);
    }
    if (rc != SQLITE_OK) return false;
    ++index;
  }
  return true;
}

}  // namespace

int SqliteDatabase::Run(const BoundStatement& statement) {
  if (writer_) {
    writer_->Push(statement);
    return 0;
  }
  return RunNow(statement.Sql(), statement.Values());
}

int SqliteDatabase::RunNow(const char* sql, std::string_view values) {
  if (failed_ && transactionDepth > 0) return SQLITE_ABORT;
  if (standIn_ && !inStandIn_) {
    inStandIn_ = true;
    const std::optional<int> rc = standIn_->Run(*this, sql, values);
    inStandIn_ = false;
    if (rc) return *rc;
  }
  sqlite3_stmt* statement = *handle ? Prepared(sql) : nullptr;
  int rc = SQLITE_MISUSE;
  if (statement) {
    rc = BindValues(statement, values) ? sqlite3_step(statement) : SQLITE_RANGE;
    if (rc == SQLITE_DONE || rc == SQLITE_ROW) rc = SQLITE_OK;
    else if (rc != SQLITE_RANGE) rc = sqlite3_reset(statement) & 0xff;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);  // the values were the caller's
  } else if (*handle) {
    rc = sqlite3_errcode(sqlite_native(*handle)) & 0xff;
  }
  if (rc != SQLITE_OK) {
    failed_ = true;
    fprintf(stderr, "szSQL=%s\n", sql);
    fprintf(stderr, "nErrorCode=%d\n", rc);
    fprintf(stderr, "pErrMsg=%s\n", *handle ? sqlite3_errmsg(sqlite_native(*handle)) : "");
  }
  return rc;
}

int QueryRow::Columns() const { return sqlite3_column_count(statement_); }

std::string_view QueryRow::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (!text) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<size_t>(sqlite3_column_bytes(statement_, column))};
}

int64_t QueryRow::Int(int column) const { return sqlite3_column_int64(statement_, column); }

bool QueryRow::Holds(int column, const BoundValue& value) const {
  if (value.kind == 'I')
    return sqlite3_column_type(statement_, column) == SQLITE_INTEGER &&
           sqlite3_column_int64(statement_, column) == value.number;
  return sqlite3_column_type(statement_, column) == SQLITE_TEXT && Text(column) == value.text;
}

bool SqliteDatabase::EachRow(const BoundStatement& query,
                             const std::function<bool(const QueryRow&)>& visit) {
  Flush();
  return EachRowNow(query, visit);
}

int64_t SqliteDatabase::LastInsertRowid() const {
  return *handle ? sqlite3_last_insert_rowid(sqlite_native(*handle)) : 0;
}

bool SqliteDatabase::EachRowNow(const BoundStatement& query,
                                const std::function<bool(const QueryRow&)>& visit) {
  sqlite3_stmt* statement = *handle ? Prepared(query.Sql()) : nullptr;
  int rc = statement ? SQLITE_RANGE : SQLITE_MISUSE;
  if (statement && BindValues(statement, query.Values())) {
    const QueryRow row(statement);
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW && visit(row)) {
    }
    rc = rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : sqlite3_reset(statement) & 0xff;
  }
  if (statement) {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
  if (rc != SQLITE_OK) {
    MarkFailed();
    fprintf(stderr, "SqliteRecordsetInit:nErrorCode=%d\n", rc);
    fprintf(stderr, "SqliteRecordsetInit:pErrMsg=%s\n",
            *handle ? sqlite3_errmsg(sqlite_native(*handle)) : "not an open database");
    return false;
  }
  return true;
}

std::optional<std::vector<std::string>> SqliteDatabase::FirstRow(const BoundStatement& query) {
  std::optional<std::vector<std::string>> first;
  const bool ok = EachRow(query, [&](const QueryRow& row) {
    first.emplace();
    for (int c = 0; c < row.Columns(); ++c) first->emplace_back(row.Text(c));
    return false;
  });
  if (!ok) return std::nullopt;
  return first;
}

int SqliteDatabase::Exec(const char* sql) {
  if (writer_) {
    writer_->Push(sql);
    return 0;
  }
  return ExecNow(sql);
}

int SqliteDatabase::ExecNow(const char* sql, bool report) {
  if (failed_ && transactionDepth > 0 && strcmp(sql, "ROLLBACK") != 0) return SQLITE_ABORT;
  char* err = nullptr;
  int rc = sqlite_exec(*handle, sql, nullptr, nullptr, &err);
  if (rc != 0 && (report || FatalError(rc))) {
    failed_ = true;
    fprintf(stderr, "szSQL=%s\n", sql);
    fprintf(stderr, "nErrorCode=%d\n", rc);
    fprintf(stderr, "pErrMsg=%s\n", err ? err : "");
  }
  sqlite_freemem(err);
  return rc;
}

SqliteRecordset* SqliteRecordsetInit(SqliteDatabase* database, const char* sql) {
  auto* rs = new SqliteRecordset;
  if (database) database->Flush();
  char* err = nullptr;
  int rows = 0, cols = 0;
  char** result = nullptr;
  int rc = sqlite_get_table(database ? *database->handle : nullptr, sql, &result, &rows, &cols, &err);
  if (rc != 0) {
    if (database) database->MarkFailed();
    fprintf(stderr, "SqliteRecordsetInit:nErrorCode=%d\n", rc);
    fprintf(stderr, "SqliteRecordsetInit:pErrMsg=%s\n", err ? err : "");
    rows = 0;
  }
  sqlite_freemem(err);
  rs->result = result;
  rs->columnCount = result ? cols : 0;
  rs->rowCount = (result && rows != 0) ? rows + 1 : 0;
  rs->cursor = rs->columnCount;
  rs->header = result;
  return rs;
}

void SqliteRecordsetFree(SqliteRecordset* recordset) {
  if (!recordset) return;
  if (recordset->result) sqlite_free_table(recordset->result);
  delete recordset;
}

void SqliteRecordset::Print() const {
  if (rowCount == 0) return;
  for (int r = 0; r < rowCount; ++r) {
    for (int c = 0; c < columnCount; ++c) {
      const char* cell = result[r * columnCount + c];
      printf("%s     ", cell ? cell : "");
    }
    printf("\n");
  }
}

int SqliteRecordset::RowCount() const { return rowCount == 0 ? 0 : rowCount - 1; }

int SqliteRecordset::Next() {
  if (rowCount == 0 || columnCount == 0) return 0;
  if (cursor / columnCount >= rowCount) return 0;
  current = result + cursor;
  cursor += columnCount;
  return 1;
}

const char* SqliteRecordset::Cell(int column) const {
  if (!current || column < 0 || column >= columnCount) return nullptr;
  return current[column];
}

void SqliteRecordset::GetInt(int column, int* value) const {
  const char* cell = Cell(column);
  if (!cell) {
    *value = -1;
    return;
  }
  // atoi's meaning (leading digits count) without its undefined overflow.
  errno = 0;
  long v = strtol(cell, nullptr, 10);
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  *value = static_cast<int>(v);
}

void SqliteRecordset::GetIntByName(const char* columnName, int* value) const {
  if (!header || !columnName) return;
  for (int c = 0; c < columnCount; ++c) {
    if (header[c] && strcmp(header[c], columnName) == 0) GetInt(c, value);
  }
}

void SqliteRecordset::GetText(int column, char* buffer, int bound) const {
  if (!buffer || bound < 0) return;
  const char* cell = Cell(column);
  if (!cell) cell = "";  // NULL reads as the empty string
  size_t len = strlen(cell);
  if (len < static_cast<size_t>(bound)) {
    memcpy(buffer, cell, len + 1);
  } else {
    memcpy(buffer, cell, static_cast<size_t>(bound));
    buffer[bound] = '\0';
  }
}

std::string SqliteRecordset::Text(int column) const {
  const char* cell = Cell(column);
  return cell ? std::string(cell) : std::string();
}

int CountRows(const char* sql) {
  CatalogConnection own;
  SqliteDatabase* db = ChangeOrOwnConnection(&own);
  return db ? Query(db, sql)->RowCount() : 0;
}

void DatabaseCloser::operator()(SqliteDatabase* db) const {
  if (!db) return;
  db->Close();
  SqliteDatabaseFree(db);
}

SqliteDatabase* ChangeOrOwnConnection(CatalogConnection* own) {
  if (SqliteDatabase* current = ThreadCatalogue()) return current;
  *own = OpenCatalogue();
  return own->get();
}

CatalogConnection OpenCatalogue(const char* fileName) {
  SqliteDatabase* db = SqliteDatabaseCreate();
  if (db->Open(fileName) != 0) {
    SqliteDatabaseFree(db);
    return CatalogConnection();
  }
  return CatalogConnection(db);
}

Transaction::Transaction(SqliteDatabase* db) : db_(db) {
  if (!db_) return;
  nested_ = db_->transactionDepth++ > 0;
  if (nested_) return;
  db_->ClearFailure();  // what failed before is no part of this transaction
  active_ = db_->Exec("BEGIN IMMEDIATE") == 0;
}

Transaction::~Transaction() {
  if (!db_) return;
  --db_->transactionDepth;
  if (active_) db_->Exec("ROLLBACK");
}

int Transaction::Commit() {
  if (!active_) return 0;
  active_ = false;
  return db_->Exec("COMMIT");
}
