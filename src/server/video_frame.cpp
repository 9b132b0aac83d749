#include <chrono>
#include <memory>
#include <vector>

#include "server/demuxer.h"
#include "server/video_thumbnail.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace {

// Larger frames than an 8K picture's are not decoded.
constexpr int64_t kMaxFramePixels = 36'000'000;
// Packets of the video stream read past the seek before we take what we have.
constexpr int kMaxPackets = 1500;
// The whole read and decode, less than the time the parent gives the child.
constexpr auto kDecodeTime = std::chrono::seconds(8);

struct CodecDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScaleDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

ThumbnailResult Failed(const char* why) { return {{}, why}; }

// Where a tenth of the video lies, in the stream's time; none when the
// length is not known (the first frame is taken then).
int64_t TenthInto(const AVFormatContext* f, const AVStream* st) {
  if (f->duration == AV_NOPTS_VALUE || f->duration <= 0) return AV_NOPTS_VALUE;
  int64_t start = f->start_time == AV_NOPTS_VALUE ? 0 : f->start_time;
  return av_rescale_q(start + f->duration / 10, AV_TIME_BASE_Q, st->time_base);
}

// Decodes from the key frame before `target` up to the first frame at or
// past it; the last frame decoded when the stream ends or the bound is met.
Frame DecodeAt(AVFormatContext* f, const AVStream* st, AVCodecContext* codec, int64_t target) {
  if (target != AV_NOPTS_VALUE && av_seek_frame(f, st->index, target, AVSEEK_FLAG_BACKWARD) < 0)
    av_seek_frame(f, st->index, 0, AVSEEK_FLAG_BACKWARD);
  Frame best(av_frame_alloc()), frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (!best || !frame || !packet) return nullptr;
  bool got = false, ended = false;
  for (int packets = 0; packets < kMaxPackets && !ended;) {
    if (av_read_frame(f, packet.get()) < 0) {
      ended = true;
      avcodec_send_packet(codec, nullptr);  // what the decoder holds comes out
    } else if (packet->stream_index != st->index) {
      av_packet_unref(packet.get());
      continue;
    } else {
      ++packets;
      int sent = avcodec_send_packet(codec, packet.get());
      av_packet_unref(packet.get());
      if (sent < 0 && sent != AVERROR(EAGAIN)) continue;  // a damaged packet: the next may do
    }
    while (avcodec_receive_frame(codec, frame.get()) == 0) {
      av_frame_unref(best.get());
      av_frame_move_ref(best.get(), frame.get());
      got = true;
      int64_t at = best->best_effort_timestamp;
      if (target == AV_NOPTS_VALUE || at == AV_NOPTS_VALUE || at >= target) return best;
    }
  }
  return got ? std::move(best) : nullptr;
}

// The frame shrunk into the thumbnail box as it is shown (its pixels may
// not be square), as RGB.
ThumbnailResult Shrink(AVFormatContext* f, AVStream* st, AVFrame* frame) {
  int w = frame->width, h = frame->height;
  if (w <= 0 || h <= 0 || int64_t{w} * h > kMaxFramePixels) return Failed("the frame has no usable size");
  AVRational sar = av_guess_sample_aspect_ratio(f, st, frame);
  int64_t shown = sar.num > 0 && sar.den > 0 ? av_rescale(w, sar.num, sar.den) : w;
  if (shown <= 0 || shown > 4 * int64_t{w}) shown = w;
  int tw = 0, th = 0;
  FitThumbnailBox(static_cast<int>(shown), h, &tw, &th);
  std::unique_ptr<SwsContext, ScaleDeleter> scale(
      sws_getContext(w, h, static_cast<AVPixelFormat>(frame->format), tw, th, AV_PIX_FMT_RGB24,
                     SWS_AREA, nullptr, nullptr, nullptr));
  if (!scale) return Failed("the frame's pixel format cannot be converted");
  std::vector<unsigned char> rgb(static_cast<size_t>(tw) * th * 3);
  uint8_t* planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
  int strides[4] = {tw * 3, 0, 0, 0};
  if (sws_scale(scale.get(), frame->data, frame->linesize, 0, h, planes, strides) != th)
    return Failed("the frame could not be converted");
  return ThumbnailFromRgb(rgb.data(), tw, th);
}

}  // namespace

ThumbnailResult VideoFrameThumbnail(int fd) {
  ProbeLimits limits;
  limits.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kDecodeTime);
  Demuxer d;
  if (!OpenDemuxer(fd, limits, &d)) return Failed("not a video libavformat reads");
  AVFormatContext* f = d.format.get();
  std::vector<AVDictionary*> perStream(f->nb_streams, nullptr);
  for (auto& o : perStream) av_dict_set(&o, "max_pixels", std::to_string(kMaxFramePixels).c_str(), 0);
  int found = avformat_find_stream_info(f, perStream.empty() ? nullptr : perStream.data());
  for (auto& o : perStream) av_dict_free(&o);
  if (found < 0) return Failed("the video's streams cannot be read");
  AVStream* st = const_cast<AVStream*>(BestStream(f, AVMEDIA_TYPE_VIDEO));
  const AVCodec* decoder = st ? avcodec_find_decoder(st->codecpar->codec_id) : nullptr;
  if (!decoder) return Failed("no video stream we can decode");
  std::unique_ptr<AVCodecContext, CodecDeleter> codec(avcodec_alloc_context3(decoder));
  if (!codec || avcodec_parameters_to_context(codec.get(), st->codecpar) < 0)
    return Failed("the decoder cannot be set up");
  codec->thread_count = 1;  // one core's worth: the child's CPU time is bounded
  codec->max_pixels = kMaxFramePixels;
  if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return Failed("the decoder cannot be opened");
  for (unsigned i = 0; i < f->nb_streams; ++i)
    if (static_cast<int>(i) != st->index) f->streams[i]->discard = AVDISCARD_ALL;
  Frame frame = DecodeAt(f, st, codec.get(), TenthInto(f, st));
  if (!frame) return Failed("no frame could be decoded");
  return Shrink(f, st, frame.get());
}
