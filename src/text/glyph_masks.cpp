#include "text/glyph_masks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace text {

namespace {

struct CachedGlyph {
  GlyphMask mask;
  int32_t bits = 0;
  std::vector<uint8_t> source;  // the cell bytes the mask was made from
};

// The masks of one font, by character code, made as they are asked for.
struct FontMasks {
  uint32_t font = 0;
  uint64_t used = 0;
  std::array<std::unique_ptr<CachedGlyph>, 256> glyphs;
};

// A few fonts per thread, the least recently used one given up for a new
// one. Each thread has its own, so no lock is taken while drawing.
constexpr size_t kFonts = 8;
// Beyond this many bytes of masks and sources the cache starts afresh.
constexpr size_t kBudget = size_t(32) << 20;
struct Cache {
  std::array<std::unique_ptr<FontMasks>, kFonts> fonts;
  FontMasks* last = nullptr;
  uint64_t clock = 0;
  size_t bytes = 0;
};
thread_local Cache t_cache;

FontMasks& masks_of(uint32_t font) {
  Cache& c = t_cache;
  if (c.last && c.last->font == font) return *c.last;
  // The font's own slot, else an empty one, else the least recently used.
  std::unique_ptr<FontMasks>* slot = &c.fonts[0];
  for (auto& m : c.fonts) {
    if (m && m->font == font) {
      slot = &m;
      break;
    }
    if (*slot && (!m || m->used < (*slot)->used)) slot = &m;
  }
  if (!*slot || (*slot)->font != font) {
    *slot = std::make_unique<FontMasks>();
    (*slot)->font = font;
  }
  (*slot)->used = ++c.clock;
  c.last = slot->get();
  return *c.last;
}

void make_mask(const Font& f, const uint8_t* cell, CachedGlyph& g) {
  const int32_t w = f.h.cell_width, h = f.h.cell_height;
  g.bits = f.h.bits_per_pixel;
  g.source.assign(cell, cell + f.cell_bytes);
  GlyphMask& m = g.mask;
  m.width = w;
  m.height = h;
  m.stride = w + 3;
  m.coverage.assign(size_t(m.stride) * size_t(h), 0);
  m.first.assign(size_t(h), 0);
  m.end.assign(size_t(h), 0);
  for (int32_t y = 0; y < h; y++) {
    uint8_t* row = m.coverage.data() + size_t(y) * size_t(m.stride);
    int32_t first = w, end = 0;
    for (int32_t x = 0; x < w; x++) {
      row[x] = f.coverage(cell, x, y);
      if (row[x]) first = std::min(first, x), end = x + 1;
    }
    if (first < end) m.first[size_t(y)] = int16_t(first), m.end[size_t(y)] = int16_t(end);
  }
  m.groups.clear();
  m.ink_r0 = h, m.ink_r1 = 0, m.ink_c0 = w, m.ink_c1 = 0, m.group_end = 0;
  for (int32_t y = 0; y < h; y++) {
    const int32_t first = m.first[size_t(y)], end = m.end[size_t(y)];
    if (first >= end) continue;
    m.ink_r0 = std::min(m.ink_r0, y), m.ink_r1 = y + 1;
    m.ink_c0 = std::min(m.ink_c0, first), m.ink_c1 = std::max(m.ink_c1, end);
    if (g.bits != 1) continue;
    const uint8_t* row = m.coverage.data() + size_t(y) * size_t(m.stride);
    for (int32_t x = first; x < end; x += 4) {
      GlyphMask::InkGroup group{int16_t(y), int16_t(x), {0, 0, 0, 0}};
      bool any = false;
      for (int32_t i = 0; i < 4 && x + i < end; i++)
        if (row[x + i]) group.mask[i] = 0x00FFFFFF, any = true;
      if (!any) continue;
      m.groups.push_back(group);
      m.group_end = std::max(m.group_end, x + 4);
    }
  }
  if (m.ink_r0 >= m.ink_r1) m.ink_r0 = m.ink_r1 = m.ink_c0 = m.ink_c1 = 0;
}

// Whether n bytes at a and b are equal: the check made for every glyph
// drawn, on cells of a few dozen bytes (1-bit ones) without a call; larger
// cells go to memcmp, which compares them a vector at a time.
inline bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n) {
  if (n > 64) return std::memcmp(a, b, n) == 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return false;
  }
  if (n >= 8) {  // the last eight, overlapping
    uint64_t x, y;
    std::memcpy(&x, a + n - 8, 8);
    std::memcpy(&y, b + n - 8, 8);
    return x == y;
  }
  for (; i < n; i++)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace

const GlyphMask* glyph_mask(const Font& f, uint8_t c) {
  const uint8_t* cell = f.cell(c);
  const int32_t bits = f.h.bits_per_pixel;
  if (!cell || (bits != 1 && bits != 2 && bits != 4 && bits != 8)) return nullptr;
  std::unique_ptr<CachedGlyph>& g = masks_of(f.self).glyphs[c];
  if (g && g->bits == f.h.bits_per_pixel && g->mask.width == f.h.cell_width && g->mask.height == f.h.cell_height &&
      g->source.size() == size_t(f.cell_bytes) && same_bytes(g->source.data(), cell, g->source.size()))
    return &g->mask;
  // A cell's mask and source take about two bytes a pixel, its groups (1-bit
  // cells) at most six more.
  const size_t cost = (size_t(f.h.cell_width) + 7) * size_t(f.h.cell_height) * (bits == 1 ? 8 : 2) + size_t(f.cell_bytes);
  if (t_cache.bytes + cost > kBudget) {
    if (cost > kBudget / 16) return nullptr;  // too large to keep: drawn from the cell
    t_cache = Cache{};
    return glyph_mask(f, c);
  }
  if (!g) g = std::make_unique<CachedGlyph>();
  t_cache.bytes += cost;
  make_mask(f, cell, *g);
  return &g->mask;
}

}  // namespace text
