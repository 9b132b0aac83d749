#include "scan/walk_connection.h"

#include "catalog/statements.h"
#include "scan/folder_state.h"

namespace {
thread_local bool t_guarded = false;
thread_local CatalogConnection t_lookup;  // a reader of its own, for the guard
thread_local std::function<bool(const std::string&)> t_incomplete;
}

IncompleteFiles::IncompleteFiles(std::function<bool(const std::string&)> isIncomplete)
    : previous_(std::move(t_incomplete)) {
  t_incomplete = std::move(isIncomplete);
}

IncompleteFiles::~IncompleteFiles() { t_incomplete = std::move(previous_); }

WalkConnection::WalkConnection() {
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

WalkConnection::~WalkConnection() {
  if (own_) SetThreadCatalogue(nullptr);
}

DuplicateGuard::DuplicateGuard() {
  if (t_guarded) return;
  t_guarded = outermost_ = true;
}

DuplicateGuard::~DuplicateGuard() {
  if (!outermost_) return;
  t_guarded = false;
  t_lookup.reset();
}

bool DuplicateGuard::Skip(const std::string& path) {
  if (!t_guarded) return false;
  if (t_incomplete && t_incomplete(path)) return true;
  if (!t_lookup) t_lookup = OpenCatalogue();
  if (!t_lookup) return false;
  const std::string value = Quoted(path);
  bool catalogued = false;
  for (const char* table : {"audio", "video", "image"}) {
    Recordset rs = Query(t_lookup.get(), std::string("select 1 FROM ") + table +
                                             " WHERE Filename = " + value + " LIMIT 1");
    if ((catalogued = rs->RowCount() > 0)) break;
  }
  if (!catalogued) return false;
  // Catalogued as it was then: a file read half written by a catch-up, whose
  // writer closed it before its new folder was watched, never sends another
  // notice. Changed since, it is read again instead of left out.
  std::optional<FileStamp> now = StampOfFile(path);
  std::optional<FileStamp> kept = StoredFileStamp(t_lookup.get(), path);
  if (!now || !kept || *now == *kept) return true;
  for (MediaTable t : kMediaTables) DeleteMediaByFilename(t, path);
  if (SqliteDatabase* db = ThreadCatalogue()) DeleteFileStamp(db, path);
  return false;
}
