#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "netns.h"
#include "platform/presence.h"
#include "platform/process.h"
#include "platform/server_control.h"
#include "platform/server_name.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

// Children of `parent` (ids) and whether any of them is a zombie.
std::vector<pid_t> ChildrenOf(pid_t parent, bool* zombie = nullptr) {
  std::vector<pid_t> out;
  if (zombie) *zombie = false;
  DIR* d = opendir("/proc");
  while (dirent* e = readdir(d)) {
    pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = line[close + 2];
    pid_t ppid = atoi(line.c_str() + close + 4);
    if (ppid != parent) continue;
    out.push_back(pid);
    if (zombie && state == 'Z') *zombie = true;
  }
  closedir(d);
  return out;
}

class Server : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    // The server publishes on the network: only inside a namespace of our own.
    std::string why;
    if (!net_.Enter(&why)) GTEST_SKIP() << why;
    setenv("TARVEL_SERVER_INTERFACE", "lo", 1);
    // Servers outliving the tarvel that started them come to us, to be reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The test itself starts MediaServer from where the build put it.
    static const std::string path = BinDir() + ":" + (getenv("PATH") ? getenv("PATH") : "");
    setenv("PATH", path.c_str(), 1);
  }
  void TearDown() override {
    for (int i = 0; i < 100 && IsPresent(kServerTitle); ++i) {
      RequestClose(kServerTitle);
      std::this_thread::sleep_for(20ms);
    }
    for (pid_t p : extra) kill(p, SIGKILL);
    // Whatever is left, also after a failure: servers handed to us as their
    // subreaper, and their children.
    for (int round = 0; round < 3; ++round)
      for (pid_t p : ChildrenOf(getpid())) {
        for (pid_t c : ChildrenOf(p)) kill(c, SIGKILL);
        kill(p, SIGKILL);
      }
    std::this_thread::sleep_for(50ms);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    CatalogTest::TearDown();
  }
  Child StartServe(const std::string& bin) { return Child(bin, {"serve"}); }
  std::vector<pid_t> extra;
  PrivateNetwork net_;
};

}  // namespace

TEST_F(Server, NameFileIsReadUpToAHundredBytesAndAZero) {
  EXPECT_EQ(ReadServerName(), "tarvel");
  WriteFile("ServerName.change", std::string(150, 'n'));
  EXPECT_EQ(ReadServerName(), std::string(100, 'n'));
  EXPECT_EQ(ReadServerName(kMaxServerName), std::string(150, 'n'));  // what the server takes
  WriteFile("ServerName.change", std::string("Den\0Attic", 9));
  EXPECT_EQ(ReadServerName(), "Den");
  WriteFile("ServerName.change", "");
  EXPECT_EQ(ReadServerName(), "");
  EXPECT_TRUE(WriteServerName("Café 日本"));
  EXPECT_EQ(ReadFile("ServerName.change"), "Café 日本");
  EXPECT_FALSE(fs::exists("ServerName.change.new"));
}

TEST_F(Server, RenameWritesExactlyTheNameAndRestartsTheServer) {
  ServerControl control;
  ASSERT_TRUE(control.Start());
  ASSERT_TRUE(Eventually([] { return IsPresent(kServerTitle); }));
  pid_t old = control.LastStarted();
  RunResult r = RunProgram("tarvel", {"rename", "Living Room"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile("ServerName.change"), "Living Room");
  EXPECT_EQ(fs::file_size("ServerName.change"), 11u);
  // The old server was asked to close and did.
  int status = -1;
  EXPECT_TRUE(Eventually([&] { return waitpid(old, &status, WNOHANG) == old; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(Eventually([] { return IsPresent(kServerTitle); }));
  EXPECT_EQ(RunProgram("tarvel", {"name"}).out, "Living Room\n");
}

TEST_F(Server, RenameWaitsForAServerSlowToCloseAndLeavesExactlyOne) {
  // A stand-in for a busy server: present at once, but it reads close
  // requests only after a while, then takes a while more to end.
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    Presence presence(kServerTitle);
    if (!presence.Ok()) _exit(3);
    std::this_thread::sleep_for(700ms);
    for (int i = 0; i < 1000 && !presence.TakeCloseRequest(); ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(300ms);
    _exit(0);
  }
  Child old(pid);
  ASSERT_TRUE(Eventually([] { return IsPresent(kServerTitle); }));
  // A request sent the moment a server counts as present reaches it.
  RunResult r = RunProgram("tarvel", {"rename", "Den"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(old.Wait(0ms), 0);  // gone before rename returned
  EXPECT_TRUE(Eventually([] { return IsPresent(kServerTitle); }));
  // The new server is the only one, and it reads its own requests.
  ASSERT_TRUE(RequestClose(kServerTitle));
  EXPECT_TRUE(Eventually([] { return !IsPresent(kServerTitle); }));
}

TEST_F(Server, NameNeedsNoCatalogueAndRenameTakesAnyNameAfterTheCommand) {
  WriteFile("data.sqlite", std::string(4096, 'z'));  // damaged
  RunResult r = RunProgram("tarvel", {"name"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "tarvel\n");
  r = RunProgram("tarvel", {"rename", "-h"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile("ServerName.change"), "-h");
}

TEST_F(Server, ServeSaysWhenTheServerKeepsEndingAtStart) {
  fs::path bin = dir_ / "bin";
  fs::create_directories(bin);
  fs::copy_file(BinDir() + "/tarvel", bin / "tarvel");
  WriteFile(bin / "MediaServer", "#!/bin/sh\nexit 3\n");
  fs::permissions(bin / "MediaServer", fs::perms::owner_all);
  Child serve((bin / "tarvel").string(), {"serve"}, "serve");
  EXPECT_TRUE(Eventually([&] { return ReadFile("serve.err").find("keeps ending at start") !=
                                      std::string::npos; }, 25s))
      << ReadFile("serve.err");
  serve.Signal(SIGTERM);
  EXPECT_EQ(serve.Wait(), 0);
}

TEST_F(Server, EmptyOrOverlongNamesChangeNothing) {
  WriteFile("ServerName.change", "Old");
  RunResult r = RunProgram("tarvel", {"rename", ""});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Irregular name!\n");
  r = RunProgram("tarvel", {"rename", std::string(256, 'x')});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("at most 255"), std::string::npos);
  EXPECT_EQ(ReadFile("ServerName.change"), "Old");
  // No server was started: one would be ours (the subreaper's) by now.
  for (pid_t p : ChildrenOf(getpid()))
    EXPECT_NE(ReadFile("/proc/" + std::to_string(p) + "/comm"), std::string(kServerCommand) + "\n");
  EXPECT_FALSE(IsPresent(kServerTitle));
  EXPECT_EQ(RunProgram("tarvel", {"rename", std::string(255, 'y')}).status, 0);
  EXPECT_EQ(ReadFile("ServerName.change"), std::string(255, 'y'));
}

TEST_F(Server, AKilledServerLeavesNoPresenceBehind) {
  pid_t pid = StartProcess(FindProgram(kServerCommand));
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(Eventually([] { return IsPresent(kServerTitle); }));
  kill(pid, SIGKILL);
  EXPECT_TRUE(Eventually([] { return !IsPresent(kServerTitle); }));
  EXPECT_TRUE(fs::exists(dir_ / "run" / "tarvel" / "AV MediaServer.presence"));  // stale file
  EXPECT_FALSE(RequestClose(kServerTitle));
  ReapChildren();
  EXPECT_FALSE(ChildAlive(pid));
  EXPECT_FALSE(TerminateChild(pid));  // reaped: never killed again
}

TEST_F(Server, ServeRestartsAKilledServerAndLeavesNoZombie) {
  Child serve = StartServe(BinDir() + "/tarvel");
  ASSERT_TRUE(Eventually([] { return IsPresent(kServerTitle); }));
  std::vector<pid_t> servers = ChildrenOf(serve.Pid());
  ASSERT_EQ(servers.size(), 1u);
  kill(servers[0], SIGKILL);
  EXPECT_TRUE(Eventually([] { return !IsPresent(kServerTitle); }, 1000ms));
  EXPECT_TRUE(Eventually([] { return IsPresent(kServerTitle); }, 6000ms));
  bool zombie = true;
  EXPECT_EQ(ChildrenOf(serve.Pid(), &zombie).size(), 1u);
  EXPECT_FALSE(zombie);
  // A second serve leaves at once and leaves the first one's server alone.
  auto start = std::chrono::steady_clock::now();
  RunResult second = RunProgram("tarvel", {"serve"});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("(serve, data folder " + dir_.string() + ")"), std::string::npos)
      << second.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(IsPresent(kServerTitle));
  // SIGTERM: the server is asked to close, serve ends cleanly.
  serve.Signal(SIGTERM);
  EXPECT_EQ(serve.Wait(), 0);
  EXPECT_TRUE(Eventually([] { return !IsPresent(kServerTitle); }));
}

TEST_F(Server, ExitWithoutPresenceTerminatesTheLastStartedServer) {
  // A server that never announces itself: every check starts another one.
  fs::path bin = dir_ / "bin";
  fs::create_directories(bin);
  fs::copy_file(BinDir() + "/tarvel", bin / "tarvel");
  WriteFile(bin / "MediaServer", "#!/bin/sh\necho $$ >> \"" + (dir_ / "pids").string() +
                                     "\"\nexec sleep 30\n");
  fs::permissions(bin / "MediaServer", fs::perms::owner_all);
  Child serve = StartServe((bin / "tarvel").string());
  ASSERT_TRUE(Eventually([&] {
    std::ifstream f(dir_ / "pids");
    int n = 0;
    std::string l;
    while (std::getline(f, l)) ++n;
    return n >= 2;  // the first start and the restart of the first check
  }, 8000ms));
  serve.Signal(SIGTERM);
  ASSERT_GE(serve.Wait(), 0);
  std::ifstream f(dir_ / "pids");
  std::vector<pid_t> pids;
  for (std::string l; std::getline(f, l);) pids.push_back(atoi(l.c_str()));
  ASSERT_GE(pids.size(), 2u);
  for (size_t i = 0; i + 1 < pids.size(); ++i) extra.push_back(pids[i]);
  // The last started is gone (killed and reaped by serve); the earlier ones are ours to clean.
  EXPECT_NE(kill(pids.back(), 0), 0);
}
