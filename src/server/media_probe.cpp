#include "server/media_probe.h"

#include "server/demuxer.h"
#include "server/thumbnail_maker.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

std::string LowerExtension(const std::string& path) {
  size_t slash = path.rfind('/'), dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

std::string Tag(const AVDictionary* dict, const char* key) {
  const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
  return e && e->value ? e->value : "";
}

// The attached picture to show: the front cover where there are several,
// else the first; -1 when there is none.
int ArtStream(const AVFormatContext* f) {
  int first = -1;
  for (unsigned i = 0; i < f->nb_streams; ++i) {
    const AVStream* st = f->streams[i];
    if (!(st->disposition & AV_DISPOSITION_ATTACHED_PIC) || st->attached_pic.size <= 0) continue;
    if (Tag(st->metadata, "comment") == "Cover (front)") return static_cast<int>(i);
    if (first < 0) first = static_cast<int>(i);
  }
  return first;
}

const char* ArtMime(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_MJPEG: return "image/jpeg";
    case AV_CODEC_ID_PNG: return "image/png";
    case AV_CODEC_ID_BMP: return "image/bmp";
    case AV_CODEC_ID_GIF: return "image/gif";
    default: return nullptr;
  }
}

// "MP3" only for MPEG-1 layer III audio (its sample rates) read as an MP3
// stream that the demuxer recognised from its frames, not from a guess.
const char* AudioProfile(const AVFormatContext* f, const AVStream* audio) {
  if (!audio || strcmp(f->iformat->name, "mp3") != 0 || audio->codecpar->codec_id != AV_CODEC_ID_MP3)
    return nullptr;
  int rate = audio->codecpar->sample_rate;
  if (rate != 32000 && rate != 44100 && rate != 48000) return nullptr;
  if (audio->codecpar->ch_layout.nb_channels > 2) return nullptr;
  return f->probe_score >= AVPROBE_SCORE_EXTENSION ? "MP3" : nullptr;
}

void ReadTags(const AVFormatContext* f, const AVStream* audio, MediaInfo* info) {
  // Most containers keep the tag with the file; Ogg keeps it with the stream.
  const AVDictionary* dict = f->metadata;
  if (!av_dict_count(dict) && audio) dict = audio->metadata;
  if (!av_dict_count(dict)) return;
  info->tagRead = true;
  info->title = Tag(dict, "title");
  info->artist = Tag(dict, "artist");
  if (info->artist.empty()) info->artist = Tag(dict, "album_artist");
  info->album = Tag(dict, "album");
  info->genre = Tag(dict, "genre");
}

// A duration told by timestamps of the first and last packets is taken
// only up to a day: streams joined end to end, whose clock runs backwards,
// come out as a wrap of the 33-bit clock (26.5 hours) less a little.
int64_t Millis(const AVFormatContext* f) {
  constexpr int64_t kMaxFromTimestamps = 24ll * 3600 * AV_TIME_BASE;
  if (f->duration == AV_NOPTS_VALUE || f->duration <= 0) return -1;
  if (f->duration_estimation_method == AVFMT_DURATION_FROM_PTS && f->duration > kMaxFromTimestamps)
    return -1;
  return f->duration / (AV_TIME_BASE / 1000);
}

void ReadContainer(int fd, const ProbeLimits& limits, MediaInfo* info) {
  Demuxer d;
  if (!OpenDemuxer(fd, limits, &d)) return;
  AVFormatContext* f = d.format.get();
  // Stream details may need a frame decoded: never a picture larger than a
  // camera's (an attached picture claiming 30000 x 30000 is refused unread).
  std::vector<AVDictionary*> perStream(f->nb_streams, nullptr);
  for (auto& o : perStream) av_dict_set(&o, "max_pixels", "50000000", 0);
  int rc = avformat_find_stream_info(f, perStream.empty() ? nullptr : perStream.data());
  for (auto& o : perStream) av_dict_free(&o);
  if (rc < 0) return;
  info->millis = Millis(f);
  if (f->bit_rate > 0) info->bytesPerSecond = f->bit_rate / 8;
  const AVStream* video = BestStream(f, AVMEDIA_TYPE_VIDEO);
  const AVStream* audio = BestStream(f, AVMEDIA_TYPE_AUDIO);
  if (video && video->codecpar->width > 0 && video->codecpar->height > 0) {
    info->width = video->codecpar->width;
    info->height = video->codecpar->height;
  }
  if (audio) {
    info->sampleRate = audio->codecpar->sample_rate;
    info->channels = audio->codecpar->ch_layout.nb_channels;
  }
  info->profile = AudioProfile(f, audio);
  ReadTags(f, audio, info);
  int art = ArtStream(f);
  if (art < 0) return;
  const AVStream* pic = f->streams[art];
  if (const char* mime = ArtMime(pic->codecpar->codec_id)) info->artMime = mime;
  // Only a JPEG whose header reads is offered as a thumbnail; any other
  // picture is still offered whole.
  info->artJpeg = info->artMime == "image/jpeg" &&
                  static_cast<size_t>(pic->attached_pic.size) <= kMaxEmbeddedArt &&
                  JpegHeaderFits(pic->attached_pic.data, static_cast<size_t>(pic->attached_pic.size));
}

// ---- JPEG ------------------------------------------------------------------

bool ReadAt(int fd, void* buf, size_t n, uint64_t pos) {
  return pread(fd, buf, n, static_cast<off_t>(pos)) == static_cast<ssize_t>(n);
}

// The size of a JPEG picture from its frame header, and its DLNA profile for
// baseline 8-bit grey or colour pictures only (every JPEG profile is one of
// those); larger than the largest profile, or anything else, gets none.
void ReadJpeg(int fd, uint64_t size, MediaInfo* info) {
  unsigned char m[10];
  if (!ReadAt(fd, m, 2, 0) || m[0] != 0xFF || m[1] != 0xD8) return;
  uint64_t pos = 2;
  for (int segments = 0; segments < 512 && pos + 4 <= size; ++segments) {
    if (!ReadAt(fd, m, 4, pos) || m[0] != 0xFF) return;
    int marker = m[1];
    if (marker == 0xFF) {  // fill byte
      pos += 1;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // no length follows
      pos += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return;  // no frame header before the data
    uint32_t len = (uint32_t(m[2]) << 8) | m[3];
    if (len < 2) return;
    bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                 marker != 0xCC;
    if (frame) {
      if (len < 8 || !ReadAt(fd, m, 6, pos + 4)) return;
      uint32_t height = (uint32_t(m[1]) << 8) | m[2], width = (uint32_t(m[3]) << 8) | m[4];
      if (width == 0 || height == 0) return;
      info->width = static_cast<int>(width);
      info->height = static_cast<int>(height);
      // Progressive, lossless, hierarchical and arithmetic frames fit no profile.
      if (marker != 0xC0 || m[0] != 8 || (m[5] != 1 && m[5] != 3)) return;
      if (width <= 640 && height <= 480) info->profile = "JPEG_SM";
      else if (width <= 1024 && height <= 768) info->profile = "JPEG_MED";
      else if (width <= 4096 && height <= 4096) info->profile = "JPEG_LRG";
      return;
    }
    pos += 2 + uint64_t(len);
  }
}

}  // namespace

MediaInfo ProbeMedia(const std::string& path, const std::string& realRoot, MediaKind kind,
                     const ProbeLimits& limits) {
  MediaInfo info;
  if (kind == MediaKind::Broadcast) return info;
  Fd fd(OpenInsideShare(path, realRoot));
  struct stat st;
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || st.st_size <= 0) return info;
  if (kind == MediaKind::Image) {
    std::string ext = LowerExtension(path);
    if (ext == ".jpg" || ext == ".jpe" || ext == ".jpeg")
      ReadJpeg(fd.fd, static_cast<uint64_t>(st.st_size), &info);
    return info;
  }
  ReadContainer(fd.fd, limits, &info);
  return info;
}

bool ReadEmbeddedArt(const std::string& path, const std::string& realRoot, std::string* bytes,
                     std::string* mime, const ProbeLimits& limits) {
  Fd fd(OpenInsideShare(path, realRoot));
  return fd.fd >= 0 && ReadEmbeddedArtFromFd(fd.fd, bytes, mime, limits);
}

bool ReadEmbeddedArtFromFd(int fd, std::string* bytes, std::string* mime, const ProbeLimits& limits) {
  Demuxer d;
  if (!OpenDemuxer(fd, limits, &d)) return false;
  int art = ArtStream(d.format.get());
  if (art < 0) return false;
  const AVStream* st = d.format->streams[art];
  const char* type = ArtMime(st->codecpar->codec_id);
  if (!type || static_cast<size_t>(st->attached_pic.size) > kMaxEmbeddedArt) return false;
  bytes->assign(reinterpret_cast<const char*>(st->attached_pic.data),
                static_cast<size_t>(st->attached_pic.size));
  *mime = type;
  return true;
}

std::string EmbeddedCoverThumbnail(int fd) {
  std::string bytes, mime;
  if (!ReadEmbeddedArtFromFd(fd, &bytes, &mime) || mime != "image/jpeg") return "";
  return MakeThumbnail(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()).jpeg;
}
