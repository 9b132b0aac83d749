// A folder's rows written again in place, as a rescan writes them. While one
// is set on the change's connection, each row and stamp the walk writes is
// first looked up by its file: where the catalogue holds the same one, it is
// kept as it is; where it holds another, that one is updated in place; only
// a file without one gets a new row. DropUnmet then deletes the folder's
// rows that no write met. A file that did not change costs a lookup instead
// of a delete and an insert, the pages of rows that stay are not written at
// all, and its row keeps its rowid (the order in which rows were first
// written, which the media server shows as recently added).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/database.h"

class InPlaceRewrite : public StatementStandIn {
 public:
  // Which rows are the folder's: those whose Filename begins with it; or,
  // for a folder with other listed folders inside, the media rows whose
  // SharedRoot it is (stamps are then replaced, never dropped, as a walk's
  // writes replace them).
  enum class Scope { Under, Root };

  // `folder` ends with '/'. Set on `db` for as long as it lives, or until DropUnmet.
  InPlaceRewrite(SqliteDatabase* db, std::string folder, Scope scope);
  ~InPlaceRewrite() override;
  InPlaceRewrite(const InPlaceRewrite&) = delete;
  InPlaceRewrite& operator=(const InPlaceRewrite&) = delete;

  // Waits for the writes handed so far, stops standing in, and deletes the
  // folder's rows that none of them met.
  void DropUnmet();

  std::optional<int> Run(SqliteDatabase& db, const char* sql, std::string_view values) override;

 private:
  SqliteDatabase* db_;
  std::string folder_;
  Scope scope_;
  bool set_ = true;
  // Per table (audio, video, image, stamps): the rowids written or met, on
  // whichever thread runs the statements; read by DropUnmet after Flush.
  std::vector<int64_t> met_[4];
};
