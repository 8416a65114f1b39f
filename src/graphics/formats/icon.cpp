// Icons and cursors: the directory, the choice of picture, and PNG or
// bitmap pictures inside.
#include "graphics/formats/formats.h"

#include <cstring>

#include "base/bytes.h"

namespace gfx {

using namespace formats;  // the readers' shared helpers

Result<uint32_t> read_icon(const uint8_t* data, size_t size, const Image* like) {
  if (size < 6 || load_le16(data) != 0 || (load_le16(data + 2) != 1 && load_le16(data + 2) != 2)) return Failure{"not an icon"};
  size_t count = load_le16(data + 4);
  if (count == 0 || 6 + 16 * count > size) return Failure{"icon directory cut short"};
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
  if (best_area < 0) return Failure{"icon holds no picture"};
  if (best_png) return read_png(data + best_off, best_len, like);
  return decode_dib(data + best_off, best_len, -1, true, like);
}

bool formats::is_icon(const uint8_t* d, size_t n) {
  return n >= 4 && load_le16(d) == 0 && (load_le16(d + 2) == 1 || load_le16(d + 2) == 2);
}

}  // namespace gfx
