// Which decoder makes JPEG_TN thumbnails fastest: libjpeg-turbo's scaled
// decode (what MediaServer uses), GdkPixbuf at scale and libvips'
// shrink-on-load thumbnailing, on the same camera-size JPEGs in one run.
// Each decoder runs alone in a process of its own (one thread each, as one
// worker of the server), so its peak memory is its own.
//
//   bench_thumbnails [COUNT] [FOLDER]
// makes COUNT (500) 4000 x 3000 JPEGs in FOLDER (kept for the next run;
// every fourth one says "turn right" and every seventh "upside down" in its
// EXIF), then prints thumbnails per second, CPU seconds, peak memory and the
// quality (PSNR against an exact area average of the full picture) of each.
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <jpeglib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "server/thumbnail_maker.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 4000, kHeight = 3000;
constexpr int kQualitySamples = 8;

int OrientationOf(int i) { return i % 4 == 1 ? 6 : i % 7 == 3 ? 3 : 1; }

std::string NameOf(const std::string& folder, int i) {
  char name[32];
  snprintf(name, sizeof name, "/p%04d.jpg", i);
  return folder + name;
}

// An EXIF APP1 body holding only the orientation (big-endian TIFF).
std::vector<unsigned char> ExifWith(int orientation) {
  std::vector<unsigned char> e = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                                  0x01, 0x12, 0, 3, 0, 0, 0, 1,
                                  0, static_cast<unsigned char>(orientation), 0, 0, 0, 0, 0, 0};
  return e;
}

// A camera-like picture: smooth light, a few edges and a little sensor noise.
void WritePicture(const std::string& path, int seed) {
  FILE* out = fopen(path.c_str(), "wb");
  if (!out) {
    perror(path.c_str());
    exit(1);
  }
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, out);
  cinfo.image_width = kWidth;
  cinfo.image_height = kHeight;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  if (int o = OrientationOf(seed); o != 1) {
    std::vector<unsigned char> exif = ExifWith(o);
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif.data(), static_cast<unsigned>(exif.size()));
  }
  std::vector<unsigned char> row(kWidth * 3);
  uint32_t state = 2463534242u + static_cast<uint32_t>(seed) * 7919u;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      int noise = static_cast<int>(state & 15) - 8;
      int band = ((x + seed * 37) / 250 + (y / 300)) % 3;
      int base[3] = {x * 200 / kWidth + 30, y * 180 / kHeight + 40, (x + y + seed * 50) % 256};
      for (int c = 0; c < 3; ++c) {
        int v = base[c] + (band == c ? 40 : 0) + noise;
        row[x * 3 + c] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  fclose(out);
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

// ---- the three decoders, each making <out>/pNNNN.jpg ---------------------------

bool WithLibjpeg(const std::string& in, const std::string& out) {
  int fd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ThumbnailResult r = MakeThumbnailFromFd(fd);
  close(fd);
  return !r.jpeg.empty() && WriteFile(out, r.jpeg.data(), r.jpeg.size());
}

bool WithPixbuf(const std::string& in, const std::string& out) {
  GError* error = nullptr;
  GdkPixbuf* scaled = gdk_pixbuf_new_from_file_at_scale(in.c_str(), kThumbnailBox, kThumbnailBox,
                                                        TRUE, &error);
  if (!scaled) {
    g_clear_error(&error);
    return false;
  }
  GdkPixbuf* turned = gdk_pixbuf_apply_embedded_orientation(scaled);
  g_object_unref(scaled);
  gchar* buffer = nullptr;
  gsize size = 0;
  bool ok = turned && gdk_pixbuf_save_to_buffer(turned, &buffer, &size, "jpeg", &error, "quality",
                                                "85", nullptr);
  g_clear_error(&error);
  if (turned) g_object_unref(turned);
  ok = ok && WriteFile(out, buffer, size);
  g_free(buffer);
  return ok;
}

bool WithVips(const std::string& in, const std::string& out) {
  VipsImage* thumb = nullptr;
  if (vips_thumbnail(in.c_str(), &thumb, kThumbnailBox, "height", kThumbnailBox, nullptr) != 0) {
    vips_error_clear();
    return false;
  }
  void* buffer = nullptr;
  size_t size = 0;
  bool ok = vips_jpegsave_buffer(thumb, &buffer, &size, "Q", 85, nullptr) == 0;
  g_object_unref(thumb);
  ok = ok && WriteFile(out, buffer, size);
  g_free(buffer);
  return ok;
}

int RunDecoder(const std::string& name, const std::string& folder, const std::string& outFolder,
               int count) {
  bool (*make)(const std::string&, const std::string&) = name == "libjpeg" ? WithLibjpeg
                                                          : name == "pixbuf" ? WithPixbuf
                                                                             : WithVips;
  if (name == "vips") {
    if (VIPS_INIT("bench_thumbnails")) return 1;
    vips_concurrency_set(1);
    vips_cache_set_max(0);
  }
  fs::create_directories(outFolder);
  int made = 0;
  for (int i = 0; i < count; ++i)
    made += make(NameOf(folder, i), NameOf(outFolder, i)) ? 1 : 0;
  return made == count ? 0 : 1;
}

// ---- quality -------------------------------------------------------------------

struct Picture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
};

Picture Decode(const std::string& path, int denom = 1) {
  Picture p;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return p;
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, f);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.scale_denom = static_cast<unsigned>(denom);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  p.width = static_cast<int>(cinfo.output_width);
  p.height = static_cast<int>(cinfo.output_height);
  p.rgb.resize(static_cast<size_t>(p.width) * p.height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &p.rgb[static_cast<size_t>(cinfo.output_scanline) * p.width * 3];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  fclose(f);
  return p;
}

// The exact thumbnail: every pixel of the full picture averaged (in floating
// point) into the `w` x `h` grid, then turned as the EXIF says.
Picture Reference(const Picture& full, int w, int h, int orientation) {
  bool swap = orientation >= 5;
  int gw = swap ? h : w, gh = swap ? w : h;
  Picture grid{gw, gh, std::vector<unsigned char>(static_cast<size_t>(gw) * gh * 3)};
  std::vector<double> sum(static_cast<size_t>(gw) * gh * 3), n(static_cast<size_t>(gw) * gh);
  for (int y = 0; y < full.height; ++y) {
    int gy = y * gh / full.height;
    for (int x = 0; x < full.width; ++x) {
      size_t g = static_cast<size_t>(gy) * gw + x * gw / full.width;
      for (int c = 0; c < 3; ++c) sum[g * 3 + c] += full.rgb[(static_cast<size_t>(y) * full.width + x) * 3 + c];
      n[g] += 1;
    }
  }
  for (size_t g = 0; g < n.size(); ++g)
    for (int c = 0; c < 3; ++c) grid.rgb[g * 3 + c] = static_cast<unsigned char>(lround(sum[g * 3 + c] / n[g]));
  if (orientation == 1) return grid;
  Picture out{w, h, std::vector<unsigned char>(grid.rgb.size())};
  for (int y = 0; y < gh; ++y)
    for (int x = 0; x < gw; ++x) {
      int dx = x, dy = y;
      if (orientation == 6) dx = gh - 1 - y, dy = x;
      else if (orientation == 3) dx = gw - 1 - x, dy = gh - 1 - y;
      memcpy(&out.rgb[(static_cast<size_t>(dy) * w + dx) * 3], &grid.rgb[(static_cast<size_t>(y) * gw + x) * 3], 3);
    }
  return out;
}

double Psnr(const Picture& a, const Picture& b) {
  if (a.width != b.width || a.height != b.height || a.rgb.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i) {
    double d = static_cast<double>(a.rgb[i]) - b.rgb[i];
    se += d * d;
  }
  double mse = se / a.rgb.size();
  return mse == 0 ? 99 : 10 * log10(255.0 * 255.0 / mse);
}

struct Outcome {
  double seconds = 0, cpu = 0;
  long maxRssKb = 0;
  bool ok = false;
};

Outcome RunChild(const std::string& self, const std::string& name, const std::string& folder,
                 const std::string& outFolder, int count) {
  Outcome o;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    std::string n = std::to_string(count);
    execl(self.c_str(), self.c_str(), "--run", name.c_str(), folder.c_str(), outFolder.c_str(),
          n.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return o;
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  o.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
          usage.ru_stime.tv_usec / 1e6;
  o.maxRssKb = usage.ru_maxrss;
  o.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && strcmp(argv[1], "--run") == 0)
    return RunDecoder(argv[2], argv[3], argv[4], atoi(argv[5]));
  int count = argc > 1 ? atoi(argv[1]) : 500;
  std::string folder = argc > 2 ? argv[2] : "/tmp/tarvel-thumbnail-bench";
  if (count <= 0) {
    fprintf(stderr, "usage: bench_thumbnails [COUNT] [FOLDER]\n");
    return 2;
  }
  fs::create_directories(folder);
  auto made = std::chrono::steady_clock::now();
  int written = 0;
  for (int i = 0; i < count; ++i) {
    std::error_code ec;
    if (fs::exists(NameOf(folder, i), ec)) continue;
    WritePicture(NameOf(folder, i), i);
    ++written;
  }
  printf("pictures: %d of %d x %d (%d written now, %.1f s)\n", count, kWidth, kHeight, written,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count());
  std::string self = fs::read_symlink("/proc/self/exe").string();
  printf("%-8s %10s %9s %9s %10s %9s\n", "decoder", "per cpu-s", "cpu s", "wall s", "peak MB", "PSNR dB");
  for (const char* name : {"libjpeg", "pixbuf", "vips"}) {
    std::string out = folder + "/out-" + name;
    Outcome o = RunChild(self, name, folder, out, count);
    double psnr = 0;
    int samples = std::min(count, kQualitySamples);
    for (int i = 0; i < samples; ++i) {
      Picture thumb = Decode(NameOf(out, i));
      Picture full = Decode(NameOf(folder, i));
      double one = Psnr(thumb, Reference(full, thumb.width, thumb.height, OrientationOf(i)));
      if (getenv("BENCH_VERBOSE")) fprintf(stderr, "%s %d %dx%d %.2f\n", name, i, thumb.width, thumb.height, one);
      psnr += one;
    }
    printf("%-8s %10.1f %9.2f %9.2f %10.1f %9.2f%s\n", name, count / o.cpu, o.cpu, o.seconds,
           o.maxRssKb / 1024.0, psnr / samples, o.ok ? "" : "  (some failed)");
  }
  return 0;
}
