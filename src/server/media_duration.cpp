#include "server/media_duration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

uint32_t Be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint32_t Le32(const unsigned char* p) {
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

int Mp3Duration(int fd, uint64_t size) {
  unsigned char head[10];
  uint64_t start = 0;
  if (pread(fd, head, 10, 0) == 10 && memcmp(head, "ID3", 3) == 0) {
    start = 10 + ((uint64_t(head[6] & 0x7F) << 21) | (uint64_t(head[7] & 0x7F) << 14) |
                  (uint64_t(head[8] & 0x7F) << 7) | uint64_t(head[9] & 0x7F));
    if (head[5] & 0x10) start += 10;  // footer
  }
  unsigned char local[16 * 1024];
  ssize_t n = pread(fd, local, sizeof local, static_cast<off_t>(start));
  static const int kBitrates[2][3][16] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}}};
  static const int kRates[3] = {44100, 48000, 32000};
  for (ssize_t i = 0; i + 4 <= n; ++i) {
    const unsigned char* h = local + i;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) continue;
    int version = (h[1] >> 3) & 3;  // 3: MPEG 1, 2: MPEG 2, 0: MPEG 2.5
    int layer = (h[1] >> 1) & 3;    // 3: I, 2: II, 1: III
    int bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer == 0 || bitrateIndex == 15 || bitrateIndex == 0 || rateIndex == 3)
      continue;
    bool mpeg1 = version == 3;
    int rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    int bitrate = kBitrates[mpeg1 ? 0 : 1][3 - layer][bitrateIndex] * 1000;
    int samples = layer == 3 ? 384 : (layer == 2 || mpeg1) ? 1152 : 576;
    bool mono = (h[3] >> 6) == 3;
    // A Xing/Info or VBRI header tells the frame count of a variable-rate file.
    size_t side = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    size_t xing = static_cast<size_t>(i) + 4 + side;
    if (xing + 12 <= static_cast<size_t>(n) &&
        (memcmp(local + xing, "Xing", 4) == 0 || memcmp(local + xing, "Info", 4) == 0) &&
        (Be32(local + xing + 4) & 1))
      return static_cast<int>(uint64_t(Be32(local + xing + 8)) * samples / rate);
    size_t vbri = static_cast<size_t>(i) + 36;
    if (vbri + 18 <= static_cast<size_t>(n) && memcmp(local + vbri, "VBRI", 4) == 0)
      return static_cast<int>(uint64_t(Be32(local + vbri + 14)) * samples / rate);
    uint64_t audio = size - start - static_cast<uint64_t>(i);
    unsigned char tag[3];
    if (size >= 128 && pread(fd, tag, 3, static_cast<off_t>(size - 128)) == 3 &&
        memcmp(tag, "TAG", 3) == 0 && audio >= 128)
      audio -= 128;
    return static_cast<int>(audio * 8 / static_cast<uint64_t>(bitrate));
  }
  return -1;
}

int WavDuration(int fd, uint64_t size) {
  unsigned char h[12];
  if (pread(fd, h, 12, 0) != 12 || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4) != 0)
    return -1;
  uint64_t pos = 12;
  uint32_t byteRate = 0;
  for (int chunks = 0; chunks < 64 && pos + 8 <= size; ++chunks) {
    unsigned char c[16];
    if (pread(fd, c, 8, static_cast<off_t>(pos)) != 8) return -1;
    uint32_t len = Le32(c + 4);
    if (memcmp(c, "fmt ", 4) == 0 && len >= 16) {
      if (pread(fd, c, 16, static_cast<off_t>(pos + 8)) != 16) return -1;
      byteRate = Le32(c + 8);
    } else if (memcmp(c, "data", 4) == 0) {
      uint64_t data = std::min<uint64_t>(len, size - pos - 8);
      return byteRate ? static_cast<int>(data / byteRate) : -1;
    }
    pos += 8 + len + (len & 1);
  }
  return -1;
}

std::string KeyOf(const MediaFile& f) { return f.path + '\n' + std::to_string(f.size); }

}  // namespace

int ReadDuration(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  int seconds = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    std::string ext = path.substr(path.rfind('.') == std::string::npos ? path.size() : path.rfind('.'));
    for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (ext == ".mp3" || ext == ".mp2" || ext == ".mp1" || ext == ".mpa") seconds = Mp3Duration(fd, size);
    else if (ext == ".wav") seconds = WavDuration(fd, size);
  }
  close(fd);
  return seconds;
}

DurationCache::DurationCache() : thread_([this] { Run(); }) {}

DurationCache::~DurationCache() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void DurationCache::Prepare(const Content& content) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
  for (const MediaFile& f : content.Files()) {
    if (f.kind != MediaKind::Audio || !f.present) continue;
    std::string key = KeyOf(f);
    if (!seconds_.count(key)) queue_.push_back({key, f.path});
  }
  wake_.notify_all();
}

int DurationCache::Get(const MediaFile& file) {
  if (file.kind != MediaKind::Audio) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = seconds_.find(KeyOf(file));
  return it == seconds_.end() ? -1 : it->second;
}

void DurationCache::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    auto [key, path] = queue_.back();
    queue_.pop_back();
    lock.unlock();
    int seconds = ReadDuration(path);
    lock.lock();
    seconds_[key] = seconds;
  }
}
