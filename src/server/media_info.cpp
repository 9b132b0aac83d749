#include "server/media_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <taglib/aifffile.h>
#include <taglib/asffile.h>
#include <taglib/tdebuglistener.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

uint32_t Be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint32_t Le32(const unsigned char* p) {
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}
uint64_t Be64(const unsigned char* p) { return (uint64_t(Be32(p)) << 32) | Be32(p + 4); }

bool ReadAt(int fd, void* buf, size_t n, uint64_t pos) {
  return pread(fd, buf, n, static_cast<off_t>(pos)) == static_cast<ssize_t>(n);
}

int Seconds(uint64_t s) { return s > 0x7fffffff ? -1 : static_cast<int>(s); }

// The fields of an MPEG audio frame header that tell one stream from another.
bool SameStream(const unsigned char* a, const unsigned char* b) {
  return b[0] == 0xFF && (b[1] & 0xFE) == (a[1] & 0xFE) && ((b[2] >> 2) & 3) == ((a[2] >> 2) & 3) &&
         (b[2] >> 4) != 15 && (b[2] >> 4) != 0;
}

// Playing time of MPEG audio from its first frame header (or the frame count
// a Xing/Info/VBRI header gives); the profile "MP3" only for MPEG-1 layer III
// whose first header is confirmed by a second one right after the frame.
MediaInfo MpegAudioInfo(int fd, uint64_t size) {
  MediaInfo info;
  unsigned char head[10];
  uint64_t start = 0;
  if (ReadAt(fd, head, 10, 0) && memcmp(head, "ID3", 3) == 0) {
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
    size_t vbri = static_cast<size_t>(i) + 36;
    if (xing + 12 <= static_cast<size_t>(n) &&
        (memcmp(local + xing, "Xing", 4) == 0 || memcmp(local + xing, "Info", 4) == 0) &&
        (Be32(local + xing + 4) & 1)) {
      info.seconds = Seconds(uint64_t(Be32(local + xing + 8)) * samples / rate);
    } else if (vbri + 18 <= static_cast<size_t>(n) && memcmp(local + vbri, "VBRI", 4) == 0) {
      info.seconds = Seconds(uint64_t(Be32(local + vbri + 14)) * samples / rate);
    } else {
      uint64_t audio = size - start - static_cast<uint64_t>(i);
      unsigned char tag[3];
      if (size >= 128 && ReadAt(fd, tag, 3, size - 128) && memcmp(tag, "TAG", 3) == 0 &&
          audio >= 128)
        audio -= 128;
      info.seconds = Seconds(audio * 8 / static_cast<uint64_t>(bitrate));
    }
    if (mpeg1 && layer == 1) {
      uint64_t next = start + static_cast<uint64_t>(i) + 144ull * bitrate / rate + ((h[2] >> 1) & 1);
      unsigned char second[4];
      if (next + 4 <= size && ReadAt(fd, second, 4, next) && SameStream(h, second))
        info.profile = "MP3";
    }
    return info;
  }
  return info;
}

int WavDuration(int fd, uint64_t size) {
  unsigned char h[12];
  if (!ReadAt(fd, h, 12, 0) || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4) != 0)
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

// Playing time of an AVI file: frames times the time a frame takes, the
// frame count of the whole file (OpenDML "dmlh") where there is one.
int AviSeconds(int fd, uint64_t size) {
  unsigned char h[12];
  if (!ReadAt(fd, h, 12, 0) || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "AVI ", 4) != 0 ||
      !ReadAt(fd, h, 12, 12) || memcmp(h, "LIST", 4) != 0 || memcmp(h + 8, "hdrl", 4) != 0)
    return -1;
  uint64_t end = std::min<uint64_t>(size, 12 + 8 + uint64_t(Le32(h + 4)));
  uint32_t usPerFrame = 0, frames = 0, allFrames = 0;
  uint64_t pos = 24;
  for (int chunks = 0; chunks < 256 && pos + 12 <= end; ++chunks) {
    unsigned char c[12];
    if (!ReadAt(fd, c, 12, pos)) break;
    uint32_t len = Le32(c + 4);
    if (memcmp(c, "avih", 4) == 0 && len >= 20 && ReadAt(fd, c, 12, pos + 8)) {
      usPerFrame = Le32(c);
      unsigned char f[4];
      if (ReadAt(fd, f, 4, pos + 8 + 16)) frames = Le32(f);
    } else if (memcmp(c, "LIST", 4) == 0 && memcmp(c + 8, "odml", 4) == 0) {
      unsigned char d[12];
      if (ReadAt(fd, d, 12, pos + 12) && memcmp(d, "dmlh", 4) == 0 && Le32(d + 4) >= 4)
        allFrames = Le32(d + 8);
    }
    pos += 8 + uint64_t(len) + (len & 1);
  }
  if (allFrames > frames) frames = allFrames;
  if (!usPerFrame || !frames) return -1;
  return Seconds(uint64_t(frames) * usPerFrame / 1000000);
}

// Playing time of an MP4 file from its movie header ("moov", then "mvhd").
int Mp4Seconds(int fd, uint64_t size) {
  uint64_t pos = 0, end = size;
  bool inMovie = false;
  for (int boxes = 0; boxes < 1024 && pos + 8 <= end; ++boxes) {
    unsigned char h[16];
    if (!ReadAt(fd, h, 8, pos)) return -1;
    uint64_t len = Be32(h), header = 8;
    if (len == 1) {
      if (!ReadAt(fd, h + 8, 8, pos + 8)) return -1;
      len = Be64(h + 8);
      header = 16;
    } else if (len == 0) {
      len = end - pos;  // to the end
    }
    if (len < header || len > end - pos) return -1;
    if (!inMovie && memcmp(h + 4, "moov", 4) == 0) {
      inMovie = true;
      end = pos + len;
      pos += header;
      continue;
    }
    if (inMovie && memcmp(h + 4, "mvhd", 4) == 0) {
      unsigned char v[32];
      uint64_t timescale, duration;
      if (len < header + 20 || !ReadAt(fd, v, 1, pos + header)) return -1;
      if (v[0] == 1) {
        if (len < header + 32 || !ReadAt(fd, v, 32, pos + header)) return -1;
        timescale = Be32(v + 20);
        duration = Be64(v + 24);
        if (duration == ~0ull) return -1;
      } else {
        if (!ReadAt(fd, v, 20, pos + header)) return -1;
        timescale = Be32(v + 12);
        duration = Be32(v + 16);
        if (duration == 0xffffffffull) return -1;
      }
      return timescale ? Seconds(duration / timescale) : -1;
    }
    pos += len;
  }
  return -1;
}

// The system clock of an MPEG program stream pack header whose fields start
// at `p` (after 00 00 01 BA), in 90 kHz ticks; -1 unless its marker bits are
// right (so a pattern inside the payload is not taken for one).
int64_t PackClock(const unsigned char* p) {
  if ((p[0] & 0xC4) == 0x44 && (p[2] & 0x04) && (p[4] & 0x04))  // MPEG-2
    return (int64_t((p[0] >> 3) & 7) << 30) | (int64_t(p[0] & 3) << 28) | (int64_t(p[1]) << 20) |
           (int64_t(p[2] >> 3) << 15) | (int64_t(p[2] & 3) << 13) | (int64_t(p[3]) << 5) | (p[4] >> 3);
  if ((p[0] & 0xF1) == 0x21 && (p[2] & 1) && (p[4] & 1))  // MPEG-1
    return (int64_t((p[0] >> 1) & 7) << 30) | (int64_t(p[1]) << 22) | (int64_t(p[2] >> 1) << 15) |
           (int64_t(p[3]) << 7) | (p[4] >> 1);
  return -1;
}

// Playing time of an MPEG program stream (also a VCD's .dat): the clock of
// the last pack header less that of the first. A clock that runs backwards
// (streams joined end to end) gives none rather than a wrong one.
int ProgramStreamSeconds(int fd, uint64_t size) {
  constexpr size_t kWindow = 256 * 1024;
  std::vector<unsigned char> buf(kWindow);
  auto clockIn = [&](uint64_t from, bool last) -> int64_t {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kWindow, size - from));
    if (n < 9 || !ReadAt(fd, buf.data(), n, from)) return -1;
    for (size_t k = 0; k + 9 <= n; ++k) {
      size_t i = last ? n - 9 - k : k;
      if (buf[i] == 0 && buf[i + 1] == 0 && buf[i + 2] == 1 && buf[i + 3] == 0xBA) {
        int64_t clock = PackClock(&buf[i + 4]);
        if (clock >= 0) return clock;
      }
    }
    return -1;
  };
  int64_t first = clockIn(0, false);
  int64_t last = clockIn(size > kWindow ? size - kWindow : 0, true);
  if (first < 0 || last <= first) return -1;
  int64_t seconds = (last - first) / 90000;
  return seconds <= 24 * 3600 ? static_cast<int>(seconds) : -1;
}

// TagLib prints what it dislikes in a file; a server has no one to read it.
class QuietTagLib : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

// Playing time of WMA and AIFF files, as TagLib reads it.
int TagLibSeconds(const std::string& path, bool asf) {
  static QuietTagLib quiet;
  static bool once = (TagLib::setDebugListener(&quiet), true);
  (void)once;
  std::unique_ptr<TagLib::File> file;
  if (asf) file = std::make_unique<TagLib::ASF::File>(path.c_str(), true, TagLib::AudioProperties::Average);
  else file = std::make_unique<TagLib::RIFF::AIFF::File>(path.c_str(), true, TagLib::AudioProperties::Average);
  if (!file->isValid() || !file->audioProperties() || file->audioProperties()->lengthInMilliseconds() <= 0)
    return -1;
  return file->audioProperties()->lengthInSeconds();
}

// The DLNA profile of a JPEG file by its size, for baseline 8-bit grey or
// colour images only (every JPEG profile is one of those); larger than the
// largest profile, or anything else, gets none.
const char* JpegProfile(int fd, uint64_t size) {
  unsigned char m[10];
  if (!ReadAt(fd, m, 2, 0) || m[0] != 0xFF || m[1] != 0xD8) return nullptr;
  uint64_t pos = 2;
  for (int segments = 0; segments < 512 && pos + 4 <= size; ++segments) {
    if (!ReadAt(fd, m, 4, pos) || m[0] != 0xFF) return nullptr;
    int marker = m[1];
    if (marker == 0xFF) {  // fill byte
      pos += 1;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // no length follows
      pos += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return nullptr;  // no frame header before the data
    uint32_t len = (uint32_t(m[2]) << 8) | m[3];
    if (len < 2) return nullptr;
    if (marker == 0xC0) {
      if (len < 8 || !ReadAt(fd, m, 6, pos + 4)) return nullptr;
      uint32_t height = (uint32_t(m[1]) << 8) | m[2], width = (uint32_t(m[3]) << 8) | m[4];
      if (m[0] != 8 || (m[5] != 1 && m[5] != 3) || width == 0 || height == 0) return nullptr;
      if (width <= 640 && height <= 480) return "JPEG_SM";
      if (width <= 1024 && height <= 768) return "JPEG_MED";
      if (width <= 4096 && height <= 4096) return "JPEG_LRG";
      return nullptr;
    }
    // Any other frame type: progressive, lossless, hierarchical, arithmetic.
    if (marker >= 0xC1 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
      return nullptr;
    pos += 2 + uint64_t(len);
  }
  return nullptr;
}

std::string KeyOf(const MediaFile& f) { return f.path + '\n' + std::to_string(f.size); }

}  // namespace

MediaInfo ReadMediaInfo(const std::string& path) {
  MediaInfo info;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return info;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    size_t slash = path.rfind('/'), dot = path.rfind('.');
    std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                          ? ""
                          : path.substr(dot);
    for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (ext == ".mp3" || ext == ".mp2" || ext == ".mp1" || ext == ".mpa") info = MpegAudioInfo(fd, size);
    else if (ext == ".wav") info.seconds = WavDuration(fd, size);
    else if (ext == ".avi") info.seconds = AviSeconds(fd, size);
    else if (ext == ".mp4") info.seconds = Mp4Seconds(fd, size);
    else if (ext == ".mpg" || ext == ".mpeg" || ext == ".mpeg2" || ext == ".vob" || ext == ".dat")
      info.seconds = ProgramStreamSeconds(fd, size);
    else if (ext == ".wma") info.seconds = TagLibSeconds(path, true);
    else if (ext == ".aif" || ext == ".aiff") info.seconds = TagLibSeconds(path, false);
    else if (ext == ".jpg" || ext == ".jpe" || ext == ".jpeg") info.profile = JpegProfile(fd, size);
  }
  close(fd);
  return info;
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
  for (const MediaFile& f : content.Files()) {
    if (f.kind == MediaKind::Broadcast || !f.present) continue;
    std::string key = KeyOf(f);
    if (!known_.count(key)) queue_.push_back({key, f.path});
  }
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
    auto [key, path] = queue_.back();
    queue_.pop_back();
    lock.unlock();
    MediaInfo info = ReadMediaInfo(path);
    lock.lock();
    known_[key] = info;
  }
}
