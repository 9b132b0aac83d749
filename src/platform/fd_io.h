// Writing to a descriptor as a whole: write(2) may take part of a buffer (a
// pipe, a signal), and every caller wants all of it or a failure.
#pragma once

#include <cstddef>
#include <string>

// Writes all of `data`, going on after short writes and EINTR. False on any
// other failure, with errno as write(2) left it.
bool WriteAll(int fd, const void* data, size_t size);
inline bool WriteAll(int fd, const std::string& data) { return WriteAll(fd, data.data(), data.size()); }
