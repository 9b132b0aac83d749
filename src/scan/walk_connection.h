// The catalogue connection of the walk running on this thread: the outermost
// level opens it, deeper levels write through it, so a walk costs one
// connection and its rows are written by the connection's own thread while the
// walk reads the next tags (see SqliteDatabase::StartWriteBehind).
#pragma once

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
