// Our own picture format (clp, gli, pic): run-length records of
// indexed, 16-, 24- and 32-bit pictures.
#include "graphics/formats/formats.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/bytes.h"

namespace gfx {

using namespace formats;  // the readers' shared helpers

Result<uint32_t> read_own(const uint8_t* data, size_t size, const Image* like) {
  if (size < 19 || load_le16(data) != 0x1234) return Failure{"not a picture of ours"};
  uint8_t version = data[11];
  if (!((version >= '1' && version <= '4') || version == 0xFF)) return Failure{"unknown picture version"};
  int32_t w = load_le16(data + 2), h = load_le16(data + 4), bits = data[10];
  if (bits != 1 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return Failure{"unsupported picture depth"};
  size_t pal_len = load_le16(data + 15);
  if (17 + pal_len + 2 > size) return Failure{"picture cut short"};
  uint32_t palette[256] = {};
  if (bits == 8) {
    // Bytes are stored rotated right by two bits.
    auto rotl2 = [](uint8_t b) { return uint32_t(uint8_t(b << 2 | b >> 6)); };
    for (size_t i = 0; i < 256 && 3 * i + 2 < std::min<size_t>(pal_len, 768); i++) {
      const uint8_t* e = data + 17 + 3 * i;
      palette[i] = rotl2(e[0]) << 16 | rotl2(e[1]) << 8 | rotl2(e[2]);
    }
  }
  if (Status sized = size_ok(w, h); !sized) return sized.failure();
  int64_t row_bytes = (int64_t(bits) * w + 7) / 8;
  std::vector<uint8_t> out;
  out.reserve(size_t(row_bytes * h));
  const int64_t total = row_bytes * h;
  size_t pos = 17 + pal_len;
  int32_t records = int16_t(load_le16(data + pos));
  pos += 2;
  int pixel = bits <= 8 ? 1 : bits / 8;
  for (int32_t k = 0; k < records && int64_t(out.size()) < total; k++) {
    if (pos + 2 > size) return Failure{"picture cut short"};
    size_t len = load_le16(data + pos);
    if (len < 4) break;
    if (pos + len > size) return Failure{"picture cut short"};
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
  Result<uint32_t> made = bits == 8 ? new_image(w, h, 8, like, palette, 256) : new_for_reader(w, h, out_bits, like);
  if (!made) return made;
  const uint32_t handle = made.value();
  Image* img = image_of(handle);
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

bool formats::is_own(const uint8_t* d, size_t n) { return n >= 2 && d[0] == 0x34 && d[1] == 0x12; }

}  // namespace gfx
