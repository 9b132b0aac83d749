#include "catalog/sqlite2.h"

#include <sqlite3.h>

struct sqlite {
  sqlite3* db;
};

namespace {

void SetError(char** errmsg, const char* text) {
  if (errmsg) *errmsg = sqlite3_mprintf("%s", text);
}

}  // namespace

sqlite* sqlite_open(const char* filename, int /*mode*/, char** errmsg) {
  if (errmsg) *errmsg = nullptr;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(filename, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    SetError(errmsg, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return nullptr;
  }
  // The media server reads the catalogue while we write it: wait for a lock
  // rather than lose a row to SQLITE_BUSY.
  sqlite3_busy_timeout(db, 5000);
  // Text in double quotes is a name, never a string, as in SQLite builds made
  // without that legacy rule: a statement that leaned on it fails here too.
  sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  // File names are case-sensitive here, so LIKE patterns built from paths are too.
  // Debian's SQLite zeroes every page a delete frees and writes it out again:
  // emptying the tables of a 300,000-file catalogue took 0.58 s so, 0.08 s
  // with FAST, which still clears what a delete leaves in pages in use and
  // leaves freed pages as they are until they are reused.
  sqlite3_exec(db,
               "PRAGMA case_sensitive_like=ON; PRAGMA synchronous=NORMAL;"
               " PRAGMA secure_delete=FAST;",
               nullptr, nullptr, nullptr);
  return new sqlite{db};
}

void sqlite_close(sqlite* db) {
  if (!db) return;
  sqlite3_close_v2(db->db);
  delete db;
}

int sqlite_exec(sqlite* db, const char* sql, sqlite_callback callback, void* arg, char** errmsg) {
  if (errmsg) *errmsg = nullptr;
  if (!db) {
    SetError(errmsg, "not an open database");
    return SQLITE_MISUSE;
  }
  return sqlite3_exec(db->db, sql, callback, arg, errmsg);
}

int sqlite_get_table(sqlite* db, const char* sql, char*** result, int* nrow, int* ncolumn,
                     char** errmsg) {
  if (errmsg) *errmsg = nullptr;
  if (!db) {
    *result = nullptr;
    *nrow = *ncolumn = 0;
    SetError(errmsg, "not an open database");
    return SQLITE_MISUSE;
  }
  return sqlite3_get_table(db->db, sql, result, nrow, ncolumn, errmsg);
}

void sqlite_free_table(char** result) { sqlite3_free_table(result); }

void sqlite_freemem(void* p) { sqlite3_free(p); }

sqlite3* sqlite_native(sqlite* db) { return db ? db->db : nullptr; }
