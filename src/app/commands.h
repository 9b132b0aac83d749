// The headless subcommands of tarvel.
#pragma once

#include <string>
#include <vector>

inline constexpr int kUsageError = -2;  // a command's way of asking for the usage text

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>& args);
};

const std::vector<Command>& Commands();

// The folder tarvel was started in: relative paths on the command line are
// taken from there, not from the data folder.
extern std::string g_invocationDir;

// Makes the data folder when it is missing, changes into it and, for a
// command that works on the catalogue, opens (or creates) the catalogue there
// and sets right what an interrupted tarvel left half done; returns 0, or the
// exit code after saying why. A command calls it once its arguments are known
// to be right, so that a usage error leaves every file alone.
int EnterDataFolder(bool catalogue = true);
