#include "server/thumbnails.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/fd_io.h"
#include "server/thumbnail_maker.h"

namespace {

constexpr const char* kSuffix = ".jpg";
constexpr const char* kPartSuffix = ".part";
// A kept thumbnail larger than this is not one of ours.
constexpr off_t kMaxThumbnailBytes = 256 * 1024;
// Names looked at when the folder is read at start.
constexpr size_t kMaxFolderEntries = 200'000;
// Files remembered as giving no thumbnail; the memory starts again when full.
constexpr size_t kMaxFailed = 4096;

struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

bool SameTime(const struct stat& a, const struct stat& b) {
  return a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool ReadAll(int fd, off_t size, std::string* out) {
  out->resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < out->size()) {
    ssize_t n = pread(fd, out->data() + done, out->size() - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool IsThumbnailKey(const std::string& key) {
  return key.size() == 16 && std::all_of(key.begin(), key.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Thumbnails::Thumbnails(std::string folder, uint64_t maxBytes, unsigned workers)
    : folder_(std::move(folder)), maxBytes_(maxBytes) {
  std::string probe = folder_ + "/.probe";
  bool made = mkdir(folder_.c_str(), 0700) == 0 || errno == EEXIST;
  int fd = made ? open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600) : -1;
  bool wrote = fd >= 0 && write(fd, "x", 1) == 1;
  if (fd >= 0) {
    wrote = close(fd) == 0 && wrote;
    unlink(probe.c_str());
  }
  if (!wrote) {
    SayOnce("cannot write the thumbnail folder " + folder_ + " (" + strerror(errno) +
            "): serving without thumbnails");
    return;
  }
  enabled_ = true;
  Load();
  for (unsigned i = 0; i < std::max(1u, workers); ++i) workers_.emplace_back([this] { Run(); });
}

Thumbnails::~Thumbnails() {
  std::deque<std::shared_ptr<Job>> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    left.swap(queue_);
  }
  wake_.notify_all();
  for (auto& t : workers_) t.join();
  for (auto& job : left) {
    if (job->fd >= 0) close(job->fd);
    for (auto& done : job->waiting) done("");
  }
}

std::string Thumbnails::PathOf(const std::string& key) const { return folder_ + "/" + key + kSuffix; }

void Thumbnails::SayOnce(const std::string& what) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (said_) return;
    said_ = true;
  }
  fprintf(stderr, "MediaServer: %s\n", what.c_str());
}

// What an earlier run kept, least recently made first; pieces of thumbnails
// that a crash left half-written go.
void Thumbnails::Load() {
  DIR* dir = opendir(folder_.c_str());
  if (!dir) return;
  struct Found {
    int64_t sec, nsec;
    std::string key;
    uint64_t bytes;
  };
  std::vector<Found> found;
  size_t seen = 0;
  while (dirent* e = readdir(dir)) {
    if (++seen > kMaxFolderEntries) break;
    std::string name = e->d_name;
    if (name.size() > 16 && name.compare(16, std::string::npos, kPartSuffix) == 0) {
      unlinkat(dirfd(dir), name.c_str(), 0);
      continue;
    }
    if (name.size() != 20 || name.compare(16, 4, kSuffix) != 0 || !IsThumbnailKey(name.substr(0, 16)))
      continue;
    struct stat st;
    if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    found.push_back({st.st_ctim.tv_sec, st.st_ctim.tv_nsec, name.substr(0, 16),
                     static_cast<uint64_t>(st.st_size)});
  }
  closedir(dir);
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.sec != b.sec ? a.sec < b.sec : a.nsec < b.nsec;
  });
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& f : found) {
    entries_[f.key] = {f.bytes, nextUse_};
    byUse_[nextUse_++] = f.key;
    bytes_ += f.bytes;
  }
  EvictLocked();
}

std::optional<std::string> Thumbnails::Cached(const std::string& key, int fd) {
  if (!enabled_ || !IsThumbnailKey(key)) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!entries_.count(key)) return std::nullopt;
  }
  struct stat source, kept;
  Fd file(open(PathOf(key).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (file.fd < 0 || fstat(fd, &source) != 0 || fstat(file.fd, &kept) != 0 ||
      !S_ISREG(kept.st_mode) || kept.st_size == 0 || kept.st_size > kMaxThumbnailBytes ||
      !SameTime(source, kept))
    return std::nullopt;
  std::string jpeg;
  if (!ReadAll(file.fd, kept.st_size, &jpeg)) return std::nullopt;
  Touch(key);
  return jpeg;
}

bool Thumbnails::Request(const std::string& key, int fd, Done done) {
  return Request(key, fd, [](int source) { return MakeThumbnailFromFd(source).jpeg; }, std::move(done));
}

bool Thumbnails::Request(const std::string& key, int fd, Maker make, Done done) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!enabled_ || stop_ || !IsThumbnailKey(key)) {
    lock.unlock();
    close(fd);
    return false;
  }
  if (auto it = pending_.find(key); it != pending_.end()) {
    it->second->waiting.push_back(std::move(done));
    lock.unlock();
    close(fd);  // the one already waiting serves
    return true;
  }
  if (queue_.size() >= kMaxWaiting) {
    lock.unlock();
    close(fd);
    return false;
  }
  auto job = std::make_shared<Job>();
  job->key = key;
  job->fd = fd;
  job->make = std::move(make);
  job->waiting.push_back(std::move(done));
  pending_[key] = job;
  queue_.push_back(std::move(job));
  lock.unlock();
  wake_.notify_one();
  return true;
}

void Thumbnails::Retain(std::unordered_set<std::string> live) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled_) return;
    retain_ = std::move(live);
  }
  wake_.notify_one();
}

uint64_t Thumbnails::Bytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

size_t Thumbnails::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void Thumbnails::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty() || retain_; });
    if (stop_) return;
    if (retain_) {
      std::unordered_set<std::string> live = std::move(*retain_);
      retain_.reset();
      std::vector<std::string> gone;
      for (const auto& [key, entry] : entries_)
        if (!live.count(key) && !pending_.count(key)) gone.push_back(key);
      for (const auto& key : gone) DropLocked(key);
      std::erase_if(failed_, [&](const auto& f) { return !live.count(f.first); });
      continue;
    }
    std::shared_ptr<Job> job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    Make(*job);
    lock.lock();
    pending_.erase(job->key);
    std::vector<Done> waiting = std::move(job->waiting);
    lock.unlock();
    for (auto& done : waiting) done(job->result);
    lock.lock();
  }
}

void Thumbnails::Make(Job& job) {
  Fd source(job.fd);
  job.fd = -1;
  struct stat st;
  if (fstat(source.fd, &st) != 0) return;
  if (std::optional<std::string> kept = Cached(job.key, source.fd)) {
    job.result = std::move(*kept);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto failed = failed_.find(job.key);
    if (failed != failed_.end() && failed->second.tv_sec == st.st_mtim.tv_sec &&
        failed->second.tv_nsec == st.st_mtim.tv_nsec)
      return;
  }
  std::string made = job.make(source.fd);
  if (made.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_.size() >= kMaxFailed) failed_.clear();
    failed_[job.key] = st.st_mtim;
    return;
  }
  job.result = std::move(made);
  Keep(job.key, job.result, st.st_mtim);
}

// Written beside its final name and renamed: a reader never sees half of it.
// Stamped with the picture's time, which is how Cached() knows its version.
void Thumbnails::Keep(const std::string& key, const std::string& jpeg, const timespec& time) {
  std::string part = folder_ + "/" + key + kPartSuffix, path = PathOf(key);
  int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool ok = fd >= 0 && WriteAll(fd, jpeg);
  timespec times[2] = {time, time};
  ok = ok && futimens(fd, times) == 0;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  ok = ok && rename(part.c_str(), path.c_str()) == 0;
  if (!ok) {
    int why = errno;
    unlink(part.c_str());
    SayOnce("cannot keep thumbnails in " + folder_ + " (" + strerror(why) +
            "): each is made again when asked for");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = entries_.find(key); it != entries_.end()) {
    bytes_ -= it->second.bytes;
    byUse_.erase(it->second.use);
  }
  entries_[key] = {jpeg.size(), nextUse_};
  byUse_[nextUse_++] = key;
  bytes_ += jpeg.size();
  EvictLocked();
}

void Thumbnails::Touch(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  byUse_.erase(it->second.use);
  it->second.use = nextUse_;
  byUse_[nextUse_++] = key;
}

void Thumbnails::EvictLocked() {
  while (bytes_ > maxBytes_ && !byUse_.empty()) DropLocked(byUse_.begin()->second);
}

void Thumbnails::DropLocked(const std::string& key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  unlink(PathOf(key).c_str());
  bytes_ -= it->second.bytes;
  byUse_.erase(it->second.use);
  entries_.erase(it);
}
