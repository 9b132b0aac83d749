// Files per second of `tarvel share` on a generated tree, against two floors
// measured on the same tree in the same run: plain enumeration, and
// enumeration plus reading every MP3's tag with TagLib as it comes (on one
// thread: what a plain program that catalogues tags costs). Each figure is the
// best of five. Also a rescan of the shared tree, and the largest resident
// size any of the tarvel runs reached.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <taglib/mpegfile.h>
#include <taglib/tag.h>

#include "scan/dir_walk.h"
#include "tree_gen.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

// The texts the catalogue keeps, read the plain way.
void ReadWithTagLib(const std::string& path) {
  TagLib::MPEG::File file(path.c_str(), false);
  if (TagLib::Tag* tag = file.tag()) {
    volatile size_t keep = tag->title().size() + tag->artist().size() + tag->album().size() +
                           tag->genre().size();
    (void)keep;
  }
}

int Walk(const std::string& dir, bool readTags) {
  int n = 0;
  ForEachEntry(dir, [&](const std::string& name, EntryKind kind) {
    if (kind == EntryKind::Folder) {
      n += Walk(dir + name + "/", readTags);
      return;
    }
    ++n;
    if (readTags && name.size() > 4 && name.compare(name.size() - 4, 4, ".mp3") == 0)
      ReadWithTagLib(dir + name);
  });
  return n;
}

// Every measured run starts with nothing waiting to be written back: the
// catalogue the run before wrote (tens of megabytes at 300,000 files) would
// otherwise be written out by the kernel during the next run, on the same
// two cores, and count against whichever comes next. With
// TARVEL_BENCH_COLD=1 (as root) every measured run also starts from a cold
// page cache, as the first share after a boot does.
void Cool() {
  sync();
  static const bool cold = getenv("TARVEL_BENCH_COLD") && *getenv("TARVEL_BENCH_COLD") == '1';
  if (!cold) return;
  FILE* f = fopen("/proc/sys/vm/drop_caches", "w");
  if (!f || fputs("3\n", f) < 0) perror("drop_caches");
  if (f) fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  int files = argc > 1 ? std::atoi(argv[1]) : 20000;
  std::string tarvel = fs::canonical("/proc/self/exe").parent_path().parent_path() / "src/tarvel";
  std::string tmpl = (fs::temp_directory_path() / "tarvel-scan-bench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) return 1;
  fs::path work = tmpl;
  std::string tree = (work / "tree").string();
  double gen = Seconds([&] { GenerateTree(tree, files); });
  sync();  // the generated tree goes to disk now, not while something is measured
  Walk(tree + "/", true);  // warm the page cache for every measurement alike
  // Best of five runs each, taken in turns, so that a noisy moment of the
  // machine does not fall on one side only.
  int counted = 0, rc = 0;
  double enumerate = 1e9, tags = 1e9, share = 1e9, rescan = 1e9;
  for (int run = 0; run < 5; ++run) {
    Cool();
    enumerate = std::min(enumerate, Seconds([&] { counted = Walk(tree + "/", false); }));
    Cool();
    tags = std::min(tags, Seconds([&] { Walk(tree + "/", true); }));
    fs::remove_all(work / "data");
    fs::create_directory(work / "data");
    Cool();
    share = std::min(share, Seconds([&] {
      rc |= RunToEnd({tarvel, "--data-dir", (work / "data").string(), "share", tree});
    }));
    Cool();
    rescan = std::min(rescan, Seconds([&] {
      rc |= RunToEnd({tarvel, "--data-dir", (work / "data").string(), "rescan", tree});
    }));
  }
  struct rusage children;
  getrusage(RUSAGE_CHILDREN, &children);
  printf("files: %d (generated in %.1f s)\n", counted, gen);
  printf("enumeration:              %9.0f files/s\n", counted / enumerate);
  printf("enumeration + MP3 tags:   %9.0f files/s\n", counted / tags);
  printf("tarvel share:             %9.0f files/s%s\n", counted / share, rc ? " (FAILED)" : "");
  printf("tarvel rescan:             %9.0f files/s\n", counted / rescan);
  printf("share / (enumeration + tags) time: %.2fx (target <= 1.0x)\n", share / tags);
  printf("rescan / share time: %.2fx (target <= 1.0x)\n", rescan / share);
  printf("peak resident size of tarvel: %.1f MB (target < 50 MB)\n", children.ru_maxrss / 1024.0);
  fs::remove_all(work);
  return rc;
}
