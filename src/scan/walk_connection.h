// The catalogue connection of the walk running on this thread: the outermost
// level opens it, deeper levels write through it, so a walk costs one
// connection and its rows are written by the connection's own thread while the
// walk reads the next tags (see SqliteDatabase::StartWriteBehind).
#pragma once

#include <functional>
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
// already, and files still being written (as the change monitor knows them:
// those are catalogued when complete). The change monitor's walks run so: a
// folder that appears in a watched tree can be reached both by its parent's
// walk and by its own notification, and must not be catalogued twice.
class DuplicateGuard {
 public:
  DuplicateGuard();
  ~DuplicateGuard();
  DuplicateGuard(const DuplicateGuard&) = delete;
  DuplicateGuard& operator=(const DuplicateGuard&) = delete;
  // True when guarded and `path` is to be left out.
  static bool Skip(const std::string& path);

 private:
  bool outermost_ = false;
};

// Tells the walks on this thread which files are still being written, for
// as long as it exists.
class IncompleteFiles {
 public:
  explicit IncompleteFiles(std::function<bool(const std::string& path)> isIncomplete);
  ~IncompleteFiles();
  IncompleteFiles(const IncompleteFiles&) = delete;
  IncompleteFiles& operator=(const IncompleteFiles&) = delete;

 private:
  std::function<bool(const std::string&)> previous_;
};
