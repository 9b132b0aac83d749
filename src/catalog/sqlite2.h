// The version-2 SQLite calls the catalogue layer is written against, served by
// SQLite 3. Only SqliteDatabase and SqliteRecordset call these; nothing else in
// the program talks to the library.
#pragma once

struct sqlite;  // a connection
struct sqlite3;
using sqlite_callback = int (*)(void*, int, char**, char**);

// Opens (creating when missing) the database file. The mode is accepted for
// the version-2 signature and ignored, as version 2 did. Returns null and sets
// *errmsg (free with sqlite_freemem) when the file cannot be opened.
sqlite* sqlite_open(const char* filename, int mode, char** errmsg);
void sqlite_close(sqlite* db);
int sqlite_exec(sqlite* db, const char* sql, sqlite_callback callback, void* arg, char** errmsg);
// (rows + 1) x columns cells, header row first; an SQL NULL is a null pointer.
int sqlite_get_table(sqlite* db, const char* sql, char*** result, int* nrow, int* ncolumn,
                     char** errmsg);
void sqlite_free_table(char** result);
void sqlite_freemem(void* p);
// The SQLite 3 connection behind one, for prepared statements.
sqlite3* sqlite_native(sqlite* db);
