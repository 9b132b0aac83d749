// The command line of tarvel: global options and the headless subcommands.
#pragma once

// Runs tarvel with its arguments; returns the process exit code.
int RunTarvel(int argc, char** argv);
