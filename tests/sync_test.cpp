#include <gtest/gtest.h>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "scan/sync.h"
#include "shares/folder_selection.h"
#include "shares/shared_folder_core.h"
#include "testing.h"

namespace {

class Sync : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    root = (dir_ / "m").string() + "/";
    fs::create_directories(root);
    core.AddListItem(root);
  }
  void Change(const std::string& name, int action, std::optional<bool> isDir = std::nullopt) {
    SyncChange(&core, WatchRecord{root}, ChangeNotice{name, isDir}, action);
  }
  int Rows(const std::string& table, const std::string& file) {
    return CountRows(("select * from " + table + " where Filename = '" + root + file + "'").c_str());
  }
  std::string root;
};

}  // namespace

TEST_F(Sync, AddedFileIsCataloguedOnceAndDropsThePlaylist) {
  WriteFile(root + "pics/JpgPlaylist.sls", "old.jpg\r\n");
  WriteFile(root + "pics/new.jpg");
  g_enabledMediaTypes.Set({"*.mp3(MPEG Layer-3 Audio File)"});  // reset to all by the change
  Change("pics/new.jpg", kActionAdded);
  EXPECT_EQ(Rows("image", "pics/new.jpg"), 1);
  EXPECT_FALSE(fs::exists(root + "pics/JpgPlaylist.sls"));
  Change("pics/new.jpg", kActionAdded);
  EXPECT_EQ(Rows("image", "pics/new.jpg"), 1);
  EXPECT_EQ(::Rows("select SharedRoot from image")[0][0], root);
}

TEST_F(Sync, IgnoredExtensionsTouchNothing) {
  WriteFile(root + "JpgPlaylist.sls", "a.jpg\r\n");
  for (const char* n : {"JpgPlaylist.sls", "x.thumb", "y.resize"}) {
    WriteFile(root + n);
    Change(n, kActionAdded);
    Change(n, kActionRemoved, false);
  }
  EXPECT_TRUE(fs::exists(root + "JpgPlaylist.sls"));
  EXPECT_EQ(Count("audio") + Count("video") + Count("image"), 0);
}

TEST_F(Sync, RemovedFileAndFolderLoseTheirRowsEvenUnderDottedPaths) {
  WriteFile(root + "my.music/Live/a.mp3");
  WriteFile(root + "my.music/Live/b.avi");
  WriteFile(root + "my.music/Live Extra/c.mp3");
  WriteFile(root + "one.mp3");
  core.ScanFolder(root, root);
  fs::remove(root + "one.mp3");
  Change("one.mp3", kActionRemoved, false);
  EXPECT_EQ(Rows("audio", "one.mp3"), 0);
  fs::remove_all(root + "my.music/Live");
  Change("my.music/Live", kActionRemoved, true);
  EXPECT_EQ(Rows("audio", "my.music/Live/a.mp3"), 0);
  EXPECT_EQ(Rows("video", "my.music/Live/b.avi"), 0);
  EXPECT_EQ(Rows("audio", "my.music/Live Extra/c.mp3"), 1);  // the sibling stays
}

TEST_F(Sync, RenamedFileAndFolderMoveTheirRows) {
  WriteFile(root + "a.mp3");
  WriteFile(root + "d/x.png");
  core.ScanFolder(root, root);
  fs::rename(root + "a.mp3", root + "B.WAV");
  Change("a.mp3", kActionOldName, false);
  Change("B.WAV", kActionNewName, false);
  EXPECT_EQ(Rows("audio", "a.mp3"), 0);
  EXPECT_EQ(::Rows("select Title from audio where Filename like '%B.WAV'")[0][0], "b.wav");
  fs::rename(root + "d", root + "e.f");
  Change("d", kActionOldName, true);
  Change("e.f", kActionNewName, true);
  EXPECT_EQ(Rows("image", "d/x.png"), 0);
  EXPECT_EQ(Rows("image", "e.f/x.png"), 1);
  // Without what the watcher knows, a missing item counts as a folder.
  Change("e.f", kActionOldName);
  EXPECT_EQ(Rows("image", "e.f/x.png"), 0);
}

TEST_F(Sync, NewFolderIsWalkedAndItsSubfoldersGetPlaylists) {
  WriteFile(root + "new/a.jpg");
  WriteFile(root + "new/.hidden.jpg");
  WriteFile(root + "new/sub/b.jpg");
  WriteFile(root + "new/sub/.c.jpg");
  Change("new", kActionAdded, true);
  EXPECT_EQ(Rows("image", "new/a.jpg"), 1);
  EXPECT_EQ(Rows("image", "new/sub/b.jpg"), 1);
  // Hidden entries are left out at every level, as a walk leaves them out.
  EXPECT_EQ(Rows("image", "new/.hidden.jpg"), 0);
  EXPECT_EQ(Rows("image", "new/sub/.c.jpg"), 0);
  EXPECT_FALSE(fs::exists(root + "new/JpgPlaylist.sls"));
  EXPECT_EQ(ReadFile(root + "new/sub/JpgPlaylist.sls"), "b.jpg\r\n");
}

TEST_F(Sync, ARemovedFolderSharedInItsOwnRightKeepsItsRowsAndItsPlace) {
  // Its rows stay until it comes back or is unshared (a disk unplugged).
  WriteFile(root + "inner/a.mp3");
  WriteFile(root + "outer/b.mp3");
  core.AddListItem(root + "inner/");
  core.ScanFolder(root + "inner/", root + "inner/");
  core.ScanFolder(root, root);
  fs::remove_all(root + "inner");
  fs::remove_all(root + "outer");
  Change("inner", kActionRemoved, true);
  Change("outer", kActionRemoved, true);
  EXPECT_EQ(core.List().Items(), (std::vector<std::string>{root, root + "inner/"}));
  EXPECT_EQ(Rows("audio", "inner/a.mp3"), 1);
  EXPECT_EQ(Rows("audio", "outer/b.mp3"), 0);
}

TEST_F(Sync, ChangesOfAFolderNoLongerSharedAreDropped) {
  WriteFile(root + "late.mp3");
  core.RemoveListItem(0);
  Change("late.mp3", kActionAdded);
  EXPECT_EQ(Count("audio"), 0);
}

TEST_F(Sync, AFileRenamedOverACataloguedOneLeavesOneRow) {
  WriteFile(root + "a.mp3");
  WriteFile(root + "b.mp3");
  core.ScanFolder(root, root);
  fs::rename(root + "a.mp3", root + "b.mp3");
  Change("a.mp3", kActionOldName, false);
  Change("b.mp3", kActionNewName, false);
  EXPECT_EQ(Rows("audio", "a.mp3"), 0);
  EXPECT_EQ(Rows("audio", "b.mp3"), 1);
  EXPECT_EQ(Count("audio"), 1);
}


// A folder's appearance can be read after a catch-up walked it and after its
// files changed again, unseen: the rows follow the disk as it is then.
TEST_F(Sync, AFolderReportedLateHasRowsOnlyForTheFilesThereNow) {
  WriteFile(root + "sub/a.mp3");
  WriteFile(root + "sub/deep/c.mp3");
  core.ScanFolder(root, root);
  fs::rename(root + "sub/a.mp3", root + "sub/b.mp3");
  fs::remove(root + "sub/deep/c.mp3");
  Change("sub", kActionAdded, true);
  EXPECT_EQ(Rows("audio", "sub/a.mp3"), 0);
  EXPECT_EQ(Rows("audio", "sub/b.mp3"), 1);
  EXPECT_EQ(Count("audio"), 1);
  fs::rename(root + "sub", root + "moved");
  Change("moved", kActionNewName, true);
  fs::rename(root + "moved/b.mp3", root + "moved/d.mp3");
  Change("moved", kActionNewName, true);
  EXPECT_EQ(Rows("audio", "moved/b.mp3"), 0);
  EXPECT_EQ(Rows("audio", "moved/d.mp3"), 1);
}
