#include "app/server_control.h"

#include "platform/presence.h"
#include "platform/process.h"

bool ServerControl::Start() {
  pid_t pid = StartProcess(FindProgram(kServerCommand));
  if (pid < 0) return false;
  last_ = pid;
  started_ = std::chrono::steady_clock::now();
  return true;
}

bool ServerControl::StartUnrecorded() { return StartProcess(FindProgram(kServerCommand)) >= 0; }

bool ServerControl::IsRunning() { return IsPresent(kServerTitle); }

bool ServerControl::AskToClose() { return RequestClose(kServerTitle); }

void ServerControl::Terminate() {
  if (last_ > 0) TerminateChild(last_);
}

void ServerControl::Check() {
  ReapChildren();
  if (IsRunning()) return;  // running, or the old one still closing
  restartPending_ = false;
  if (last_ > 0 && ChildAlive(last_)) {
    // Still starting: wait for it rather than start a second one.
    if (std::chrono::steady_clock::now() - started_ < grace_) return;
    Terminate();
  }
  if (!Start()) Terminate();
}

void ServerControl::Restart() {
  restartPending_ = true;
  AskToClose();
}

void ServerControl::Shutdown() {
  if (!AskToClose()) Terminate();
  ReapChildren();
}
