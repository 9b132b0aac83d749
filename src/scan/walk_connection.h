// The catalogue connection of the walk running on this thread: the outermost
// level opens it, deeper levels write through it, so a walk costs one
// connection and its rows are written by the connection's own thread while the
// walk reads the next tags (see SqliteDatabase::StartWriteBehind).
#pragma once

#include <string>

#include "catalog/database.h"

class WalkConnection {
 public:
  WalkConnection();
  ~WalkConnection();
  WalkConnection(const WalkConnection&) = delete;
  WalkConnection& operator=(const WalkConnection&) = delete;
  SqliteDatabase* get() const { return db_; }

 private:
  CatalogConnection own_;
  SqliteDatabase* db_ = nullptr;
};

// While one exists on this thread, walks leave out files that are catalogued
// already. The change monitor's walks run so: a folder that appears in a
// watched tree can be reached both by its parent's walk and by its own
// notification, and must not be catalogued twice.
class DuplicateGuard {
 public:
  DuplicateGuard();
  ~DuplicateGuard();
  DuplicateGuard(const DuplicateGuard&) = delete;
  DuplicateGuard& operator=(const DuplicateGuard&) = delete;
  // True when guarded and `path` is in a media table.
  static bool Catalogued(const std::string& path);

 private:
  bool outermost_ = false;
};
