#pragma once

#include <string>

// True for folders on the kernel's own file systems (/proc, /sys, /dev and
// the like): no media lives there, and walking them would never end.
bool IsPseudoFileSystem(const std::string& folder);
