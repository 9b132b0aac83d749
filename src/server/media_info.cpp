#include "server/media_info.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <unordered_set>

#include "server/media_probe.h"

namespace {

std::string KeyOf(const MediaFile& f) {
  return f.path + '\n' + std::to_string(f.size) + '\n' + std::to_string(f.mtimeNs);
}

const std::string& Either(const std::string& tag, const std::string& catalogue) {
  return tag.empty() ? catalogue : tag;
}

}  // namespace

ShownTexts TextsOf(const MediaFile& f, const MediaInfo& info) {
  // A tag read says an artist named "Others" is one; the catalogue's
  // placeholder of the same text (already "") says nothing.
  return {Either(info.title, f.title), Either(info.artist, f.artist), Either(info.album, f.album),
          Either(info.genre, f.genre)};
}

std::string ResDetails(const MediaInfo& info) {
  // No formatting library: every item of every page has these.
  std::string out;
  out.reserve(160);
  auto number = [&out](int64_t v, int width = 1) {
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    for (int pad = width - static_cast<int>(end - digits); pad > 0; --pad) out += '0';
    out.append(digits, end);
  };
  if (info.millis >= 0) {
    int64_t s = info.millis / 1000;
    out += " duration=\"";
    number(s / 3600);
    out += ':';
    number(s / 60 % 60, 2);
    out += ':';
    number(s % 60, 2);
    out += '.';
    number(info.millis % 1000, 3);
    out += '"';
  }
  auto attribute = [&](const char* name, int64_t v) {
    out += name;
    number(v);
    out += '"';
  };
  if (info.bytesPerSecond > 0) attribute(" bitrate=\"", info.bytesPerSecond);
  if (info.width > 0 && info.height > 0) {
    out += " resolution=\"";
    number(info.width);
    out += 'x';
    number(info.height);
    out += '"';
  }
  if (info.sampleRate > 0) attribute(" sampleFrequency=\"", info.sampleRate);
  if (info.channels > 0) attribute(" nrAudioChannels=\"", info.channels);
  return out;
}

MediaInfoCache::MediaInfoCache() : thread_([this] { Run(); }) {}

MediaInfoCache::~MediaInfoCache() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void MediaInfoCache::Prepare(const Content& content) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
  ++generation_;
  const std::vector<MediaFile>& files = content.Files();
  files_ = files.data();
  byIndex_.assign(files.size(), nullptr);
  std::unordered_set<std::string> wanted;
  for (size_t i = 0; i < files.size(); ++i) {
    const MediaFile& f = files[i];
    if (f.kind == MediaKind::Broadcast || !f.present) continue;
    std::string key = KeyOf(f);
    auto it = known_.find(key);
    if (it != known_.end()) byIndex_[i] = it->second;
    else queue_.push_back({key, f.path, f.realRoot, f.kind, i});
    wanted.insert(std::move(key));
  }
  // What the tree no longer holds (a file gone, or written since) goes.
  for (auto it = known_.begin(); it != known_.end();)
    it = wanted.count(it->first) ? std::next(it) : known_.erase(it);
  // The first files of the tree are read first.
  std::reverse(queue_.begin(), queue_.end());
  wake_.notify_all();
}

MediaInfo MediaInfoCache::Get(const MediaFile& file) {
  if (file.kind == MediaKind::Broadcast) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  // Compared as addresses: std::less orders any two pointers.
  std::less<const MediaFile*> below;
  if (files_ && !below(&file, files_) && below(&file, files_ + byIndex_.size())) {
    const Known& known = byIndex_[static_cast<size_t>(&file - files_)];
    return known ? *known : MediaInfo{};
  }
  auto it = known_.find(KeyOf(file));
  return it == known_.end() ? MediaInfo{} : *it->second;
}

void MediaInfoCache::Run() {
  // The lowest priority there is: a processor that runs only this thread
  // counts as idle, so the loop and the clients on this machine never wait
  // for it (at nice 19 it still kept a processor of two to itself while a
  // freshly shared library was read, and halved the streaming rate).
  sched_param idle{};
  if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle) != 0)
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    Job job = std::move(queue_.back());
    queue_.pop_back();
    uint64_t generation = generation_;
    lock.unlock();
    auto info = std::make_shared<const MediaInfo>(ProbeMedia(job.path, job.realRoot, job.kind));
    lock.lock();
    known_[job.key] = info;
    if (generation == generation_ && job.index < byIndex_.size()) byIndex_[job.index] = info;
  }
}
