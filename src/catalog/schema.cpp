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
    "CREATE INDEX IF NOT EXISTS IMAGE_Filename ON IMAGE(Filename);"
    // Tables of our own, beside the four the media server reads. The size and
    // modification time of each catalogued file, as it was when its row was
    // written: a catch-up walk reads again only the files that differ.
    "CREATE TABLE IF NOT EXISTS TARVEL_FILES(Filename TEXT PRIMARY KEY ON CONFLICT REPLACE,"
    " SharedRoot TEXT, Size INTEGER, Mtime INTEGER);"
    // Each shared folder's chosen media types (one per line) and whether it
    // was a mount point of its own when it was last seen.
    "CREATE TABLE IF NOT EXISTS TARVEL_FOLDERS(FullPath TEXT PRIMARY KEY ON CONFLICT REPLACE,"
    " MediaTypes TEXT, MountPoint INTEGER);"
    // What a catch-up listed of a folder, and the folder's inode and
    // status-change time (ns) then: the next catch-up takes the entries from
    // here while both are unchanged. Entries: per entry 'f' (a file) or 'd'
    // (a folder), its name and a '/'; then, where the folder's slideshow
    // playlist was found current, 'p', its inode, status-change time, size
    // and a hash of its text, each ended by ':', and a '/'.
    "CREATE TABLE IF NOT EXISTS TARVEL_LISTINGS(FullPath TEXT PRIMARY KEY ON CONFLICT REPLACE,"
    " SharedRoot TEXT, Inode INTEGER, Ctime INTEGER, Entries TEXT);";

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
