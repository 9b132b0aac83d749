#include "scan/walk_connection.h"

#include "catalog/statements.h"

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
  for (const char* table : {"audio", "video", "image"}) {
    Recordset rs = Query(t_lookup.get(), std::string("select 1 FROM ") + table +
                                             " WHERE Filename = " + value + " LIMIT 1");
    if (rs->RowCount() > 0) return true;
  }
  return false;
}
