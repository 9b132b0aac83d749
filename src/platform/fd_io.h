// Writing to a descriptor as a whole: write(2) may take part of a buffer (a
// pipe, a signal), and every caller wants all of it or a failure. And
// comparing a file with what it should hold, to leave it alone when it does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Writes all of `data`, going on after short writes and EINTR. False on any
// other failure, with errno as write(2) left it.
bool WriteAll(int fd, const void* data, size_t size);
inline bool WriteAll(int fd, const std::string& data) { return WriteAll(fd, data.data(), data.size()); }

// Whether the file open on `fd` holds exactly `content`, from its start to
// its end. Reads no more than one byte past `content`; the file offset stays.
bool FileHolds(int fd, std::string_view content);
