// A program's presence, found by its title, and the request to close it: our
// stand-in for a top-level window with a title that other programs find and
// post a close message to.
//
// The program holds a shared flock() on "<title>.presence" in the runtime
// folder while it runs: the lock dies with the process, so a crashed or killed
// program is absent at once, whatever files it left. Close requests are bytes
// written into the FIFO "<title>.close", which only a live program reads.
#pragma once

#include <string>

inline constexpr const char* kServerTitle = "AV MediaServer";

// True when a live process holds the presence of `title`.
bool IsPresent(const std::string& title);

// Asks one present holder of `title` to close; false when none reads requests.
// Does not wait for it to end.
bool RequestClose(const std::string& title);

// Waits until no live process holds the presence of `title`; false when one
// still does after `limitMs`.
bool WaitUntilAbsent(const std::string& title, int limitMs);

// Held by the program itself for as long as it is present.
class Presence {
 public:
  explicit Presence(const std::string& title);
  ~Presence();
  Presence(const Presence&) = delete;
  Presence& operator=(const Presence&) = delete;

  bool Ok() const { return lockFd_ >= 0 && closeFd_ >= 0; }
  // Readable when a close request arrives; read it with TakeCloseRequest.
  int CloseRequestFd() const { return closeFd_; }
  bool TakeCloseRequest();

 private:
  int lockFd_ = -1;
  int closeFd_ = -1;
};
