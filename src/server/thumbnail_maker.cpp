#include "server/thumbnail_maker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

namespace {

constexpr int kQuality = 85;
constexpr int kApp1 = JPEG_APP0 + 1;

struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf jump;
  bool truncated = false;
  char message[JMSG_LENGTH_MAX] = {};
};

void OnError(j_common_ptr cinfo) {
  auto* e = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, e->message);
  longjmp(e->jump, 1);
}

// Warnings are not printed. A file that ends early decodes as grey below the
// cut; such a picture gets no thumbnail rather than a half-grey one.
void OnMessage(j_common_ptr cinfo, int level) {
  auto* e = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) e->truncated = true;
}

struct Size {
  int width, height;
};

// The size that fits `w` x `h` in the box, aspect kept; never enlarged.
Size FitInBox(int w, int h) {
  if (w <= kThumbnailBox && h <= kThumbnailBox) return {w, h};
  if (w >= h) return {kThumbnailBox, std::max(1, static_cast<int>((int64_t{h} * kThumbnailBox + w / 2) / w))};
  return {std::max(1, static_cast<int>((int64_t{w} * kThumbnailBox + h / 2) / h)), kThumbnailBox};
}

// Area average of an RGB picture down to `to` (never larger than `from`).
std::vector<unsigned char> Shrink(const std::vector<unsigned char>& src, Size from, Size to) {
  std::vector<unsigned char> out(static_cast<size_t>(to.width) * to.height * 3);
  for (int y = 0; y < to.height; ++y) {
    int y0 = static_cast<int>(int64_t{y} * from.height / to.height);
    int y1 = std::max(y0 + 1, static_cast<int>(int64_t{y + 1} * from.height / to.height));
    for (int x = 0; x < to.width; ++x) {
      int x0 = static_cast<int>(int64_t{x} * from.width / to.width);
      int x1 = std::max(x0 + 1, static_cast<int>(int64_t{x + 1} * from.width / to.width));
      uint32_t sum[3] = {0, 0, 0};
      for (int sy = y0; sy < y1; ++sy) {
        const unsigned char* p = &src[(static_cast<size_t>(sy) * from.width + x0) * 3];
        for (int sx = x0; sx < x1; ++sx, p += 3) {
          sum[0] += p[0];
          sum[1] += p[1];
          sum[2] += p[2];
        }
      }
      uint32_t n = static_cast<uint32_t>((y1 - y0) * (x1 - x0));
      unsigned char* o = &out[(static_cast<size_t>(y) * to.width + x) * 3];
      for (int c = 0; c < 3; ++c) o[c] = static_cast<unsigned char>((sum[c] + n / 2) / n);
    }
  }
  return out;
}

// The picture turned as its EXIF orientation says it should be shown.
std::vector<unsigned char> Orient(const std::vector<unsigned char>& src, Size* size, int orientation) {
  if (orientation < 2 || orientation > 8) return src;
  int w = size->width, h = size->height;
  bool swap = orientation >= 5;
  int ow = swap ? h : w, oh = swap ? w : h;
  std::vector<unsigned char> out(src.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int dx = x, dy = y;
      switch (orientation) {
        case 2: dx = w - 1 - x; break;
        case 3: dx = w - 1 - x; dy = h - 1 - y; break;
        case 4: dy = h - 1 - y; break;
        case 5: dx = y; dy = x; break;
        case 6: dx = h - 1 - y; dy = x; break;
        case 7: dx = h - 1 - y; dy = w - 1 - x; break;
        case 8: dx = y; dy = w - 1 - x; break;
      }
      memcpy(&out[(static_cast<size_t>(dy) * ow + dx) * 3], &src[(static_cast<size_t>(y) * w + x) * 3], 3);
    }
  }
  *size = {ow, oh};
  return out;
}

bool Encode(const std::vector<unsigned char>& rgb, Size size, std::string* jpeg, std::string* error) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = OnError;
  err.base.emit_message = OnMessage;
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    free(buffer);
    *error = err.message;
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer, &length);
  cinfo.image_width = static_cast<JDIMENSION>(size.width);
  cinfo.image_height = static_cast<JDIMENSION>(size.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);  // baseline, as JPEG_TN asks
  jpeg_set_quality(&cinfo, kQuality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<unsigned char*>(&rgb[static_cast<size_t>(cinfo.next_scanline) * size.width * 3]);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  jpeg->assign(reinterpret_cast<char*>(buffer), length);
  free(buffer);
  return true;
}

// Decodes at the smallest scale that still covers the thumbnail. `source`
// sets the decoder's input. No C++ object is made between setjmp and the
// decoder's calls that could jump back.
template <typename SetSource>
ThumbnailResult Make(SetSource setSource) {
  ThumbnailResult r;
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = OnError;
  err.base.emit_message = OnMessage;
  std::vector<unsigned char> pixels;
  Size scaled{0, 0};
  volatile int orientation = 1;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    r.error = err.message;
    return r;
  }
  jpeg_create_decompress(&cinfo);
  setSource(&cinfo);
  jpeg_save_markers(&cinfo, kApp1, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.image_width > kMaxThumbnailSourceSide || cinfo.image_height > kMaxThumbnailSourceSide ||
      uint64_t{cinfo.image_width} * cinfo.image_height > kMaxThumbnailSourcePixels) {
    jpeg_destroy_decompress(&cinfo);
    r.error = "the picture is too large (" + std::to_string(cinfo.image_width) + " x " +
              std::to_string(cinfo.image_height) + ")";
    return r;
  }
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m && orientation == 1; m = m->next)
    if (m->marker == kApp1) orientation = ExifOrientation(m->data, m->data_length);
  {
    Size fit = FitInBox(static_cast<int>(cinfo.image_width), static_cast<int>(cinfo.image_height));
    unsigned denom = 8;
    while (denom > 1 && ((cinfo.image_width + denom - 1) / denom < static_cast<unsigned>(fit.width) ||
                         (cinfo.image_height + denom - 1) / denom < static_cast<unsigned>(fit.height)))
      denom /= 2;
    cinfo.scale_num = 1;
    cinfo.scale_denom = denom;
  }
  cinfo.out_color_space = JCS_RGB;
  cinfo.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&cinfo);
  scaled = {static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height)};
  pixels.resize(static_cast<size_t>(scaled.width) * scaled.height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &pixels[static_cast<size_t>(cinfo.output_scanline) * scaled.width * 3];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  if (err.truncated) {
    r.error = "the picture ends early";
    return r;
  }
  Size fit = FitInBox(scaled.width, scaled.height);
  std::vector<unsigned char> small = Shrink(pixels, scaled, fit);
  pixels.clear();
  small = Orient(small, &fit, orientation);
  if (Encode(small, fit, &r.jpeg, &r.error)) {
    r.width = fit.width;
    r.height = fit.height;
  }
  return r;
}

uint32_t Read(const unsigned char* p, int bytes, bool big) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint32_t{p[big ? i : bytes - 1 - i]} << (8 * (bytes - 1 - i));
  return v;
}

}  // namespace

int ExifOrientation(const unsigned char* data, size_t size) {
  if (size < 14 || memcmp(data, "Exif\0\0", 6) != 0) return 1;
  const unsigned char* tiff = data + 6;
  size_t n = size - 6;
  bool big;
  if (memcmp(tiff, "MM\0*", 4) == 0) big = true;
  else if (memcmp(tiff, "II*\0", 4) == 0) big = false;
  else return 1;
  uint32_t ifd = Read(tiff + 4, 4, big);
  if (ifd > n || n - ifd < 2) return 1;
  uint32_t entries = Read(tiff + ifd, 2, big);
  for (uint32_t i = 0; i < entries; ++i) {
    size_t at = ifd + 2 + size_t{i} * 12;
    if (at + 12 > n) return 1;
    if (Read(tiff + at, 2, big) != 0x0112) continue;
    uint32_t value = Read(tiff + at + 8, 2, big);  // a SHORT, left-justified
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
  }
  return 1;
}

bool JpegHeaderFits(const unsigned char* data, size_t size) {
  if (size < 4 || size > kMaxThumbnailSourceBytes || data[0] != 0xFF || data[1] != 0xD8) return false;
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = OnError;
  err.base.emit_message = OnMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  bool fits = cinfo.image_width > 0 && cinfo.image_height > 0 &&
              cinfo.image_width <= kMaxThumbnailSourceSide && cinfo.image_height <= kMaxThumbnailSourceSide &&
              uint64_t{cinfo.image_width} * cinfo.image_height <= kMaxThumbnailSourcePixels;
  jpeg_destroy_decompress(&cinfo);
  return fits;
}

void FitThumbnailBox(int width, int height, int* fitWidth, int* fitHeight) {
  Size fit = FitInBox(width, height);
  *fitWidth = fit.width;
  *fitHeight = fit.height;
}

ThumbnailResult ThumbnailFromRgb(const unsigned char* rgb, int width, int height) {
  ThumbnailResult r;
  if (width <= 0 || height <= 0 || uint64_t(width) * uint64_t(height) > kMaxThumbnailSourcePixels) {
    r.error = "not a picture of a usable size";
    return r;
  }
  Size from{width, height}, fit = FitInBox(width, height);
  std::vector<unsigned char> pixels(rgb, rgb + static_cast<size_t>(width) * height * 3);
  if (fit.width != width || fit.height != height) pixels = Shrink(pixels, from, fit);
  if (Encode(pixels, fit, &r.jpeg, &r.error)) {
    r.width = fit.width;
    r.height = fit.height;
  }
  return r;
}

ThumbnailResult MakeThumbnail(const unsigned char* data, size_t size) {
  if (size == 0 || size > kMaxThumbnailSourceBytes) return {{}, "not a picture of a usable size"};
  return Make([&](j_decompress_ptr cinfo) { jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size)); });
}

ThumbnailResult MakeThumbnailFromFd(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0 ||
      static_cast<uint64_t>(st.st_size) > kMaxThumbnailSourceBytes)
    return {{}, "not a picture of a usable size"};
  int copy = dup(fd);
  FILE* file = copy >= 0 ? fdopen(copy, "rb") : nullptr;
  if (!file) {
    if (copy >= 0) close(copy);
    return {{}, "cannot read the picture"};
  }
  rewind(file);
  ThumbnailResult r = Make([file](j_decompress_ptr cinfo) { jpeg_stdio_src(cinfo, file); });
  fclose(file);
  return r;
}
