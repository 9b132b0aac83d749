// What the catalogue keeps when a share ends, when the next start repairs it
// and when a catch-up walks a folder again: rows go only for files that are
// gone, and changed files are read again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "catalog/statements.h"
#include "id3_builder.h"
#include "scan/catch_up.h"
#include "scan/sync.h"
#include "shares/catalogue_change.h"
#include "shares/folder_selection.h"
#include "testing.h"

namespace {

std::string Mp3(const std::string& title) {
  return id3::V2Tag(3, {id3::Text("TIT2", title)}) + id3::AudioFrames();
}

std::string TitleOf(const std::string& path) {
  auto rows = Rows("select Title from audio where Filename = " + Quoted(path));
  return rows.size() == 1 ? rows[0][0] : "<" + std::to_string(rows.size()) + " rows>";
}

class Catalogue : public EngineTest {
 protected:
  void Share(const std::string& path) {
    ASSERT_TRUE(core.StartAdd(path, "label"));
    core.WaitForAdds();
  }
};

constexpr uid_t kNobody = 65534;

}  // namespace

TEST_F(Catalogue, AnAddLeavesNoJournalBehind) {
  WriteFile(dir_ / "m" / "a.mp3", Mp3("A"));
  Share((dir_ / "m").string());
  EXPECT_EQ(Count("audio"), 1);
  EXPECT_FALSE(fs::exists(kAddJournalFile));
  WriteFile(dir_ / "n" / "b.mp3", Mp3("B"));
  RunResult r = RunProgram("tarvel", {"share", (dir_ / "n").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(kAddJournalFile));
}

// A folder shared inside another and then unshared leaves its rows to the
// outer one, under their old root: the repair at the next start keeps them,
// since they lie under a listed folder.
TEST_F(Catalogue, RowsUnderAListedFolderStayWhateverTheirRoot) {
  const std::string outer = (dir_ / "m").string(), inner = outer + "/inner";
  WriteFile(outer + "/a.mp3", Mp3("A"));
  WriteFile(inner + "/b.mp3", Mp3("B"));
  ASSERT_EQ(RunProgram("tarvel", {"share", inner}).status, 0);
  ASSERT_EQ(RunProgram("tarvel", {"share", outer}).status, 0);  // a parent may be shared
  ASSERT_EQ(RunProgram("tarvel", {"unshare", inner}).status, 0);
  const auto before = Rows("select Filename, SharedRoot from audio order by Filename");
  ASSERT_EQ(before, (std::vector<std::vector<std::string>>{{outer + "/a.mp3", outer + "/"},
                                                          {inner + "/b.mp3", inner + "/"}}));
  RunResult r = RunProgram("tarvel", {"list"});
  EXPECT_EQ(r.out, outer + "/\n");
  EXPECT_EQ(r.err.find("took out"), std::string::npos) << r.err;
  EXPECT_EQ(Rows("select Filename, SharedRoot from audio order by Filename"), before);
}

// Same size, new time: the file is read again (a tag edited in place keeps
// the length when the new text is as long as the old).
TEST_F(Catalogue, ACatchUpRereadsAFileOfTheSameSizeWithANewTime) {
  const std::string root = (dir_ / "m").string() + "/";
  WriteFile(root + "song.mp3", Mp3("Old Title"));
  Share(root);
  ASSERT_EQ(TitleOf(root + "song.mp3"), "old title");
  const auto size = fs::file_size(root + "song.mp3");
  WriteFile(root + "song.mp3", Mp3("New Title"));
  ASSERT_EQ(fs::file_size(root + "song.mp3"), size);
  struct stat st;
  ASSERT_EQ(stat((root + "song.mp3").c_str(), &st), 0);
  timespec later[2] = {st.st_atim, st.st_mtim};
  later[1].tv_sec += 10;  // the same second as the share on a fast machine otherwise
  ASSERT_EQ(utimensat(AT_FDCWD, (root + "song.mp3").c_str(), later, 0), 0);
  CatchUpCounts counts = CatchUpFolder(&core, root);
  EXPECT_TRUE(counts.done);
  EXPECT_EQ(counts.changed, 1);
  EXPECT_EQ(TitleOf(root + "song.mp3"), "new title");
}

// A folder the catch-up cannot list is not a folder whose files are gone.
// Root lists every folder, so the walk runs as an ordinary user.
TEST_F(Catalogue, ACatchUpKeepsTheRowsOfAFolderItCannotList) {
  const std::string root = (dir_ / "m").string() + "/";
  WriteFile(root + "top.mp3", Mp3("Top"));
  WriteFile(root + "locked/a.mp3", Mp3("A"));
  WriteFile(root + "locked/deeper/b.jpg");
  Share(root);
  ASSERT_EQ(Count("audio") + Count("image"), 3);
  const bool root_user = geteuid() == 0;
  if (root_user) {
    // Everything the walk touches becomes the ordinary user's.
    for (const auto& e : fs::recursive_directory_iterator(dir_))
      ASSERT_EQ(lchown(e.path().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chown(dir_.c_str(), kNobody, kNobody), 0);
  }
  ASSERT_EQ(chmod((root + "locked").c_str(), 0), 0);
  pid_t pid = fork();
  if (pid == 0) {
    if (root_user && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
      _exit(100);
    if (opendir((root + "locked").c_str()) != nullptr) _exit(101);  // it could be listed after all
    CatchUpCounts counts = CatchUpFolder(&core, root);
    _exit(counts.removed);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  chmod((root + "locked").c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "rows taken out (100: no user change, 101: still listable)";
  EXPECT_EQ(Count("audio") + Count("image"), 3);
  EXPECT_EQ(TitleOf(root + "locked/a.mp3"), "a");
}

// A file read half written by a catch-up, completed before the watcher saw
// its folder arrive: the folder's own walk reads it again rather than keep
// the row of its first bytes.
TEST_F(Catalogue, AFolderThatArrivesReadsAgainWhatChangedSinceItWasCatalogued) {
  const std::string root = (dir_ / "m").string() + "/";
  fs::create_directories(root);
  Share(root);
  const std::string song = Mp3("Finished Song");
  WriteFile(root + "album/song.mp3", song.substr(0, 5));
  ASSERT_EQ(CatchUpFolder(&core, root).added, 1);
  ASSERT_EQ(TitleOf(root + "album/song.mp3"), "song.mp3");
  WriteFile(root + "album/song.mp3", song);
  SyncChange(&core, WatchRecord{root}, ChangeNotice{"album", true}, kActionNewName);
  EXPECT_EQ(TitleOf(root + "album/song.mp3"), "finished song");
  EXPECT_EQ(Count("audio"), 1);
  // Unchanged, it is left as it is: read once.
  SyncChange(&core, WatchRecord{root}, ChangeNotice{"album", true}, kActionNewName);
  EXPECT_EQ(Count("audio"), 1);
}
