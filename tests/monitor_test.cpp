#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "id3_builder.h"
#include "platform/named_mutex.h"
#include "platform/tree_watcher.h"
#include "shares/change_queue.h"
#include "shares/folder_selection.h"
#include "shares/share_worker.h"
#include "shares/shared_folder_core.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

int ThreadCount() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

class Watcher : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    root = (dir_ / "w").string() + "/";
    fs::create_directories(root);
  }
  std::unique_ptr<TreeWatcher> Start(std::chrono::milliseconds settle = 2000ms) {
    TreeWatcherHooks hooks;
    hooks.onChange = [this](const TreeChange& c) {
      std::lock_guard lock(mutex);
      seen.push_back(std::to_string(c.action) + (c.isDirectory ? "d " : " ") + c.name);
    };
    return std::make_unique<TreeWatcher>(std::vector<std::string>{root}, hooks, settle);
  }
  std::vector<std::string> Seen() {
    std::lock_guard lock(mutex);
    return seen;
  }
  std::string root;
  std::mutex mutex;
  std::vector<std::string> seen;
};

class Monitor : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    root = (dir_ / "m").string();
    fs::create_directories(root);
    ASSERT_TRUE(core.StartAdd(root, "m"));
    core.WaitForAdds();
    core.SetMonitorSettle(300ms);  // files left unclosed are taken quickly
    core.EnableMonitor();
  }
  bool Catalogued(const std::string& rel) { return IsCatalogued(root + "/" + rel) == 1; }
  std::string root;
};

}  // namespace

TEST_F(Watcher, ReportsDeepFilesRenamePairsAndRemovals) {
  fs::create_directories(root + "a/b/c");
  auto w = Start();
  WriteFile(root + "a/b/c/deep.mp3");
  ASSERT_TRUE(Eventually([&] { return Seen().size() == 1; }));
  EXPECT_EQ(Seen()[0], "1 a/b/c/deep.mp3");
  fs::rename(root + "a/b/c/deep.mp3", root + "a/top.mp3");
  fs::rename(root + "a/b", root + "a/bb");
  ASSERT_TRUE(Eventually([&] { return Seen().size() == 5; }));
  fs::remove_all(root + "a/bb");  // the renamed folder is watched under its new name
  ASSERT_TRUE(Eventually([&] { return Seen().size() == 7; }));
  EXPECT_EQ(Seen(), (std::vector<std::string>{"1 a/b/c/deep.mp3", "4 a/b/c/deep.mp3", "5 a/top.mp3",
                                               "4d a/b", "5d a/bb", "2d a/bb/c", "2d a/bb"}));
}

TEST_F(Watcher, AFileIsReportedWhenItsWriterClosesItOrWhenItSettles) {
  // Long enough that the open file cannot settle while the other is reported.
  auto w = Start(1000ms);
  {
    std::ofstream f(root + "copying.mp3");
    f << "part one";
    f.flush();
    // A file written whole meanwhile is reported; the open one still is not.
    WriteFile(root + "whole.mp3");
    ASSERT_TRUE(Eventually([&] { return Seen().size() == 1; }));
    EXPECT_EQ(Seen()[0], "1 whole.mp3");
    f << "part two";
  }
  ASSERT_TRUE(Eventually([&] { return Seen().size() == 2; }));
  EXPECT_EQ(Seen()[1], "1 copying.mp3");
  WriteFile(dir_ / "outside.mp3");
  ASSERT_EQ(link((dir_ / "outside.mp3").c_str(), (root + "linked.mp3").c_str()), 0);  // no close
  ASSERT_TRUE(Eventually([&] { return Seen().size() == 3; }));
  EXPECT_EQ(Seen()[2], "1 linked.mp3");
}

TEST_F(Watcher, MovedOutFolderStopsReporting) {
  fs::create_directories(root + "gone");
  auto w = Start();
  fs::rename(root + "gone", dir_ / "elsewhere");
  ASSERT_TRUE(Eventually([&] { return Seen().size() == 1; }));
  WriteFile(dir_ / "elsewhere" / "x.mp3");
  // Changes are reported in order: one made after it tells when it is past.
  WriteFile(root + "marker.mp3");
  ASSERT_TRUE(Eventually([&] { return Seen().size() >= 2; }));
  EXPECT_EQ(Seen(), (std::vector<std::string>{"4d gone", "1 marker.mp3"}));
}

TEST_F(Monitor, FileCreatedThreeLevelsDownIsCatalogued) {
  fs::create_directories(root + "/a/b/c");
  core.RestartMonitor();  // the folders were made after the share
  WriteFile(root + "/a/b/c/song.mp3");
  EXPECT_TRUE(Eventually([&] { return Catalogued("a/b/c/song.mp3"); }));
  EXPECT_EQ(Rows("select SharedRoot from audio")[0][0], root + "/");
}

TEST_F(Monitor, NewFolderFilledAtOnceGetsEveryFile) {
  std::string fresh = root + "/fresh";
  fs::create_directory(fresh);
  for (int i = 0; i < 200; ++i) WriteFile(fresh + "/" + std::to_string(i) + ".jpg");
  fs::create_directory(fresh + "/inner");
  for (int i = 0; i < 50; ++i) WriteFile(fresh + "/inner/" + std::to_string(i) + ".png");
  EXPECT_TRUE(Eventually([&] { return Count("image") == 250; }));
  // A deep tree made at once: parents' walks and the folders' own
  // notifications reach the same files, which are catalogued once.
  for (int a = 0; a < 5; ++a)
    for (int b = 0; b < 5; ++b) {
      std::string d = root + "/tree/a" + std::to_string(a) + "/b" + std::to_string(b);
      fs::create_directories(d);
      for (int i = 0; i < 10; ++i) WriteFile(d + "/" + std::to_string(i) + ".gif");
    }
  EXPECT_TRUE(Eventually([&] { return Count("image") == 500; }));
  // Nothing doubled later either: changes are applied in order, so a file
  // made now is taken after whatever the tree's notifications still held.
  WriteFile(root + "/marker.jpg");
  ASSERT_TRUE(Eventually([&] { return Catalogued("marker.jpg"); }));
  EXPECT_EQ(Count("image"), 501);
  EXPECT_EQ(Rows("select count(distinct Filename) from image")[0][0], "501");
}

TEST_F(Monitor, RenamesAndRemovalsFollowTheFiles) {
  WriteFile(root + "/sub/a.mp3");
  ASSERT_TRUE(Eventually([&] { return Catalogued("sub/a.mp3"); }));
  fs::rename(root + "/sub/a.mp3", root + "/sub/b.mp3");
  EXPECT_TRUE(Eventually([&] { return Catalogued("sub/b.mp3") && !Catalogued("sub/a.mp3"); }))
      << Catalogued("sub/b.mp3") << Catalogued("sub/a.mp3") << " " << Count("audio");
  fs::remove_all(root + "/sub");
  EXPECT_TRUE(Eventually([&] { return Count("audio") == 0; }));
  WriteFile(root + "/x.mp3");
  ASSERT_TRUE(Eventually([&] { return Catalogued("x.mp3"); }));
  fs::rename(root + "/x.mp3", dir_ / "x.mp3");  // moved out of the tree
  EXPECT_TRUE(Eventually([&] { return Count("audio") == 0; }));
}

TEST_F(Monitor, RestartWhileWatchingLeavesExactlyOneWorker) {
  core.StopMonitor();
  const int without = ThreadCount();
  core.RestartMonitor();
  WriteFile(root + "/before.mp3");
  // Counted once the start-up catch-up is over: its connection's writer is
  // a thread of its own while it runs, and it may be what catalogues the file.
  ASSERT_TRUE(Eventually([&] { return Catalogued("before.mp3") && ThreadCount() == without + 1; }))
      << ThreadCount() << " threads, " << without << " without the monitor";
  for (int i = 0; i < 5; ++i) core.RestartMonitor();
  EXPECT_TRUE(Eventually([&] { return ThreadCount() == without + 1; }))
      << ThreadCount() << " threads, " << without << " without the monitor";
  EXPECT_TRUE(core.MonitorRunning());
  WriteFile(root + "/after.mp3");
  EXPECT_TRUE(Eventually([&] { return Catalogued("after.mp3"); }));
  core.StopMonitor();
  EXPECT_TRUE(Eventually([&] { return ThreadCount() == without; }))
      << ThreadCount() << " threads, " << without << " without the monitor";
}

TEST_F(Monitor, FoldersSharedLaterAreFollowedAndUnsharedOnesAreNot) {
  std::string other = (dir_ / "other").string();
  fs::create_directories(other);
  ASSERT_TRUE(core.StartAdd(other, "other"));
  core.WaitForAdds();
  WriteFile(other + "/o.mp3");
  EXPECT_TRUE(Eventually([&] { return IsCatalogued(other + "/o.mp3") == 1; }));
  core.List().SetSelected(core.FindListIndex(other), true);
  core.DeleteSelected();
  WriteFile(other + "/p.mp3");
  WriteFile(root + "/marker.mp3");  // taken after p.mp3 would have been
  ASSERT_TRUE(Eventually([&] { return Catalogued("marker.mp3"); }));
  EXPECT_EQ(IsCatalogued(other + "/p.mp3"), 0);
}

TEST_F(Monitor, ManyListedFoldersAreAllWatched) {
  core.StopMonitor();
  for (int i = 0; i < 120; ++i) {
    std::string f = (dir_ / ("f" + std::to_string(i))).string() + "/";
    fs::create_directories(f);
    core.AddListItem(f);
  }
  core.RestartMonitor();
  WriteFile(dir_ / "f119" / "last.mp3");
  EXPECT_TRUE(Eventually([&] { return IsCatalogued((dir_ / "f119" / "last.mp3").string()) == 1; }));
}

TEST_F(Monitor, LostNotificationsAreReportedOnceAndTheFolderRescanned) {
  core.StopMonitor();
  core.SetMonitorSettle(2s);
  // Made before the watcher starts, the folder is watched once it has
  // started: a folder made later could be found by the start-up catch-up
  // before the watcher reached its notice and watched it, and its flood would
  // then never fill the queue.
  fs::create_directory(root + "/flood");
  WriteFile(root + "/flood/probe.mp3");
  core.RestartMonitor();
  ASSERT_TRUE(Eventually([&] { return Catalogued("flood/probe.mp3"); }));
  auto held = NamedMutex::Open(kCatalogueMutex);
  ASSERT_TRUE(held);
  held->Wait();
  // The watcher stops on this change (or in the catch-up still under way),
  // waiting for the catalogue, having read at most one buffer of what
  // follows (64 KiB: 2,048 of these events).
  WriteFile(root + "/first.jpg");
  ASSERT_TRUE(Eventually([] { return LockWaitedFor(kCatalogueMutex); }));
  // Then more events than the kernel queues: files no catalogue takes, which
  // the watcher passes over quickly, and last the pictures, whose events are
  // surely past the queue's end, so only the catch-up can find them.
  int queued = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
  const int others = queued / 2 + 2048;
  for (int i = 0; i < others + 1000; ++i) {
    std::string name = std::to_string(i) + (i < others ? ".txt" : ".png");
    int fd = open((root + "/flood/" + name).c_str(), O_CREAT | O_WRONLY, 0644);
    close(fd);
  }
  held->Release();
  // A start-up catch-up still under way may find the pictures before the
  // watcher reads of the loss.
  EXPECT_TRUE(Eventually([&] { return Count("image") == 1001 && !view.Warnings().empty(); }, 60000ms))
      << Count("image");
  const std::vector<std::string> warnings = view.Warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("lost"), std::string::npos) << warnings[0];
  WriteFile(root + "/flood/after.png");  // and it goes on following changes
  EXPECT_TRUE(Eventually([&] { return Catalogued("flood/after.png"); }, 20000ms));
}

TEST_F(Monitor, AFileStillBeingWrittenWhenItsFolderArrivesIsTakenWhenComplete) {
  // An album being copied: its folder is moved in while a file is still open.
  fs::create_directories(dir_ / "incoming" / "album");
  std::string tag = id3::V2Tag(3, {id3::Text("TIT2", "Finished Song")}) + id3::AudioFrames();
  std::string path = (dir_ / "incoming" / "album" / "song.mp3").string();
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, tag.data(), 5), 5);  // the tag is not whole yet
  fs::rename(dir_ / "incoming" / "album", root + "/album");
  ASSERT_TRUE(Eventually([&] { return Catalogued("album/song.mp3"); }));
  EXPECT_EQ(Rows("select Title from audio")[0][0], "song.mp3");  // what could be read then
  ASSERT_EQ(write(fd, tag.data() + 5, tag.size() - 5), static_cast<ssize_t>(tag.size() - 5));
  close(fd);
  EXPECT_TRUE(Eventually([&] {
    auto rows = Rows("select Title from audio");
    return rows.size() == 1 && rows[0][0] == "finished song";
  }));
  EXPECT_EQ(Count("audio"), 1);
}

// A folder shared inside another keeps its own rows' root for what arrives
// in it later, files and new subfolders alike.
TEST_F(Monitor, ANestedShareKeepsItsOwnRoot) {
  const std::string inner = root + "/inner";
  fs::create_directories(inner);
  ASSERT_TRUE(core.StartAdd(inner, "inner"));
  core.WaitForAdds();
  WriteFile(inner + "/a.mp3");
  WriteFile(root + "/b.mp3");
  fs::create_directories(inner + "/new");
  WriteFile(inner + "/new/c.mp3");
  // Right from the first row: the outer share's watch sees the inner files
  // too until the list's change reaches it, and must leave them alone.
  ASSERT_TRUE(Eventually([&] { return Count("audio") == 3; }));
  const std::vector<std::vector<std::string>> rows = {{root + "/b.mp3", root + "/"},
                                                      {inner + "/a.mp3", inner + "/"},
                                                      {inner + "/new/c.mp3", inner + "/"}};
  EXPECT_EQ(Rows("select Filename, SharedRoot from audio order by Filename"), rows);
  WriteFile(root + "/later.mp3");  // applied after anything the others caused
  ASSERT_TRUE(Eventually([&] { return Catalogued("later.mp3"); }));
  EXPECT_EQ(Rows("select Filename, SharedRoot from audio where Filename <> '" + root +
                 "/later.mp3' order by Filename"),
            rows);
}

TEST_F(Monitor, LinksAddedLeadingOutOfTheShareGetNoRow) {
  fs::path outside = dir_ / "outside";
  WriteFile(outside / "secret.mp3");
  WriteFile(outside / "deep" / "other.mp3");
  WriteFile(root + "/real.mp3");
  EXPECT_TRUE(Eventually([&] { return Catalogued("real.mp3"); }));
  fs::create_symlink(outside / "secret.mp3", root + "/linked.mp3");
  fs::create_symlink(outside / "deep", root + "/elsewhere");
  fs::create_symlink(root + "/real.mp3", root + "/alias.mp3");
  WriteFile(root + "/marker.mp3");
  // The link inside the share is taken; by then the others were seen too.
  EXPECT_TRUE(Eventually([&] { return Catalogued("alias.mp3") && Catalogued("marker.mp3"); }, 10s));
  // Links settle no later than the one made last, but those settling at
  // once are taken in name order: a file written now is taken after them.
  WriteFile(root + "/last.mp3");
  ASSERT_TRUE(Eventually([&] { return Catalogued("last.mp3"); }));
  EXPECT_FALSE(Catalogued("linked.mp3"));
  EXPECT_FALSE(Catalogued("elsewhere/other.mp3"));
  EXPECT_EQ(Count("audio"), 4);
}

// Another tarvel holds the catalogue while a burst of files arrives in a
// watched folder and an Add is asked for in its midst: the watcher goes on
// reading, so the kernel loses no notification and nothing needs catching
// up, and the changes noticed after the Add was asked for are applied after
// it.
TEST_F(Monitor, ABurstWhileTheCatalogueIsBusyIsFollowedChangeByChangeAroundAnAdd) {
  WriteFile(root + "/probe.mp3");  // once it is taken, so is the start-up catch-up
  ASSERT_TRUE(Eventually([&] { return Catalogued("probe.mp3"); }));
  const std::string other = (dir_ / "other").string(), third = (dir_ / "third").string();
  WriteFile(other + "/o.jpg");
  WriteFile(third + "/t.jpg");
  auto held = NamedMutex::Open(kCatalogueMutex);
  ASSERT_TRUE(held);
  held->Wait();
  ASSERT_TRUE(core.StartAdd(third, "third"));
  ASSERT_TRUE(Eventually([] { return LockWaitedFor(kCatalogueMutex); }));
  WriteFile(root + "/first.png");  // queued behind that Add
  int queued = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
  // A copier's hidden partial files: three events each (made, written,
  // closed), more in all than the kernel keeps for a reader that stops, and
  // no change to apply.
  const int files = queued * 7 / 16;
  for (int i = 0; i < files; ++i) {
    if (i == files / 2) {
      ASSERT_TRUE(core.StartAdd(other, "other"));
    }
    WriteFile(root + "/." + std::to_string(i) + ".part");
  }
  for (int i = 0; i < 20; ++i) WriteFile(root + "/" + std::to_string(i) + ".png");
  held->Release();
  EXPECT_TRUE(Eventually([&] { return Count("image") == 23; }, 60000ms)) << Count("image");
  EXPECT_EQ(view.Warnings(), std::vector<std::string>{});
  const std::string added = Rows("select max(rowid) from image where SharedRoot = '" + other + "/'")[0][0];
  const std::string later = Rows("select min(rowid) from image where Filename like '%/m/_%.png' and "
                                 "Filename not like '%first.png'")[0][0];
  EXPECT_LT(std::stoi(added), std::stoi(later));
}

// While the worker is busy at most `limit` changes wait; past it a folder's
// changes, those waiting included, give way to one catch-up of it, in its
// place among the other folders' changes, and once that catch-up has run the
// folder's changes are queued one by one again.
TEST(ChangeQueueTest, AFloodPastTheLimitBecomesOneCatchUpOfItsFolder) {
  ShareWorker worker;
  std::promise<void> release;
  worker.Post([done = release.get_future().share()] { done.wait(); });
  std::vector<std::string> applied;  // on the worker; read once it is idle
  auto queue = std::make_shared<ChangeQueue>(
      worker, 4,
      [&](const ChangeQueue::Item& i) {
        applied.push_back(i.action ? i.root + i.name : "catch up " + i.root);
      },
      [] { return false; });
  using P = ChangeQueue::Pushed;
  EXPECT_EQ(queue->Push({"b/", "1", 1, false}), P::kQueued);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(queue->Push({"a/", std::to_string(i), 1, false}), P::kQueued);
  EXPECT_EQ(queue->Push({"a/", "3", 1, false}), P::kOverflow);
  EXPECT_EQ(queue->Waiting(), 1u);
  EXPECT_EQ(queue->Push({"a/", "4", 1, false}), P::kCovered);
  EXPECT_FALSE(queue->CatchUp("a/"));
  EXPECT_EQ(queue->Push({"b/", "2", 1, false}), P::kQueued);
  release.set_value();
  worker.WaitIdle();
  EXPECT_EQ(applied, (std::vector<std::string>{"b/1", "catch up a/", "b/2"}));
  EXPECT_EQ(queue->Push({"a/", "5", 1, false}), P::kQueued);
  worker.WaitIdle();
  EXPECT_EQ(applied.back(), "a/5");
  EXPECT_EQ(queue->Waiting(), 0u);
}
