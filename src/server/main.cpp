// MediaServer: the companion media server. For now it takes its name from
// "ServerName.change" in its working folder, announces its presence under the
// title "AV MediaServer" and runs until it is asked to close or gets SIGTERM.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/server_name.h"
#include "platform/presence.h"
#include "platform/signals.h"

int main() {
  sigset_t stop = StopSignalSet();
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  int signals = signalfd(-1, &stop, SFD_CLOEXEC);

  const std::string name = ReadServerName(kMaxServerName);  // the whole name
  Presence presence(kServerTitle);
  if (!presence.Ok()) {
    fprintf(stderr, "MediaServer: cannot announce itself in the runtime folder\n");
    return 1;
  }
  fprintf(stderr, "MediaServer: serving as \"%s\"\n", name.c_str());

  pollfd fds[2] = {{presence.CloseRequestFd(), POLLIN, 0}, {signals, POLLIN, 0}};
  while (true) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents) break;
    if ((fds[0].revents & POLLIN) && presence.TakeCloseRequest()) break;
  }
  close(signals);
  return 0;
}
