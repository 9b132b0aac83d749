#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/named_mutex.h"
#include "testing.h"

class Cli : public CatalogTest {
 protected:
  // Every command-line test ends what it started: a tarvel or a server still
  // running here is a fault.
  void TearDown() override {
    EXPECT_EQ(EndLeftoverProcesses(), 0) << "a process started by the test was still running";
    CatalogTest::TearDown();
  }
};

TEST_F(Cli, CatalogCountsRowsInTheDataFolder) {
  fs::create_directory("data");
  RunResult r = RunProgram("tarvel", {"--data-dir", (dir_ / "data").string(), "catalog"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "AUDIO 0\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 0\n");
  EXPECT_TRUE(fs::exists(dir_ / "data" / "data.sqlite"));
}

TEST_F(Cli, BadCommandsAndOptionsPrintUsageAndExit2) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"frobnicate"}, {"--data-dir"}, {"catalog", "extra"}}) {
    RunResult r = RunProgram("tarvel", args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_NE(r.err.find("usage: tarvel"), std::string::npos);
  }
  WriteFile(dir_ / "plain");
  for (const fs::path& bad : {dir_ / "plain", dir_ / "plain" / "below"}) {
    RunResult r = RunProgram("tarvel", {"--data-dir", bad.string(), "catalog"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot use " + bad.string() + " as the data folder"), std::string::npos)
        << r.err;
  }
  EXPECT_EQ(ReadFile(dir_ / "plain"), "x");
}

TEST_F(Cli, AMissingDataFolderIsMadeWithItsParentsPrivateAndSaidOnce) {
  const fs::path data = dir_ / "home" / "user" / "tarvel";
  RunResult r = RunProgram("tarvel", {"--data-dir", data.string(), "catalog"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "tarvel: created the data folder " + data.string() + "\n");
  EXPECT_TRUE(fs::exists(data / "data.sqlite"));
  for (const fs::path& made : {dir_ / "home", dir_ / "home" / "user", data})
    EXPECT_EQ(fs::status(made).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none)
        << made;
  r = RunProgram("tarvel", {"--data-dir=" + data.string(), "catalog"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(Cli, UsageErrorsHelpAndVersionTouchNoFile) {
  fs::create_directory("clean");
  fs::current_path("clean");
  const std::string data = (dir_ / "clean" / "data").string();
  for (auto args : std::vector<std::vector<std::string>>{
           {"--version"}, {"--help"}, {"-h"}, {"frobnicate"}, {"--verbose", "catalog"},
           {"catalog", "extra"}, {"share"}, {"share", "a", "b"}, {"share", ".", "--types", "zzz"},
           {"unshare"}, {"unshare", "--all", "x"}, {"rescan"}, {"list", "x"}, {"watch", "x"},
           {"name", "x"}, {"rename"}, {"serve", "x"}, {"stations", "x"}, {"add-station"},
           {"remove-station"}, {"--data-dir", data, "frobnicate"},
           {"--data-dir", data, "--version"}, {"--data-dir", data, "share"}, {"--data-dir", ""},
           {"--data-dir="}}) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    RunResult r = RunProgram("tarvel", args);
    EXPECT_EQ(r.status, args[0] == "--version" || args[0] == "--help" || args[0] == "-h" ||
                                args.back() == "--version"
                            ? 0
                            : 2)
        << shown << r.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "clean")) << shown;
  }
  RunResult v = RunProgram("tarvel", {"--version"});
  EXPECT_EQ(v.out.rfind("tarvel ", 0), 0u) << v.out;
  EXPECT_GT(v.out.size(), 9u);
  EXPECT_EQ(v.out.back(), '\n');
  EXPECT_EQ(v.err, "");
}

TEST_F(Cli, ACorruptCatalogueIsAClearErrorAndIsNotOverwritten) {
  fs::create_directory("bad");
  WriteFile(dir_ / "bad" / "data.sqlite", std::string(4096, 'z'));
  RunResult r = RunProgram("tarvel", {"--data-dir", (dir_ / "bad").string(), "catalog"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not a usable catalogue"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "bad" / "data.sqlite"), std::string(4096, 'z'));
}

TEST_F(Cli, ShareAndListDriveTheEngineHeadless) {
  WriteFile(dir_ / "media" / "Music" / "a.mp3");
  WriteFile(dir_ / "media" / "Music" / "b.jpg");
  fs::create_directory("data");
  auto tarvel = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--data-dir", "data"});
    return RunProgram("tarvel", args);
  };
  RunResult r = tarvel({"share", "media/Music/", "--types", "mp3"});  // relative to where we are
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  r = tarvel({"list"});
  EXPECT_EQ(r.out, (dir_ / "media" / "Music").string() + "/\n");
  r = tarvel({"catalog"});
  EXPECT_EQ(r.out, "AUDIO 1\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 1\n");
  r = tarvel({"share", (dir_ / "media" / "Music").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "This folder has been shared\n");
  r = tarvel({"share", "media/nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not a readable folder"), std::string::npos);
  WriteFile(dir_ / "media" / "file.mp3");
  EXPECT_EQ(tarvel({"share", "media/file.mp3"}).status, 1);
  EXPECT_EQ(tarvel({"share", "media", "--types", "mp3,wmv"}).status, 2);
  EXPECT_EQ(tarvel({"share", "media", "--types"}).status, 2);
  EXPECT_EQ(tarvel({"share"}).status, 2);
  EXPECT_EQ(tarvel({"catalog"}).out, "AUDIO 1\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 1\n");
  r = tarvel({"share", "media", "--types", "none"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tarvel({"list"}).out,
            (dir_ / "media" / "Music").string() + "/\n" + (dir_ / "media").string() + "/\n");
}

TEST_F(Cli, UnshareRescanAndWatch) {
  WriteFile(dir_ / "A" / "a.mp3");
  WriteFile(dir_ / "B" / "b.mp3");
  WriteFile(dir_ / "C" / "c.jpg");
  for (const char* f : {"A", "B", "C"}) ASSERT_EQ(RunProgram("tarvel", {"share", f}).status, 0);
  RunResult r = RunProgram("tarvel", {"unshare", "A", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nope is not a shared folder"), std::string::npos);
  EXPECT_EQ(Count("sharedfolder"), 3);  // nothing changed
  EXPECT_EQ(RunProgram("tarvel", {"unshare", "A/"}).status, 0);
  EXPECT_EQ(RunProgram("tarvel", {"catalog"}).out, "AUDIO 1\nVIDEO 0\nIMAGE 1\nSHAREDFOLDER 2\n");
  WriteFile(dir_ / "B" / "b2.mp3");
  EXPECT_EQ(RunProgram("tarvel", {"rescan", "B", "--types", "mp3"}).status, 0);
  EXPECT_EQ(Count("audio"), 2);
  EXPECT_EQ(RunProgram("tarvel", {"rescan"}).status, 2);
  EXPECT_EQ(RunProgram("tarvel", {"rescan", "A"}).status, 1);

  // watch follows changes until SIGTERM; a second one leaves at once.
  Child watch = StartTarvel({"watch"});
  const std::string note = "process " + std::to_string(watch.Pid()) + " (watch";
  ASSERT_TRUE(Eventually([&] { return NamedMutex::ReadNote(kInstanceMutex).find(note) == 0; }));
  RunResult second = RunProgram("tarvel", {"watch"});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("process " + std::to_string(watch.Pid()) + " (watch, data folder " +
                            dir_.string() + ")"),
            std::string::npos)
      << second.err;
  WriteFile(dir_ / "C" / "new.png");
  EXPECT_TRUE(Eventually([] { return Count("image") == 2; }));
  // A folder shared by another tarvel meanwhile is followed too.
  fs::create_directory(dir_ / "E");
  EXPECT_EQ(RunProgram("tarvel", {"share", "E"}).status, 0);
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    WriteFile(dir_ / "E" / ("e" + std::to_string(i) + ".png"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    seen = Count("image") > 2;
  }
  EXPECT_TRUE(seen);
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(), 0);
  EXPECT_EQ(RunProgram("tarvel", {"unshare", "--all"}).status, 0);
  EXPECT_EQ(RunProgram("tarvel", {"catalog"}).out, "AUDIO 0\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 0\n");
}

TEST_F(Cli, TheUserDataFolderFollowsXdgDataHomeElseTheHome) {
  // What the desktop entry and the systemd service run: no shell expands a
  // variable for them, so tarvel finds the folder itself.
  const std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", (dir_ / "home").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir_ / "xdg").c_str(), 1);
  RunResult r = RunProgram("tarvel", {"--user-data-dir", "catalog"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir_ / "xdg" / "tarvel" / "data.sqlite"));
  // A relative XDG_DATA_HOME is to be ignored, as is an unset one.
  for (const char* xdg : {"relative", static_cast<const char*>(nullptr)}) {
    if (xdg) setenv("XDG_DATA_HOME", xdg, 1);
    else unsetenv("XDG_DATA_HOME");
    fs::remove_all(dir_ / "home");
    r = RunProgram("tarvel", {"--user-data-dir", "catalog"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "home" / ".local" / "share" / "tarvel" / "data.sqlite"));
  }
  EXPECT_FALSE(fs::exists(dir_ / "relative"));
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", oldHome.c_str(), 1);
}

TEST_F(Cli, MediaServerHelpIsAnAnswerNotAnError) {
  for (const char* help : {"--help", "-h"}) {
    RunResult r = RunProgram("MediaServer", {help});
    EXPECT_EQ(r.status, 0) << help;
    EXPECT_EQ(r.out.rfind("usage: MediaServer", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
  }
  RunResult r = RunProgram("MediaServer", {"--bogus"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("usage: MediaServer"), std::string::npos);
}
