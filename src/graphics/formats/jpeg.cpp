// JPEG through libjpeg: reading (CMYK included) and writing.
#include "graphics/formats/formats.h"

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vm/element.h"

namespace gfx {

using namespace formats;  // the readers' shared helpers

namespace {

struct JpegError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jpeg_fail(j_common_ptr c) {
  auto* e = reinterpret_cast<JpegError*>(c->err);
  e->pub.format_message(c, e->message);
  std::longjmp(e->jump, 1);
}
void jpeg_quiet(j_common_ptr, int) {}

// Progressive files of a great many scans would keep the decoder busy for a
// long time; real files have a few dozen.
void jpeg_progress(j_common_ptr c) {
  if (c->is_decompressor && reinterpret_cast<j_decompress_ptr>(c)->input_scan_number > 1000) {
    auto* e = reinterpret_cast<JpegError*>(c->err);
    std::snprintf(e->message, sizeof e->message, "too many scans");
    std::longjmp(e->jump, 1);
  }
}

}  // namespace

Result<uint32_t> read_jpeg(const uint8_t* data, size_t size, const Image* like) {
  jpeg_decompress_struct cinfo;
  JpegError jerr;
  jpeg_progress_mgr progress;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&jerr.pub);
  jerr.pub.error_exit = jpeg_fail;
  jerr.pub.emit_message = jpeg_quiet;
  jerr.message[0] = 0;
  std::vector<uint8_t> cmyk;
  volatile uint32_t handle = 0;
  // libjpeg's errors jump back here; no object with a destructor may be
  // alive across a call into libjpeg below.
  if (setjmp(jerr.jump)) {
    jpeg_destroy_decompress(&cinfo);
    if (handle) vm::element_release(handle);
    return Failure{jerr.message};
  }
  jpeg_create_decompress(&cinfo);
  progress.progress_monitor = jpeg_progress;
  cinfo.progress = &progress;
  if (size == 0) {
    jpeg_destroy_decompress(&cinfo);
    return Failure{"empty file"};
  }
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return Failure{};
  }
  if (Status sized = size_ok(cinfo.image_width, cinfo.image_height); !sized) {
    jpeg_destroy_decompress(&cinfo);
    return sized.failure();
  }
  bool is_cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = is_cmyk ? JCS_CMYK : JCS_EXT_BGR;
  jpeg_start_decompress(&cinfo);
  {
    Result<uint32_t> made = new_for_reader(cinfo.output_width, cinfo.output_height, 24, like);
    if (!made) {
      jpeg_destroy_decompress(&cinfo);
      return made;
    }
    handle = made.value();
  }
  Image* img = image_of(handle);
  if (is_cmyk) cmyk.resize(size_t(cinfo.output_width) * 4);
  while (cinfo.output_scanline < cinfo.output_height) {
    uint8_t* row = img->row(int32_t(cinfo.output_scanline));
    JSAMPROW rows[1] = {is_cmyk ? cmyk.data() : row};
    if (jpeg_read_scanlines(&cinfo, rows, 1) != 1) break;
    if (is_cmyk) {
      // Adobe files store the inks inverted: 255 means none.
      bool inverted = cinfo.saw_Adobe_marker;
      for (uint32_t x = 0; x < cinfo.output_width; x++) {
        const uint8_t* s = &cmyk[4 * x];
        uint32_t k = inverted ? s[3] : 255u - s[3];
        for (int i = 0; i < 3; i++) {
          uint32_t v = inverted ? s[i] : 255u - s[i];
          row[3 * x + 2 - i] = uint8_t(v * k / 255);
        }
      }
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return handle;
}

Result<std::vector<uint8_t>> encode_jpeg(const Image& img, int quality) {
  int32_t w = img.width(), h = img.height();
  if (w <= 0 || h <= 0 || !img.pixels) return Failure{"empty image"};
  jpeg_compress_struct cinfo;
  JpegError jerr;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&jerr.pub);
  jerr.pub.error_exit = jpeg_fail;
  jerr.pub.emit_message = jpeg_quiet;
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  std::vector<uint8_t> row(size_t(w) * 3);
  if (setjmp(jerr.jump)) {
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return Failure{jerr.message};
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer, &length);
  cinfo.image_width = JDIMENSION(w);
  cinfo.image_height = JDIMENSION(h);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, std::clamp(quality, 1, 100), TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  for (int32_t y = 0; y < h; y++) {
    for (int32_t x = 0; x < w; x++) {
      uint32_t c = get_pixel(img, x, y);
      row[3 * size_t(x)] = uint8_t(c >> 16);
      row[3 * size_t(x) + 1] = uint8_t(c >> 8);
      row[3 * size_t(x) + 2] = uint8_t(c);
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> out(buffer, buffer + length);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return out;
}

}  // namespace gfx
