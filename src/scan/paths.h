// Paths as the walk handles them: plain byte strings, folders ending with '/'.
#pragma once

#include <string>
#include <utility>

// A folder's identity (device, inode), for noticing a folder met twice
// through symbolic links.
using FolderId = std::pair<unsigned long, unsigned long>;

std::string WithSlash(const std::string& path);
// From the last '.' on, the dot included; the whole name when it has none.
std::string GetExtension(const std::string& name);
std::string GetFileName(const std::string& path);
// Up to and with the last '/'; "" when there is none.
std::string GetDirectory(const std::string& path);
