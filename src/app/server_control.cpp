#include "app/server_control.h"

#include "platform/presence.h"
#include "platform/process.h"

bool ServerControl::Start() {
  pid_t pid = StartProcess(FindProgram(kServerCommand));
  if (pid < 0) return false;
  last_ = pid;
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
  if (IsRunning()) return;
  if (!Start()) Terminate();
}

void ServerControl::Shutdown() {
  if (!AskToClose()) Terminate();
  ReapChildren();
}
