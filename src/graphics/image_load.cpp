// Image creation rules, format detection, the picture readers and writers,
// and the loader that turns file names into image variables.
#include "graphics/image_load.h"

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/bytes.h"
#include "graphics/draw.h"
#include "graphics/gif.h"
#include "storage/files.h"
#include "storage/stream.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace gfx {

namespace {

using base::load_le16;
using base::load_le16s;
using base::load_le32;
using base::load_le32s;

bool fail(std::string* error, const char* why) {
  if (error) *error = why;
  return false;
}

// Sizes of a picture before anything is allocated for it.
bool size_ok(int64_t w, int64_t h, std::string* error) {
  if (w < 0 || h < 0) return fail(error, "bad picture size");
  if (w > kMaxSide || h > kMaxSide || w * h > kMaxPixels) return fail(error, "picture too large");
  return true;
}

// An image of the reader's size, 0 x 0 when a side is 0.
uint32_t new_for_reader(int64_t w, int64_t h, int32_t bits, const Image* like, std::string* error) {
  if (!size_ok(w, h, error)) return 0;
  return image_new(int32_t(w), int32_t(h), bits, like, nullptr, 0, error);
}

// Store row (0 = bottom) of an image.
uint8_t* store_row(Image& img, int64_t r) { return img.pixels + r * img.stride; }

}  // namespace

// --- creation -------------------------------------------------------------------

uint32_t grey_ramp(int32_t bits, int32_t i) {
  int32_t n = 1 << std::clamp(bits, 1, 8);
  if (i >= n) return 0xFFFFFF;
  uint32_t v = uint32_t(i * 255 / (n - 1));
  return v << 16 | v << 8 | v;
}

uint32_t image_new(int32_t w, int32_t h, int32_t bits, const Image* like, const uint32_t* palette, int32_t entries,
                   std::string* error) {
  w = std::max(w, 0);
  h = std::max(h, 0);
  entries = std::clamp(entries, 0, 256);
  if (bits == 32 && like && like->has_alpha) bits = -32;
  bool empty = w == 0 || h == 0;
  uint32_t handle = image_create(empty ? 1 : w, empty ? 1 : h, bits, like, error);
  Image* img = image_of(handle);
  if (!img) return 0;
  if (empty) {
    // No pixels: every pixel access and fill sees an image without area.
    // Each side keeps its own size (0 x 5 is 0 wide and 5 high); a row
    // stride of 0 keeps every row address at the null pixel pointer.
    std::free(img->pixels);
    img->pixels = nullptr;
    img->stride = 0;
  }
  DrawState& st = img->st;
  if (like) {
    vm::element_release(st.font);
    st.font = vm::kHandleBase;
  }
  st.width = w;
  st.height = h;
  st.text_x = st.text_y = 0;
  st.minx = st.miny = 0;
  st.maxx = int16_t(std::min(w - 1, 32767));
  st.maxy = int16_t(std::min(h - 1, 32767));
  st.color = img->color_mask;
  if (img->bits <= 8) {
    for (int32_t i = 0; i < 256; i++) img->palette[i] = palette ? (i < entries ? palette[i] & 0xFFFFFF : 0xFFFFFF)
                                                                : grey_ramp(img->bits, i);
  }
  return handle;
}

// --- format detection -------------------------------------------------------------

Format detect_format(const uint8_t* d, size_t n) {
  if (n >= 26 && d[0] == 'B' && d[1] == 'M') {
    // The bit count lies at offset 24 in the 12-byte core header and at 28
    // in every longer info header.
    const bool core = load_le32(d + 14) == 12;
    uint16_t bits = core ? load_le16(d + 24) : n >= 30 ? load_le16(d + 28) : 0;
    if (bits >= 1 && bits <= 64) return Format::Bmp;
  }
  if (n >= 2 && d[0] == 0x34 && d[1] == 0x12) return Format::Own;
  if (n >= 4 && load_le16(d) == 0 && (load_le16(d + 2) == 1 || load_le16(d + 2) == 2)) return Format::Icon;
  if (n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0)) return Format::Gif;
  if (n >= 4 && ((d[0] == 'I' && d[1] == 'I' && d[2] == '*' && d[3] == 0) || (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && d[3] == '*')))
    return Format::Tiff;
  if (n >= 6 && d[0] == 137 && std::memcmp(d + 1, "PNG\r\n", 5) == 0) return Format::Png;
  if (n >= 44 && std::memcmp(d + 40, " EMF", 4) == 0) return Format::Emf;
  auto wmf_header = [&](size_t at) { return n >= at + 4 && (load_le16(d + at) == 1 || load_le16(d + at) == 2) && load_le16(d + at + 2) == 9; };
  if (n >= 4 && load_le32(d) == 0x9AC6CDD7u && wmf_header(22)) return Format::PlaceableWmf;
  if (wmf_header(0)) return Format::Wmf;
  return Format::Jpeg;
}

// --- Windows bitmaps ----------------------------------------------------------------

namespace {

// A colour channel through a bit mask, scaled to 0..255 (`none` when the
// mask is empty).
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t max = 0;
  explicit Channel(uint32_t m) : mask(m) {
    if (!m) return;
    while (!((m >> shift) & 1)) shift++;
    max = m >> shift;
  }
  uint32_t get(uint32_t px, uint32_t none) const {
    if (!mask) return none;
    return uint32_t((uint64_t((px & mask) >> shift) * 255 + max / 2) / max);
  }
};

struct Dib {
  int32_t width = 0, height = 0;
  bool top_down = false;
  int32_t bits = 0;
  uint32_t compression = 0;
  uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  bool alpha = false;
};

// Runs of an RLE8 (bits 8) or RLE4 (bits 4) bitmap into the store of an
// indexed image; pixels beyond the picture are dropped, a short stream
// leaves the rest at index 0.
void decode_rle(const uint8_t* p, const uint8_t* end, Image& img, int bits) {
  int64_t x = 0, y = 0, w = img.width(), h = img.height();
  auto put = [&](uint8_t index) {
    if (x < w && y < h) {
      uint8_t* r = store_row(img, y);
      if (bits == 8) r[x] = index;
      else r[x >> 1] = (x & 1) ? uint8_t((r[x >> 1] & 0xF0) | (index & 15)) : uint8_t((r[x >> 1] & 0x0F) | index << 4);
    }
    x++;
  };
  while (end - p >= 2 && y < h) {
    uint8_t a = *p++, b = *p++;
    if (a) {
      for (int k = 0; k < a; k++) put(bits == 8 ? b : (k & 1) ? (b & 15) : (b >> 4));
    } else if (b == 0) {
      x = 0;
      y++;
    } else if (b == 1) {
      break;
    } else if (b == 2) {
      if (end - p < 2) break;
      x += p[0];
      y += p[1];
      p += 2;
    } else {
      int64_t bytes = bits == 8 ? b : (b + 1) / 2;
      if (end - p < bytes) break;
      for (int k = 0; k < b; k++) put(bits == 8 ? p[k] : (k & 1) ? (p[k >> 1] & 15) : (p[k >> 1] >> 4));
      p += bytes + (bytes & 1);
      if (p > end) break;
    }
  }
}

// A device-independent bitmap: the info header at `dib` (`size` bytes to the
// end of the file), pixels at `pixel_off` from it (-1: right after the
// palette). Icons hold twice the height: the colour picture, then the 1-bit
// AND mask; they become 32-bit alpha images.
uint32_t decode_dib(const uint8_t* dib, size_t size, int64_t pixel_off, bool icon, const Image* like,
                    std::string* error) {
  if (size < 16) return fail(error, "bitmap header cut short"), 0;
  uint32_t hs = load_le32(dib);
  if (hs < 12 || (hs > 12 && hs < 16) || hs > size) return fail(error, "bad bitmap header size"), 0;
  uint8_t hdr[124] = {};
  std::memcpy(hdr, dib, std::min<size_t>(hs, sizeof hdr));
  Dib d;
  size_t entry = 4;
  uint64_t colours_used = 0;
  if (hs == 12) {
    d.width = load_le16(hdr + 4);
    d.height = load_le16(hdr + 6);
    d.bits = load_le16(hdr + 10);
    entry = 3;
  } else {
    d.width = load_le32s(hdr + 4);
    d.height = load_le32s(hdr + 8);
    d.bits = load_le16(hdr + 14);
    d.compression = load_le32(hdr + 16);
    colours_used = load_le32(hdr + 32);
  }
  if (d.height < 0) {
    if (d.height == INT32_MIN || icon) return fail(error, "bad bitmap height"), 0;
    d.height = -d.height;
    d.top_down = true;
  }
  if (icon) d.height /= 2;
  if (d.width < 0) return fail(error, "bad bitmap width"), 0;
  if (!size_ok(d.width, d.height, error)) return 0;
  switch (d.bits) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return fail(error, "unsupported bitmap depth"), 0;
  }
  // Compression: 0 none, 1 RLE8, 2 RLE4, 3 bit fields, 6 bit fields with alpha.
  size_t pos = hs;
  uint32_t c = d.compression;
  if ((c == 1 && d.bits != 8) || (c == 2 && d.bits != 4) || ((c == 3 || c == 6) && d.bits != 16 && d.bits != 32) ||
      (c != 0 && c != 1 && c != 2 && c != 3 && c != 6))
    return fail(error, "unsupported bitmap compression"), 0;
  if ((c == 1 || c == 2) && d.top_down) return fail(error, "top-down bitmaps cannot be run-length packed"), 0;
  if (c == 3 || c == 6) {
    int count = c == 3 ? 3 : 4;
    if (hs >= 40 + 4u * count) {
      for (int k = 0; k < count; k++) d.masks[k] = load_le32(hdr + 40 + 4 * k);
    } else {
      if (size < pos + 4u * count) return fail(error, "bitmap masks cut short"), 0;
      for (int k = 0; k < count; k++) d.masks[k] = load_le32(dib + pos + 4 * k);
      pos += 4u * count;
    }
    if (hs >= 56 && c == 3) d.masks[3] = load_le32(hdr + 52);
  } else if (d.bits == 16) {
    d.masks[0] = 0x7C00, d.masks[1] = 0x03E0, d.masks[2] = 0x001F;
  } else if (d.bits == 32) {
    d.masks[0] = 0xFF0000, d.masks[1] = 0xFF00, d.masks[2] = 0xFF, d.masks[3] = icon ? 0xFF000000u : 0;
  }
  // Alpha: our own mark (2 at header offset 56), an alpha mask, or an icon.
  if (d.bits == 32) d.alpha = icon || (hs >= 60 && load_le32(hdr + 56) == 2) || d.masks[3] != 0;
  if (d.alpha && !d.masks[3]) d.masks[3] = 0xFF000000u;

  // The palette: its count checked against the depth and the file.
  uint32_t palette[256] = {};
  int32_t entries = 0;
  if (d.bits <= 8) {
    uint64_t most = uint64_t(1) << d.bits;
    uint64_t count = colours_used > 0 && colours_used <= most ? colours_used : most;
    if (pixel_off >= int64_t(pos) && uint64_t(pixel_off) < pos + count * entry)
      count = (uint64_t(pixel_off) - pos) / entry;  // the pixels start inside the palette: a shorter one
    if (pos + count * entry > size) return fail(error, "bitmap palette cut short"), 0;
    for (uint64_t i = 0; i < count; i++) {
      const uint8_t* e = dib + pos + i * entry;
      palette[i] = uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0];
    }
    entries = int32_t(count);
    pos += count * entry;
  }
  if (pixel_off < int64_t(pos)) pixel_off = int64_t(pos);
  if (uint64_t(pixel_off) > size) return fail(error, "bitmap pixel offset beyond the file"), 0;
  const uint8_t* px = dib + pixel_off;
  size_t avail = size - size_t(pixel_off);

  int32_t out_bits = d.bits <= 8 ? d.bits : d.bits == 32 ? (d.alpha ? -32 : 32) : 24;
  if (icon) out_bits = -32;
  int64_t src_stride = (int64_t(d.width) * d.bits + 31) / 32 * 4;
  int64_t row_bytes = (int64_t(d.width) * d.bits + 7) / 8;
  if (c != 1 && c != 2 && d.height > 0 && int64_t(avail) < (d.height - 1) * src_stride + row_bytes)
    return fail(error, "bitmap pixel data cut short"), 0;

  uint32_t handle = 0;
  if (d.bits <= 8 && !icon) {
    handle = image_new(d.width, d.height, out_bits, like, palette, entries, error);
    Image* img = image_of(handle);
    if (!img) return 0;
    if (img->pixels) {
      if (c == 1 || c == 2) {
        decode_rle(px, px + avail, *img, d.bits);
      } else {
        for (int64_t r = 0; r < d.height; r++)
          std::memcpy(store_row(*img, d.top_down ? d.height - 1 - r : r), px + r * src_stride, size_t(row_bytes));
      }
    }
    return handle;
  }
  handle = new_for_reader(d.width, d.height, out_bits, like, error);
  Image* img = image_of(handle);
  if (!img) return 0;
  if (!img->pixels) return handle;
  Channel ch[4] = {Channel(d.masks[0]), Channel(d.masks[1]), Channel(d.masks[2]), Channel(d.masks[3])};
  bool any_alpha = false;
  for (int64_t r = 0; r < d.height; r++) {
    const uint8_t* s = px + r * src_stride;
    uint8_t* o = store_row(*img, d.top_down ? d.height - 1 - r : r);
    for (int64_t x = 0; x < d.width; x++, o += img->bytes_pp) {
      uint32_t rgb, a = 255;
      if (d.bits <= 8) {
        uint32_t index = d.bits == 8 ? s[x] : d.bits == 4 ? (s[x >> 1] >> ((x & 1) ? 0 : 4)) & 15 : (s[x >> 3] >> (7 - (x & 7))) & 1;
        rgb = palette[index];
      } else if (d.bits == 24) {
        rgb = uint32_t(s[3 * x + 2]) << 16 | uint32_t(s[3 * x + 1]) << 8 | s[3 * x];
      } else {
        uint32_t v = d.bits == 16 ? load_le16(s + 2 * x) : load_le32(s + 4 * x);
        rgb = ch[0].get(v, 0) << 16 | ch[1].get(v, 0) << 8 | ch[2].get(v, 0);
        a = ch[3].get(v, 255);
      }
      o[0] = uint8_t(rgb);
      o[1] = uint8_t(rgb >> 8);
      o[2] = uint8_t(rgb >> 16);
      if (img->bytes_pp == 4) o[3] = uint8_t(a);
      any_alpha = any_alpha || a != 0;
    }
  }
  if (icon && (d.bits < 32 || !any_alpha)) {
    // The AND mask: set bits are transparent. A mask cut short leaves the
    // rest opaque.
    int64_t mask_stride = (int64_t(d.width) + 31) / 32 * 4;
    int64_t mask_at = d.height * src_stride;
    for (int64_t r = 0; r < d.height; r++) {
      uint8_t* o = store_row(*img, r);
      for (int64_t x = 0; x < d.width; x++) {
        int64_t at = mask_at + r * mask_stride + (x >> 3);
        bool clear = at < int64_t(avail) && (px[at] >> (7 - (x & 7)) & 1);
        o[4 * x + 3] = clear ? 0 : 255;
      }
    }
  }
  return handle;
}

}  // namespace

uint32_t read_bmp(const uint8_t* data, size_t size, const Image* like, std::string* error) {
  if (size < 14 + 12 || data[0] != 'B' || data[1] != 'M') return fail(error, "not a bitmap"), 0;
  return decode_dib(data + 14, size - 14, int64_t(load_le32(data + 10)) - 14, false, like, error);
}

// --- our own picture format -----------------------------------------------------------

uint32_t read_own(const uint8_t* data, size_t size, const Image* like, std::string* error) {
  if (size < 19 || load_le16(data) != 0x1234) return fail(error, "not a picture of ours"), 0;
  uint8_t version = data[11];
  if (!((version >= '1' && version <= '4') || version == 0xFF)) return fail(error, "unknown picture version"), 0;
  int32_t w = load_le16(data + 2), h = load_le16(data + 4), bits = data[10];
  if (bits != 1 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return fail(error, "unsupported picture depth"), 0;
  size_t pal_len = load_le16(data + 15);
  if (17 + pal_len + 2 > size) return fail(error, "picture cut short"), 0;
  uint32_t palette[256] = {};
  if (bits == 8) {
    // Bytes are stored rotated right by two bits.
    auto rotl2 = [](uint8_t b) { return uint32_t(uint8_t(b << 2 | b >> 6)); };
    for (size_t i = 0; i < 256 && 3 * i + 2 < std::min<size_t>(pal_len, 768); i++) {
      const uint8_t* e = data + 17 + 3 * i;
      palette[i] = rotl2(e[0]) << 16 | rotl2(e[1]) << 8 | rotl2(e[2]);
    }
  }
  if (!size_ok(w, h, error)) return 0;
  int64_t row_bytes = (int64_t(bits) * w + 7) / 8;
  std::vector<uint8_t> out;
  out.reserve(size_t(row_bytes * h));
  const int64_t total = row_bytes * h;
  size_t pos = 17 + pal_len;
  int32_t records = int16_t(load_le16(data + pos));
  pos += 2;
  int pixel = bits <= 8 ? 1 : bits / 8;
  for (int32_t k = 0; k < records && int64_t(out.size()) < total; k++) {
    if (pos + 2 > size) return fail(error, "picture cut short"), 0;
    size_t len = load_le16(data + pos);
    if (len < 4) break;
    if (pos + len > size) return fail(error, "picture cut short"), 0;
    const uint8_t* p = data + pos + 4;
    const uint8_t* end = data + pos + len;
    pos += len;
    auto emit = [&](const uint8_t* bytes, int count, int64_t times) {
      for (int64_t t = 0; t < times && int64_t(out.size()) < total; t++) out.insert(out.end(), bytes, bytes + count);
    };
    if (bits <= 8) {
      if (p >= end) continue;
      uint8_t escape = *p++;
      while (p < end && int64_t(out.size()) < total) {
        uint8_t b = *p++;
        if (b != escape) {
          out.push_back(b);
          continue;
        }
        if (end - p < 2) break;
        int64_t count = *p++;
        if (count == 0) {
          if (end - p < 3) break;
          count = load_le16(p);
          p += 2;
        }
        emit(p++, 1, count);
      }
    } else {
      while (end - p >= 2 && int64_t(out.size()) < total) {
        int32_t count = int16_t(load_le16(p));
        p += 2;
        if (count > 0) {
          int64_t bytes = int64_t(count) * pixel;
          if (end - p < bytes) bytes = (end - p) / pixel * pixel;
          emit(p, int(bytes), 1);
          p += bytes;
        } else {
          if (end - p < pixel) break;
          emit(p, pixel, -int64_t(count));
          p += pixel;
        }
      }
    }
  }
  out.resize(size_t(total), 0);  // records that end early leave the rest black
  int32_t out_bits = bits == 16 ? 24 : bits;
  uint32_t handle = bits == 8 ? image_new(w, h, 8, like, palette, 256, error) : new_for_reader(w, h, out_bits, like, error);
  Image* img = image_of(handle);
  if (!img) return 0;
  if (img->bits == 1) img->palette[0] = 0, img->palette[1] = 0xFFFFFF;
  img->st.off_x = int16_t(load_le16(data + 6));
  img->st.off_y = int16_t(load_le16(data + 8));
  if (!img->pixels) return handle;  // a side of 0: no rows
  for (int64_t r = 0; r < h; r++) {
    const uint8_t* s = out.data() + r * row_bytes;
    uint8_t* o = store_row(*img, r);
    if (bits == 16) {
      for (int64_t x = 0; x < w; x++) {
        uint32_t v = load_le16(s + 2 * x);  // 5-5-5
        o[3 * x] = uint8_t((v & 31) * 255 / 31);
        o[3 * x + 1] = uint8_t((v >> 5 & 31) * 255 / 31);
        o[3 * x + 2] = uint8_t((v >> 10 & 31) * 255 / 31);
      }
    } else {
      std::memcpy(o, s, size_t(row_bytes));
    }
  }
  return handle;
}

// --- icons and cursors -------------------------------------------------------------------

uint32_t read_icon(const uint8_t* data, size_t size, const Image* like, std::string* error) {
  if (size < 6 || load_le16(data) != 0 || (load_le16(data + 2) != 1 && load_le16(data + 2) != 2)) return fail(error, "not an icon"), 0;
  size_t count = load_le16(data + 4);
  if (count == 0 || 6 + 16 * count > size) return fail(error, "icon directory cut short"), 0;
  // The largest picture, then the deepest; sizes and depths are taken from
  // the pictures themselves (a cursor's directory holds its hot spot there).
  int64_t best_area = -1, best_bits = -1;
  size_t best_off = 0, best_len = 0;
  bool best_png = false;
  for (size_t i = 0; i < count; i++) {
    const uint8_t* e = data + 6 + 16 * i;
    size_t len = load_le32(e + 8), off = load_le32(e + 12);
    if (off >= size) continue;
    len = std::min(len, size - off);
    const uint8_t* p = data + off;
    int64_t w, h, bits;
    bool png = len >= 26 && std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0;
    if (png) {
      w = base::load_be32(p + 16);
      h = base::load_be32(p + 20);
      static const int channels[7] = {1, 0, 3, 1, 2, 0, 4};
      bits = p[24] * (p[25] <= 6 ? channels[p[25]] : 0);
    } else if (len >= 16 && load_le32(p) >= 16) {
      w = load_le32s(p + 4);
      h = int64_t(load_le32s(p + 8)) / 2;
      bits = load_le16(p + 14);
    } else {
      continue;
    }
    if (w <= 0 || h <= 0) continue;
    if (w * h > best_area || (w * h == best_area && bits > best_bits)) {
      best_area = w * h, best_bits = bits, best_off = off, best_len = len, best_png = png;
    }
  }
  if (best_area < 0) return fail(error, "icon holds no picture"), 0;
  if (best_png) return read_png(data + best_off, best_len, like, error);
  return decode_dib(data + best_off, best_len, -1, true, like, error);
}

// --- PNG ------------------------------------------------------------------------------------

uint32_t read_png(const uint8_t* data, size_t size, const Image* like, std::string* error) {
  png_image pi;
  std::memset(&pi, 0, sizeof pi);
  pi.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&pi, data, size)) {
    if (error) *error = pi.message;
    png_image_free(&pi);
    return 0;
  }
  if (!size_ok(pi.width, pi.height, error)) {
    png_image_free(&pi);
    return 0;
  }
  bool alpha = pi.format & PNG_FORMAT_FLAG_ALPHA;
  pi.format = alpha ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
  // 16-bit samples without gAMA or sRGB are read as the 8-bit ones are: as
  // sRGB values (by default libpng takes them for linear light and brightens
  // them on the way to 8 bits).
  pi.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
  uint32_t handle = new_for_reader(pi.width, pi.height, alpha ? -32 : 24, like, error);
  Image* img = image_of(handle);
  if (!img || !img->pixels) {
    png_image_free(&pi);
    return handle;
  }
  // A negative stride: the buffer holds the bottom row first.
  if (!png_image_finish_read(&pi, nullptr, img->pixels, -img->stride, nullptr)) {
    if (error) *error = pi.message;
    png_image_free(&pi);
    vm::element_release(handle);
    return 0;
  }
  return handle;
}

std::vector<uint8_t> encode_png(const Image& img, std::string* error) {
  int32_t w = img.width(), h = img.height();
  if (w <= 0 || h <= 0 || !img.pixels) return fail(error, "empty image"), std::vector<uint8_t>{};
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
  if (out.empty() && error) *error = pi.message;
  png_image_free(&pi);
  return out;
}

// --- JPEG ------------------------------------------------------------------------------------

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

uint32_t read_jpeg(const uint8_t* data, size_t size, const Image* like, std::string* error) {
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
  if (setjmp(jerr.jump)) {
    if (error) *error = jerr.message;
    jpeg_destroy_decompress(&cinfo);
    if (handle) vm::element_release(handle);
    return 0;
  }
  jpeg_create_decompress(&cinfo);
  progress.progress_monitor = jpeg_progress;
  cinfo.progress = &progress;
  if (size == 0) {
    jpeg_destroy_decompress(&cinfo);
    return fail(error, "empty file"), 0;
  }
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK || !size_ok(cinfo.image_width, cinfo.image_height, error)) {
    jpeg_destroy_decompress(&cinfo);
    return 0;
  }
  bool is_cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = is_cmyk ? JCS_CMYK : JCS_EXT_BGR;
  jpeg_start_decompress(&cinfo);
  handle = new_for_reader(cinfo.output_width, cinfo.output_height, 24, like, error);
  Image* img = image_of(handle);
  if (!img) {
    jpeg_destroy_decompress(&cinfo);
    return 0;
  }
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

std::vector<uint8_t> encode_jpeg(const Image& img, int quality, std::string* error) {
  int32_t w = img.width(), h = img.height();
  if (w <= 0 || h <= 0 || !img.pixels) return fail(error, "empty image"), std::vector<uint8_t>{};
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
    if (error) *error = jerr.message;
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return {};
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

// --- TIFF ------------------------------------------------------------------------------------

namespace {

// libtiff's input and output in memory.
struct TiffMem {
  const uint8_t* data = nullptr;  // reading
  std::vector<uint8_t>* out = nullptr;  // writing
  uint64_t size = 0;
  uint64_t pos = 0;
  std::string message;
};

tmsize_t tiff_read(thandle_t h, void* buf, tmsize_t n) {
  auto* m = static_cast<TiffMem*>(h);
  const uint8_t* src = m->out ? m->out->data() : m->data;
  uint64_t size = m->out ? m->out->size() : m->size;
  if (n < 0 || m->pos >= size) return 0;
  uint64_t k = std::min<uint64_t>(uint64_t(n), size - m->pos);
  std::memcpy(buf, src + m->pos, size_t(k));
  m->pos += k;
  return tmsize_t(k);
}
tmsize_t tiff_write(thandle_t h, void* buf, tmsize_t n) {
  auto* m = static_cast<TiffMem*>(h);
  if (!m->out || n < 0) return 0;
  if (m->pos + uint64_t(n) > m->out->size()) m->out->resize(size_t(m->pos + uint64_t(n)));
  std::memcpy(m->out->data() + m->pos, buf, size_t(n));
  m->pos += uint64_t(n);
  return n;
}
toff_t tiff_seek(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<TiffMem*>(h);
  uint64_t size = m->out ? m->out->size() : m->size;
  uint64_t base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? size : 0;
  uint64_t to = base + off;
  if (to > (uint64_t(1) << 40)) return toff_t(-1);
  m->pos = to;
  return to;
}
int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t h) {
  auto* m = static_cast<TiffMem*>(h);
  return m->out ? m->out->size() : m->size;
}
int tiff_map(thandle_t, void**, toff_t*) { return 0; }
void tiff_unmap(thandle_t, void*, toff_t) {}
int tiff_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* m = static_cast<TiffMem*>(user);
  if (m->message.empty()) {
    char buf[256];
    // libtiff's own format string, passed through as its handler is given it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(buf, sizeof buf, fmt, ap);
#pragma GCC diagnostic pop
    m->message = std::string(module ? module : "libtiff") + ": " + buf;
  }
  return 1;
}
int tiff_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TIFF* tiff_open(TiffMem& m, const char* mode) {
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t(1) << 28);
  TIFFOpenOptionsSetErrorHandlerExtR(opts, tiff_error, &m);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, tiff_warning, &m);
  TIFF* t = TIFFClientOpenExt("image", mode, &m, tiff_read, tiff_write, tiff_seek, tiff_close, tiff_size, tiff_map,
                              tiff_unmap, opts);
  TIFFOpenOptionsFree(opts);
  return t;
}

// Put routines of libtiff's RGBA reader for RGB samples with unassociated
// (straight) alpha: libtiff's own premultiply them, which loses the colour
// of faint pixels; these pack the samples as they are. 16-bit samples are
// scaled to 8 bits with rounding.
uint32_t pack_rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | g << 8 | b << 16 | a << 24; }
uint32_t to8(uint16_t v) { return (uint32_t(v) * 255 + 32767) / 65535; }

void put_straight_contig8(TIFFRGBAImage* img, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                          int32_t fromskew, int32_t toskew, unsigned char* pp) {
  const int64_t spp = img->samplesperpixel;
  for (uint32_t y = 0; y < h; y++) {
    for (uint32_t x = 0; x < w; x++, pp += spp) *cp++ = pack_rgba(pp[0], pp[1], pp[2], pp[3]);
    cp += toskew;
    pp += int64_t(fromskew) * spp;
  }
}

void put_straight_contig16(TIFFRGBAImage* img, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                           int32_t fromskew, int32_t toskew, unsigned char* pp) {
  const int64_t spp = img->samplesperpixel;
  const unsigned char* p = pp;
  uint16_t s[4];
  for (uint32_t y = 0; y < h; y++) {
    for (uint32_t x = 0; x < w; x++, p += 2 * spp) {
      std::memcpy(s, p, sizeof s);
      *cp++ = pack_rgba(to8(s[0]), to8(s[1]), to8(s[2]), to8(s[3]));
    }
    cp += toskew;
    p += int64_t(fromskew) * spp * 2;
  }
}

void put_straight_separate8(TIFFRGBAImage*, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                            int32_t fromskew, int32_t toskew, unsigned char* r, unsigned char* g, unsigned char* b,
                            unsigned char* a) {
  for (uint32_t y = 0; y < h; y++) {
    for (uint32_t x = 0; x < w; x++) *cp++ = pack_rgba(*r++, *g++, *b++, *a++);
    r += fromskew, g += fromskew, b += fromskew, a += fromskew;
    cp += toskew;
  }
}

void put_straight_separate16(TIFFRGBAImage*, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                             int32_t fromskew, int32_t toskew, unsigned char* r, unsigned char* g, unsigned char* b,
                             unsigned char* a) {
  auto sample = [](unsigned char*& p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    p += 2;
    return to8(v);
  };
  for (uint32_t y = 0; y < h; y++) {
    for (uint32_t x = 0; x < w; x++) {
      uint32_t rv = sample(r), gv = sample(g), bv = sample(b), av = sample(a);
      *cp++ = pack_rgba(rv, gv, bv, av);
    }
    r += 2 * fromskew, g += 2 * fromskew, b += 2 * fromskew, a += 2 * fromskew;
    cp += toskew;
  }
}

// Reads the picture as straight RGBA, top row first. Colour samples stored
// premultiplied (associated alpha) come back divided by their alpha.
bool read_tiff_rgba(TIFF* t, uint32_t w, uint32_t h, uint32_t* raster, char message[1024]) {
  TIFFRGBAImage img;
  if (!TIFFRGBAImageOK(t, message) || !TIFFRGBAImageBegin(&img, t, 1, message)) return false;
  img.req_orientation = ORIENTATION_TOPLEFT;
  if (img.alpha == EXTRASAMPLE_UNASSALPHA && img.photometric == PHOTOMETRIC_RGB && img.samplesperpixel >= 4) {
    if (img.isContig && img.bitspersample == 8) img.put.contig = put_straight_contig8;
    if (img.isContig && img.bitspersample == 16) img.put.contig = put_straight_contig16;
    if (!img.isContig && img.bitspersample == 8) img.put.separate = put_straight_separate8;
    if (!img.isContig && img.bitspersample == 16) img.put.separate = put_straight_separate16;
  }
  const bool premultiplied = img.alpha == EXTRASAMPLE_ASSOCALPHA;
  bool ok = img.width == w && img.height == h && TIFFRGBAImageGet(&img, raster, w, h);
  TIFFRGBAImageEnd(&img);
  if (ok && premultiplied) {
    for (size_t i = 0, n = size_t(w) * h; i < n; i++) {
      uint32_t p = raster[i], a = TIFFGetA(p);
      if (a == 0 || a == 255) continue;
      auto un = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
      raster[i] = pack_rgba(un(TIFFGetR(p)), un(TIFFGetG(p)), un(TIFFGetB(p)), a);
    }
  }
  return ok;
}

}  // namespace

uint32_t read_tiff(const uint8_t* data, size_t size, const Image* like, std::string* error) {
  TiffMem m;
  m.data = data;
  m.size = size;
  TIFF* t = tiff_open(m, "rm");
  if (!t) return fail(error, m.message.empty() ? "not a TIFF file" : m.message.c_str()), 0;
  uint32_t w = 0, h = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  uint16_t extra = 0;
  uint16_t* extra_types = nullptr;
  bool alpha = TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extra, &extra_types) && extra > 0;
  if (w == 0 || h == 0 || !size_ok(w, h, error)) {
    if (w == 0 || h == 0) fail(error, "bad picture size");
    TIFFClose(t);
    return 0;
  }
  // Not zeroed: a file that claims a large picture but holds little data
  // fails before most of the pages are touched.
  std::unique_ptr<uint32_t[]> raster(new (std::nothrow) uint32_t[size_t(w) * h]);
  char message[1024] = {};
  if (!raster) {
    TIFFClose(t);
    return fail(error, "out of memory"), 0;
  }
  if (!read_tiff_rgba(t, w, h, raster.get(), message)) {
    fail(error, !m.message.empty() ? m.message.c_str() : message[0] ? message : "unreadable TIFF file");
    if (error && message[0] && m.message.empty()) *error = message;
    TIFFClose(t);
    return 0;
  }
  TIFFClose(t);
  uint32_t handle = new_for_reader(w, h, alpha ? -32 : 24, like, error);
  Image* img = image_of(handle);
  if (!img) return 0;
  for (uint32_t y = 0; y < h; y++) {
    uint8_t* o = img->row(int32_t(y));
    const uint32_t* s = &raster[size_t(y) * w];
    for (uint32_t x = 0; x < w; x++, o += img->bytes_pp) {
      o[0] = uint8_t(TIFFGetB(s[x]));
      o[1] = uint8_t(TIFFGetG(s[x]));
      o[2] = uint8_t(TIFFGetR(s[x]));
      if (alpha) o[3] = uint8_t(TIFFGetA(s[x]));
    }
  }
  return handle;
}

std::vector<uint8_t> encode_tiff(const Image& img, std::string* error) {
  int32_t w = img.width(), h = img.height();
  if (w <= 0 || h <= 0 || !img.pixels) return fail(error, "empty image"), std::vector<uint8_t>{};
  std::vector<uint8_t> out;
  TiffMem m;
  m.out = &out;
  TIFF* t = tiff_open(m, "w");
  if (!t) return fail(error, "cannot start a TIFF file"), std::vector<uint8_t>{};
  bool alpha = img.has_alpha;
  uint16_t ch = alpha ? 4 : 3;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(w));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(h));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, ch);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  if (alpha) {
    uint16_t type[1] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, type);
  }
  std::vector<uint8_t> row(size_t(w) * ch);
  bool ok = true;
  for (int32_t y = 0; y < h && ok; y++) {
    for (int32_t x = 0; x < w; x++) {
      uint32_t c = get_pixel(img, x, y);
      uint8_t* o = &row[size_t(x) * ch];
      o[0] = uint8_t(c >> 16);
      o[1] = uint8_t(c >> 8);
      o[2] = uint8_t(c);
      if (alpha) o[3] = img.row(y)[4 * x + 3];
    }
    ok = TIFFWriteScanline(t, row.data(), uint32_t(y), 0) == 1;
  }
  TIFFClose(t);
  if (!ok) {
    fail(error, m.message.empty() ? "TIFF writing failed" : m.message.c_str());
    return {};
  }
  return out;
}

// --- Windows bitmap writing --------------------------------------------------------------------

std::vector<uint8_t> encode_bmp(const Image& img) {
  uint32_t hs = img.has_alpha ? 108 : 40;
  uint32_t pal = img.bits <= 8 ? (4u << img.bits) : 0;
  uint32_t image_size = img.pixels ? uint32_t(img.height()) * uint32_t(img.stride) : 0;
  uint32_t off = 14 + hs + pal;
  std::vector<uint8_t> o;
  o.reserve(off + image_size);
  o.push_back('B');
  o.push_back('M');
  base::append_le32(o, off + image_size);
  base::append_le32(o, 0);
  base::append_le32(o, off);
  base::append_le32(o, hs);
  base::append_le32(o, uint32_t(img.width()));
  base::append_le32(o, uint32_t(img.height()));
  base::append_le16(o, 1);
  base::append_le16(o, uint16_t(img.bits));
  base::append_le32(o, 0);  // no compression
  base::append_le32(o, image_size);
  // Pixels per metre from the densities (dots per inch).
  base::append_le32(o, uint32_t((int64_t(img.st.density_x) * 10000 + 127) / 254));
  base::append_le32(o, uint32_t((int64_t(img.st.density_y) * 10000 + 127) / 254));
  base::append_le32(o, 0);
  base::append_le32(o, 0);
  if (hs == 108) {
    o.resize(14 + 108, 0);
    o[14 + 56] = 2;  // 32 bits with alpha
  }
  for (uint32_t i = 0; i < pal / 4; i++) base::append_le32(o, img.palette[i] & 0xFFFFFF);
  if (image_size) o.insert(o.end(), img.pixels, img.pixels + image_size);
  return o;
}

// --- GIF ------------------------------------------------------------------------------------------

uint32_t read_gif(const uint8_t* data, size_t size, const Image* like, std::string* error) {
  gif::Picture pic = gif::read(data, size);
  vm::Value list = vm::Value::null();
  uint32_t single = 0;
  for (const gif::Frame& f : pic.frames) {
    gif::FrameImage fi = gif::frame_to_image(f, like, error);
    Image* img = image_of(fi.image);
    if (!img) {
      if (fi.mask) vm::element_release(fi.mask);
      continue;
    }
    // The mask keeps exactly the transparent pixels out of puts (another
    // palette entry of the same colour stays opaque); the transparent
    // colour is kept as well, so that saving writes the frame back with it.
    img->mask = fi.mask;
    // Delays (and the 1/30 s minimum for frames that give 0 or 1) pace an
    // animation; a still picture is put without waiting.
    img->delay = pic.frames.size() > 1 ? fi.delay : 0;
    if (f.transparent >= 0) {
      img->st.tran = 1;
      img->st.color_tran = img->palette[f.transparent & 255];
    }
    if (pic.frames.size() == 1) {
      single = fi.image;
      break;
    }
    vm::array_append(list, vm::Value::from_handle(fi.image));
    vm::element_release(fi.image);
  }
  if (single) return single;
  if (list.is_null()) return fail(error, pic.error.empty() ? "no picture in the GIF file" : pic.error.c_str()), 0;
  return list.handle();
}

std::vector<uint8_t> encode_gif(const Image& img) {
  if (img.width() <= 0 || img.height() <= 0) return {};
  gif::WriteOptions options;
  if (img.st.tran) options.transparent_colour = img.st.color_tran & 0xFFFFFF;
  return gif::write(img, options);
}

// --- choosing the reader ------------------------------------------------------------------------

uint32_t decode(const uint8_t* data, size_t size, const Image* like, std::string* error) {
  switch (detect_format(data, size)) {
    case Format::Bmp: return read_bmp(data, size, like, error);
    case Format::Own: return read_own(data, size, like, error);
    case Format::Icon: return read_icon(data, size, like, error);
    case Format::Gif: return read_gif(data, size, like, error);
    case Format::Tiff: return read_tiff(data, size, like, error);
    case Format::Png: return read_png(data, size, like, error);
    case Format::Emf:
    case Format::PlaceableWmf:
    case Format::Wmf: {
      // A metafile (Windows or enhanced) is an empty 32-bit picture that
      // keeps the file's bytes; imagesize plays them at the size it is given.
      uint32_t handle = image_new(0, 0, 32, like, nullptr, 0, error);
      if (Image* img = image_of(handle)) {
        img->metafile = vm::element_create(data, size, vm::kTypeString);
        if (!img->metafile) {
          vm::element_release(handle);
          return fail(error, "out of memory"), 0;
        }
      }
      return handle;
    }
    case Format::Jpeg: return read_jpeg(data, size, like, error);
  }
  return 0;
}

// --- loading into variables ------------------------------------------------------------------

namespace {

bool is_image_list(vm::Value v) {
  vm::ArrayRecord* a = vm::array_of(v);
  if (!a || a->count == 0) return false;
  for (uint32_t i = 0; i < a->count; i++)
    if (vm::element_type_of(a->items[i].value) != vm::kTypeImage) return false;
  return true;
}

// Counts the digit run that holds position `at` up by one (9 becomes 10).
void count_up(std::string& s, size_t& start, size_t& end) {
  size_t i = end;
  while (i > start) {
    char& c = s[i - 1];
    if (c != '9') {
      c++;
      return;
    }
    c = '0';
    i--;
  }
  s.insert(s.begin() + long(start), '1');
  end++;
}

void report_unreadable(std::string_view name, const std::string& why) {
  std::fprintf(stderr, "quillon: image \"%.*s\" cannot be read: %s\n", int(name.size()), name.data(), why.c_str());
}

}  // namespace

bool open_with_extensions(vm::Interp& ctx, std::string_view name, std::span<const char* const> extensions,
                          std::string& bytes) {
  uint32_t stream = storage::stream_open_read_gz(&ctx, name);
  size_t sep = name.find_last_of("/\\:");
  std::string_view file = sep == std::string_view::npos ? name : name.substr(sep + 1);
  if (!stream && file.find('.') == std::string_view::npos) {
    for (const char* ext : extensions) {
      std::string tried = std::string(name) + "." + ext;
      stream = storage::stream_open_read_gz(&ctx, tried);
      if (stream) break;
    }
  }
  if (!stream) return false;
  bool whole = storage::stream_read_rest(stream, bytes, storage::kWholeFileLimit);
  storage::stream_close(stream);
  return whole;
}

bool open_image_file(vm::Interp& ctx, std::string_view name, std::string& bytes) {
  return open_with_extensions(ctx, name, kImageExtensions, bytes);
}

vm::Value load_into_variable(vm::Interp& ctx, vm::Value name, vm::Value var) {
  std::string text = vm::value_to_string(&ctx, name);
  vm::Value var_name = var.is_null() ? vm::name_from_text(ctx, name) : var;
  if (!var.is_null()) vm::value_ref(var_name);
  vm::Value result = vm::Value::null();
  vm::Value* cell = vm::var_find(ctx, var_name);
  if (cell && (vm::element_type_of(*cell) == vm::kTypeImage || is_image_list(*cell))) {
    result = *cell;
    vm::value_release(var_name);
    return result;
  }
  const Image* like = target(ctx);
  std::string bytes, error;
  auto missing = [&](const std::string& what) {
    std::string extra = " Image \"" + what + "\"";
    vm::raise_error(ctx, vm::kErrMissingFile, extra.c_str());
  };
  size_t plus = text.find('+');
  vm::Value stored = vm::Value::null();
  if (plus != std::string::npos) {
    // A numbered sequence: "+" becomes 0, then the digit run there counts up.
    std::string cur = text;
    cur[plus] = '0';
    size_t start = plus, end = plus + 1;
    while (start > 0 && cur[start - 1] >= '0' && cur[start - 1] <= '9') start--;
    while (end < cur.size() && cur[end] >= '0' && cur[end] <= '9') end++;
    vm::Value list = vm::Value::null();
    for (int k = 0; k < 100000; k++) {
      if (!open_image_file(ctx, cur, bytes)) {
        if (k == 0) missing(cur);
        break;
      }
      uint32_t h = decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), like, &error);
      if (!h) report_unreadable(cur, error);
      vm::Value v = vm::Value::from_handle(h);
      if (vm::element_type_of(v) == vm::kTypeImage) {
        vm::array_append(list, v);
      } else if (vm::ArrayRecord* a = vm::array_of(v)) {
        for (uint32_t i = 0; i < a->count; i++) vm::array_append(list, a->items[i].value);
      }
      if (h) vm::element_release(h);
      count_up(cur, start, end);
    }
    stored = list;
  } else {
    if (!open_image_file(ctx, text, bytes)) {
      missing(text);
    } else {
      uint32_t h = decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), like, &error);
      if (!h) report_unreadable(text, error);
      stored = h ? vm::Value::from_handle(h) : vm::Value::null();
    }
  }
  if (!stored.is_null()) {
    if (vm::Value* out = vm::var_for_set(ctx, var_name)) {
      vm::value_store(*out, stored);
      result = *out;
    }
    vm::value_release(stored);
  }
  vm::value_release(var_name);
  return result;
}

vm::Value image_arg(vm::Interp& ctx, vm::Value v) {
  uint32_t type = vm::element_type_of(v);
  if (type == vm::kTypeImage || is_image_list(v)) return v;
  if (type == vm::kTypeString) {
    // A variable of that name holding an image, else a file name.
    if (vm::Value* cell = vm::var_find(ctx, v))
      if (vm::element_type_of(*cell) == vm::kTypeImage || is_image_list(*cell)) return *cell;
    return load_into_variable(ctx, v);
  }
  if (type == vm::kTypeArrayPath) {
    // An array item (pics[2]), as imageload and the other commands with a
    // destination store into it: the image or list it holds.
    if (vm::Value* cell = vm::var_find(ctx, v))
      if (vm::element_type_of(*cell) == vm::kTypeImage || is_image_list(*cell)) return *cell;
  }
  return vm::Value::null();
}

std::vector<Image*> images_of(vm::Value v) {
  std::vector<Image*> out;
  if (Image* img = image_of(v.is_element() ? v.handle() : 0)) {
    out.push_back(img);
  } else if (vm::ArrayRecord* a = vm::array_of(v)) {
    for (uint32_t i = 0; i < a->count; i++)
      if (Image* item = image_of(a->items[i].value.is_element() ? a->items[i].value.handle() : 0)) out.push_back(item);
  }
  return out;
}

}  // namespace gfx
