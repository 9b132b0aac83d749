#include "server_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

extern char** environ;

namespace {

std::string Slurp(FILE* f) {
  std::string s;
  rewind(f);
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

}  // namespace

Output Capture(std::vector<std::string> args, int seconds) {
  std::vector<std::string> full = {"timeout", "-k", "2", std::to_string(seconds)};
  full.insert(full.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : full) argv.push_back(a.data());
  argv.push_back(nullptr);
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fileno(out), 1);
  posix_spawn_file_actions_adddup2(&fa, fileno(err), 2);
  Output r;
  pid_t pid;
  if (posix_spawnp(&pid, "timeout", &fa, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&fa);
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

bool PortOpen(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

pid_t StartMediaServer(int port, const fs::path& log, const std::vector<std::string>& extra,
                       rlim_t descriptors) {
  std::vector<std::string> args = {BinDir() + "/MediaServer", "--interface", "lo", "--port",
                                   std::to_string(port)};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 2);
    if (descriptors > 0) {
      struct rlimit r = {descriptors, descriptors};
      setrlimit(RLIMIT_NOFILE, &r);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void NetworkTest::SetUp() {
  CatalogTest::SetUp();
  std::string why;
  if (!net_.Enter(&why)) GTEST_SKIP() << why;
  entered_ = true;
}
