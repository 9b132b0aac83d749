#include "jpeg_builder.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace jpeg {

namespace {

struct Errors {
  jpeg_error_mgr base;
  jmp_buf jump;
};

void Jump(j_common_ptr cinfo) { longjmp(reinterpret_cast<Errors*>(cinfo->err)->jump, 1); }

}  // namespace

std::string Make(int width, int height, int orientation, const Paint& paint) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  if (orientation) {
    // Little-endian TIFF this time: the reader must take both byte orders.
    unsigned char exif[] = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                            0x12, 0x01, 3, 0, 1, 0, 0, 0,
                            static_cast<unsigned char>(orientation), 0, 0, 0, 0, 0, 0, 0};
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif, sizeof exif);
  }
  std::vector<unsigned char> row(static_cast<size_t>(width) * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      unsigned char* p = &row[static_cast<size_t>(x) * 3];
      p[0] = static_cast<unsigned char>(x * 255 / width);
      p[1] = static_cast<unsigned char>(y * 255 / height);
      p[2] = 128;
      if (paint) paint(x, y, p);
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string out(reinterpret_cast<char*>(buffer), size);
  free(buffer);
  return out;
}

Picture Read(const std::string& data) {
  Picture p;
  for (size_t i = 0; i + 1 < data.size(); ++i)
    if (static_cast<unsigned char>(data[i]) == 0xFF &&
        (static_cast<unsigned char>(data[i + 1]) & 0xF0) == 0xC0 &&
        static_cast<unsigned char>(data[i + 1]) != 0xC4 && static_cast<unsigned char>(data[i + 1]) != 0xCC) {
      p.baseline = data[i + 1] == '\xC0' || data[i + 1] == '\xC1';
      break;
    }
  jpeg_decompress_struct cinfo;
  Errors err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = Jump;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return Picture{};
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  jpeg_read_header(&cinfo, TRUE);
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
  return p;
}

}  // namespace jpeg
