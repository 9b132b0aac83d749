#include "server/media_info.h"

#include <algorithm>
#include <cstdio>
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
  std::string out;
  char buf[64];
  if (info.millis >= 0) {
    int64_t s = info.millis / 1000;
    snprintf(buf, sizeof buf, " duration=\"%lld:%02d:%02d.%03d\"", static_cast<long long>(s / 3600),
             static_cast<int>(s / 60 % 60), static_cast<int>(s % 60),
             static_cast<int>(info.millis % 1000));
    out += buf;
  }
  if (info.bytesPerSecond > 0) out += " bitrate=\"" + std::to_string(info.bytesPerSecond) + '"';
  if (info.width > 0 && info.height > 0)
    out += " resolution=\"" + std::to_string(info.width) + 'x' + std::to_string(info.height) + '"';
  if (info.sampleRate > 0) out += " sampleFrequency=\"" + std::to_string(info.sampleRate) + '"';
  if (info.channels > 0) out += " nrAudioChannels=\"" + std::to_string(info.channels) + '"';
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
  std::unordered_set<std::string> wanted;
  for (const MediaFile& f : content.Files()) {
    if (f.kind == MediaKind::Broadcast || !f.present) continue;
    std::string key = KeyOf(f);
    if (!known_.count(key)) queue_.push_back({key, f.path, f.realRoot, f.kind});
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
  auto it = known_.find(KeyOf(file));
  return it == known_.end() ? MediaInfo{} : it->second;
}

void MediaInfoCache::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    Job job = std::move(queue_.back());
    queue_.pop_back();
    lock.unlock();
    MediaInfo info = ProbeMedia(job.path, job.realRoot, job.kind);
    lock.lock();
    known_[job.key] = std::move(info);
  }
}
