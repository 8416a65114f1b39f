// Windows bitmaps: the device-independent bitmap reader (also used for
// the pictures inside icons), the BMP file reader and writer.
#include "graphics/formats/formats.h"

#include <cstring>

#include "base/bytes.h"
#include "base/pixel_rows.h"

namespace gfx {

using namespace formats;  // the readers' shared helpers

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

}  // namespace

// A device-independent bitmap: the info header at `dib` (`size` bytes to the
// end of the file), pixels at `pixel_off` from it (-1: right after the
// palette). Icons hold twice the height: the colour picture, then the 1-bit
// AND mask; they become 32-bit alpha images.
Result<uint32_t> formats::decode_dib(const uint8_t* dib, size_t size, int64_t pixel_off, bool icon,
                                     const Image* like) {
  if (size < 16) return Failure{"bitmap header cut short"};
  uint32_t hs = load_le32(dib);
  if (hs < 12 || (hs > 12 && hs < 16) || hs > size) return Failure{"bad bitmap header size"};
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
    if (d.height == INT32_MIN || icon) return Failure{"bad bitmap height"};
    d.height = -d.height;
    d.top_down = true;
  }
  if (icon) d.height /= 2;
  if (d.width < 0) return Failure{"bad bitmap width"};
  if (Status sized = size_ok(d.width, d.height); !sized) return sized.failure();
  switch (d.bits) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return Failure{"unsupported bitmap depth"};
  }
  // Compression: 0 none, 1 RLE8, 2 RLE4, 3 bit fields, 6 bit fields with alpha.
  size_t pos = hs;
  uint32_t c = d.compression;
  if ((c == 1 && d.bits != 8) || (c == 2 && d.bits != 4) || ((c == 3 || c == 6) && d.bits != 16 && d.bits != 32) ||
      (c != 0 && c != 1 && c != 2 && c != 3 && c != 6))
    return Failure{"unsupported bitmap compression"};
  if ((c == 1 || c == 2) && d.top_down) return Failure{"top-down bitmaps cannot be run-length packed"};
  if (c == 3 || c == 6) {
    int count = c == 3 ? 3 : 4;
    if (hs >= 40 + 4u * count) {
      for (int k = 0; k < count; k++) d.masks[k] = load_le32(hdr + 40 + 4 * k);
    } else {
      if (size < pos + 4u * count) return Failure{"bitmap masks cut short"};
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
    if (pos + count * entry > size) return Failure{"bitmap palette cut short"};
    for (uint64_t i = 0; i < count; i++) {
      const uint8_t* e = dib + pos + i * entry;
      palette[i] = uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0];
    }
    entries = int32_t(count);
    pos += count * entry;
  }
  if (pixel_off < int64_t(pos)) pixel_off = int64_t(pos);
  if (uint64_t(pixel_off) > size) return Failure{"bitmap pixel offset beyond the file"};
  const uint8_t* px = dib + pixel_off;
  size_t avail = size - size_t(pixel_off);

  int32_t out_bits = d.bits <= 8 ? d.bits : d.bits == 32 ? (d.alpha ? -32 : 32) : 24;
  if (icon) out_bits = -32;
  int64_t src_stride = (int64_t(d.width) * d.bits + 31) / 32 * 4;
  int64_t row_bytes = (int64_t(d.width) * d.bits + 7) / 8;
  if (c != 1 && c != 2 && d.height > 0 && int64_t(avail) < (d.height - 1) * src_stride + row_bytes)
    return Failure{"bitmap pixel data cut short"};

  if (d.bits <= 8 && !icon) {
    Result<uint32_t> made = new_image(d.width, d.height, out_bits, like, palette, entries);
    if (!made) return made;
    const uint32_t handle = made.value();
    Image* img = image_of(handle);
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
  Result<uint32_t> made = new_for_reader(d.width, d.height, out_bits, like);
  if (!made) return made;
  const uint32_t handle = made.value();
  Image* img = image_of(handle);
  if (!img->pixels) return handle;
  // The common depths are row copies: 24 bits are stored as the file has
  // them, 32 bits with the usual masks too (the alpha byte kept, or set
  // opaque when the file has none).
  const bool plain32 = d.bits == 32 && d.masks[0] == 0xFF0000 && d.masks[1] == 0xFF00 && d.masks[2] == 0xFF &&
                       (d.masks[3] == 0xFF000000u || d.masks[3] == 0);
  if (!icon && (d.bits == 24 || plain32) && img->bytes_pp * 8 == d.bits) {
    for (int64_t r = 0; r < d.height; r++) {
      const uint8_t* s = px + r * src_stride;
      uint8_t* o = store_row(*img, d.top_down ? d.height - 1 - r : r);
      if (d.bits == 32 && !d.masks[3]) base::copy_opaque32(o, s, size_t(d.width));
      else std::memcpy(o, s, size_t(row_bytes));
    }
    return handle;
  }
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

Result<uint32_t> read_bmp(const uint8_t* data, size_t size, const Image* like) {
  if (size < 14 + 12 || data[0] != 'B' || data[1] != 'M') return Failure{"not a bitmap"};
  return decode_dib(data + 14, size - 14, int64_t(load_le32(data + 10)) - 14, false, like);
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

bool formats::is_bmp(const uint8_t* d, size_t n) {
  if (n < 26 || d[0] != 'B' || d[1] != 'M') return false;
  // The bit count lies at offset 24 in the 12-byte core header and at 28
  // in every longer info header.
  const bool core = load_le32(d + 14) == 12;
  uint16_t bits = core ? load_le16(d + 24) : n >= 30 ? load_le16(d + 28) : 0;
  return bits >= 1 && bits <= 64;
}

}  // namespace gfx
