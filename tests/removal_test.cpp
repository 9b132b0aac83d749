#include <gtest/gtest.h>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "shares/folder_selection.h"
#include "shares/shared_folder_core.h"
#include "testing.h"

namespace {

class Removal : public EngineTest {
 protected:
  std::string P(const std::string& rel) { return (dir_ / rel).string(); }
  void Share(const std::string& rel) {
    ASSERT_TRUE(core.StartAdd(P(rel), fs::path(rel).filename().string())) << rel;
    core.WaitForAdds();
  }
  void Select(const std::string& rel) {
    int i = core.FindListIndex(P(rel));
    ASSERT_GE(i, 0) << rel;
    core.List().SetSelected(i, true);
  }
  std::vector<std::string> Audio() {
    std::vector<std::string> out;
    for (auto& r : Rows("select Filename from audio order by Filename"))
      out.push_back(r[0].substr(dir_.string().size() + 1));
    return out;
  }
  std::vector<std::string> Shared() {
    std::vector<std::string> out;
    for (auto& r : Rows("select FullPath from sharedfolder order by FullPath"))
      out.push_back(r[0].substr(dir_.string().size() + 1));
    return out;
  }
};

}  // namespace

TEST_F(Removal, PlainFolderLosesItsRowsButNotASiblingsWithTheSamePrefix) {
  WriteFile(dir_ / "Jazz" / "a.mp3");
  WriteFile(dir_ / "Jazz" / "sub" / "b.mp3");
  WriteFile(dir_ / "Jazz Live" / "c.mp3");
  Share("Jazz");
  Share("Jazz Live");
  Select("Jazz");
  core.DeleteSelected();
  EXPECT_EQ(Audio(), std::vector<std::string>{"Jazz Live/c.mp3"});
  EXPECT_EQ(Shared(), std::vector<std::string>{"Jazz Live/"});
  EXPECT_EQ(core.List().Items(), std::vector<std::string>{P("Jazz Live/")});
}

TEST_F(Removal, FolderInsideAListedFolderKeepsItsRows) {
  WriteFile(dir_ / "Music" / "Rock" / "a.mp3");
  WriteFile(dir_ / "Music" / "b.mp3");
  Share("Music/Rock");
  Share("Music");
  EXPECT_TRUE(core.IsInsideSharedFolder(P("Music/Rock/")));
  Select("Music/Rock");
  core.DeleteSelected();
  EXPECT_EQ(Audio(), (std::vector<std::string>{"Music/Rock/a.mp3", "Music/b.mp3"}));
  EXPECT_EQ(Shared(), std::vector<std::string>{"Music/"});
}

TEST_F(Removal, FolderHoldingAListedFolderLosesOnlyItsOwnRows) {
  WriteFile(dir_ / "Music" / "Rock" / "a.mp3");
  WriteFile(dir_ / "Music" / "b.mp3");
  WriteFile(dir_ / "Music2" / "c.mp3");
  Share("Music/Rock");
  Share("Music");
  Share("Music2");
  EXPECT_TRUE(core.ContainsOtherSharedFolder(P("Music/")));
  EXPECT_FALSE(core.ContainsOtherSharedFolder(P("Music/Rock/")));
  Select("Music");
  core.DeleteSelected();
  EXPECT_EQ(Audio(), (std::vector<std::string>{"Music/Rock/a.mp3", "Music2/c.mp3"}));
  EXPECT_EQ(Shared(), (std::vector<std::string>{"Music/Rock/", "Music2/"}));
}

TEST_F(Removal, SeveralSelectedItemsAllGo) {
  for (const char* f : {"A", "B", "C", "D"}) {
    WriteFile(dir_ / f / "x.mp3");
    Share(f);
  }
  Select("A");
  Select("C");
  Select("D");
  core.DeleteSelected();
  EXPECT_EQ(Audio(), std::vector<std::string>{"B/x.mp3"});
  EXPECT_EQ(Shared(), std::vector<std::string>{"B/"});
  EXPECT_EQ(core.m_nItemCount, 1);
  core.DeleteSelected();  // nothing selected: nothing happens
  EXPECT_EQ(core.List().Size(), 1);
}

TEST_F(Removal, DeleteAllEmptiesTheListAndEveryTable) {
  WriteFile(dir_ / "A" / "x.mp3");
  WriteFile(dir_ / "A" / "y.avi");
  WriteFile(dir_ / "A" / "z.png");
  Share("A");
  core.OnReset();
  EXPECT_EQ(core.List().Size(), 0);
  EXPECT_EQ(core.m_nItemCount, 0);
  for (const char* t : {"audio", "video", "image", "sharedfolder"}) EXPECT_EQ(Count(t), 0) << t;
}

TEST_F(Removal, RescanRelabelsAndDoesNotDuplicate) {
  WriteFile(dir_ / "Music" / "Rock" / "a.mp3");
  WriteFile(dir_ / "Music" / "Rock" / "b.jpg");
  ASSERT_TRUE(core.StartAdd(P("Music/Rock"), "My Label"));
  core.WaitForAdds();
  EXPECT_EQ(Rows("select Label from sharedfolder")[0][0], "My Label");
  WriteFile(dir_ / "Music" / "Rock" / "c.mp3");
  fs::remove(dir_ / "Music" / "Rock" / "b.jpg");
  g_enabledMediaTypes.Set({"*.mp3(MPEG Layer-3 Audio File)"});
  Select("Music/Rock");
  core.RescanSelected();
  EXPECT_EQ(Audio(), (std::vector<std::string>{"Music/Rock/a.mp3", "Music/Rock/c.mp3"}));
  EXPECT_EQ(Count("image"), 0);
  EXPECT_EQ(Rows("select Label, FullPath from sharedfolder"),
            (std::vector<std::vector<std::string>>{{"Rock", P("Music/Rock/")}}));
  EXPECT_EQ(core.List().Size(), 1);  // the item stays
  EXPECT_EQ(CSharedFolderCore::FolderNameFromPath("/"), "/");
}

TEST_F(Removal, RescanKeepsTheRowsOfAListedFolderInside) {
  WriteFile(dir_ / "Music" / "Rock" / "a.mp3");
  WriteFile(dir_ / "Music" / "b.mp3");
  Share("Music/Rock");
  Share("Music");
  Select("Music");
  core.RescanSelected();
  EXPECT_EQ(Audio(), (std::vector<std::string>{"Music/Rock/a.mp3", "Music/b.mp3"}));
  EXPECT_EQ(Count("sharedfolder"), 2);
}

// A rescan takes out only its folder's rows and stamps: not those of a
// sibling whose name begins the same way, nor a row without a name another
// program left. A table holding nothing else is emptied at once; either way
// the rows that come back are those of a fresh share, each once.
TEST_F(Removal, RescanTakesOutItsFolderAloneWhetherOrNotATableHoldsAnythingElse) {
  WriteFile(dir_ / "Jazz" / "a.mp3");
  WriteFile(dir_ / "Jazz" / "p.jpg");
  WriteFile(dir_ / "Jazz0" / "b.mp3");
  WriteFile(dir_ / "Jazz Live" / "c.mp3");
  Share("Jazz");
  Share("Jazz0");
  Share("Jazz Live");
  Rows("insert into image(Title, Filename) values('nameless', null)");
  const auto stamps = "select Filename from TARVEL_FILES order by Filename";
  const auto before = Rows(stamps);
  ASSERT_EQ(before.size(), 3u);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Select("Jazz");
    core.RescanSelected();
    core.List().SetSelected(core.FindListIndex(P("Jazz")), false);
    EXPECT_EQ(Audio(), (std::vector<std::string>{"Jazz Live/c.mp3", "Jazz/a.mp3", "Jazz0/b.mp3"}));
    EXPECT_EQ(Rows("select Filename from image where Filename is not null"),
              (std::vector<std::vector<std::string>>{{P("Jazz/p.jpg")}}));
    EXPECT_EQ(Count("image"), round == 0 ? 2 : 1);
    EXPECT_EQ(Rows(stamps), before);
    Rows("delete from image where Filename is null");  // the second round: Jazz's alone in image
  }
}
