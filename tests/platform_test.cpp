#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/named_mutex.h"
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
  std::this_thread::sleep_for(200ms);
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
