// PNG through libpng's simplified interface.
#include "graphics/formats/formats.h"

#include <png.h>

#include <algorithm>
#include <cstring>

#include "vm/element.h"

namespace gfx {

using namespace formats;  // the readers' shared helpers

Result<uint32_t> read_png(const uint8_t* data, size_t size, const Image* like) {
  png_image pi;
  std::memset(&pi, 0, sizeof pi);
  pi.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&pi, data, size)) {
    Failure refused{pi.message};
    png_image_free(&pi);
    return refused;
  }
  if (Status sized = size_ok(pi.width, pi.height); !sized) {
    png_image_free(&pi);
    return sized.failure();
  }
  bool alpha = pi.format & PNG_FORMAT_FLAG_ALPHA;
  pi.format = alpha ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
  // 16-bit samples without gAMA or sRGB are read as the 8-bit ones are: as
  // sRGB values (by default libpng takes them for linear light and brightens
  // them on the way to 8 bits).
  pi.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
  Result<uint32_t> made = new_for_reader(pi.width, pi.height, alpha ? -32 : 24, like);
  const uint32_t handle = made.value();
  Image* img = image_of(handle);
  if (!img || !img->pixels) {
    png_image_free(&pi);
    return made;
  }
  // A negative stride: the buffer holds the bottom row first.
  if (!png_image_finish_read(&pi, nullptr, img->pixels, -img->stride, nullptr)) {
    Failure unreadable{pi.message};
    png_image_free(&pi);
    vm::element_release(handle);
    return unreadable;
  }
  return handle;
}

Result<std::vector<uint8_t>> encode_png(const Image& img) {
  int32_t w = img.width(), h = img.height();
  if (w <= 0 || h <= 0 || !img.pixels) return Failure{"empty image"};
  bool alpha = img.has_alpha;
  int ch = alpha ? 4 : 3;
  std::vector<uint8_t> rows(size_t(w) * size_t(h) * size_t(ch));
  for (int32_t y = 0; y < h; y++) {
    uint8_t* o = rows.data() + size_t(y) * size_t(w) * size_t(ch);
    for (int32_t x = 0; x < w; x++, o += ch) {
      uint32_t c = get_pixel(img, x, y);
      o[0] = uint8_t(c >> 16);
      o[1] = uint8_t(c >> 8);
      o[2] = uint8_t(c);
      if (alpha) o[3] = img.row(y)[4 * x + 3];
    }
  }
  png_image pi;
  std::memset(&pi, 0, sizeof pi);
  pi.version = PNG_IMAGE_VERSION;
  pi.width = png_uint_32(w);
  pi.height = png_uint_32(h);
  pi.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  png_alloc_size_t bytes = 0;
  std::vector<uint8_t> out;
  if (png_image_write_to_memory(&pi, nullptr, &bytes, 0, rows.data(), w * ch, nullptr)) {
    out.resize(bytes);
    if (!png_image_write_to_memory(&pi, out.data(), &bytes, 0, rows.data(), w * ch, nullptr)) out.clear();
    out.resize(std::min<size_t>(out.size(), bytes));
  }
  Failure refused{out.empty() ? pi.message : ""};
  png_image_free(&pi);
  if (out.empty()) return refused;
  return out;
}

bool formats::is_png(const uint8_t* d, size_t n) { return n >= 6 && d[0] == 137 && std::memcmp(d + 1, "PNG\r\n", 5) == 0; }

}  // namespace gfx
