#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <thread>

#include "platform/named_mutex.h"
#include "platform/presence.h"
#include "platform/process.h"
#include "platform/runtime_dir.h"
#include "testing.h"

using namespace std::chrono_literals;

namespace {

class Platform : public CatalogTest {};

// Runs `body` in a child process and returns its exit code.
template <typename F>
int InChild(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(Platform, NamedMutexExcludesOtherProcessesAndThreads) {
  auto held = NamedMutex::Open("DBSYNICMUTEX");
  ASSERT_TRUE(held);
  held->Wait();
  EXPECT_EQ(InChild([] { return NamedMutex::Open("DBSYNICMUTEX")->TryWait() ? 1 : 0; }), 0);
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    NamedLock lock("DBSYNICMUTEX");
    got = true;
  });
  EXPECT_TRUE(Eventually([] { return LockWaitedFor("DBSYNICMUTEX"); }));
  EXPECT_FALSE(got);
  held->Release();
  waiter.join();
  EXPECT_TRUE(got);
  EXPECT_EQ(InChild([] { return NamedMutex::Open("DBSYNICMUTEX")->TryWait() ? 1 : 0; }), 1);
}

TEST_F(Platform, AHolderThatDiesReleasesTheMutex) {
  EXPECT_EQ(InChild([] {
              auto m = NamedMutex::Open("ALTERNATEMUTEX");
              m->Wait();
              _exit(7);  // never released
              return 0;
            }),
            7);
  auto m = NamedMutex::Open("ALTERNATEMUTEX");
  EXPECT_TRUE(m->TryWait());
}

TEST_F(Platform, AProcessWeStartDoesNotInheritALock) {
  std::unique_ptr<NamedMutex> instance;
  ASSERT_TRUE(ClaimSingleInstance("AVServer", &instance));
  std::unique_ptr<NamedMutex> second;
  EXPECT_FALSE(ClaimSingleInstance("AVServer", &second));
  WriteFile("sleeper", "#!/bin/sh\nexec sleep 5\n");
  fs::permissions("sleeper", fs::perms::owner_all);
  pid_t child = StartProcess((dir_ / "sleeper").string());
  ASSERT_GT(child, 0);
  instance.reset();  // we let go; the child must not keep it
  EXPECT_TRUE(ClaimSingleInstance("AVServer", &second));
  EXPECT_TRUE(second != nullptr);
  EXPECT_TRUE(TerminateChild(child));
  EXPECT_FALSE(ChildAlive(child));
}

TEST_F(Platform, AProcessWeStartInheritsNoDescriptorButTheStandardOnes) {
  // A lock a script holds around us, on a descriptor we inherited as it is
  // (not close-on-exec): a server we start must not keep it after we end.
  int inherited = open("held.lock", O_RDWR | O_CREAT, 0600);
  ASSERT_GE(inherited, 3);
  ASSERT_EQ(flock(inherited, LOCK_EX), 0);
  WriteFile("sleeper", "#!/bin/sh\nexec sleep 5\n");
  fs::permissions("sleeper", fs::perms::owner_all);
  pid_t child = StartProcess((dir_ / "sleeper").string());
  ASSERT_GT(child, 0);
  close(inherited);
  int again = open("held.lock", O_RDWR);
  EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0);
  close(again);
  EXPECT_TRUE(TerminateChild(child));
}

TEST_F(Platform, RuntimeFolderMustBeOursAndPrivate) {
  EXPECT_EQ(RuntimeDir(), (dir_ / "run" / "tarvel").string());
  chmod((dir_ / "run" / "tarvel").c_str(), 0777);
  EXPECT_EQ(RuntimeDir(), "");
  EXPECT_EQ(NamedMutex::Open("DBSYNICMUTEX"), nullptr);  // callers go on without it
  std::unique_ptr<NamedMutex> instance;
  EXPECT_TRUE(ClaimSingleInstance("AVServer", &instance));  // unguarded, not refused
  NamedLock lock("DBSYNICMUTEX");
  EXPECT_FALSE(lock.Held());
  EXPECT_EQ(NamedMutex::Open("../escape"), nullptr);
}

TEST_F(Platform, ProgramsAreFoundBesideUsFirstThenOnThePath) {
  EXPECT_EQ(FindProgram("definitely-not-a-program-here"), "");
  std::string sh = FindProgram("sh");
  ASSERT_GE(sh.size(), 3u);
  EXPECT_EQ(sh.substr(sh.size() - 3), "/sh");
  EXPECT_EQ(access(sh.c_str(), X_OK), 0);
  EXPECT_EQ(StartProcess(""), -1);
}

// A program found present can always be asked to close: its close pipe is in
// place before its presence shows. Held between the two (the presence lock
// is ours for a while), the request already reaches it.
TEST_F(Platform, WhoeverIsPresentTakesCloseRequests) {
  const std::string lockPath = RuntimeDir() + "/Held Title.presence";
  int held = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);  // its shared lock waits for us
  std::atomic<bool> took{false}, made{false};
  std::thread program([&] {
    Presence presence("Held Title");
    made = true;
    took = Eventually([&] { return presence.TakeCloseRequest(); }, 10s);
  });
  bool asked = Eventually([] { return RequestClose("Held Title"); }, 3s);
  EXPECT_FALSE(made);  // still waiting for the presence lock
  close(held);
  program.join();
  EXPECT_TRUE(asked);
  EXPECT_TRUE(made);
  EXPECT_TRUE(took);
}

// Signals we block or ignore ourselves are not passed on: a server started
// while the panel blocks SIGTERM and ignores SIGINT still ends on either.
TEST_F(Platform, AProcessWeStartEndsOnSigtermAndSigint) {
  WriteFile("sleeper", "#!/bin/sh\nexec sleep 30\n");
  fs::permissions("sleeper", fs::perms::owner_all);
  sigset_t blocked, old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &old), 0);
  pid_t first = StartProcess((dir_ / "sleeper").string());
  struct sigaction ignore {}, before {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &before);
  pid_t second = StartProcess((dir_ / "sleeper").string());
  sigaction(SIGINT, &before, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  // Let both be sleep(1) itself before they are signalled.
  auto exe = [](pid_t pid) {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).filename().string();
  };
  EXPECT_TRUE(Eventually([&] { return exe(first) == "sleep" && exe(second) == "sleep"; }));
  kill(first, SIGTERM);
  kill(second, SIGINT);
  EXPECT_TRUE(Eventually([&] { ReapChildren(); return !ChildAlive(first) && !ChildAlive(second); }))
      << "a started program ignored the signal";
  TerminateChild(first);
  TerminateChild(second);
}
