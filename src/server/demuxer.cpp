#include "server/demuxer.h"

#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <cerrno>
#include <mutex>

void AvIoDeleter::operator()(AVIOContext* io) const {
  if (!io) return;
  av_freep(&io->buffer);
  avio_context_free(&io);
}

namespace {

// The demuxers of the containers the catalogue holds. Nothing else is tried:
// playlists, network formats and those that open further files among them.
constexpr const char* kDemuxers = "mp3,wav,aiff,asf,avi,mov,mpeg,mpegts,mpegvideo,flac,ogg,matroska";

int ReadPacket(void* opaque, uint8_t* buf, int n) {
  auto* s = static_cast<DemuxSource*>(opaque);
  ssize_t got = pread(s->fd, buf, static_cast<size_t>(n), s->pos);
  if (got < 0) return AVERROR(errno);
  if (got == 0) return AVERROR_EOF;
  s->pos += got;
  return static_cast<int>(got);
}

int64_t Seek(void* opaque, int64_t offset, int whence) {
  auto* s = static_cast<DemuxSource*>(opaque);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return s->size;
  int64_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? s->pos + offset
                                          : whence == SEEK_END ? s->size + offset
                                                               : -1;
  if (to < 0) return AVERROR(EINVAL);
  s->pos = to;
  return to;
}

int Interrupted(void* opaque) {
  return std::chrono::steady_clock::now() > static_cast<DemuxSource*>(opaque)->deadline;
}

// A demuxer asking for another file (a reference, a playlist entry) gets none.
int RefuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

void QuietLibav() {
  static std::once_flag once;
  // A server has no one to read libavformat's complaints about a file.
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

}  // namespace

bool OpenDemuxer(int fd, const ProbeLimits& limits, Demuxer* d) {
  QuietLibav();
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  d->source = {fd, 0, st.st_size, std::chrono::steady_clock::now() + limits.timeout};
  constexpr int kBuffer = 64 * 1024;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
  if (!buffer) return false;
  d->io.reset(avio_alloc_context(buffer, kBuffer, 0, &d->source, ReadPacket, nullptr, Seek));
  if (!d->io) {
    av_free(buffer);
    return false;
  }
  AVFormatContext* f = avformat_alloc_context();
  if (!f) return false;
  f->pb = d->io.get();
  f->flags |= AVFMT_FLAG_CUSTOM_IO;
  f->interrupt_callback = {Interrupted, &d->source};
  f->io_open = RefuseOpen;
  f->probesize = limits.probeBytes;
  f->max_analyze_duration = limits.analyzeMicros;
  f->max_streams = 32;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "format_whitelist", kDemuxers, 0);
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  int rc = avformat_open_input(&f, "", nullptr, &options);  // frees `f` when it fails
  av_dict_free(&options);
  if (rc < 0) return false;
  d->format.reset(f);
  return true;
}

const AVStream* BestStream(const AVFormatContext* f, AVMediaType type) {
  for (unsigned i = 0; i < f->nb_streams; ++i) {
    const AVStream* st = f->streams[i];
    if (st->codecpar->codec_type == type && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
      return st;
  }
  return nullptr;
}
