// Shared test helpers: a temporary working folder holding a fresh catalogue,
// and running the built programs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shares/share_view.h"
#include "shares/shared_folder_core.h"

namespace fs = std::filesystem;

// Makes a temporary folder, changes into it and creates the catalogue there.
class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  fs::path dir_;
  fs::path oldCwd_;
};

// Ends (SIGKILL) and reaps every process the test started that is still
// there: its children and, orphaned, theirs. Returns how many were running.
int EndLeftoverProcesses();

// Everything the engine shows, recorded.
class RecordingView : public ShareView {
 public:
  void CreateProgress(int range) override { ranges.push_back(range); }
  void SetProgress(int position) override { last = position; }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void Warn(const std::string& text) override {
    std::lock_guard lock(warnMutex);
    warnings.push_back(text);
  }
  // The warnings so far; the change monitor adds them from its own thread.
  std::vector<std::string> Warnings() {
    std::lock_guard lock(warnMutex);
    return warnings;
  }
  void ShowWaitingLabel(const std::string& text) override { waiting.push_back(text); }
  std::vector<int> ranges;
  std::atomic<int> last{0};
  std::vector<std::string> messages, warnings, waiting;
  std::mutex warnMutex;
};

// The sharing engine on a fresh catalogue, every media type enabled, its
// view recorded.
class EngineTest : public CatalogTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  RecordingView view;  // outlives the engine's workers
  CSharedFolderCore core;
};

// Polls `condition` until it holds or `limit` has passed.
template <typename F>
bool Eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// True while someone (a thread, or another process) waits for the named
// mutex: a blocked lock shows in /proc/locks.
bool LockWaitedFor(const std::string& mutexName);

// Result of one SQL query as rows of text cells ("" for NULL).
std::vector<std::vector<std::string>> Rows(const std::string& sql);
int Count(const std::string& table);

// Writes `bytes` to `path`, creating parent folders.
void WriteFile(const fs::path& path, const std::string& bytes = "x");
std::string ReadFile(const fs::path& path);

struct RunResult {
  int status = -1;  // exit code, or -1 when killed (or stopped for running too long)
  std::string out;
  std::string err;
};
// Runs a program built by this project (from TARVEL_BIN_DIR) with arguments,
// in the current folder, standard input from /dev/null. One that runs longer
// than `limit` is killed, so that a hung program fails its test.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds limit = std::chrono::seconds(60));
std::string BinDir();

// A program a test runs in the background. It is killed (SIGKILL) and reaped
// when the object goes, also when the test fails half way, and it dies with
// the test process. Standard input is /dev/null; its output and error go to
// files in the current folder when `logName` is given.
class Child {
 public:
  Child() = default;
  explicit Child(pid_t forked) : pid_(forked) {}  // a child the test forked itself
  Child(const std::string& path, const std::vector<std::string>& args,
        const std::string& logName = "");
  ~Child() { Kill(); }
  Child(Child&& other) noexcept : pid_(other.pid_), status_(other.status_) { other.pid_ = -1; }
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }
  void Signal(int signal) const;
  // Waits for the child to end: its exit code, 128 + the signal that ended
  // it, or -1 when it still ran after `limit` (it is left running).
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
  void Kill();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};
// `tarvel ARGS` from the build, in the background.
Child StartTarvel(const std::vector<std::string>& args, const std::string& logName = "");

// Holds a walk at its pause point (platform/pause_point.h): this process and
// the programs it starts from now on wait there once, until Release. Made in
// the current folder; released and taken away when the object goes.
class WalkPause {
 public:
  WalkPause();
  ~WalkPause();
  WalkPause(const WalkPause&) = delete;
  WalkPause& operator=(const WalkPause&) = delete;
  // True once a walk waits at the pause point (it is held there until Release).
  bool Reached();
  void Release();

 private:
  std::string path_;
  int writer_ = -1;
};
