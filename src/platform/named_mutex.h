// Named mutexes: locks that coordinate threads of this process and other
// processes alike, addressed by name. Each is an flock() on a file in the
// runtime folder, so a holder that dies releases it at once and no stale lock
// survives a crash; descriptors are close-on-exec, so a process we start never
// inherits a lock.
#pragma once

#include <memory>
#include <string>

class NamedMutex {
 public:
  // Opens the mutex by name (creating its file when needed); null when the
  // runtime folder cannot be used, in which case callers go on without it.
  static std::unique_ptr<NamedMutex> Open(const std::string& name);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  void Wait();     // blocks until owned
  bool TryWait();  // owns it if free
  void Release();
  // A line the owner leaves in the mutex's file for others to read (who
  // holds it, for what); replaced whole.
  void SetNote(const std::string& note);
  static std::string ReadNote(const std::string& name);

 private:
  explicit NamedMutex(int fd) : fd_(fd) {}
  int fd_;
};

// Opens and waits for a named mutex; releases it on destruction. Works without
// the mutex when it cannot be opened.
class NamedLock {
 public:
  explicit NamedLock(const std::string& name);
  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  bool Held() const { return mutex_ != nullptr; }

 private:
  std::unique_ptr<NamedMutex> mutex_;
};

// The single-instance guard, kept in *held for the process's life by the
// first instance. False when another live process (or another guard object)
// has it; true with *held null when the runtime folder cannot be used, in
// which case the program goes on unguarded.
bool ClaimSingleInstance(const std::string& name, std::unique_ptr<NamedMutex>* held);

inline constexpr const char* kInstanceMutex = "AVServer";
inline constexpr const char* kCatalogueMutex = "DBSYNICMUTEX";
inline constexpr const char* kAlternateMutex = "ALTERNATEMUTEX";
