// Image records: creation with checked sizes, palettes, pixel access for
// every depth, rectangle fills and the PNG writer.
#include "graphics/image.h"

#include <png.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "storage/membuf.h"
#include "vm/element.h"

namespace gfx {

namespace {

// Note: 8-bit images start with a 6 x 6 x 6 colour cube (entries 0..215)
// followed by 40 greys, so that every colour has a near entry.
void default_palette(Image& img) {
  if (img.bits == 1) {
    img.palette[0] = 0x000000;
    img.palette[1] = 0xFFFFFF;
  } else if (img.bits == 4) {
    std::memcpy(img.palette, kStandardColors, sizeof kStandardColors);
  } else if (img.bits == 8) {
    int i = 0;
    for (int r = 0; r < 6; r++)
      for (int g = 0; g < 6; g++)
        for (int b = 0; b < 6; b++) img.palette[i++] = uint32_t(r * 51) << 16 | uint32_t(g * 51) << 8 | uint32_t(b * 51);
    for (int k = 0; k < 40; k++) {
      uint32_t v = uint32_t(k * 255 / 39);
      img.palette[i++] = v << 16 | v << 8 | v;
    }
  }
}

void image_cleanup(uint32_t, void* payload) {
  auto* img = static_cast<Image*>(payload);
  storage::script_memory_remove(img->pixels);
  if (img->mask) vm::element_release(img->mask);
  img->mask = 0;
  if (img->metafile) vm::element_release(img->metafile);
  img->metafile = 0;
  // The drawing state holds a reference to its font.
  vm::element_release(img->st.font);
  img->st.font = vm::kHandleBase;
  std::free(img->pixels);
  img->pixels = nullptr;
}

inline int32_t clamp16(int64_t v) { return int32_t(std::clamp<int64_t>(v, -32768, 32767)); }

}  // namespace

uint32_t image_create(int32_t w, int32_t h, int32_t bits, const Image* like, std::string* error) {
  bool alpha = bits == -32;
  if (alpha) bits = 32;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) {
    if (error) *error = "bad depth";
    return 0;
  }
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide || int64_t(w) * h > kMaxPixels) {
    if (error) *error = "image too large";
    return 0;
  }
  // w <= 32768 and bits <= 32 keep the stride below 2^17 and the block below 2^33.
  int64_t stride = (int64_t(w) * bits + 31) / 32 * 4;
  int64_t bytes = stride * h;
  auto* pixels = static_cast<uint8_t*>(std::calloc(size_t(bytes), 1));
  if (!pixels) {
    if (error) *error = "out of memory";
    return 0;
  }
  uint32_t handle = vm::element_create(nullptr, sizeof(Image), vm::kTypeImage);
  Image* img = image_of(handle);
  if (!img) {
    std::free(pixels);
    if (error) *error = "out of memory";
    return 0;
  }
  img->pixels = pixels;
  img->stride = int32_t(stride);
  img->bytes_pp = (bits + 7) / 8;
  img->self = handle;
  img->bits = uint16_t(bits);
  img->has_alpha = alpha;
  img->mask = 0;
  img->metafile = 0;
  img->delay = 0;
  img->color_mask = bits <= 24 ? uint32_t((uint64_t(1) << bits) - 1) : 0xFFFFFFu;
  default_palette(*img);
  if (like) {
    img->st = like->st;
    vm::element_ref(img->st.font);
  } else {
    img->st = DrawState{};
    img->st.font = vm::kHandleBase;
    img->st.density_x = img->st.density_y = 96;
    img->st.color = img->color_mask;
  }
  img->st.width = w;
  img->st.height = h;
  img->st.minx = 0;
  img->st.miny = 0;
  img->st.maxx = int16_t(clamp16(w - 1));
  img->st.maxy = int16_t(clamp16(h - 1));
  return handle;
}

Image* image_of(uint32_t handle) { return static_cast<Image*>(vm::element_lookup(handle, vm::kTypeImage)); }

void image_register() {
  vm::element_set_cleanup(vm::kTypeImage, image_cleanup);
  // The pixel block that ele_adr hands out, as the image holds it now.
  storage::script_memory_owner_type(vm::kTypeImage, [](const void* payload, const uint8_t*& data, int64_t& size) {
    const auto* img = static_cast<const Image*>(payload);
    data = img->pixels;
    size = int64_t(img->stride) * img->height();
  });
}

uint8_t nearest_index(const Image& img, uint32_t color) {
  int entries = 1 << std::min<int>(img.bits, 8);
  int best = 0;
  int64_t best_d = INT64_MAX;
  for (int i = 0; i < entries; i++) {
    uint32_t p = img.palette[i];
    int64_t dr = int64_t(p >> 16 & 255) - int64_t(color >> 16 & 255);
    int64_t dg = int64_t(p >> 8 & 255) - int64_t(color >> 8 & 255);
    int64_t db = int64_t(p & 255) - int64_t(color & 255);
    int64_t d = dr * dr + dg * dg + db * db;
    if (d < best_d) {
      best_d = d;
      best = i;
    }
  }
  return uint8_t(best);
}

uint32_t get_pixel(const Image& img, int64_t x, int64_t y) {
  if (x < 0 || y < 0 || x >= img.width() || y >= img.height() || !img.pixels) return 0xFFFFFF;
  const uint8_t* r = img.row(int32_t(y));
  switch (img.bits) {
    case 1: return img.palette[(r[x >> 3] >> (7 - (x & 7))) & 1];
    case 4: return img.palette[(r[x >> 1] >> ((x & 1) ? 0 : 4)) & 15];
    case 8: return img.palette[r[x]];
    default: {
      const uint8_t* p = r + x * img.bytes_pp;
      return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
  }
}

void set_pixel(Image& img, int64_t x, int64_t y, uint32_t color) {
  if (x < 0 || y < 0 || x >= img.width() || y >= img.height() || !img.pixels) return;
  uint8_t* r = img.row(int32_t(y));
  switch (img.bits) {
    case 1:
    case 4:
    case 8: put_index(r, img.bits, x, nearest_index(img, color)); break;
    default: {
      uint8_t* p = r + x * img.bytes_pp;
      p[0] = uint8_t(color);
      p[1] = uint8_t(color >> 8);
      p[2] = uint8_t(color >> 16);
      break;
    }
  }
}

bool clip_rect(const Image& img, Rect& out) {
  out.x1 = std::max<int32_t>(img.st.minx, 0);
  out.y1 = std::max<int32_t>(img.st.miny, 0);
  out.x2 = std::min<int32_t>(img.st.maxx, img.width() - 1);
  out.y2 = std::min<int32_t>(img.st.maxy, img.height() - 1);
  return out.x1 <= out.x2 && out.y1 <= out.y2;
}

void fill_rect(Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint32_t color) {
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  Rect c;
  if (!clip_rect(img, c)) return;
  x1 = std::max<int64_t>(x1, c.x1);
  y1 = std::max<int64_t>(y1, c.y1);
  x2 = std::min<int64_t>(x2, c.x2);
  y2 = std::min<int64_t>(y2, c.y2);
  if (x1 > x2 || y1 > y2) return;
  if (img.bits == 32 && std::endian::native == std::endian::little) {
    // Blocks of eight pixels, then single pixels, as little-endian words
    // (blue the low byte); the fourth byte (alpha) of each pixel is kept.
    const uint32_t bgr = color & 0xFFFFFF;
    for (int64_t y = y1; y <= y2; y++) {
      uint8_t* p = img.row(int32_t(y)) + x1 * 4;
      int64_t n = x2 - x1 + 1;
#if defined(__SSE2__)
      // In registers: a loop through a word array made the compiler spill
      // it to the stack, and its speed then hung on the loop's placement.
      const __m128i keep = _mm_set1_epi32(int32_t(0xFF000000u)), fill = _mm_set1_epi32(int32_t(bgr));
      for (; n >= 8; n -= 8, p += 32) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_or_si128(_mm_and_si128(a, keep), fill));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm_or_si128(_mm_and_si128(b, keep), fill));
      }
#else
      for (; n >= 8; n -= 8, p += 32) {
        uint32_t v[8];
        std::memcpy(v, p, 32);
        for (uint32_t& w : v) w = (w & 0xFF000000u) | bgr;
        std::memcpy(p, v, 32);
      }
#endif
      for (; n > 0; n--, p += 4) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        v = (v & 0xFF000000u) | bgr;
        std::memcpy(p, &v, 4);
      }
    }
    return;
  }
  if (img.bits >= 24) {
    uint8_t b = uint8_t(color), g = uint8_t(color >> 8), r = uint8_t(color >> 16);
    int32_t bpp = img.bytes_pp;
    for (int64_t y = y1; y <= y2; y++) {
      uint8_t* p = img.row(int32_t(y)) + x1 * bpp;
      for (int64_t x = x1; x <= x2; x++, p += bpp) {
        p[0] = b;
        p[1] = g;
        p[2] = r;
      }
    }
    return;
  }
  // Indexed depths: the palette entry is found once for the whole fill.
  uint8_t index = nearest_index(img, color);
  for (int64_t y = y1; y <= y2; y++) {
    uint8_t* r = img.row(int32_t(y));
    for (int64_t x = x1; x <= x2; x++) put_index(r, img.bits, x, index);
  }
}

void fill_span(Image& img, int64_t x1, int64_t x2, int64_t y, uint32_t color) {
  if (x1 <= x2) fill_rect(img, x1, y, x2, y, color);
}

uint32_t blend(uint32_t old_color, uint32_t color, int32_t level) {
  uint32_t out = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    int32_t o = int32_t(old_color >> shift & 255), c = int32_t(color >> shift & 255);
    int32_t v = o - ((o - c) * (256 - level) >> 8);
    out |= uint32_t(std::clamp(v, 0, 255)) << shift;
  }
  return out;
}

bool write_png(const Image& img, const std::string& path, std::string* error) {
  int32_t w = img.width(), h = img.height();
  std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) {
      uint32_t c = get_pixel(img, x, y);
      uint8_t* p = &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
      p[0] = uint8_t(c >> 16);
      p[1] = uint8_t(c >> 8);
      p[2] = uint8_t(c);
    }
  png_image pi;
  std::memset(&pi, 0, sizeof pi);
  pi.version = PNG_IMAGE_VERSION;
  pi.width = png_uint_32(w);
  pi.height = png_uint_32(h);
  pi.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&pi, path.c_str(), 0, rgb.data(), w * 3, nullptr)) {
    if (error) *error = pi.message;
    png_image_free(&pi);
    return false;
  }
  return true;
}

}  // namespace gfx
