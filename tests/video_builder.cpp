#include "video_builder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <filesystem>
#include <memory>

namespace video {

namespace {

struct Output {
  AVFormatContext* f = nullptr;
  ~Output() {
    if (!f) return;
    if (f->pb) avio_closep(&f->pb);
    avformat_free_context(f);
  }
};
struct CodecFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

void Paint(AVFrame* frame, std::array<unsigned char, 3> rgb) {
  double r = rgb[0], g = rgb[1], b = rgb[2];
  auto clamp = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); };
  uint8_t y = clamp(16 + 0.257 * r + 0.504 * g + 0.098 * b);
  uint8_t u = clamp(128 - 0.148 * r - 0.291 * g + 0.439 * b);
  uint8_t v = clamp(128 + 0.439 * r - 0.368 * g - 0.071 * b);
  for (int row = 0; row < frame->height; ++row)
    for (int x = 0; x < frame->width; ++x) frame->data[0][row * frame->linesize[0] + x] = y;
  for (int row = 0; row < frame->height / 2; ++row)
    for (int x = 0; x < frame->width / 2; ++x) {
      frame->data[1][row * frame->linesize[1] + x] = u;
      frame->data[2][row * frame->linesize[2] + x] = v;
    }
}

// Sends `frame` (null: the end) and writes what comes out.
bool Encode(AVCodecContext* codec, AVFrame* frame, AVFormatContext* f, AVStream* st, AVPacket* packet) {
  if (avcodec_send_frame(codec, frame) < 0) return false;
  for (;;) {
    int rc = avcodec_receive_packet(codec, packet);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc < 0) return false;
    av_packet_rescale_ts(packet, codec->time_base, st->time_base);
    packet->stream_index = st->index;
    if (av_interleaved_write_frame(f, packet) < 0) return false;
  }
}

}  // namespace

bool Write(const std::string& path, const Clip& clip, const FrameColour& colour) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  Output out;
  if (avformat_alloc_output_context2(&out.f, nullptr, clip.format, path.c_str()) < 0) return false;
  const AVCodec* encoder = avcodec_find_encoder_by_name(clip.codec);
  if (!encoder) return false;
  AVStream* st = avformat_new_stream(out.f, nullptr);
  std::unique_ptr<AVCodecContext, CodecFree> codec(avcodec_alloc_context3(encoder));
  if (!st || !codec) return false;
  codec->width = clip.width;
  codec->height = clip.height;
  codec->time_base = {1, clip.fps};
  codec->framerate = {clip.fps, 1};
  codec->gop_size = clip.keyEvery;
  codec->max_b_frames = 0;
  codec->pix_fmt = AV_PIX_FMT_YUV420P;
  codec->bit_rate = 400000;
  if (out.f->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(codec.get(), encoder, nullptr) < 0) return false;
  if (avcodec_parameters_from_context(st->codecpar, codec.get()) < 0) return false;
  st->time_base = codec->time_base;
  if (avio_open(&out.f->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return false;
  if (avformat_write_header(out.f, nullptr) < 0) return false;
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  frame->format = codec->pix_fmt;
  frame->width = clip.width;
  frame->height = clip.height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
  for (int i = 0; i < clip.frames; ++i) {
    if (av_frame_make_writable(frame.get()) < 0) return false;
    Paint(frame.get(), colour(i));
    frame->pts = i;
    if (!Encode(codec.get(), frame.get(), out.f, st, packet.get())) return false;
  }
  if (!Encode(codec.get(), nullptr, out.f, st, packet.get())) return false;
  return av_write_trailer(out.f) == 0;
}

}  // namespace video
