// Starting, reaping and terminating child processes. Every child started here
// is reaped: by Reap() (call it from time to time) or by Terminate().
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The program `name` in the folder of our own executable, there or not;
// empty when our own executable cannot be told.
std::string ProgramBeside(const std::string& name);
// The program `name` from the folder of our own executable when it is there,
// else from PATH; empty when found in neither.
std::string FindProgram(const std::string& name);

// Starts the program with no arguments, in our working folder with our
// environment, with default signal handling and nothing of ours inherited
// but standard input, output and error. Returns the process id, or -1.
pid_t StartProcess(const std::string& path);

// Reaps every child started by StartProcess that has ended.
void ReapChildren();

// True while the child has not been reaped (it may have ended already).
bool ChildAlive(pid_t pid);

// Kills the child (SIGKILL) and reaps it, waiting at most `limitMs`. False
// when it was not our live child or did not end in time.
bool TerminateChild(pid_t pid, int limitMs = 2000);
