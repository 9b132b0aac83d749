// How long the control panel takes to open: the sheet built, its list loaded
// and shown, with 200 listed folders over a catalogue of 100,000 rows. Beside
// it, in the same run, the engine's loading of the same list alone.
//   bench_panel [ROWS] [FOLDERS]   (offscreen unless QT_QPA_PLATFORM says otherwise)
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "catalog/database.h"
#include "catalog/schema.h"
#include "panel/my_property_sheet.h"
#include "panel/shared_folder_page.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Fill(int rows, int folders) {
  sqlite3* db = nullptr;
  sqlite3_open("data.sqlite", &db);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* audio = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO AUDIO VALUES(?,1,'Jazz','Artist','Album',?,?,?)", -1, &audio, nullptr);
  for (int i = 0; i < rows; ++i) {
    const int f = i % folders;
    const std::string root = "/srv/media/folder" + std::to_string(f) + "/";
    const std::string parent = root + "album" + std::to_string(i % 97) + "/";
    const std::string name = parent + "track" + std::to_string(i) + ".mp3";
    const std::string title = "Track " + std::to_string(i);
    sqlite3_bind_text(audio, 1, title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(audio, 2, parent.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(audio, 3, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(audio, 4, root.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(audio);
    sqlite3_reset(audio);
  }
  sqlite3_finalize(audio);
  for (int f = 0; f < folders; ++f) {
    const std::string sql = "INSERT INTO SHAREDFOLDER VALUES('folder" + std::to_string(f) +
                            "','/srv/media/folder" + std::to_string(f) + "/',0)";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? atoi(argv[1]) : 100000;
  const int folders = argc > 2 ? atoi(argv[2]) : 200;
  if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::string tmpl = (fs::temp_directory_path() / "tarvel-bench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) return 1;
  const fs::path dir = tmpl;
  fs::create_directory(dir / "run");
  fs::permissions(dir / "run", fs::perms::owner_all);
  setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
  fs::current_path(dir);
  EnsureCatalogueSchema(kCatalogueFile);
  Fill(rows, folders);
  // The list goes to standard output when it loads; keep it off the figures.
  fflush(stdout);
  const int savedOut = dup(1);
  freopen("/dev/null", "w", stdout);

  QApplication app(argc, argv);
  std::vector<double> open, load;
  for (int run = 0; run < 5; ++run) {
    {
      const auto t0 = Clock::now();
      CMyPropertySheet::Options o;
      o.startServer = false;
      CMyPropertySheet sheet(o);
      sheet.show();
      while (sheet.SharedFolderPage()->ListControl()->topLevelItemCount() < folders)
        QApplication::processEvents();
      QApplication::processEvents();
      open.push_back(Ms(Clock::now() - t0));
    }
    {
      const auto t0 = Clock::now();
      CSharedFolderCore core;
      core.SetEchoList(false);
      core.LoadList();
      load.push_back(Ms(Clock::now() - t0));
    }
  }
  fflush(stdout);
  dup2(savedOut, 1);
  printf("catalogue: %d rows, %d shared folders; median of 5 runs\n", rows, folders);
  printf("sheet open (built, list loaded, shown): %.1f ms (target < 1000 ms)\n", Median(open));
  printf("engine list load alone:                 %.1f ms\n", Median(load));
  printf("ratio open / load:                      %.1fx\n", Median(open) / std::max(Median(load), 0.001));
  fs::current_path("/");
  fs::remove_all(dir);
  return 0;
}
