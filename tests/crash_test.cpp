// Interrupted commands, full disks, concurrent tarvels: after any of them the
// catalogue, the list and the disk agree, and every failure says so.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "catalog/statements.h"
#include "platform/named_mutex.h"
#include "shares/catalogue_change.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

class Crash : public CatalogTest {
 protected:
  // `folders` folders of `perFolder` images each, under `rel`.
  void MakeTree(const std::string& rel, int folders, int perFolder) {
    for (int d = 0; d < folders; ++d)
      for (int f = 0; f < perFolder; ++f)
        WriteFile(dir_ / rel / ("d" + std::to_string(d)) / (std::to_string(f) + ".jpg"));
  }
  int Playlists(const std::string& rel) {
    int n = 0;
    for (auto& e : fs::recursive_directory_iterator(dir_ / rel))
      if (e.path().filename() == "JpgPlaylist.sls") ++n;
    return n;
  }
  std::string Listed() { return RunProgram("tarvel", {"list"}).out; }
  std::string Catalog() { return RunProgram("tarvel", {"catalog"}).out; }
  // Starts `tarvel ARGS` and waits until it has begun writing: until `sign`
  // exists, or else until it has written a playlist under `rel`.
  Child StartAndWait(const std::vector<std::string>& args, const fs::path& sign,
                     const std::string& rel = "") {
    Child c = StartTarvel(args, "child");
    EXPECT_TRUE(Eventually([&] { return rel.empty() ? fs::exists(sign) : Playlists(rel) > 0; },
                           20s))
        << ReadFile("child.err");
    return c;
  }
};

}  // namespace

// Killed, hung up or interrupted, a share leaves nothing: no row, no list
// entry, no playlist, and the folder can be shared again at once.
TEST_F(Crash, AShareEndedBySignalLeavesNothingAndCanBeRepeated) {
  MakeTree("Pics", 150, 20);
  for (int signal : {SIGKILL, SIGHUP, SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    // Held with a row written and a playlist begun, nothing committed: the
    // signal always meets the share half way, however fast it runs.
    WalkPause pause;
    Child share = StartTarvel({"share", "Pics"}, "child");
    ASSERT_TRUE(Eventually([&] { return pause.Reached(); }, 20s)) << ReadFile("child.err");
    ASSERT_GT(Playlists("Pics"), 0);
    share.Signal(signal);
    pause.Release();
    int status = share.Wait(20s);
    if (signal == SIGKILL) {
      EXPECT_EQ(status, 128 + SIGKILL);
    } else {
      EXPECT_EQ(status, 1);
      EXPECT_NE(ReadFile("child.err").find("was not shared"), std::string::npos)
          << ReadFile("child.err");
    }
    EXPECT_EQ(Listed(), "");  // the next run repairs what a kill left
    EXPECT_EQ(Catalog(), "AUDIO 0\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 0\n");
    EXPECT_EQ(Playlists("Pics"), 0);
    EXPECT_FALSE(fs::exists(kAddJournalFile));
  }
  RunResult r = RunProgram("tarvel", {"share", "Pics"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Catalog(), "AUDIO 0\nVIDEO 0\nIMAGE 3000\nSHAREDFOLDER 1\n");
  EXPECT_EQ(Playlists("Pics"), 150);
}

// A rescan ended by a signal leaves the folder's rows as they were.
TEST_F(Crash, ARescanEndedBySignalKeepsTheOldRows) {
  MakeTree("Pics", 30, 20);
  ASSERT_EQ(RunProgram("tarvel", {"share", "Pics"}).status, 0);
  WriteFile(dir_ / "Pics" / "new.mp3");
  for (int signal : {SIGKILL, SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    // Held with some rows written again, nothing committed:
    // the signal always meets the rescan half way, however fast it runs.
    WalkPause pause;
    Child rescan = StartTarvel({"rescan", "Pics"}, "child");
    ASSERT_TRUE(Eventually([&] { return pause.Reached(); }, 20s)) << ReadFile("child.err");
    rescan.Signal(signal);
    pause.Release();
    int status = rescan.Wait(20s);
    EXPECT_EQ(status, signal == SIGKILL ? 128 + SIGKILL : 1);
    EXPECT_EQ(Catalog(), "AUDIO 0\nVIDEO 0\nIMAGE 600\nSHAREDFOLDER 1\n");
    EXPECT_EQ(Listed(), (dir_ / "Pics").string() + "/\n");
  }
  EXPECT_EQ(RunProgram("tarvel", {"rescan", "Pics"}).status, 0);
  EXPECT_EQ(Catalog(), "AUDIO 1\nVIDEO 0\nIMAGE 600\nSHAREDFOLDER 1\n");
}

// What older versions or other programs left: rows of folders that are not
// listed, a listed path without its '/'. Any command sets it right first.
TEST_F(Crash, TheNextRunRemovesRowsOfUnlistedFoldersAndMendsPaths) {
  WriteFile(dir_ / "A" / "a.mp3");
  WriteFile(dir_ / "B" / "b.mp3");
  ASSERT_EQ(RunProgram("tarvel", {"share", "A"}).status, 0);
  ASSERT_EQ(RunProgram("tarvel", {"share", "B"}).status, 0);
  const std::string a = (dir_ / "A").string(), b = (dir_ / "B").string();
  // As an Add killed by an older version left it, and a row written without '/'.
  Rows("delete from sharedfolder where FullPath = '" + a + "/'");
  Rows("update sharedfolder set FullPath = '" + b + "' where FullPath = '" + b + "/'");
  Rows("update audio set SharedRoot = '" + b + "' where SharedRoot = '" + b + "/'");
  RunResult r = RunProgram("tarvel", {"list"});
  EXPECT_EQ(r.out, b + "/\n");
  EXPECT_NE(r.err.find("took out 1 rows"), std::string::npos) << r.err;
  EXPECT_EQ(Rows("select Filename from audio"), (std::vector<std::vector<std::string>>{{b + "/b.mp3"}}));
  EXPECT_EQ(RunProgram("tarvel", {"share", "A"}).status, 0);  // no longer "has been shared"
  EXPECT_EQ(RunProgram("tarvel", {"rescan", "B"}).status, 0);
  EXPECT_EQ(RunProgram("tarvel", {"unshare", "B"}).status, 0);
  EXPECT_EQ(Catalog(), "AUDIO 1\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 1\n");
}

// A stray row is found wherever it sorts among the listed folders' rows:
// before them all, between two, inside a listed folder's name range but not
// below it, after them all, or without a name. A sound catalogue is left as
// it is.
TEST_F(Crash, AStrayRowIsFoundWhereverItSortsAmongTheListedFolders) {
  WriteFile(dir_ / "B" / "b.mp3");
  WriteFile(dir_ / "D" / "d.mp3");
  WriteFile(dir_ / "D" / "E" / "e.mp3");
  ASSERT_EQ(RunProgram("tarvel", {"share", "B"}).status, 0);
  ASSERT_EQ(RunProgram("tarvel", {"share", "D"}).status, 0);
  const std::string d = dir_.string();
  RunResult sound = RunProgram("tarvel", {"list"});
  EXPECT_EQ(sound.err, "");
  for (const std::string& stray : {"'" + d + "/A/a.mp3'", "'" + d + "/C/c.mp3'", "'" + d + "/B0'",
                                   "'" + d + "/Z/z.mp3'", "'" + d + "/D'", std::string("null")}) {
    SCOPED_TRACE(stray);
    Rows("insert into video(Title, Filename) values('stray', " + stray + ")");
    RunResult r = RunProgram("tarvel", {"list"});
    EXPECT_NE(r.err.find("took out 1 rows"), std::string::npos) << r.err;
    EXPECT_EQ(Catalog(), "AUDIO 3\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 2\n");
  }
}

// unshare --all while a share runs waits for it, then empties everything.
TEST_F(Crash, UnshareAllDuringAShareLeavesNothingHalfDone) {
  MakeTree("Pics", 150, 20);
  Child share = StartAndWait({"share", "Pics"}, kAddJournalFile);
  RunResult r = RunProgram("tarvel", {"unshare", "--all"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(share.Wait(20s), 0);
  EXPECT_EQ(Catalog(), "AUDIO 0\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 0\n");
  EXPECT_EQ(Listed(), "");
}

// A folder unshared while another tarvel watches it gets no rows afterwards,
// however soon files arrive there.
TEST_F(Crash, AWatcherAddsNoRowsToAFolderUnsharedMeanwhile) {
  WriteFile(dir_ / "A" / "a.mp3");
  WriteFile(dir_ / "Keep" / "k.mp3");
  ASSERT_EQ(RunProgram("tarvel", {"share", "A"}).status, 0);
  ASSERT_EQ(RunProgram("tarvel", {"share", "Keep"}).status, 0);
  setenv("TARVEL_SETTLE_MS", "300", 1);  // files left open are taken quickly
  Child watch = StartTarvel({"watch"}, "watch");
  unsetenv("TARVEL_SETTLE_MS");
  // The watcher is in place once it catalogues a new file.
  bool watching = false;
  for (int i = 0; i < 100 && !watching; ++i) {
    WriteFile(dir_ / "A" / ("probe" + std::to_string(i) + ".mp3"));
    watching = Eventually([&] { return Count("audio") > 2; }, 100ms);
  }
  ASSERT_TRUE(watching) << ReadFile("watch.err");
  ASSERT_EQ(RunProgram("tarvel", {"unshare", "A"}).status, 0);
  for (int i = 0; i < 20; ++i) WriteFile(dir_ / "A" / ("late" + std::to_string(i) + ".mp3"));
  WriteFile(dir_ / "Keep" / "k2.mp3");  // the watcher still follows the other folder
  // Made last and never closed: once it has settled and been taken, so has
  // everything before it.
  WriteFile(dir_ / "probe.mp3");
  ASSERT_EQ(link((dir_ / "probe.mp3").c_str(), (dir_ / "Keep" / "settled.mp3").c_str()), 0);
  EXPECT_TRUE(Eventually([&] { return Count("audio") == 3; }, 10s));
  EXPECT_EQ(IsCatalogued((dir_ / "Keep" / "settled.mp3").string()), 1);
  EXPECT_EQ(Rows("select count(*) from audio where Filename like '" + (dir_ / "A").string() + "/%'"),
            (std::vector<std::vector<std::string>>{{"0"}}));
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(), 0);
}

// Two tarvels without working locks would both share one folder: refused.
TEST_F(Crash, ARuntimeFolderOpenToOthersIsRefused) {
  WriteFile(dir_ / "A" / "a.mp3");
  fs::create_directories(dir_ / "run" / "tarvel");
  chmod((dir_ / "run" / "tarvel").c_str(), 0777);
  RunResult r = RunProgram("tarvel", {"share", "A"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("locks cannot work"), std::string::npos) << r.err;
  chmod((dir_ / "run" / "tarvel").c_str(), 0700);
  EXPECT_EQ(Catalog(), "AUDIO 0\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 0\n");
}

TEST_F(Crash, EmptyPathsAndUnknownOptionsAreUsageErrors) {
  fs::create_directory("A");
  ASSERT_EQ(RunProgram("tarvel", {"share", "A"}).status, 0);
  for (auto args : std::vector<std::vector<std::string>>{
           {"share", ""}, {"unshare", ""}, {"rescan", ""}, {"rescan", "-x", "A"},
           {"rescan", "A", "--bogus"}, {"unshare", "-f", "A"}}) {
    RunResult r = RunProgram("tarvel", args);
    EXPECT_EQ(r.status, 2) << args[0] << " '" << args[1] << "'";
    EXPECT_NE(r.err.find("usage: tarvel"), std::string::npos);
  }
  EXPECT_EQ(Listed(), (dir_ / "A").string() + "/\n");
}

// A folder that is gone for now keeps its rows; rescanning it is an error.
TEST_F(Crash, RescanOfAMissingFolderKeepsItsRows) {
  WriteFile(dir_ / "Net" / "a.mp3");
  ASSERT_EQ(RunProgram("tarvel", {"share", "Net"}).status, 0);
  fs::rename(dir_ / "Net", dir_ / "Net.offline");
  RunResult r = RunProgram("tarvel", {"rescan", "Net"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot be read"), std::string::npos) << r.err;
  EXPECT_EQ(Catalog(), "AUDIO 1\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 1\n");
}

namespace {

// The data folder on a small file system of its own (root only).
class FullDisk : public Crash {
 protected:
  void SetUp() override {
    Crash::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system; skipped";
    fs::create_directory(dir_ / "small");
    if (mount("tmpfs", (dir_ / "small").c_str(), "tmpfs", 0, "size=400k") != 0)
      GTEST_SKIP() << "cannot mount a small file system here; skipped";
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2((dir_ / "small").c_str(), MNT_DETACH);
    Crash::TearDown();
  }
  RunResult Tarvel(std::vector<std::string> args) {
    args.insert(args.begin(), {"--data-dir", (dir_ / "small").string()});
    return RunProgram("tarvel", args);
  }
  // Takes all the room left but `spare` bytes.
  void Fill(size_t spare) {
    fs::path filler = dir_ / "small" / "filler";
    {
      std::ofstream f(filler, std::ios::binary);
      std::string block(4096, 'f');
      for (int i = 0; i < 100000 && f.write(block.data(), block.size()); ++i) {
      }
    }
    fs::resize_file(filler, fs::file_size(filler) > spare ? fs::file_size(filler) - spare : 0);
  }
  bool mounted_ = false;
};

}  // namespace

TEST_F(FullDisk, AShareThatDoesNotFitFailsAsAWhole) {
  MakeTree("Pics", 100, 40);  // far more rows than 400 KiB hold
  RunResult r = Tarvel({"share", (dir_ / "Pics").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("could not be written"), std::string::npos) << r.err;
  EXPECT_EQ(Tarvel({"catalog"}).out, "AUDIO 0\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 0\n");
  EXPECT_EQ(Tarvel({"list"}).out, "");
  EXPECT_EQ(Playlists("Pics"), 0);
}

TEST_F(FullDisk, RescanAndUnshareOnAFullDiskFailOrSucceedAsAWhole) {
  MakeTree("Pics", 2, 20);
  ASSERT_EQ(Tarvel({"share", (dir_ / "Pics").string()}).status, 0);
  MakeTree("Pics", 40, 20);  // more to rescan than fits
  Fill(48 * 1024);
  RunResult r = Tarvel({"rescan", (dir_ / "Pics").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Tarvel({"catalog"}).out, "AUDIO 0\nVIDEO 0\nIMAGE 40\nSHAREDFOLDER 1\n");
  for (auto args : std::vector<std::vector<std::string>>{{"unshare", (dir_ / "Pics").string()},
                                                         {"unshare", "--all"}}) {
    r = Tarvel(args);
    std::string catalog = Tarvel({"catalog"}).out;
    if (r.status == 0) {
      EXPECT_EQ(catalog, "AUDIO 0\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 0\n");
      break;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(catalog, "AUDIO 0\nVIDEO 0\nIMAGE 40\nSHAREDFOLDER 1\n");
    EXPECT_EQ(Tarvel({"list"}).out, (dir_ / "Pics").string() + "/\n");
  }
  fs::remove(dir_ / "small" / "filler");
  EXPECT_EQ(Tarvel({"unshare", "--all"}).status, 0);
  EXPECT_EQ(Tarvel({"catalog"}).out, "AUDIO 0\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 0\n");
}

// One folder under two paths would get two rows per file: refused, whether
// the second path is the folder itself, one inside it or one around it.
TEST_F(Crash, AFolderSharedUnderAnotherPathIsRefused) {
  WriteFile(dir_ / "real" / "Music" / "sub" / "a.mp3");
  fs::create_directory_symlink(dir_ / "real" / "Music", dir_ / "link");
  ASSERT_EQ(RunProgram("tarvel", {"share", "link"}).status, 0);
  for (const char* other : {"real/Music", "real/Music/sub", "real"}) {
    RunResult r = RunProgram("tarvel", {"share", other});
    EXPECT_EQ(r.status, 1) << other;
    EXPECT_NE(r.err.find("under another path"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Catalog(), "AUDIO 1\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 1\n");
  RunResult r = RunProgram("tarvel", {"share", "/proc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("kernel file system"), std::string::npos) << r.err;
}

// Playlists belong to the shared tree: one reached through a link out of it
// is neither written nor deleted.
TEST_F(Crash, PlaylistsAreWrittenOnlyInsideTheSharedTree) {
  WriteFile(dir_ / "Outside" / "x.jpg");
  WriteFile(dir_ / "Outside" / "JpgPlaylist.sls", "theirs\r\n");
  WriteFile(dir_ / "Shared" / "own" / "y.jpg");
  fs::create_directory_symlink(dir_ / "Outside", dir_ / "Shared" / "out");
  ASSERT_EQ(RunProgram("tarvel", {"share", "Shared"}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "Outside" / "JpgPlaylist.sls"), "theirs\r\n");
  EXPECT_EQ(ReadFile(dir_ / "Shared" / "own" / "JpgPlaylist.sls"), "y.jpg\r\n");
  ASSERT_EQ(RunProgram("tarvel", {"rescan", "Shared"}).status, 0);
  ASSERT_EQ(RunProgram("tarvel", {"unshare", "Shared"}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "Outside" / "JpgPlaylist.sls"), "theirs\r\n");
}

// What a walk cannot read is named; the rest is shared.
TEST_F(Crash, FoldersThatCannotBeReadAreNamed) {
  WriteFile(dir_ / "Deep" / "a.mp3");
  // A chain of folders longer than a path may be.
  int fd = open((dir_ / "Deep").c_str(), O_RDONLY | O_DIRECTORY);
  const std::string part(200, 'p');
  for (int i = 0; i < 25 && fd >= 0; ++i) {
    mkdirat(fd, part.c_str(), 0755);
    int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  close(fd);
  RunResult r = RunProgram("tarvel", {"share", "Deep"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("File name too long"), std::string::npos) << r.err;
  EXPECT_EQ(Catalog(), "AUDIO 1\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 1\n");
  // Clean up what remove_all cannot reach by path.
  std::string cmd = "cd '" + (dir_ / "Deep").string() + "' && rm -rf " + part;
  EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST_F(Crash, ListWritesEachPathOnOneLine) {
  fs::create_directory(dir_ / "two\nlines");
  fs::create_directory(dir_ / "back\\slash");
  ASSERT_EQ(RunProgram("tarvel", {"share", "two\nlines"}).status, 0);
  ASSERT_EQ(RunProgram("tarvel", {"share", "back\\slash"}).status, 0);
  EXPECT_EQ(Listed(), dir_.string() + "/two\\nlines/\n" + dir_.string() + "/back\\\\slash/\n");
}

// A rescan waits for a change another process is making.
TEST_F(Crash, ARescanWaitsForTheCatalogueLock) {
  WriteFile(dir_ / "A" / "a.mp3");
  ASSERT_EQ(RunProgram("tarvel", {"share", "A"}).status, 0);
  WriteFile(dir_ / "A" / "b.mp3");
  auto held = NamedMutex::Open(kCatalogueMutex);
  ASSERT_TRUE(held);
  held->Wait();
  Child rescan = StartTarvel({"rescan", "A"});
  EXPECT_EQ(rescan.Wait(1500ms), -1);  // still waiting
  EXPECT_EQ(Count("audio"), 1);
  held->Release();
  EXPECT_EQ(rescan.Wait(), 0);
  EXPECT_EQ(Count("audio"), 2);
}
