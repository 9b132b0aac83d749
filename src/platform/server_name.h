// The media server's name, kept in "ServerName.change" in the working folder:
// the name's raw bytes, no terminator, no line end.
#pragma once

#include <string>

inline constexpr const char* kServerNameFile = "ServerName.change";
inline constexpr const char* kDefaultServerName = "tarvel";
inline constexpr size_t kMaxServerName = 255;  // bytes

// The name as the name page shows it: "tarvel" when the file is missing, else
// its first `limit` bytes (the page shows 100) up to the first zero byte.
// Read under "ALTERNATEMUTEX".
std::string ReadServerName(size_t limit = 100);

// Replaces the file's content with exactly the name's bytes; the old file
// stays whole if the new one cannot be written. False on failure.
bool WriteServerName(const std::string& name);
