#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

// The shared script: named by TARVEL_NS_SH, else beside the checkout (as CI
// lays it out), else where the team keeps it.
std::string FindScript() {
  std::vector<std::string> candidates;
  if (const char* env = getenv("TARVEL_NS_SH")) candidates.push_back(env);
  candidates.push_back(std::string(TARVEL_SOURCE_DIR) + "/../shared/upnp/ns.sh");
  candidates.push_back("/work/shared/upnp/ns.sh");
  for (const auto& c : candidates)
    if (access(c.c_str(), R_OK) == 0) return c;
  return "";
}

// Runs `bash script arg` with NS_PIDFILE set; true on exit status 0.
bool RunScript(const std::string& script, const std::string& pidFile, const char* arg) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("NS_PIDFILE", pidFile.c_str(), 1);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execlp("timeout", "timeout", "-k", "2", "20", "bash", script.c_str(), arg, nullptr);
    _exit(127);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace

bool PrivateNetwork::Enter(std::string* why) {
  if (geteuid() != 0) {
    *why = "needs root to make a private network namespace";
    return false;
  }
  script_ = FindScript();
  if (script_.empty()) {
    *why = "ns.sh not found (set TARVEL_NS_SH)";
    return false;
  }
  pidFile_ = (std::filesystem::temp_directory_path() /
              ("tarvel-test-ns." + std::to_string(getpid()) + ".pid"))
                 .string();
  // A file of that name is left by an earlier process of our number that
  // was killed before it stopped its namespace: "start" would join that one,
  // with whatever still listens in it.
  RunScript(script_, pidFile_, "stop");
  if (!RunScript(script_, pidFile_, "start")) {
    *why = "ns.sh could not make a namespace";
    return false;
  }
  std::ifstream in(pidFile_);
  int holder = 0;
  in >> holder;
  int fd = holder > 0 ? open(("/proc/" + std::to_string(holder) + "/ns/net").c_str(),
                             O_RDONLY | O_CLOEXEC)
                      : -1;
  bool ok = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
  if (fd >= 0) close(fd);
  if (!ok) *why = "cannot enter the namespace";
  return ok;
}

PrivateNetwork::~PrivateNetwork() {
  if (!pidFile_.empty()) RunScript(script_, pidFile_, "stop");
}
