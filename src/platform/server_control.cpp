#include "platform/server_control.h"

#include <cstdio>

#include "platform/presence.h"
#include "platform/process.h"

bool ServerControl::Start() {
  pid_t pid = StartProcess(FindProgram(kServerCommand));
  if (pid < 0) {
    if (!saidMissing_)
      fprintf(stderr, "tarvel: no %s program could be started (looked beside tarvel and on PATH)\n",
              kServerCommand);
    saidMissing_ = true;
    return false;
  }
  saidMissing_ = false;
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
  if (IsRunning()) {  // running, or the old one still closing
    endedAtStart_ = 0;
    return;
  }
  restartPending_ = false;
  if (last_ > 0 && ChildAlive(last_)) {
    // Still starting: wait for it rather than start a second one.
    if (std::chrono::steady_clock::now() - started_ < grace_) return;
    Terminate();
  } else if (last_ > 0 && ++endedAtStart_ == 3) {
    // The last one we started ended without showing itself: say so once it
    // keeps happening, or a broken server is restarted silently forever.
    fprintf(stderr, "tarvel: %s keeps ending at start (3 times in a row); see its messages\n",
            kServerCommand);
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
