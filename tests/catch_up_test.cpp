// Keeping the catalogue in step when no one was looking: the catch-up walk,
// roots that go away and come back, what belongs, edits and chosen types.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "id3_builder.h"
#include "scan/catch_up.h"
#include "shares/folder_selection.h"
#include "shares/shared_folder_core.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

std::string Mp3(const std::string& title) {
  return id3::V2Tag(3, {id3::Text("TIT2", title)}) + id3::AudioFrames();
}

// Every media row, sorted, as text.
std::vector<std::string> Dump() {
  std::vector<std::string> out;
  for (const char* table : {"audio", "video", "image"})
    for (auto& row : Rows(std::string("select * from ") + table)) {
      std::string line = table;
      for (auto& cell : row) line += "|" + cell;
      out.push_back(line);
    }
  std::sort(out.begin(), out.end());
  return out;
}

std::string TitleOf(const std::string& path) {
  auto rows = Rows("select Title from audio where Filename = " + Quoted(path));
  return rows.size() == 1 ? rows[0][0] : "<" + std::to_string(rows.size()) + " rows>";
}

// A file system of its own at `disk`, as a disk that can be unplugged (and
// one that keeps folders' change times); false where mounting is not allowed.
bool MountDisk(const std::string& disk) {
  fs::create_directory(disk);
  return mount("tarvel-test", disk.c_str(), "tmpfs", 0, "size=1m") == 0;
}

pid_t Start(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::string bin = BinDir() + "/tarvel";
    std::vector<char*> argv{bin.data()};
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Ends a started tarvel with SIGTERM (SIGKILL if it has not ended within
// five seconds) and returns its exit code.
int Stop(pid_t pid) {
  kill(pid, SIGTERM);
  // A process descriptor becomes readable when the process ends.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  bool ended = false;
  if (pidfd >= 0) {
    pollfd end{pidfd, POLLIN, 0};
    ended = poll(&end, 1, 5000) == 1;
    close(pidfd);
  }
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class CatchUp : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    root = (dir_ / "m").string() + "/";
    WriteFile(root + "keep.mp3", Mp3("Keep"));
    WriteFile(root + "retag.mp3", Mp3("Old Title"));
    WriteFile(root + "gone.avi");
    WriteFile(root + "pics/a.jpg");
    WriteFile(root + "pics/b.png");
  }
  void TearDown() override {
    core.StopMonitor();
    umount2((dir_ / "disk").c_str(), MNT_DETACH);  // left mounted by a failed test
    EngineTest::TearDown();
  }
  void Share(const std::string& path) {
    ASSERT_TRUE(core.StartAdd(path, "m"));
    core.WaitForAdds();
  }
  // The rows a fresh walk of the folder writes.
  std::vector<std::string> FreshWalk() {
    for (MediaTable t : kMediaTables) ClearMediaTable(t);
    core.ScanFolder(root, root);
    return Dump();
  }
  std::string root;
};

}  // namespace

TEST_F(CatchUp, ReadsOnlyNewAndChangedFilesAndEndsInStepWithAFreshWalk) {
  Share(root);
  WriteFile(root + "new/n.mp3", Mp3("New One"));
  WriteFile(root + ".hidden.mp3", Mp3("Hidden"));
  fs::remove(root + "gone.avi");
  fs::remove(root + "pics/b.png");
  WriteFile(root + "retag.mp3", Mp3("Brand New Title"));
  // Bytes changed behind the stamp's back (same size, same time): proof that
  // an unchanged stamp is trusted and the file not read again.
  struct stat before;
  ASSERT_EQ(stat((root + "keep.mp3").c_str(), &before), 0);
  WriteFile(root + "keep.mp3", Mp3("Kept"));
  timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, (root + "keep.mp3").c_str(), times, 0), 0);

  CatchUpCounts counts = CatchUpFolder(&core, root);
  EXPECT_TRUE(counts.done);
  EXPECT_EQ(counts.added, 1);
  EXPECT_EQ(counts.changed, 1);
  EXPECT_EQ(counts.removed, 2);
  EXPECT_EQ(counts.unchanged, 2);  // keep.mp3, pics/a.jpg
  EXPECT_EQ(TitleOf(root + "keep.mp3"), "keep");
  EXPECT_EQ(TitleOf(root + "retag.mp3"), "brand new title");
  EXPECT_EQ(ReadFile(root + "pics/JpgPlaylist.sls"), "a.jpg\r\n");  // rewritten without b.png
  // A second catch-up finds nothing to do, and leaves the playlist as it is.
  const std::string playlist = root + "pics/JpgPlaylist.sls";
  const timespec long_ago[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, playlist.c_str(), long_ago, 0), 0);
  CatchUpCounts again = CatchUpFolder(&core, root);
  EXPECT_EQ(again.added + again.changed + again.removed, 0);
  struct stat after;
  ASSERT_EQ(stat(playlist.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, 1000) << "the playlist was written again";

  std::vector<std::string> caught = Dump();
  utimensat(AT_FDCWD, (root + "keep.mp3").c_str(), nullptr, 0);
  EXPECT_EQ(caught.size(), 4u);
  std::vector<std::string> fresh = FreshWalk();
  // Identical but for what was hidden behind the stamp.
  for (auto& line : caught)
    if (line.find("|keep|") != std::string::npos) line.replace(line.find("|keep|"), 6, "|kept|");
  EXPECT_EQ(caught, fresh);
}

// Pictures renamed to names of the same length leave a playlist of the same
// size that lists what is no longer there: it is written again.
TEST_F(CatchUp, APlaylistOfTheSameSizeThatListsOtherPicturesIsWrittenAgain) {
  Share(root);
  ASSERT_EQ(ReadFile(root + "pics/JpgPlaylist.sls").size(), 14u);
  fs::rename(root + "pics/a.jpg", root + "pics/c.jpg");
  fs::rename(root + "pics/b.png", root + "pics/d.png");
  CatchUpCounts counts = CatchUpFolder(&core, root);
  EXPECT_EQ(counts.added, 2);
  EXPECT_EQ(counts.removed, 2);
  const std::string list = ReadFile(root + "pics/JpgPlaylist.sls");
  EXPECT_EQ(list.size(), 14u);
  EXPECT_NE(list.find("c.jpg\r\n"), std::string::npos) << list;
  EXPECT_NE(list.find("d.png\r\n"), std::string::npos) << list;
}

// What the catalogue holds that no walk of ours would have written: a file
// with two rows, a row without a stamp, a stamp without a row. Over enough
// folders that their stamps are read on both threads while the rows load.
TEST_F(CatchUp, DoubledOrUnstampedRowsAreWrittenAgainOnceAndStrayStampsGo) {
  for (int f = 0; f < 40; ++f)
    for (int i = 0; i < 8; ++i)
      WriteFile(root + "many/f" + std::to_string(f) + "/t" + std::to_string(i) + ".mp3",
                Mp3("T" + std::to_string(f * 8 + i)));
  Share(root);
  const std::string doubled = root + "many/f3/t1.mp3", unstamped = root + "many/f30/t7.mp3";
  {
    CatalogConnection db = OpenCatalogue();
    ASSERT_EQ(db->Exec(("insert into audio select * from audio where Filename = " + Quoted(doubled)).c_str()), 0);
    ASSERT_EQ(db->Exec(("delete from TARVEL_FILES where Filename = " + Quoted(unstamped)).c_str()), 0);
    ASSERT_EQ(db->Exec(("insert into TARVEL_FILES values(" + Quoted(root + "many/f9/stray.mp3") + "," +
                        Quoted(root) + ",1,1)").c_str()), 0);
  }
  ASSERT_EQ(TitleOf(doubled), "<2 rows>");
  // One file changed in each of three folders far apart in the walk.
  for (int f : {0, 21, 39}) WriteFile(root + "many/f" + std::to_string(f) + "/t4.mp3", Mp3("Edited"));

  CatchUpCounts counts = CatchUpFolder(&core, root);
  EXPECT_TRUE(counts.done);
  EXPECT_EQ(counts.changed, 5);
  EXPECT_EQ(counts.added + counts.removed, 0);
  EXPECT_EQ(TitleOf(doubled), "t25");
  EXPECT_EQ(TitleOf(root + "many/f21/t4.mp3"), "edited");
  EXPECT_TRUE(Rows("select * from TARVEL_FILES where Filename like '%stray%'").empty());
  EXPECT_EQ(Rows("select * from TARVEL_FILES where Filename = " + Quoted(unstamped)).size(), 1u);
  CatchUpCounts again = CatchUpFolder(&core, root);
  EXPECT_EQ(again.added + again.changed + again.removed, 0);
  EXPECT_EQ(again.unchanged, 40 * 8 + 5);
  const std::vector<std::string> caught = Dump();
  EXPECT_EQ(caught, FreshWalk());
}

// Only an MP3's row holds what is read from inside the file; every other row
// follows from the name. So only MP3s are stamped, and a picture rewritten in
// place keeps its row as it is, while an MP3 so rewritten is read again.
TEST_F(CatchUp, OnlyFilesWhoseRowsReadTheirContentsAreStampedAndLookedAt) {
  Share(root);
  EXPECT_EQ(Rows("select Filename from TARVEL_FILES order by Filename"),
            (std::vector<std::vector<std::string>>{{root + "keep.mp3"}, {root + "retag.mp3"}}));
  // A catalogue of an earlier version: every file stamped.
  {
    CatalogConnection db = OpenCatalogue();
    ASSERT_EQ(db->Exec(("insert into TARVEL_FILES values(" + Quoted(root + "pics/a.jpg") + "," +
                        Quoted(root) + ",1,1)").c_str()), 0);
  }
  const auto rowOfPicture = "select rowid, * from image where Filename = " + Quoted(root + "pics/a.jpg");
  const auto before = Rows(rowOfPicture);
  ASSERT_EQ(before.size(), 1u);
  WriteFile(root + "pics/a.jpg", "another picture, longer than the first");
  WriteFile(root + "retag.mp3", Mp3("Rewritten In Place"));

  CatchUpCounts counts = CatchUpFolder(&core, root);
  EXPECT_TRUE(counts.done);
  EXPECT_EQ(counts.changed, 1);
  EXPECT_EQ(counts.added + counts.removed, 0);
  EXPECT_EQ(TitleOf(root + "retag.mp3"), "rewritten in place");
  EXPECT_EQ(Rows(rowOfPicture), before);  // the same row, not one written again
  EXPECT_TRUE(Rows("select * from TARVEL_FILES where Filename like '%.jpg'").empty());
  EXPECT_EQ(Dump(), FreshWalk());
}

TEST_F(CatchUp, AFolderThatIsNotThereKeepsItsRows) {
  Share(root);
  const std::vector<std::string> rows = Dump();
  ASSERT_EQ(rows.size(), 5u);
  fs::rename(root, dir_ / "away");
  EXPECT_FALSE(CatchUpFolder(&core, root).done);
  EXPECT_EQ(Dump(), rows);
  fs::rename(dir_ / "away", root);
  // A disk's mount folder left behind empty when the disk is unplugged.
  const std::string disk = (dir_ / "disk").string() + "/";
  if (!MountDisk(disk))
    GTEST_SKIP() << "cannot mount here: the unplugged disk is not tried";
  WriteFile(disk + "song.mp3", Mp3("On Disk"));
  Share(disk);
  ASSERT_EQ(TitleOf(disk + "song.mp3"), "on disk");
  ASSERT_EQ(umount(disk.c_str()), 0);
  EXPECT_FALSE(SharedFolderPresent(disk, true));
  EXPECT_FALSE(CatchUpFolder(&core, disk).done);
  EXPECT_EQ(TitleOf(disk + "song.mp3"), "on disk");
}

// Waits until the folders' last change lies further back than the grain a
// catch-up waits out before it keeps a listing (100 ms on tmpfs).
void WaitUntilStill(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0) << folder;
    const auto changed = std::chrono::system_clock::time_point(
        std::chrono::seconds(st.st_ctim.tv_sec) + std::chrono::nanoseconds(st.st_ctim.tv_nsec));
    ASSERT_TRUE(Eventually([&] { return std::chrono::system_clock::now() >= changed + 150ms; }));
  }
}

// The entries a catch-up kept of `folder`, if any.
std::optional<std::string> KeptEntries(const std::string& folder) {
  auto rows = Rows("select Entries from TARVEL_LISTINGS where FullPath = " + Quoted(folder));
  if (rows.empty()) return std::nullopt;
  return rows[0][0];
}

void SetKeptEntries(const std::string& folder, const std::string& entries) {
  CatalogConnection db = OpenCatalogue();
  const std::string sql = "update TARVEL_LISTINGS set Entries = " + Quoted(entries) +
                          " where FullPath = " + Quoted(folder);
  ASSERT_EQ(db->Exec(sql.c_str()), 0);
}

// A still folder of files and folders is listed once; the next catch-ups
// take its entries from the catalogue until the folder changes.
TEST_F(CatchUp, AStillFolderIsListedOnceAndAgainWhenItChanges) {
  const std::string disk = (dir_ / "disk").string() + "/";
  if (!MountDisk(disk))
    GTEST_SKIP() << "cannot mount here: a file system that keeps change times is needed";
  WriteFile(disk + "a.mp3", Mp3("A"));
  WriteFile(disk + "sub/b.mp3", Mp3("B"));
  WriteFile(disk + "linked/c.mp3", Mp3("C"));
  fs::create_symlink("c.mp3", disk + "linked/l.mp3");
  WriteFile(disk + "busy/d.mp3", Mp3("D"));
  Share(disk);
  WaitUntilStill({disk, disk + "sub/", disk + "linked/"});
  WriteFile(disk + "busy/e.mp3", Mp3("E"));  // changed just now
  EXPECT_EQ(CatchUpFolder(&core, disk).added, 1);
  EXPECT_TRUE(KeptEntries(disk));
  EXPECT_EQ(KeptEntries(disk + "sub/"), "fb.mp3/");
  EXPECT_EQ(KeptEntries(disk + "linked/"), std::nullopt);  // a link's target can change behind it
  // Kept only if listed after the grain had passed, and then with both.
  if (auto busy = KeptEntries(disk + "busy/")) {
    EXPECT_NE(busy->find("fe.mp3/"), std::string::npos);
  }

  // What was kept is trusted while the folder is unchanged: an entry taken
  // out of it behind the folder's back reads as a file gone...
  SetKeptEntries(disk + "sub/", "");
  EXPECT_EQ(CatchUpFolder(&core, disk).removed, 1);
  EXPECT_EQ(TitleOf(disk + "sub/b.mp3"), "<0 rows>");
  // ...and one this program did not write is not: the folder is listed.
  SetKeptEntries(disk, "x/");
  EXPECT_EQ(CatchUpFolder(&core, disk).removed, 0);
  EXPECT_EQ(TitleOf(disk + "a.mp3"), "a");

  // A file added changes the folder: listed again, both files are there.
  WriteFile(disk + "sub/f.mp3", Mp3("F"));
  EXPECT_EQ(CatchUpFolder(&core, disk).added, 2);
  EXPECT_EQ(TitleOf(disk + "sub/b.mp3"), "b");
  if (auto sub = KeptEntries(disk + "sub/")) {
    EXPECT_NE(sub->find("ff.mp3/"), std::string::npos);
  }
  umount2(disk.c_str(), MNT_DETACH);
}

// The playlist of a still folder is read once: its stamp is kept with the
// folder's listing, and the next catch-ups only look at the file. Once
// written to, even to the same size and times, or when the pictures it
// should list are others, it is read again and set right.
TEST_F(CatchUp, AKeptPlaylistIsReadAgainOnceWrittenToOrOnceItShouldListOthers) {
  const std::string disk = (dir_ / "disk").string() + "/";
  if (!MountDisk(disk))
    GTEST_SKIP() << "cannot mount here: a file system that keeps change times is needed";
  WriteFile(disk + "pics/a.jpg");
  WriteFile(disk + "pics/b.png");
  Share(disk);
  const std::string playlist = disk + "pics/JpgPlaylist.sls";
  const std::string listed = ReadFile(playlist);
  ASSERT_EQ(listed.size(), 14u);
  WaitUntilStill({disk + "pics/", playlist});
  ASSERT_EQ(CatchUpFolder(&core, disk).removed, 0);
  const std::optional<std::string> kept = KeptEntries(disk + "pics/");
  ASSERT_TRUE(kept);
  ASSERT_NE(kept->find("/p"), std::string::npos) << *kept;  // the playlist's stamp, after the entries

  // Written to in place: the same size, the same times, other names.
  struct stat before;
  ASSERT_EQ(stat(playlist.c_str(), &before), 0);
  std::string other = listed;
  std::replace(other.begin(), other.end(), '.', '_');
  WriteFile(playlist, other);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, playlist.c_str(), times, 0), 0);
  EXPECT_EQ(CatchUpFolder(&core, disk).removed, 0);
  EXPECT_EQ(ReadFile(playlist), listed);

  // The kept listing made to list one picture: the playlist, untouched since
  // its stamp was kept, no longer says what it should.
  WaitUntilStill({playlist});
  ASSERT_EQ(CatchUpFolder(&core, disk).removed, 0);
  std::string entries = KeptEntries(disk + "pics/").value_or("");
  const size_t b = entries.find("fb.png/");
  ASSERT_NE(b, std::string::npos) << entries;
  ASSERT_NE(entries.find("/p"), std::string::npos) << entries;
  SetKeptEntries(disk + "pics/", entries.erase(b, 7));
  EXPECT_EQ(CatchUpFolder(&core, disk).removed, 1);
  EXPECT_EQ(ReadFile(playlist), "a.jpg\r\n");
  umount2(disk.c_str(), MNT_DETACH);
}

// A rescan writes again only what changed. The rows of files that did not
// change keep their rowids (the order the media server shows as recently
// added); a changed file's row is updated where it stands; rows of files that
// are gone go; a row doubled or altered behind the program's back, and a
// stamp without a file, are set right. The rows and stamps are then those of
// a fresh share.
TEST_F(CatchUp, ARescanWritesAgainOnlyWhatChangedAndEndsAsAFreshShare) {
  WriteFile(root + "sub/deep.mp3", Mp3("Deep"));
  Share(root);
  auto rowid = [](const char* table, const std::string& path) {
    auto rows = Rows(std::string("select rowid from ") + table + " where Filename = " + Quoted(path));
    return rows.size() == 1 ? rows[0][0] : "<" + std::to_string(rows.size()) + " rows>";
  };
  const std::string keep = rowid("audio", root + "keep.mp3");
  const std::string retag = rowid("audio", root + "retag.mp3");
  const std::string deep = rowid("audio", root + "sub/deep.mp3");
  const std::string picture = rowid("image", root + "pics/a.jpg");
  WriteFile(root + "retag.mp3", Mp3("A Longer New Title"));
  fs::remove(root + "gone.avi");
  WriteFile(root + "new.mp3", Mp3("New"));
  Rows("insert into image select * from image where Filename = " + Quoted(root + "pics/a.jpg"));
  Rows("update audio set Genre = 'Altered' where Filename = " + Quoted(root + "sub/deep.mp3"));
  Rows("insert into TARVEL_FILES values(" + Quoted(root + "never.mp3") + "," + Quoted(root) + ",1,1)");
  const auto stampsQuery = "select * from TARVEL_FILES order by Filename";
  core.List().SetSelected(core.FindListIndex(root), true);
  core.RescanSelected();
  ASSERT_TRUE(core.LastChangeOk());
  EXPECT_EQ(rowid("audio", root + "keep.mp3"), keep);
  EXPECT_EQ(rowid("audio", root + "retag.mp3"), retag);
  EXPECT_EQ(TitleOf(root + "retag.mp3"), "a longer new title");
  EXPECT_EQ(rowid("audio", root + "sub/deep.mp3"), deep);
  EXPECT_EQ(rowid("image", root + "pics/a.jpg"), picture);
  EXPECT_EQ(Count("video"), 0);
  const std::vector<std::string> rescanned = Dump();
  const auto stamps = Rows(stampsQuery);
  EXPECT_EQ(stamps.size(), 4u);  // keep, retag, new, deep
  core.List().SetSelected(core.FindListIndex(root), true);
  core.DeleteSelected();
  ASSERT_EQ(Count("audio") + Count("image") + Count("TARVEL_FILES"), 0);
  Share(root);
  EXPECT_EQ(Dump(), rescanned);
  EXPECT_EQ(Rows(stampsQuery), stamps);
}

TEST_F(CatchUp, EachFolderKeepsItsChosenMediaTypes) {
  g_enabledMediaTypes.Set(MediaTypesForExtensions({"mp3"}, nullptr));
  Share(root);
  g_enabledMediaTypes.LoadAll();  // another choice made since
  EXPECT_EQ(Count("image") + Count("video"), 0);
  WriteFile(root + "later.jpg");
  WriteFile(root + "later.mp3", Mp3("Later"));
  EXPECT_EQ(CatchUpFolder(&core, root).added, 1);
  EXPECT_EQ(Count("image"), 0);
  EXPECT_EQ(Count("audio"), 3);
  // A plain rescan takes the folder's own types; one with types keeps them.
  core.List().SetSelected(core.FindListIndex(root), true);
  core.RescanSelected();
  EXPECT_EQ(Count("audio"), 3);
  EXPECT_EQ(Count("image"), 0);
  core.SetRescanTypes(MediaTypesForExtensions({"jpg", "png"}, nullptr));
  core.List().SetSelected(core.FindListIndex(root), true);
  core.RescanSelected();
  EXPECT_EQ(Count("audio"), 0);
  EXPECT_EQ(Count("image"), 3);
  core.SetRescanTypes(std::nullopt);
  WriteFile(root + "last.gif");
  WriteFile(root + "last.mp3", Mp3("Last"));
  CatchUpFolder(&core, root);
  EXPECT_EQ(Count("image"), 3);  // gif is not among jpg and png
  EXPECT_EQ(Count("audio"), 0);
}

TEST_F(CatchUp, ADataFolderInsideTheSharedFolderIsLeftOutWhole) {
  WriteFile(root + "data/RadioList/Station.pls", "[playlist]\n");
  WriteFile(root + "data/song.mp3", Mp3("Inside"));
  ASSERT_EQ(RunProgram("tarvel", {"--data-dir", root + "data", "share", root}).status, 0);
  CatalogConnection db = OpenCatalogue((root + "data/data.sqlite").c_str());
  Recordset rs = Query(db.get(), "select Filename from audio order by Filename");
  std::vector<std::string> files;
  while (rs->Next()) files.push_back(rs->Text(0));
  EXPECT_EQ(files, (std::vector<std::string>{root + "keep.mp3", root + "retag.mp3"}));
}

// The whole program: what changed while no watcher ran is caught up when
// `watch` starts, with the types chosen at share time.
TEST_F(CatchUp, WatchCatchesUpAtStartWithTheTypesChosenAtShareTime) {
  ASSERT_EQ(RunProgram("tarvel", {"share", root, "--types", "mp3,jpg,png,avi"}).status, 0);
  ASSERT_EQ(Count("audio") + Count("video") + Count("image"), 5);
  WriteFile(root + "while/away.mp3", Mp3("Away"));
  WriteFile(root + "while/skip.wav");  // not a chosen type
  fs::remove(root + "gone.avi");
  WriteFile(root + "retag.mp3", Mp3("Retagged Away"));
  pid_t watch = Start({"watch"});
  EXPECT_TRUE(Eventually([&] { return TitleOf(root + "while/away.mp3") == "away"; }, 10s));
  EXPECT_TRUE(Eventually([&] { return TitleOf(root + "retag.mp3") == "retagged away"; }));
  EXPECT_TRUE(Eventually([&] { return Count("video") == 0; }));
  WriteFile(root + "live.wav");
  WriteFile(root + "live.png");
  // Taken in order: the wav was judged before the png was taken.
  EXPECT_TRUE(Eventually([&] { return Count("image") == 3; }));
  EXPECT_EQ(Stop(watch), 0);
  EXPECT_EQ(Count("audio"), 3);  // keep, retag, away: no wav
  // Rescan without types keeps them too.
  ASSERT_EQ(RunProgram("tarvel", {"rescan", root}).status, 0);
  EXPECT_EQ(Count("audio"), 3);
  EXPECT_EQ(Count("image"), 3);
}

namespace {

// The change monitor running on a shared folder.
class Follow : public CatchUp {
 protected:
  void SetUp() override {
    CatchUp::SetUp();
    Share(root);
    core.SetMonitorSettle(kSettle);
    core.EnableMonitor();
  }
  // A short settling time keeps the tests quick; the default is for disks
  // that copy slowly.
  static constexpr auto kSettle = 300ms;
  bool Has(const std::string& path) { return IsCatalogued(path) == 1; }
  // Waits until a file that is changed and never closed, made now, has
  // settled and been taken: whatever was left unclosed before has settled too.
  // Files settling at once are taken in name order, so a closed one made
  // after the probe is taken tells when all of them are.
  bool PastSettling() {
    const std::string n = std::to_string(++probes_);
    const std::string probe = root + "settled-" + n + ".jpg";
    WriteFile(root + ".probe");  // hidden: never taken itself
    if (link((root + ".probe").c_str(), probe.c_str()) != 0) return false;  // no close
    fs::remove(root + ".probe");
    if (!Eventually([&] { return Has(probe); })) return false;
    WriteFile(root + "settled-" + n + "-after.jpg");
    return Eventually([&] { return Has(root + "settled-" + n + "-after.jpg"); });
  }
  // Waits until `folder` (made in the watched tree) is watched itself.
  bool Watched(const std::string& folder) {
    const std::string probe = folder + "/watched-" + std::to_string(++probes_) + ".png";
    WriteFile(probe);
    return Eventually([&] { return Has(probe); });
  }
  int probes_ = 0;
  bool Warned(const std::string& words) {
    for (const std::string& w : view.Warnings())
      if (w.find(words) != std::string::npos) return true;
    return false;
  }
};

}  // namespace

TEST_F(Follow, FilesArrivingWhileTheListChangesAreNotLost) {
  const std::string other = (dir_ / "other").string();
  fs::create_directories(other);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < 300; ++i) {
      WriteFile(root + "burst/" + std::to_string(i) + ".jpg");
      std::this_thread::sleep_for(1ms);
    }
    writing = false;
  });
  // Another folder shared and unshared, again and again, meanwhile.
  while (writing) {
    ASSERT_TRUE(core.StartAdd(other, "other"));
    core.WaitForAdds();
    core.List().SetSelected(core.FindListIndex(other), true);
    core.DeleteSelected();
  }
  writer.join();
  EXPECT_TRUE(Eventually([&] { return Count("image") == 302; }, 10s)) << Count("image");
  ASSERT_TRUE(PastSettling());  // nothing taken twice later either
  EXPECT_EQ(Count("image"), 304);
  EXPECT_EQ(Rows("select count(distinct Filename) from image")[0][0], "304");
}

TEST_F(Follow, AFolderSharedMeanwhileHasTheFilesThatCameBeforeItWasTakenUp) {
  const std::string other = (dir_ / "other").string() + "/";
  fs::create_directories(other);
  // Another tarvel shares it; this one takes it up from the list at its next look.
  ASSERT_EQ(RunProgram("tarvel", {"share", other}).status, 0);
  WriteFile(other + "early.png");
  ASSERT_TRUE(core.ReloadListIfChanged());
  EXPECT_TRUE(Eventually([&] { return Has(other + "early.png"); }));
  WriteFile(other + "later.png");
  EXPECT_TRUE(Eventually([&] { return Has(other + "later.png"); }));
}

TEST_F(Follow, ARootThatGoesAwayIsLetGoAndFollowedAgainWhenItIsBack) {
  // Another shared folder, whose changes tell when those made before are past.
  const std::string other = (dir_ / "other").string();
  fs::create_directories(other);
  Share(other);
  ASSERT_TRUE(Watched(other));
  const std::vector<std::string> rows = Dump();
  fs::rename(root, dir_ / "renamed");
  EXPECT_TRUE(Eventually([&] { return Warned("is not there"); }));
  WriteFile(dir_ / "renamed" / "while-away.jpg");
  fs::remove(dir_ / "renamed" / "keep.mp3");
  ASSERT_TRUE(Watched(other));
  std::vector<std::string> now = Dump();
  std::erase_if(now, [](const std::string& row) { return row.find("/watched-2.png|") != std::string::npos; });
  EXPECT_EQ(now, rows);  // nothing under the old path, nothing lost
  fs::rename(dir_ / "renamed", root);
  EXPECT_TRUE(Eventually([&] { return Has(root + "while-away.jpg") && !Has(root + "keep.mp3"); }, 8s));
  EXPECT_TRUE(Warned("is back"));
  WriteFile(root + "after.jpg");
  EXPECT_TRUE(Eventually([&] { return Has(root + "after.jpg"); }));
}

TEST_F(Follow, AnUnpluggedDiskKeepsItsRowsAndIsFollowedWhenPluggedAgain) {
  const std::string disk = (dir_ / "disk").string() + "/";
  if (!MountDisk(disk))
    GTEST_SKIP() << "cannot mount here";
  WriteFile(disk + "one.mp3", Mp3("One"));
  Share(disk);
  ASSERT_TRUE(Watched((dir_ / "disk").string()));
  // Shared after the disk: the look at the roots that finds it back has
  // looked at the disk just before.
  const fs::path later = dir_ / "later";
  fs::create_directory(later);
  Share(later.string() + "/");
  ASSERT_EQ(umount(disk.c_str()), 0);
  EXPECT_TRUE(Eventually([&] { return Warned(disk + " is not there"); }));
  fs::rename(later, dir_ / "later-away");
  EXPECT_TRUE(Eventually([&] { return Warned(later.string() + "/ is not there"); }));
  fs::rename(dir_ / "later-away", later);
  EXPECT_TRUE(Eventually([&] { return Warned(later.string() + "/ is back"); }, 10s));
  EXPECT_TRUE(Has(disk + "one.mp3"));
  EXPECT_FALSE(Warned(disk + " is back"));
  ASSERT_EQ(mount("tarvel-test", disk.c_str(), "tmpfs", 0, "size=1m"), 0);
  WriteFile(disk + "two.mp3", Mp3("Two"));  // the disk as it is now: one.mp3 is gone
  EXPECT_TRUE(Eventually([&] { return Has(disk + "two.mp3") && !Has(disk + "one.mp3"); }, 8s));
  WriteFile(disk + "three.mp3", Mp3("Three"));
  EXPECT_TRUE(Eventually([&] { return Has(disk + "three.mp3"); }));
}

TEST_F(Follow, AFolderRenamedWhileAFileInItIsWrittenLeavesNoRowBehind) {
  fs::create_directories(root + "album");
  ASSERT_TRUE(Watched(root + "album"));
  std::string song = Mp3("Being Written");
  int fd = open((root + "album/song.mp3").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, song.data(), 10), 10);
  // The watcher holds the unfinished file once it has taken what came after.
  WriteFile(root + "before-rename.png");
  ASSERT_TRUE(Eventually([&] { return Has(root + "before-rename.png"); }));
  fs::rename(root + "album", root + "album2");
  ASSERT_EQ(write(fd, song.data() + 10, song.size() - 10), static_cast<ssize_t>(song.size() - 10));
  close(fd);
  EXPECT_TRUE(Eventually([&] { return TitleOf(root + "album2/song.mp3") == "being written"; }));
  ASSERT_TRUE(PastSettling());
  EXPECT_FALSE(Has(root + "album/song.mp3"));
  EXPECT_EQ(Rows("select count(*) from audio where Filename like '%song.mp3'")[0][0], "1");
}

TEST_F(Follow, TheWatcherTakesWhatAWalkTakesAndNothingElse) {
  const std::string outside = (dir_ / "outside").string() + "/";
  WriteFile(outside + "linked.jpg");
  WriteFile(root + ".hidden.jpg");
  WriteFile(root + ".hiddendir/x.jpg");
  ASSERT_EQ(mkfifo((root + "pipe.mp3").c_str(), 0644), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sockPath = root + "sock.jpg";
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, sockPath.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  fs::create_symlink("/dev/null", root + "device.mp3");
  fs::create_symlink(outside, root + "linkdir");
  WriteFile(root + "plain.jpg");
  EXPECT_TRUE(Eventually([&] { return Has(root + "plain.jpg"); }));
  WriteFile(outside + "later.png");  // a folder out of the share is neither taken nor watched
  ASSERT_TRUE(PastSettling());
  EXPECT_FALSE(Has(root + "linkdir/linked.jpg"));
  EXPECT_FALSE(Has(root + "linkdir/later.png"));
  std::vector<std::string> watched = Dump();
  core.List().SetSelected(core.FindListIndex(root), true);
  core.RescanSelected();
  EXPECT_EQ(watched, Dump());
  EXPECT_FALSE(Has(root + ".hidden.jpg"));
  EXPECT_FALSE(Has(root + "pipe.mp3"));
  close(sock);
}

TEST_F(Follow, TagEditsReachTheCatalogue) {
  ASSERT_EQ(TitleOf(root + "retag.mp3"), "old title");
  {
    // Rewritten in place.
    int fd = open((root + "retag.mp3").c_str(), O_WRONLY | O_TRUNC);
    std::string bytes = Mp3("Edited In Place");
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  EXPECT_TRUE(Eventually([&] { return TitleOf(root + "retag.mp3") == "edited in place"; }));
  // Written aside and put in place by rename, as tag editors do.
  WriteFile(root + ".retag.mp3.tmp", Mp3("Replaced"));
  fs::rename(root + ".retag.mp3.tmp", root + "retag.mp3");
  EXPECT_TRUE(Eventually([&] { return TitleOf(root + "retag.mp3") == "replaced"; }));
  // Opened for writing and closed unchanged: the row stays as it is.
  close(open((root + "keep.mp3").c_str(), O_WRONLY));
  WriteFile(root + "after.png");  // taken after that close
  ASSERT_TRUE(Eventually([&] { return Has(root + "after.png"); }));
  EXPECT_EQ(TitleOf(root + "keep.mp3"), "keep");
}

TEST_F(Follow, TheDataAndRuntimeFoldersAreNeitherCataloguedNorWatched) {
  // Share the data folder (the working folder) itself, with the runtime
  // folder inside it, as after `cd ~; tarvel share ~`.
  WriteFile(dir_ / "RadioList" / "Station.pls", "[playlist]\n");
  WriteFile(dir_ / "run" / "tarvel" / "x.mp3", Mp3("Runtime"));
  const std::string data = dir_.string() + "/";
  ASSERT_TRUE(core.StartAdd(data, "data"));
  core.WaitForAdds();
  EXPECT_FALSE(Has(data + "RadioList/Station.pls"));
  EXPECT_FALSE(Has(data + "run/tarvel/x.mp3"));
  EXPECT_TRUE(Has(data + "m/keep.mp3"));
  ASSERT_TRUE(Watched(dir_.string()));
  WriteFile(dir_ / "RadioList" / "Other.pls", "[playlist]\n");
  // Busy with the catalogue: its own writes must not come back as changes
  // (bench_monitor measures that it is idle afterwards).
  for (int i = 0; i < 20; ++i) WriteFile(data + "m/f" + std::to_string(i) + ".png");
  EXPECT_TRUE(Eventually([&] { return Has(data + "m/f19.png"); }));
  ASSERT_TRUE(PastSettling());
  EXPECT_FALSE(Has(data + "RadioList/Other.pls"));
  EXPECT_FALSE(Warned("lost"));
}
