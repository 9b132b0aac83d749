// Changing the catalogue as a whole, and finding it consistent again after a
// tarvel was interrupted.
#pragma once

#include <optional>
#include <string>

#include "catalog/database.h"

// One change of the catalogue (an Add, a removal, a rescan) made as a whole:
// every statement of this thread runs on one connection, inside one
// transaction, and either all of them are committed or none is. A change
// interrupted by anything, a crash included, leaves the catalogue as it was.
// The caller holds the catalogue lock.
class CatalogueChange {
 public:
  CatalogueChange();
  ~CatalogueChange();  // takes everything back unless committed
  CatalogueChange(const CatalogueChange&) = delete;
  CatalogueChange& operator=(const CatalogueChange&) = delete;

  // Commits; false when a statement or the commit itself failed, in which
  // case nothing was changed.
  bool Commit();

 private:
  ThreadConnection db_;
  std::optional<Transaction> tx_;
  bool done_ = false;
};

// What an Add is doing, kept in "Share.journal" in the data folder while it
// runs: should the Add be killed, the next start takes back the playlists it
// wrote. Removed when the Add was committed or taken back.
class AddJournal {
 public:
  explicit AddJournal(const std::string& listed);
  ~AddJournal();
  AddJournal(const AddJournal&) = delete;
  AddJournal& operator=(const AddJournal&) = delete;
};

inline constexpr const char* kAddJournalFile = "Share.journal";

// Brings the catalogue back in line with the list after an interruption:
// SHAREDFOLDER paths end with '/', rows lying under no listed folder go, and
// so do the playlists of an Add that never finished. Does nothing while a
// live tarvel holds the catalogue lock (it is in the middle of a change of
// its own). False when the catalogue could not be repaired.
bool RepairCatalogue();
