#include "catalog/schema.h"

#include <cstdio>

#include "catalog/database.h"

namespace {

// Column order and kinds are the contract with the media server.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS AUDIO(Title TEXT, HasTag INTEGER, Genre TEXT, TagText1 TEXT,"
    " TagText2 TEXT, ParentDir TEXT, Filename TEXT, SharedRoot TEXT);"
    "CREATE TABLE IF NOT EXISTS VIDEO(Title TEXT, HasTag INTEGER, Genre TEXT, TagText1 TEXT,"
    " TagText2 TEXT, Number1 INTEGER, Number2 INTEGER, ParentDir TEXT, Filename TEXT,"
    " SharedRoot TEXT);"
    "CREATE TABLE IF NOT EXISTS IMAGE(Title TEXT, Number1 INTEGER, Number2 INTEGER,"
    " Number3 INTEGER, Genre TEXT, ParentDir TEXT, Filename TEXT, SharedRoot TEXT);"
    "CREATE TABLE IF NOT EXISTS SHAREDFOLDER(Label TEXT, FullPath TEXT, ViewCode INTEGER);"
    // Rows are looked up by file (IsCatalogued, deletes) and by root.
    "CREATE INDEX IF NOT EXISTS AUDIO_Filename ON AUDIO(Filename);"
    "CREATE INDEX IF NOT EXISTS VIDEO_Filename ON VIDEO(Filename);"
    "CREATE INDEX IF NOT EXISTS IMAGE_Filename ON IMAGE(Filename);";

}  // namespace

int EnsureCatalogueSchema(const char* fileName) {
  CatalogConnection db = OpenCatalogue(fileName);
  if (!db) {
    fprintf(stderr, "tarvel: cannot open the catalogue %s\n", fileName);
    return 1;
  }
  Recordset mode = Query(db.get(), "PRAGMA journal_mode=WAL");
  if (db->Exec(kSchema) != 0) {
    fprintf(stderr, "tarvel: %s is not a usable catalogue\n", fileName);
    return 1;
  }
  return 0;
}
