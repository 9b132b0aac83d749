#include "testing.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "catalog/database.h"
#include "catalog/schema.h"
#include "platform/runtime_dir.h"
#include "shares/folder_selection.h"

namespace {

// Processes (other than us) whose working folder lies in `dir`: the programs a
// test starts work in its folder.
std::vector<pid_t> ProcessesIn(const fs::path& dir) {
  std::vector<pid_t> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const pid_t pid = atoi(entry.path().filename().c_str());
    if (pid <= 0 || pid == getpid()) continue;
    std::error_code gone;
    const std::string cwd = fs::read_symlink(entry.path() / "cwd", gone).string();
    if (!gone && (cwd == dir.string() || cwd.rfind(dir.string() + "/", 0) == 0)) out.push_back(pid);
  }
  return out;
}

}  // namespace

int EndLeftoverProcesses() {
  int ended = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const pid_t pid = atoi(entry.path().filename().c_str());
    if (pid <= 0) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos || close + 4 > line.size()) continue;
    if (atoi(line.c_str() + close + 4) != getpid()) continue;  // not our child
    if (line[close + 2] != 'Z') {
      kill(pid, SIGKILL);
      ++ended;
    }
    waitpid(pid, nullptr, 0);
  }
  return ended;
}

void CatalogTest::SetUp() {
  // A process that a program under test starts and leaves behind (a server
  // outlives the tarvel that started it) comes to us when it is orphaned, so
  // that TearDown can end it.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  oldCwd_ = fs::current_path();
  std::string tmpl = (fs::temp_directory_path() / "tarvel-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  dir_ = fs::canonical(tmpl);
  fs::current_path(dir_);
  // Locks and presence files of this test stay in its own folder.
  fs::create_directory(dir_ / "run");
  fs::permissions(dir_ / "run", fs::perms::owner_all);
  setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
  ASSERT_EQ(EnsureCatalogueSchema(kCatalogueFile), 0);
}

void CatalogTest::TearDown() {
  fs::current_path(oldCwd_);
  EndLeftoverProcesses();
  // Nothing the test started may outlive it, passed or failed.
  std::vector<pid_t> escaped = ProcessesIn(dir_);
  for (pid_t pid : escaped) kill(pid, SIGKILL);
  EXPECT_TRUE(escaped.empty()) << escaped.size() << " process(es) left in " << dir_;
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void EngineTest::SetUp() {
  CatalogTest::SetUp();
  g_enabledMediaTypes.LoadAll();
  core.SetView(&view);
  core.SetEchoList(false);
}

void EngineTest::TearDown() {
  core.StopMonitor();
  g_enabledMediaTypes.LoadAll();
  CatalogTest::TearDown();
}

std::vector<std::vector<std::string>> Rows(const std::string& sql) {
  std::vector<std::vector<std::string>> out;
  CatalogConnection db = OpenCatalogue();
  if (!db) return out;
  Recordset rs = Query(db.get(), sql);
  while (rs->Next()) {
    std::vector<std::string> row;
    for (int c = 0; c < rs->columnCount; ++c) row.push_back(rs->Text(c));
    out.push_back(std::move(row));
  }
  return out;
}

int Count(const std::string& table) {
  auto rows = Rows("select count(*) from " + table);
  return rows.empty() ? -1 : std::atoi(rows[0][0].c_str());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string BinDir() {
  const char* d = getenv("TARVEL_BIN_DIR");
  return d ? d : TARVEL_DEFAULT_BIN_DIR;
}

namespace {
std::string Slurp(int fd) {
  std::string s;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}
}  // namespace

namespace {

// fork and exec with the child bound to us: it gets SIGKILL when the test
// process dies. Only async-signal-safe calls between fork and exec.
pid_t Spawn(const std::string& path, const std::vector<std::string>& args, int out, int err) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  std::string arg0 = path;
  argv.push_back(arg0.data());
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, 0);
    if (out >= 0) dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int StatusCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds limit) {
  RunResult r;
  std::string path = BinDir() + "/" + program;
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  pid_t pid = Spawn(path, args, fileno(out), fileno(err));
  if (pid > 0) {
    auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << program << " still ran after " << limit.count() << " ms; killed";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  r.out = Slurp(fileno(out));
  r.err = Slurp(fileno(err));
  fclose(out);
  fclose(err);
  return r;
}

Child::Child(const std::string& path, const std::vector<std::string>& args,
             const std::string& logName) {
  int out = -1, err = -1;
  if (!logName.empty()) {
    out = open((logName + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    err = open((logName + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  pid_ = Spawn(path, args, out, err);
  if (out >= 0) close(out);
  if (err >= 0) close(err);
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    Kill();
    pid_ = other.pid_;
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

void Child::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

int Child::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return status_;
  auto end = std::chrono::steady_clock::now() + limit;
  while (true) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      status_ = StatusCode(status);
      return status_;
    }
    if (r < 0 || std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void Child::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  if (waitpid(pid_, &status, 0) == pid_) status_ = StatusCode(status);
  pid_ = -1;
}

Child StartTarvel(const std::vector<std::string>& args, const std::string& logName) {
  return Child(BinDir() + "/tarvel", args, logName);
}

WalkPause::WalkPause() : path_((fs::current_path() / "walk.pause").string()) {
  unlink(path_.c_str());
  EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0);
  setenv("TARVEL_PAUSE_FIFO", path_.c_str(), 1);
}

WalkPause::~WalkPause() {
  Release();
  unsetenv("TARVEL_PAUSE_FIFO");
  unlink(path_.c_str());
}

bool WalkPause::Reached() {
  // Opening without blocking succeeds only while a reader has the FIFO open.
  if (writer_ < 0) writer_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  return writer_ >= 0;
}

void WalkPause::Release() {
  Reached();
  if (writer_ >= 0) close(writer_);
  writer_ = -1;
}

bool LockWaitedFor(const std::string& mutexName) {
  struct stat st;
  if (stat((RuntimeDirPath() + "/" + mutexName + ".lock").c_str(), &st) != 0) return false;
  // A waiter's line: "1: -> FLOCK  ADVISORY  WRITE 4321 08:01:123456 0 EOF".
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);)
    if (line.find(" -> ") != std::string::npos && line.find(inode) != std::string::npos) return true;
  return false;
}
