// A deterministic media tree for the benchmarks: 40% MP3 files with real
// ID3v2 and ID3v1 tags, the rest images, videos and other files, about 50 per
// folder, three levels deep.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Writes `files` files below `root` (which must not exist yet).
void GenerateTree(const std::string& root, int files);

// Wall-clock seconds that f takes.
double Seconds(const std::function<void()>& f);

// Runs a program (argv[0] a path) to its end; its exit status, or -1.
int RunToEnd(const std::vector<std::string>& args);
