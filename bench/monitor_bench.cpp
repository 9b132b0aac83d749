// The change monitor under `tarvel watch`: the time from a file's creation to
// its catalogue row (median and 99th percentile over 1,000 files), and a burst
// of 10,000 files created in a watched tree, every one catalogued, against
// `tarvel share` of the same tree.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "id3_builder.h"
#include "tree_gen.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
extern char** environ;

namespace {

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Scalar(SqliteDatabase* db, const std::string& sql) {
  Recordset rs = Query(db, sql);
  int n = 0;
  if (rs->Next()) rs->GetInt(0, &n);
  return n;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  int latencyFiles = argc > 1 ? std::atoi(argv[1]) : 1000;
  int burstFiles = argc > 2 ? std::atoi(argv[2]) : 10000;
  std::string tarvel = fs::canonical("/proc/self/exe").parent_path().parent_path() / "src/tarvel";
  std::string tmpl = (fs::temp_directory_path() / "tarvel-monitor-bench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) return 1;
  fs::path work = tmpl;
  fs::create_directories(work / "data");
  fs::create_directories(work / "w");
  for (int i = 0; i < 10; ++i) fs::create_directories(work / "w" / ("sub" + std::to_string(i)));
  fs::current_path(work / "data");
  Wait(Spawn({tarvel, "share", (work / "w").string()}));
  pid_t watcher = Spawn({tarvel, "watch"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  CatalogConnection db = OpenCatalogue();

  // Creation to row, one file at a time.
  const std::string tag = id3::V2Tag(3, {id3::Text("TIT2", "Latency"), id3::Text("TPE1", "Bench")}) +
                          id3::AudioFrames(8);
  std::vector<double> latencies;
  for (int i = 0; i < latencyFiles; ++i) {
    std::string path = (work / "w" / ("sub" + std::to_string(i % 10)) / ("lat" + std::to_string(i) + ".mp3")).string();
    std::string sql = "select count(*) from audio where Filename = " + Quoted(path);
    auto start = Clock::now();
    std::ofstream(path, std::ios::binary) << tag;
    while (Scalar(db.get(), sql) == 0) {
      if (Clock::now() - start > std::chrono::seconds(10)) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    latencies.push_back(Ms(Clock::now() - start));
  }
  std::sort(latencies.begin(), latencies.end());
  double median = latencies[latencies.size() / 2];
  double p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];

  // A burst: a whole tree appears in the watched folder at once.
  int before = Scalar(db.get(), "select count(*) from audio") + Scalar(db.get(), "select count(*) from video") +
               Scalar(db.get(), "select count(*) from image");
  const int expected = burstFiles - burstFiles / 10;  // every tenth file is not media
  auto start = Clock::now();
  GenerateTree((work / "w" / "burst").string(), burstFiles);
  auto created = Clock::now();
  int rows = 0;
  while (Clock::now() - start < std::chrono::seconds(300)) {
    rows = Scalar(db.get(), "select count(*) from audio") + Scalar(db.get(), "select count(*) from video") +
           Scalar(db.get(), "select count(*) from image") - before;
    if (rows >= expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  double burst = Ms(Clock::now() - start);
  // Then wait for the monitor to fall quiet before counting.
  for (int same = 0, last = -1; same < 5;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int now = Scalar(db.get(), "select count(*) from audio") + Scalar(db.get(), "select count(*) from image");
    same = now == last ? same + 1 : 0;
    last = now;
  }
  int distinct = Scalar(db.get(), "select count(distinct Filename) from (select Filename from audio union all "
                                  "select Filename from video union all select Filename from image)") - before;
  rows = Scalar(db.get(), "select count(*) from audio") + Scalar(db.get(), "select count(*) from video") +
         Scalar(db.get(), "select count(*) from image") - before;
  kill(watcher, SIGTERM);
  int watchStatus = Wait(watcher);
  db.reset();

  // The same tree shared from scratch.
  fs::create_directories(work / "data2");
  fs::current_path(work / "data2");
  auto shareStart = Clock::now();
  Wait(Spawn({tarvel, "share", (work / "w" / "burst").string()}));
  double share = Ms(Clock::now() - shareStart);

  printf("creation to row over %d files: median %.1f ms, 99th percentile %.1f ms (target median < 50 ms)\n",
         latencyFiles, median, p99);
  printf("burst of %d files: %d rows expected, %d catalogued, %d distinct; created in %.0f ms, all rows in %.0f ms\n",
         burstFiles, expected, rows, distinct, Ms(created - start), burst);
  printf("rows complete %.0f ms after the last file was created\n", burst - Ms(created - start));
  printf("tarvel share of the same tree: %.0f ms (burst / share: %.1fx; creating the files while\n"
         "  watched is most of the burst: the watcher and the creator share the cores)\n",
         share, burst / share);
  printf("watch exit status: %d\n", watchStatus);
  fs::current_path("/");
  fs::remove_all(work);
  return rows == expected && distinct == expected ? 0 : 1;
}
