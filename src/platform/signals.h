// Turning SIGINT and SIGTERM into a call on an ordinary thread.
#pragma once

#include <signal.h>

#include <functional>
#include <thread>

// SIGINT, SIGTERM and SIGHUP: how the user, the system and a closed terminal
// ask a program to stop.
sigset_t StopSignalSet();

// Blocks SIGINT and SIGTERM in the calling thread (call it before starting any
// other thread, which inherit the mask) and runs `onSignal` on a thread of its
// own when one arrives. Restores the mask it found when destroyed.
class StopSignals {
 public:
  explicit StopSignals(std::function<void(int signal)> onSignal);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  std::function<void(int)> onSignal_;
  std::thread thread_;
  int wakeFd_ = -1;
  sigset_t previous_;
};
