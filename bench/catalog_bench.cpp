// Writes 100,000 AUDIO rows through InsertAudioRow on one connection, first
// with one statement per transaction, then with one transaction per folder of
// 50 rows, and prints rows per second of each and their ratio.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "catalog/database.h"
#include "catalog/schema.h"
#include "catalog/statements.h"

namespace fs = std::filesystem;

static double Run(int rows, int perTransaction) {
  fs::remove("data.sqlite");
  fs::remove("data.sqlite-wal");
  fs::remove("data.sqlite-shm");
  EnsureCatalogueSchema(kCatalogueFile);
  CatalogConnection db = OpenCatalogue();
  auto start = std::chrono::steady_clock::now();
  auto insert = [&](int i) {
    std::string dir = "/media/music/artist" + std::to_string(i / 50) + "/";
    AudioRow r;
    r.Title = "track " + std::to_string(i);
    r.HasTag = 1;
    r.Genre = "Rock";
    r.ParentDir = dir;
    r.Filename = dir + "track" + std::to_string(i) + ".mp3";
    r.SharedRoot = "/media/music/";
    InsertAudioRow(db.get(), r);
  };
  for (int i = 0; i < rows;) {
    if (perTransaction > 1) {
      Transaction t(db.get());
      for (int k = 0; k < perTransaction && i < rows; ++k) insert(i++);
      t.Commit();
    } else {
      insert(i++);
    }
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return rows / s;
}

int main(int argc, char** argv) {
  int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  std::string tmpl = (fs::temp_directory_path() / "tarvel-bench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) return 1;
  fs::current_path(tmpl);
  double single = Run(rows, 1);
  double folder = Run(rows, 50);
  printf("rows: %d\n", rows);
  printf("one statement per transaction: %.0f rows/s\n", single);
  printf("one transaction per folder (50 rows): %.0f rows/s\n", folder);
  printf("ratio: %.1fx\n", folder / single);
  fs::current_path("/");
  fs::remove_all(tmpl);
  return 0;
}
