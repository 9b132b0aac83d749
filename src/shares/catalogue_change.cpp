#include "shares/catalogue_change.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "catalog/statements.h"
#include "catalog/text.h"
#include "platform/named_mutex.h"
#include "shares/shared_folder_core.h"

CatalogueChange::CatalogueChange() {
  if (db_.get()) tx_.emplace(db_.get());
}

CatalogueChange::~CatalogueChange() {
  if (done_ || !db_.get()) return;
  tx_.reset();  // ROLLBACK
  db_.get()->Flush();
  db_.get()->ClearFailure();
}

bool CatalogueChange::Commit() {
  SqliteDatabase* db = db_.get();
  if (!db || done_) return false;
  done_ = true;
  db->Flush();
  if (!db->Failed()) {
    tx_->Commit();
    db->Flush();
    tx_.reset();
    if (!db->Failed()) return true;
  }
  // A failed statement or commit: nothing of the change may stay.
  tx_.reset();
  db->ExecNow("ROLLBACK", false);
  db->ClearFailure();
  return false;
}

AddJournal::AddJournal(const std::string& listed) {
  int fd = open(kAddJournalFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return;
  // On disk before the walk writes its first playlist.
  if (write(fd, listed.data(), listed.size()) < 0 || fsync(fd) != 0) {
  }
  close(fd);
}

AddJournal::~AddJournal() { unlink(kAddJournalFile); }

namespace {

std::string ReadJournal() {
  std::ifstream f(kAddJournalFile, std::ios::binary);
  std::string listed((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  return listed.empty() || listed.back() != '/' ? std::string() : listed;
}

int CountWhere(SqliteDatabase* db, const std::string& table, const std::string& condition) {
  Recordset rs = Query(db, "select count(*) from " + table + " where " + condition);
  int n = 0;
  if (rs->Next()) rs->GetInt(0, &n);
  return n;
}

// Whether a media table may hold a row below no listed folder, asked of the
// Filename index between the listed folders' ranges. The full check, a
// row-by-row comparison with every listed folder, runs at every start of the
// command line and took longer than the rest of a rescan's setting up on a
// large catalogue: it runs only when this finds something.
bool MayHoldStrayRows(SqliteDatabase* db) {
  std::vector<NameRange> ranges;
  bool everything = false;
  const bool read = db->EachRow(BoundStatement("select FullPath from SHAREDFOLDER"), [&](const QueryRow& row) {
    std::string path(row.Text(0));
    everything = path.empty();  // every name begins with it
    ranges.emplace_back(path, PrefixEnd(path));
    return !everything;
  });
  if (!read) return true;  // the full check decides
  if (everything) return false;
  for (MediaTable t : kMediaTables)
    if (MayHoldRowsOutside(db, TableName(t), ranges)) return true;
  return false;
}

}  // namespace

bool RepairCatalogue() {
  std::unique_ptr<NamedMutex> mutex = NamedMutex::Open(kCatalogueMutex);
  if (!mutex) return false;
  // A live tarvel in the middle of a change: what it does is not ours to undo.
  if (!mutex->TryWait()) return true;
  struct Release {
    NamedMutex& m;
    ~Release() { m.Release(); }
  } release{*mutex};

  const std::string unfinished = ReadJournal();
  // Written by another program without the trailing '/' that every lookup
  // of a listed folder expects.
  const std::string unslashed = "FullPath NOT LIKE '%/' AND FullPath <> ''";
  auto orphanOf = [](const std::string& table) {
    return "NOT EXISTS (SELECT 1 FROM SHAREDFOLDER s WHERE substr(" + table +
           ".Filename, 1, length(s.FullPath)) = s.FullPath)";
  };
  // Looked at first on a reader: a sound catalogue is not written to at all
  // (it may be read-only, or its disk full).
  int mend = 0, stray = 0;
  {
    CatalogConnection db = OpenCatalogue();
    if (!db) return false;
    mend = CountWhere(db.get(), "SHAREDFOLDER", unslashed);
    if (MayHoldStrayRows(db.get()))
      for (MediaTable t : kMediaTables) stray += CountWhere(db.get(), TableName(t), orphanOf(TableName(t)));
    if (db->Failed()) return false;
  }
  bool ok = true;
  if (mend > 0 || stray > 0) {
    CatalogueChange change;
    SqliteDatabase* db = ThreadCatalogue();
    if (!db) return false;
    if (mend > 0) {
      for (MediaTable t : kMediaTables)
        db->Exec((std::string("UPDATE ") + TableName(t) +
                  " SET SharedRoot = SharedRoot || '/' WHERE SharedRoot NOT LIKE '%/' AND "
                  "SharedRoot IN (SELECT FullPath FROM SHAREDFOLDER)")
                     .c_str());
      db->Exec(("UPDATE SHAREDFOLDER SET FullPath = FullPath || '/' WHERE " + unslashed).c_str());
    }
    for (MediaTable t : kMediaTables)
      db->Exec(("DELETE FROM " + std::string(TableName(t)) + " WHERE " + orphanOf(TableName(t))).c_str());
    ok = change.Commit();
  }
  if (!ok) {
    fprintf(stderr, "tarvel: the catalogue could not be repaired\n");
    return false;
  }
  if (stray > 0)
    fprintf(stderr, "tarvel: took out %d rows of folders that are not shared (left by an "
                    "interrupted command)\n", stray);
  if (!unfinished.empty()) {
    CSharedFolderCore core;
    core.SetEchoList(false);
    core.LoadList();
    // An Add that was interrupted before it listed its folder: its playlists go.
    if (!core.IsListed(unfinished)) core.DeletePlaylistsUnder(unfinished);
    unlink(kAddJournalFile);
  }
  return true;
}
