#include "platform/signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

StopSignals::StopSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  sigset_t set = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
  int sfd = signalfd(-1, &set, SFD_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this, sfd] {
    pollfd fds[2] = {{sfd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    while (true) {
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) break;
      if (fds[0].revents) {
        signalfd_siginfo info;
        if (read(sfd, &info, sizeof info) == sizeof info) onSignal_(static_cast<int>(info.ssi_signo));
      }
    }
    close(sfd);
  });
}

StopSignals::~StopSignals() {
  uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
  }
  thread_.join();
  close(wakeFd_);
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}
