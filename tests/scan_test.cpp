#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "catalog/database.h"
#include "catalog/statements.h"
#include "id3_builder.h"
#include "shares/folder_selection.h"
#include "scan/walk.h"
#include "shares/shared_folder_core.h"
#include "testing.h"

namespace {

class Scan : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    m = (dir_ / "m").string();
    fs::create_directory(m);
  }
  short ScanM() { return core.ScanFolder(m, m + "/"); }
  std::vector<std::string> Files(const std::string& table) {
    std::vector<std::string> out;
    for (auto& r : Rows("select Filename from " + table + " order by Filename")) out.push_back(r[0]);
    return out;
  }
  void Classify(const std::string& name) {
    WriteFile(fs::path(m) / name, "data");
    CatalogConnection db = OpenCatalogue();
    core.ClassifyFile(db.get(), m, m + "/", name);
  }

  std::string m;
};

}  // namespace

TEST_F(Scan, ExtensionsDecideTheTableWhateverTheirCase) {
  for (const char* n : {"SONG.MP3", "a.WAV", "b.m3u", "CLIP.MPEG", "c.mpeg2", "d.vob", "PHOTO.JPEG",
                        "e.j2k", "x.tar.gz", "README", "f.jpeg2000", "g.wmv", "mpeg"})
    Classify(n);
  EXPECT_EQ(Files("audio"), (std::vector<std::string>{m + "/SONG.MP3", m + "/a.WAV", m + "/b.m3u"}));
  EXPECT_EQ(Files("video"), (std::vector<std::string>{m + "/CLIP.MPEG", m + "/c.mpeg2", m + "/d.vob"}));
  EXPECT_EQ(Files("image"), (std::vector<std::string>{m + "/PHOTO.JPEG", m + "/e.j2k"}));
  auto song = Rows("select Title, HasTag, ParentDir, SharedRoot from audio where Filename like '%SONG%'")[0];
  EXPECT_EQ(song, (std::vector<std::string>{"song.mp3", "1", m + "/", m + "/"}));
  EXPECT_EQ(Rows("select HasTag from audio where Filename like '%WAV'")[0][0], "0");
}

TEST_F(Scan, MediaTypeFilterIsASubstringSearchOfTheEnabledRows) {
  g_enabledMediaTypes.Set({"*.mp3(MPEG Layer-3 Audio File)"});
  Classify("a.wav");
  Classify("b.mp3");
  EXPECT_EQ(Files("audio"), std::vector<std::string>{m + "/b.mp3"});
  g_enabledMediaTypes.Set({"*.mpeg2(mpeg2 video)"});
  EXPECT_TRUE(core.IsMediaTypeEnabled(".MPEG"));  // found inside ".mpeg2"
  Classify("c.mpeg");
  EXPECT_EQ(Files("video"), std::vector<std::string>{m + "/c.mpeg"});
  g_enabledMediaTypes.LoadAll();
  EXPECT_TRUE(core.IsMediaTypeEnabled(".JPG"));
  EXPECT_FALSE(core.IsMediaTypeEnabled(".wmv"));
  std::vector<std::string> unknown;
  EXPECT_EQ(MediaTypesForExtensions({"MP3", "jpe", "wmv"}, &unknown),
            (std::vector<std::string>{"*.mp3(MPEG Layer-3 Audio File)",
                                      "*.jpg *.jpe *.jpeg(Jpeg File Format)"}));
  EXPECT_EQ(unknown, std::vector<std::string>{"wmv"});
  EXPECT_EQ(MediaTypesForExtensions({"mpeg"}, nullptr),
            std::vector<std::string>{"*.mpg *.mpeg(MPEG Video files)"});
}

TEST_F(Scan, PathUtilities) {
  EXPECT_EQ(CSharedFolderCore::GetExtension("song.tar.gz"), ".gz");
  EXPECT_EQ(CSharedFolderCore::GetExtension("README"), "README");
  EXPECT_FALSE(CSharedFolderCore::HasNoExtension("/home/My.Folder/x"));
  EXPECT_TRUE(CSharedFolderCore::HasNoExtension("/home/x/y"));
  EXPECT_EQ(CSharedFolderCore::GetFileName("/a/b/c.mp3"), "c.mp3");
  EXPECT_EQ(CSharedFolderCore::GetDirectory("/a/b/c.mp3"), "/a/b/");
  core.AddListItem("/m/Music/");
  core.AddListItem("/m/Music/Rock and Roll/");
  EXPECT_TRUE(core.IsListed("/m/Music"));
  EXPECT_FALSE(core.IsListed("/m/music/"));
  EXPECT_FALSE(core.IsSharedSubfolder("/m/Music", "Rock"));
  core.AddListItem("/m/Music/Rock/");
  EXPECT_TRUE(core.IsSharedSubfolder("/m/Music", "Rock"));
  EXPECT_EQ(core.FindListIndex("/m/Music/Rock"), 2);
  EXPECT_EQ(core.FindListIndex("/m/Music/Jazz"), -1);
}

TEST_F(Scan, WalkSkipsHiddenEntriesAndSharedSubfoldersAndCountsProgress) {
  WriteFile(fs::path(m) / "a.mp3", id3::AudioFrames());
  WriteFile(fs::path(m) / ".secret.mp3");
  WriteFile(fs::path(m) / ".hid" / "b.mp3");
  WriteFile(fs::path(m) / "notes.txt");
  WriteFile(fs::path(m) / "sub" / "deep" / "c.avi");
  WriteFile(fs::path(m) / "own" / "d.png");
  core.AddListItem(m + "/own/");
  EXPECT_EQ(ScanM(), 0);
  EXPECT_EQ(Files("audio"), std::vector<std::string>{m + "/a.mp3"});
  EXPECT_EQ(Files("video"), std::vector<std::string>{m + "/sub/deep/c.avi"});
  EXPECT_EQ(Files("image"), std::vector<std::string>{});
  EXPECT_EQ(view.last, 3);  // a.mp3, notes.txt, c.avi: hidden files are not stepped
  core.m_nFileCount = 0;
  EXPECT_EQ(core.CountFiles(m), 3);  // counted as they are walked: no hidden ones, no shared subfolder
  EXPECT_EQ(Rows("select SharedRoot from video")[0][0], m + "/");
  EXPECT_EQ(Rows("select ParentDir from video")[0][0], m + "/sub/deep/");
}

TEST_F(Scan, PlaylistsListImagesInOrderWithCrLfAndAreRebuiltByEachScan) {
  WriteFile(fs::path(m) / "a.JPG");
  WriteFile(fs::path(m) / "b.txt");
  WriteFile(fs::path(m) / "c.png");
  WriteFile(fs::path(m) / ".d.jpg");
  WriteFile(fs::path(m) / "e.jpeg2000");
  WriteFile(fs::path(m) / "sub" / "f.gif");
  g_enabledMediaTypes.Set({"*.mp3(MPEG Layer-3 Audio File)"});  // the playlist ignores the filter
  ScanM();
  std::string list = ReadFile(fs::path(m) / "JpgPlaylist.sls");
  for (const char* name : {"a.JPG\r\n", "c.png\r\n", "e.jpeg2000\r\n"})
    EXPECT_NE(list.find(name), std::string::npos) << name;
  EXPECT_EQ(list.size(), std::string("a.JPG\r\nc.png\r\ne.jpeg2000\r\n").size());
  EXPECT_EQ(list.find(".d.jpg"), std::string::npos);
  EXPECT_EQ(ReadFile(fs::path(m) / "sub" / "JpgPlaylist.sls"), "f.gif\r\n");
  // A playlist that says what the folder holds is left as it is: not even
  // its time moves.
  const fs::path playlist = fs::path(m) / "JpgPlaylist.sls";
  const auto before = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(playlist, before);
  struct stat kept {};
  ASSERT_EQ(stat(playlist.c_str(), &kept), 0);
  ScanM();
  EXPECT_EQ(ReadFile(playlist), list);  // no duplicates
  struct stat again {};
  ASSERT_EQ(stat(playlist.c_str(), &again), 0);
  EXPECT_EQ(again.st_ino, kept.st_ino);
  EXPECT_EQ(fs::last_write_time(playlist), before);
  // One that no longer does is written over, nothing of the longer one left.
  fs::remove(fs::path(m) / "a.JPG");
  ScanM();
  EXPECT_EQ(ReadFile(playlist).size(), std::string("c.png\r\ne.jpeg2000\r\n").size());
  EXPECT_EQ(ReadFile(playlist).find("a.JPG"), std::string::npos);
  fs::remove(fs::path(m) / "sub" / "f.gif");
  ScanM();
  EXPECT_FALSE(fs::exists(fs::path(m) / "sub" / "JpgPlaylist.sls"));
}

TEST_F(Scan, PlaylistIsNeverWrittenThroughALink) {
  WriteFile(dir_ / "outside.txt", "keep");
  fs::create_symlink(dir_ / "outside.txt", fs::path(m) / "JpgPlaylist.sls");
  EXPECT_FALSE(core.AppendToPlaylist(m, "x.jpg"));
  EXPECT_EQ(ReadFile(dir_ / "outside.txt"), "keep");
  // A walk puts a playlist of its own in the link's place.
  WriteFile(fs::path(m) / "x.jpg");
  ScanM();
  EXPECT_EQ(ReadFile(dir_ / "outside.txt"), "keep");
  EXPECT_FALSE(fs::is_symlink(fs::path(m) / "JpgPlaylist.sls"));
  EXPECT_EQ(ReadFile(fs::path(m) / "JpgPlaylist.sls"), "x.jpg\r\n");
}

TEST_F(Scan, HostileFileNamesAreCataloguedExactly) {
  std::vector<std::string> names = {"It's.mp3", "say \"hi\".wav", "100%.jpg", "a_b.png",
                                    "sp ace.avi", "x'); DROP TABLE audio; --.mp3",
                                    std::string("bad\xff\xfe name.jpg")};
  for (auto& n : names) WriteFile(fs::path(m) / n);
  ScanM();
  EXPECT_EQ(Count("audio") + Count("video") + Count("image"), 7);
  for (auto& n : names) EXPECT_EQ(IsCatalogued(m + "/" + n), 1) << n;
  EXPECT_EQ(Rows("select Title from image where Filename like '%bad%'")[0][0],
            std::string("bad\xff\xfe name.jpg"));
}

// A folder is read in blocks of entries; a large one takes several.
TEST_F(Scan, AFolderTooLargeForOneReadOfItsEntriesIsWalkedWhole) {
  const std::string padding(120, 'x');
  std::vector<std::string> expected;
  for (int i = 0; i < 1500; ++i) {  // about 200 KB of entries
    const std::string name = padding + std::to_string(i) + ".avi";
    WriteFile(fs::path(m) / name);
    expected.push_back(m + "/" + name);
  }
  ScanM();
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Files("video"), expected);
}

TEST_F(Scan, LinksAreFollowedButNeverIntoALoopAndUnreadableFoldersScanEmpty) {
  WriteFile(fs::path(m) / "sub" / "a.mp3");
  fs::create_directory_symlink(m, fs::path(m) / "sub" / "up");
  WriteFile(dir_ / "elsewhere" / "b.mp3");
  fs::create_directory_symlink(dir_ / "elsewhere", fs::path(m) / "linked");
  fs::create_symlink(dir_ / "nowhere", fs::path(m) / "broken.mp3");
  ASSERT_EQ(mkfifo((fs::path(m) / "pipe.mp3").c_str(), 0600), 0);  // must not block the scan
  fs::create_directory(fs::path(m) / "locked");
  WriteFile(fs::path(m) / "locked" / "c.mp3");
  chmod((fs::path(m) / "locked").c_str(), 0);
  ScanM();
  chmod((fs::path(m) / "locked").c_str(), 0700);
  auto files = Files("audio");
  EXPECT_NE(std::find(files.begin(), files.end(), m + "/sub/a.mp3"), files.end());
  // A link out of the shared folder is not followed.
  EXPECT_EQ(std::find(files.begin(), files.end(), m + "/linked/b.mp3"), files.end());
  if (geteuid() != 0) EXPECT_EQ(files.size(), 1u);
  else EXPECT_EQ(files.size(), 2u);  // root reads the locked folder anyway
}

TEST_F(Scan, KernelFileSystemsAreNotWalked) {
  fs::create_directory_symlink("/proc", fs::path(m) / "proc");
  fs::create_directory_symlink("/sys", fs::path(m) / "sys");
  WriteFile(fs::path(m) / "a.mp3");
  ScanM();
  EXPECT_EQ(Count("audio"), 1);
  EXPECT_EQ(view.last, 1);
  core.m_nFileCount = 0;
  EXPECT_EQ(core.CountFiles(m), 1);
}

TEST_F(Scan, ScanWithoutCatalogueSaysSoAndWritesNothing) {
  fs::remove(dir_ / "data.sqlite");
  fs::create_directory(dir_ / "data.sqlite");
  WriteFile(fs::path(m) / "a.mp3");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ScanM(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "db open error.\nOpen DB failed!\n");
}

// Where a playlist is opened, its folder must lead inside the shared folder:
// a folder reached by a path through a link out of it gets none, and its own
// playlist is neither removed nor added to.
TEST_F(Scan, APlaylistIsWrittenOnlyInAFolderThatLeadsInsideTheScope) {
  const fs::path outside = dir_ / "Outside";
  WriteFile(outside / "JpgPlaylist.sls", "theirs\r\n");
  WriteFile(fs::path(m) / "own" / "y.jpg", "data");
  fs::create_directory_symlink(outside, fs::path(m) / "out");
  FolderWalk walk{WalkContext()};
  walk.SetPlaylistScope(m + "/");
  walk.DeletePlaylist(m + "/out/");
  EXPECT_FALSE(walk.AppendToPlaylist(m + "/out/", "x.jpg"));
  walk.ClosePlaylist();
  EXPECT_EQ(ReadFile(outside / "JpgPlaylist.sls"), "theirs\r\n");
  walk.DeletePlaylist(m + "/own/");
  EXPECT_TRUE(walk.AppendToPlaylist(m + "/own/", "y.jpg"));
  walk.ClosePlaylist();
  EXPECT_EQ(ReadFile(fs::path(m) / "own" / "JpgPlaylist.sls"), "y.jpg\r\n");
}

// A walk takes what it is given and nothing else: its own media types (not
// the dialogs' choice of the moment) and the change's connection, so that
// its rows stand or fall with that change.
TEST_F(Scan, AWalkWritesItsOwnTypesThroughTheConnectionItIsGiven) {
  WriteFile(fs::path(m) / "song.mp3", "data");
  WriteFile(fs::path(m) / "sub" / "photo.jpg", "data");
  WriteFile(fs::path(m) / "sub" / "clip.avi", "data");
  g_enabledMediaTypes.Clear();  // no walk may consult it
  auto walkWith = [&](const char* typeRow, bool commit) {
    CatalogConnection db = OpenCatalogue();
    ASSERT_TRUE(db);
    Transaction change(db.get());
    WalkContext context;
    context.db = db.get();
    context.types.Set({typeRow});
    FolderWalk walk(std::move(context));
    EXPECT_EQ(walk.ScanFolder(m, m + "/"), 0);
    if (commit) change.Commit();
  };
  walkWith(kMediaTypeTable[8], false);  // *.mp3, taken back
  walkWith(kMediaTypeTable[11], true);  // *.jpg
  g_enabledMediaTypes.LoadAll();
  EXPECT_EQ(Count("audio"), 0);
  EXPECT_EQ(Count("video"), 0);
  EXPECT_EQ(Files("image"), std::vector<std::string>{m + "/sub/photo.jpg"});
  EXPECT_EQ(ReadFile(fs::path(m) / "sub" / "JpgPlaylist.sls"), "photo.jpg\r\n");
}

// Files read ahead on other threads give the very rows, in the very order
// (row ids included), and the very playlists that one thread gives.
TEST_F(Scan, ReadingAheadOnOtherThreadsWritesWhatOneThreadWrites) {
  for (int d = 0; d < 3; ++d) {
    const fs::path folder = fs::path(m) / ("album " + std::to_string(d));
    for (int i = 0; i < 300; ++i) {
      const std::string n = std::to_string(i);
      if (i % 3 == 0)
        WriteFile(folder / (n + ".mp3"), id3::V2Tag(3, {id3::Text("TIT2", "Song " + n),
                                                        id3::Text("TPE1", "Artist " + n)}) +
                                             id3::AudioFrames());
      else if (i % 3 == 1)
        WriteFile(folder / (n + ".jpg"), "x");
      else
        WriteFile(folder / (n + (i % 2 ? ".avi" : ".txt")), "x");
      if (i == 150) WriteFile(folder / "inner" / "deep.mp3", "not a tag");
    }
  }
  WriteFile(fs::path(m) / "loose.wav", "x");
  auto everything = [&] {
    std::vector<std::string> out;
    for (const char* table : {"audio", "video", "image", "TARVEL_FILES"})
      for (auto& row : Rows(std::string("select rowid, * from ") + table)) {
        std::string line = table;
        for (auto& cell : row) line += "|" + cell;
        out.push_back(line);
      }
    std::vector<std::string> playlists;
    for (auto& entry : fs::recursive_directory_iterator(m))
      if (entry.path().filename() == "JpgPlaylist.sls")
        playlists.push_back(entry.path().string() + ":" + ReadFile(entry.path()));
    std::sort(playlists.begin(), playlists.end());  // rows stay in their stored order
    out.insert(out.end(), playlists.begin(), playlists.end());
    return out;
  };
  core.SetWalkReaders(0);
  ASSERT_EQ(ScanM(), 0);
  const std::vector<std::string> alone = everything();
  for (const char* table : {"audio", "video", "image", "TARVEL_FILES"})
    Rows(std::string("delete from ") + table);  // row ids start afresh
  core.SetWalkReaders(3);
  ASSERT_EQ(ScanM(), 0);
  EXPECT_EQ(everything(), alone);
  EXPECT_GT(alone.size(), 900u);
}
