// Keeping the companion media server running: start it, see whether it is
// present, ask it to close, terminate it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

inline constexpr const char* kServerCommand = "MediaServer";

class ServerControl {
 public:
  // Starts the server and records it as the last one started. False when it
  // could not be started.
  bool Start();
  // Starts a server without recording it (the name page's restart).
  static bool StartUnrecorded();
  static bool IsRunning();
  static bool AskToClose();
  // Ends the last recorded server (SIGKILL: an exit code cannot be imposed
  // from outside here). Nothing happens when none was recorded.
  void Terminate();
  // The periodic check: reaps ended servers; when none is present starts one,
  // and when that start fails terminates the last recorded one. A server we
  // started that is still alive but has not announced itself yet is given
  // `grace` (4 s, less than the panel's 5-second tick) before it counts as
  // absent, and is then ended before the next start, so a slow start never
  // leaves two servers running.
  void Check();
  // A new name: asks the present server to close; the next Check that finds
  // it gone starts the new one (recorded), so the old and the new server
  // never run side by side and a check never starts a second one.
  void Restart();
  bool RestartPending() const { return restartPending_; }
  void SetGrace(std::chrono::milliseconds grace) { grace_ = grace; }
  // The exit sequence: ask a present server to close, else terminate the last
  // recorded one.
  void Shutdown();
  pid_t LastStarted() const { return last_; }

 private:
  pid_t last_ = -1;
  bool restartPending_ = false;
  std::chrono::steady_clock::time_point started_;
  std::chrono::milliseconds grace_{4000};
  int endedAtStart_ = 0;  // starts in a row that ended without becoming present
  bool saidMissing_ = false;
};
