#include "server/video_thumbnail.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fd_io.h"

extern char** environ;

namespace {

// What the child may use. The address space bounds a decoder that a crafted
// file sends allocating; the sanitizers' shadow memory needs far more, so a
// sanitized build goes without that one bound.
constexpr rlim_t kChildAddressSpace = 1024ull * 1024 * 1024;
constexpr rlim_t kChildCpuSeconds = 10;
// A JPEG_TN is far smaller; more from the child means it went wrong.
constexpr size_t kMaxOutput = 256 * 1024;

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

struct SpawnActions {
  posix_spawn_file_actions_t a;
  SpawnActions() { posix_spawn_file_actions_init(&a); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&a); }
};
struct SpawnAttributes {
  posix_spawnattr_t a;
  SpawnAttributes() { posix_spawnattr_init(&a); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&a); }
};

// The child's output, until it closes the pipe, sends too much or the time
// is up; false in the last two cases.
bool ReadUntil(int fd, std::chrono::steady_clock::time_point deadline, std::string* out) {
  char buffer[16 * 1024];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    if (out->size() + static_cast<size_t>(n) > kMaxOutput) return false;
    out->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

std::string MakeVideoThumbnail(int fd, const VideoThumbnailer& how) {
  if (how.command.empty() || fd < 0) return "";
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return "";
  Fd from(ends[0]), to(ends[1]);
  SpawnActions actions;
  posix_spawn_file_actions_adddup2(&actions.a, fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions.a, to.fd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions.a, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The child starts with no signal blocked and the usual dispositions,
  // whatever the thread that starts it has.
  SpawnAttributes attributes;
  sigset_t none, reset;
  sigemptyset(&none);
  sigemptyset(&reset);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&reset, sig);
  posix_spawnattr_setsigmask(&attributes.a, &none);
  posix_spawnattr_setsigdefault(&attributes.a, &reset);
  posix_spawnattr_setflags(&attributes.a, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const std::string& a : how.command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions.a, &attributes.a, argv.data(), environ) != 0) return "";
  to.Close();
  std::string jpeg;
  bool whole = ReadUntil(from.fd, std::chrono::steady_clock::now() + how.timeout, &jpeg);
  if (!whole) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  bool ok = whole && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
            JpegHeaderFits(reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
  return ok ? jpeg : "";
}

int RunVideoThumbnailHelper() {
  // Bounds first: nothing of the video is read before they hold.
  rlimit cpu{kChildCpuSeconds, kChildCpuSeconds + 1}, none{0, 0};
  if (setrlimit(RLIMIT_CPU, &cpu) != 0 || setrlimit(RLIMIT_CORE, &none) != 0 ||
      setrlimit(RLIMIT_FSIZE, &none) != 0)
    return 2;
#ifndef __SANITIZE_ADDRESS__
  rlimit space{kChildAddressSpace, kChildAddressSpace};
  if (setrlimit(RLIMIT_AS, &space) != 0) return 2;
#endif
  close_range(3, ~0U, 0);
  signal(SIGPIPE, SIG_IGN);
  ThumbnailResult made = VideoFrameThumbnail(STDIN_FILENO);
  if (made.jpeg.empty() || !WriteAll(STDOUT_FILENO, made.jpeg)) return 1;
  return 0;
}
