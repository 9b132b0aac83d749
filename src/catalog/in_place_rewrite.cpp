#include "catalog/in_place_rewrite.h"

#include <algorithm>
#include <utility>

#include "catalog/statements.h"
#include "catalog/text.h"

namespace {

// What the rewrite needs of one table. The statements' values are those of
// `insert`, by place: the update leaves Filename as it is (the row was found
// by it, and its index is then not touched) and takes the rowid after them.
struct KeptTable {
  const char* insert;
  const char* lookup;  // rowid, then every column, of the rows of one Filename
  const char* update;
  const char* under;   // rowids of the rows whose Filename lies in [?1, ?2)
  const char* ofRoot;  // rowids of the rows of one SharedRoot; null: none dropped by root
  const char* erase;
  size_t nameAt;
  size_t rootAt;
};

constexpr KeptTable kTables[] = {
    {kInsertAudioSql, "SELECT rowid,* FROM audio WHERE Filename = ?",
     "UPDATE audio SET Title=?1,HasTag=?2,Genre=?3,TagText1=?4,TagText2=?5,ParentDir=?6,"
     "SharedRoot=?8 WHERE rowid=?9",
     "SELECT rowid FROM audio WHERE Filename >= ?1 AND Filename < ?2",
     "SELECT rowid FROM audio WHERE SharedRoot = ?", "DELETE FROM audio WHERE rowid = ?", 6, 7},
    {kInsertVideoSql, "SELECT rowid,* FROM video WHERE Filename = ?",
     "UPDATE video SET Title=?1,HasTag=?2,Genre=?3,TagText1=?4,TagText2=?5,Number1=?6,"
     "Number2=?7,ParentDir=?8,SharedRoot=?10 WHERE rowid=?11",
     "SELECT rowid FROM video WHERE Filename >= ?1 AND Filename < ?2",
     "SELECT rowid FROM video WHERE SharedRoot = ?", "DELETE FROM video WHERE rowid = ?", 8, 9},
    {kInsertImageSql, "SELECT rowid,* FROM image WHERE Filename = ?",
     "UPDATE image SET Title=?1,Number1=?2,Number2=?3,Number3=?4,Genre=?5,ParentDir=?6,"
     "SharedRoot=?8 WHERE rowid=?9",
     "SELECT rowid FROM image WHERE Filename >= ?1 AND Filename < ?2",
     "SELECT rowid FROM image WHERE SharedRoot = ?", "DELETE FROM image WHERE rowid = ?", 6, 7},
    {kInsertStampSql, "SELECT rowid,* FROM TARVEL_FILES WHERE Filename = ?",
     "UPDATE TARVEL_FILES SET SharedRoot=?2,Size=?3,Mtime=?4 WHERE rowid=?5",
     "SELECT rowid FROM TARVEL_FILES WHERE Filename >= ?1 AND Filename < ?2", nullptr,
     "DELETE FROM TARVEL_FILES WHERE rowid = ?", 0, 1},
};
constexpr size_t kStamps = 3;

}  // namespace

InPlaceRewrite::InPlaceRewrite(SqliteDatabase* db, std::string folder, Scope scope)
    : db_(db), folder_(std::move(folder)), scope_(scope) {
  db_->Flush();  // statements handed before were not this rewrite's
  db_->SetStandIn(this);
}

InPlaceRewrite::~InPlaceRewrite() {
  if (!set_) return;
  db_->Flush();
  db_->SetStandIn(nullptr);
}

std::optional<int> InPlaceRewrite::Run(SqliteDatabase& db, const char* sql, std::string_view values) {
  size_t index = 0;
  while (index < std::size(kTables) && kTables[index].insert != sql) ++index;
  if (index == std::size(kTables)) return std::nullopt;
  const KeptTable& table = kTables[index];
  const std::vector<BoundValue> row = BoundStatement::Decode(values);
  if (row.size() <= std::max(table.nameAt, table.rootAt) || row[table.nameAt].kind != 'T')
    return std::nullopt;
  // Rows of the file under another root are another shared folder's: left
  // as they are, as a rescan by root leaves them.
  const bool byRoot = scope_ == Scope::Root && index != kStamps;
  const BoundValue root{'T', folder_, 0};
  std::optional<int64_t> same, other;
  const bool looked = db.EachRowNow(
      BoundStatement(table.lookup).Text(row[table.nameAt].text), [&](const QueryRow& stored) {
        if (byRoot && !stored.Holds(1 + static_cast<int>(table.rootAt), root)) return true;
        bool equal = stored.Columns() == static_cast<int>(row.size()) + 1;
        for (size_t i = 0; equal && i < row.size(); ++i)
          equal = stored.Holds(1 + static_cast<int>(i), row[i]);
        if (equal) {
          same = stored.Int(0);
          return false;
        }
        if (!other) other = stored.Int(0);
        return true;
      });
  if (!looked) return 1;  // reported, and the connection marked failed
  std::vector<int64_t>& met = met_[index];
  if (same) {
    met.push_back(*same);
    return 0;
  }
  if (other) {
    const int rc = db.RunNow(table.update, BoundStatement(table.update).Encoded(values).Int(*other).Values());
    if (rc == 0) met.push_back(*other);
    return rc;
  }
  const int rc = db.RunNow(sql, values);
  if (rc == 0) met.push_back(db.LastInsertRowid());
  return rc;
}

void InPlaceRewrite::DropUnmet() {
  db_->Flush();
  db_->SetStandIn(nullptr);
  set_ = false;
  const std::optional<std::string> end = PrefixEnd(folder_);
  for (size_t index = 0; index < std::size(kTables); ++index) {
    const KeptTable& table = kTables[index];
    std::vector<int64_t>& met = met_[index];
    std::sort(met.begin(), met.end());
    std::vector<int64_t> unmet;
    auto collect = [&](const QueryRow& row) {
      if (!std::binary_search(met.begin(), met.end(), row.Int(0))) unmet.push_back(row.Int(0));
      return true;
    };
    if (scope_ == Scope::Root) {
      if (!table.ofRoot) continue;
      db_->EachRow(BoundStatement(table.ofRoot).Text(folder_), collect);
    } else if (end) {
      db_->EachRow(BoundStatement(table.under).Text(folder_).Text(*end), collect);
    }
    for (int64_t rowid : unmet) db_->Run(BoundStatement(table.erase).Int(rowid));
    met = {};
  }
}
