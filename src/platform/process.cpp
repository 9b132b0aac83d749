#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

extern char** environ;

namespace {

std::mutex g_mutex;
std::set<pid_t> g_children;  // started and not yet reaped

bool Executable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Reaps one child if it has ended; true when it is gone.
bool ReapOne(pid_t pid) {
  int status;
  pid_t r = waitpid(pid, &status, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}

}  // namespace

std::string ProgramBeside(const std::string& name) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  std::string dir(self, static_cast<size_t>(n));
  return dir.substr(0, dir.rfind('/') + 1) + name;
}

std::string FindProgram(const std::string& name) {
  if (std::string beside = ProgramBeside(name); !beside.empty() && Executable(beside)) return beside;
  const char* path = getenv("PATH");
  std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= p.size()) {
    size_t colon = p.find(':', start);
    std::string dir = p.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (Executable(candidate)) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return {};
}

pid_t StartProcess(const std::string& path) {
  if (path.empty()) return -1;
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Our own blocked or caught signals are not the child's business.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  // Nor are our descriptors, close-on-exec or not: one we inherited ourselves
  // (a lock a script holds around us) must not live on in a server that
  // outlives us.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::string arg0 = path;
  char* argv[] = {arg0.data(), nullptr};
  pid_t pid = -1;
  std::lock_guard lock(g_mutex);
  int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;
  g_children.insert(pid);
  return pid;
}

void ReapChildren() {
  std::lock_guard lock(g_mutex);
  for (auto it = g_children.begin(); it != g_children.end();)
    it = ReapOne(*it) ? g_children.erase(it) : std::next(it);
}

bool ChildAlive(pid_t pid) {
  std::lock_guard lock(g_mutex);
  return g_children.count(pid) != 0;
}

bool TerminateChild(pid_t pid, int limitMs) {
  std::lock_guard lock(g_mutex);
  // Only a child not yet reaped: its id cannot have been given to another process.
  if (pid <= 0 || !g_children.count(pid)) return false;
  kill(pid, SIGKILL);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (true) {
    if (ReapOne(pid)) {
      g_children.erase(pid);
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
