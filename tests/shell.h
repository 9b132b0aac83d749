// Runs a shell command line for tests that check files with outside tools
// (validators, systemd-analyze): its exit code and what it printed.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <string>

struct ShellResult {
  int status = -1;  // the exit code; -1 when it did not exit normally
  std::string out;  // standard output and standard error together
};

inline ShellResult Shell(const std::string& command) {
  ShellResult r;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
  const int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

inline bool HaveCommand(const std::string& name) {
  return Shell("command -v '" + name + "' >/dev/null").status == 0;
}

// A path in single quotes for the shell.
inline std::string Quoted(const std::string& path) {
  std::string q = "'";
  for (char c : path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
