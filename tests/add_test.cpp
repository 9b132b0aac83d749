#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "platform/named_mutex.h"
#include "shares/folder_selection.h"
#include "shares/shared_folder_core.h"
#include "testing.h"

namespace {

class Add : public EngineTest {
 protected:
  std::string Share(const std::string& rel, const std::string& label = "") {
    std::string path = (dir_ / rel).string();
    if (!core.StartAdd(path, label.empty() ? fs::path(path).filename().string() : label))
      return "refused";
    core.WaitForAdds();
    return "shared";
  }
  std::string P(const std::string& rel) { return (dir_ / rel).string(); }
};

}  // namespace

TEST_F(Add, SharingListsTheFolderAndWritesItsRows) {
  WriteFile(dir_ / "Music" / "a.mp3");
  WriteFile(dir_ / "Music" / "sub" / "b.jpg");
  WriteFile(dir_ / "Music" / "c.txt");
  EXPECT_EQ(Share("Music"), "shared");
  EXPECT_EQ(core.List().Items(), std::vector<std::string>{P("Music/")});
  EXPECT_EQ(Rows("select * from sharedfolder")[0],
            (std::vector<std::string>{"Music", P("Music/"), "0"}));
  EXPECT_EQ(Count("audio"), 1);
  EXPECT_EQ(Count("image"), 1);
  EXPECT_EQ(Rows("select SharedRoot from image")[0][0], P("Music/"));
  EXPECT_EQ(view.ranges, std::vector<int>{3});
  EXPECT_EQ(view.last, 3);
  EXPECT_EQ(view.waiting, std::vector<std::string>{"For be shared,please wait..."});
  // A second engine loads what the first one listed.
  CSharedFolderCore again;
  again.SetEchoList(false);
  again.LoadList();
  EXPECT_EQ(again.List().Items(), std::vector<std::string>{P("Music/")});
}

// A view that shows no progress (the command line writing to a file or a
// pipe) gets no count: the files are not walked twice. The rows are the same.
TEST_F(Add, AViewWithoutProgressGetsNoCountAndTheSameRows) {
  struct Quiet : RecordingView {
    bool ShowsProgress() const override { return false; }
  } quiet;
  WriteFile(dir_ / "Music" / "a.mp3");
  WriteFile(dir_ / "Music" / "sub" / "b.jpg");
  core.SetView(&quiet);
  EXPECT_EQ(Share("Music"), "shared");
  EXPECT_EQ(quiet.ranges, std::vector<int>{0});
  EXPECT_EQ(core.m_nFileCount, 0);
  const auto rows = Rows("select * from audio union all select * from image");
  core.List().SetSelected(0, true);
  core.RescanSelected();
  EXPECT_EQ(quiet.ranges, (std::vector<int>{0, 0}));
  EXPECT_EQ(Rows("select * from audio union all select * from image"), rows);
  core.SetView(&view);
  core.RescanSelected();
  EXPECT_EQ(view.ranges, std::vector<int>{3});  // with the playlist the share wrote
  EXPECT_EQ(Rows("select * from audio union all select * from image"), rows);
}

TEST_F(Add, DuplicateTestRefusesListedAndCataloguedInsideFolders) {
  WriteFile(dir_ / "Music" / "Rock" / "a.mp3");
  WriteFile(dir_ / "Music" / "Empty" / "notes.txt");
  ASSERT_EQ(Share("Music"), "shared");
  EXPECT_EQ(Share("Music"), "refused");
  EXPECT_EQ(view.messages, std::vector<std::string>{"This folder has been shared"});
  EXPECT_EQ(Share("Music/Rock"), "refused");  // files catalogued under it
  EXPECT_EQ(Share("Music/Empty"), "shared");  // nothing catalogued under it
  EXPECT_EQ(Count("sharedfolder"), 2);
  EXPECT_EQ(Count("audio"), 1);
}

TEST_F(Add, AParentOfListedFoldersMayBeShared) {
  WriteFile(dir_ / "All" / "Music" / "a.mp3");
  WriteFile(dir_ / "All" / "top.mp3");
  ASSERT_EQ(Share("All/Music"), "shared");
  EXPECT_TRUE(core.IsParentOfSharedFolder(P("All")));
  EXPECT_EQ(Share("All"), "shared");
  // The parent's walk leaves the listed folder to itself: no second row.
  EXPECT_EQ(Count("audio"), 2);
  EXPECT_EQ(Rows("select SharedRoot from audio where Filename like '%top.mp3'")[0][0], P("All/"));
  EXPECT_EQ(core.List().Items(), (std::vector<std::string>{P("All/Music/"), P("All/")}));
}

TEST_F(Add, SiblingsWithACommonPrefixDoNotCountAsShared) {
  WriteFile(dir_ / "Jazz" / "a.mp3");
  WriteFile(dir_ / "Jazz Live" / "b.mp3");
  ASSERT_EQ(Share("Jazz"), "shared");
  EXPECT_EQ(Share("Jazz Live"), "shared");
  EXPECT_FALSE(core.IsParentOfSharedFolder(P("Ja")));
}

TEST_F(Add, NoMediaTypesStillListsTheFolder) {
  WriteFile(dir_ / "Pics" / "a.jpg");
  g_enabledMediaTypes.Clear();
  EXPECT_EQ(Share("Pics"), "shared");
  EXPECT_EQ(Count("image"), 0);
  EXPECT_EQ(Count("sharedfolder"), 1);
}

TEST_F(Add, RootFolderIsListedWithSlashAndLabelledWithoutEmptyingIt) {
  core.AddListItem("/");
  EXPECT_TRUE(core.IsListed("/"));
  EXPECT_FALSE(core.IsParentOfSharedFolder("/"));
  AddSharedFolderRow("/", "/", "");
  AddSharedFolderRow("/", "/", "");  // never a second row for the same path
  EXPECT_EQ(Rows("select * from sharedfolder"),
            (std::vector<std::vector<std::string>>{{"/", "/", "0"}}));
  AddSharedFolderRow("/m/x/", "x/", "AllAudio");
  EXPECT_EQ(Rows("select * from sharedfolder where FullPath='/m/x/'")[0],
            (std::vector<std::string>{"x", "/m/x/", "2"}));
}

TEST_F(Add, QuotesAndWildcardsInFolderNames) {
  WriteFile(dir_ / "It's 100%_done" / "a.mp3");
  WriteFile(dir_ / "It's 100X_done" / "b.mp3");
  ASSERT_EQ(Share("It's 100%_done"), "shared");
  EXPECT_EQ(Share("It's 100X_done"), "shared");  // the first folder's rows do not count
  EXPECT_EQ(Share("It's 100%_done"), "refused");
  EXPECT_EQ(Count("sharedfolder"), 2);
}

// Stops the Add from its own progress call, part way through the walk.
class StoppingView : public RecordingView {
 public:
  CSharedFolderCore* core = nullptr;
  int stopAt = 0;
  void SetProgress(int position) override {
    RecordingView::SetProgress(position);
    if (position == stopAt) core->RequestStop();
  }
};

TEST_F(Add, AnAddStoppedPartWayLeavesNoRowNoPlaylistAndCanBeRepeated) {
  for (int i = 0; i < 60; ++i)
    WriteFile(dir_ / "Big" / ("d" + std::to_string(i / 6)) / (std::to_string(i) + ".jpg"));
  {
    StoppingView stopping;
    CSharedFolderCore first;
    stopping.core = &first;
    stopping.stopAt = 30;  // rows and playlists of earlier folders are written by then
    first.SetView(&stopping);
    first.SetEchoList(false);
    EXPECT_TRUE(first.StartAdd(P("Big"), "Big"));
    first.WaitForAdds();
    EXPECT_EQ(stopping.last, 30);
    EXPECT_EQ(first.List().Size(), 0);
    EXPECT_TRUE(stopping.messages.empty());
  }
  EXPECT_EQ(Count("image"), 0);
  EXPECT_EQ(Count("sharedfolder"), 0);
  for (auto& e : fs::recursive_directory_iterator(dir_ / "Big"))
    EXPECT_NE(e.path().filename(), "JpgPlaylist.sls") << e.path();
  EXPECT_EQ(Share("Big"), "shared");
  EXPECT_EQ(Count("image"), 60);
}

TEST_F(Add, StoppingAnAddTakesBackItsRows) {
  for (int i = 0; i < 50; ++i) WriteFile(dir_ / "Big" / ("d" + std::to_string(i / 5)) / (std::to_string(i) + ".jpg"));
  core.RequestStop();
  EXPECT_TRUE(core.StartAdd(P("Big"), "Big"));
  core.WaitForAdds();
  EXPECT_EQ(Count("image"), 0);
  EXPECT_EQ(Count("sharedfolder"), 0);
  EXPECT_EQ(core.List().Size(), 0);
}

TEST_F(Add, TwoAddsOfOneFolderAtOnceShareItOnce) {
  for (int i = 0; i < 40; ++i) WriteFile(dir_ / "Twice" / (std::to_string(i) + ".mp3"));
  {
    // Neither worker gets going before both have passed the first test.
    NamedLock hold(kCatalogueMutex);
    EXPECT_TRUE(core.StartAdd(P("Twice"), "Twice"));
    EXPECT_TRUE(core.StartAdd(P("Twice"), "Twice"));
  }
  core.WaitForAdds();
  EXPECT_EQ(Count("audio"), 40);
  EXPECT_EQ(core.List().Size(), 1);
  EXPECT_EQ(core.RefusedAdds(), 1);
  EXPECT_EQ(view.messages, std::vector<std::string>{"This folder has been shared"});
}

namespace {

// Notes the thread of every change that shows its waiting label.
class ThreadView : public RecordingView {
 public:
  void ShowWaitingLabel(const std::string& text) override {
    RecordingView::ShowWaitingLabel(text);
    std::lock_guard lock(mutex);
    threads.insert(std::this_thread::get_id());
  }
  std::mutex mutex;
  std::set<std::thread::id> threads;
};

}  // namespace

TEST_F(Add, ChangesRunOneAfterAnotherOnOneWorkerThatOutlivesNone) {
  ThreadView threads;
  core.SetView(&threads);
  for (int i = 0; i < 6; ++i) WriteFile(dir_ / ("F" + std::to_string(i)) / "a.mp3");
  // Queued together: they run in order, never side by side, on one thread
  // that is not the caller's (a thread per Add would pile up until the end).
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(core.StartAdd(P("F" + std::to_string(i)), "F"));
  core.StartDelete({P("F0/")});
  core.WaitForAdds();
  EXPECT_EQ(threads.threads.size(), 1u);
  EXPECT_EQ(threads.threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(Count("audio"), 5);
  EXPECT_EQ(core.List().Size(), 5);
  core.SetView(&view);
}
