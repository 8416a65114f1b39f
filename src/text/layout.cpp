// Line layout shared by the measuring and drawing commands, and the glyph
// drawer.
#include "text/layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "graphics/draw.h"
#include "graphics/image.h"
#include "graphics/image_put.h"
#include "text/glyph_masks.h"
#include "text/markup.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace text {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_break_space(uint8_t c) { return c == ' ' || c == '\t'; }
bool is_newline(uint8_t c) { return c == '\r' || c == '\n'; }

// The advance of an item at pen x (tab stops count from `left`).
int32_t advance_of(const Decoded& d, const Item& it, const TextState& st, int32_t x, int32_t left) {
  if (it.image) return d.images[it.image - 1u].w + 2 * d.images[it.image - 1u].space;
  const Font& f = *d.fonts[it.font];
  if (st.monospace) return f.h.gap_char + f.h.max_advance;
  if (it.c == '\t') {
    int64_t stop = st.tab_size > 0 ? int64_t(st.tab_size) * f.tab_width() : -int64_t(st.tab_size);
    stop = std::min<int64_t>(stop, int64_t(1) << 24);
    if (stop <= 0) return 0;
    int64_t rel = int64_t(x) - left;
    int64_t mod = ((rel % stop) + stop) % stop;
    return int32_t(stop - mod);
  }
  if (it.c == ' ') return f.h.space_width;
  GlyphMetrics m = f.metrics(it.c);
  if (m.advance == 0) return 0;
  return m.advance + f.h.gap_char + st.kern;
}

// Where the ink of an item ends when it starts at pen x (x itself when it has none).
int32_t ink_end(const Decoded& d, const Item& it, const TextState& st, int32_t x) {
  if (it.image) return x + d.images[it.image - 1u].w + d.images[it.image - 1u].space;
  if (is_break_space(it.c) || is_newline(it.c)) return x;
  const Font& f = *d.fonts[it.font];
  GlyphMetrics m = f.metrics(it.c);
  if (m.advance == 0 && !st.monospace) return x;
  int32_t w = m.ink_right - m.ink_left;
  if (w <= 0) return x;
  if (st.monospace) return x + (f.h.max_advance - w) / 2 + w;
  return x + m.x_offset + w;
}

int32_t overhang_of(const Decoded& d, const Item& it) {
  if (it.image || is_break_space(it.c) || is_newline(it.c)) return 0;
  GlyphMetrics m = d.fonts[it.font]->metrics(it.c);
  return m.advance != 0 && m.bearing < 0 ? -m.bearing : 0;
}

bool stopping(vm::Interp* ctx) { return ctx && ctx->stop != 0; }

// The pen moved by an advance, kept within +-2^30 so that no sum of a pen
// position and a few metrics can overflow, however long the text.
int32_t moved(int32_t x, int64_t advance) {
  constexpr int64_t kLimit = int64_t(1) << 30;
  return int32_t(std::clamp<int64_t>(int64_t(x) + advance, -kLimit, kLimit));
}

}  // namespace

TextState& text_state(vm::Interp& ctx) {
  void*& slot = ctx.slots[vm::kSlotText];
  if (!slot) slot = new TextState;
  return *static_cast<TextState*>(slot);
}

void text_state_free(vm::Interp& ctx) {
  delete static_cast<TextState*>(ctx.slots[vm::kSlotText]);
  ctx.slots[vm::kSlotText] = nullptr;
}

Decoded decode_text(vm::Interp* ctx, std::string_view text, const Font& base, uint32_t color,
                    const TextState& st) {
  if (st.html) return decode_html(ctx, text, base, color, st);
  if (st.rtf) {
    Decoded d = decode_rtf(ctx, text, base, color, st);
    if (d.error && ctx) report_rtf_error(*ctx, d.error);
    return d;
  }
  while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  Decoded d;
  d.fonts.push_back(&base);
  d.src_size = uint32_t(text.size());
  d.items.reserve(text.size());
  uint8_t font = 0;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (st.colorcodes && c == '^' && i + 1 < text.size()) {
      char n = text[i + 1];
      if (n != '^') {
        if (int v = hex_digit(n); v >= 0) {
          color = gfx::kStandardColors[v];
          i++;
          continue;
        }
        if (n == '#' && i + 7 < text.size()) {
          uint32_t rgb = 0;
          bool ok = true;
          for (size_t k = 0; k < 6; k++) {
            int v = hex_digit(text[i + 2 + k]);
            ok = ok && v >= 0;
            rgb = rgb << 4 | uint32_t(std::max(v, 0));
          }
          if (ok) {
            color = rgb;
            i += 7;
            continue;
          }
        }
      } else {
        i++;  // "^^": one caret
      }
    } else if (st.fontcodes && c == '~' && i + 1 < text.size()) {
      if (text[i + 1] == '~') {
        i++;
      } else if (text[i + 1] == '{') {
        size_t close = text.find('}', i + 2);
        if (close != std::string_view::npos) {
          std::string_view name = text.substr(i + 2, close - i - 2);
          if (name.empty()) {
            font = 0;
          } else if (ctx) {
            vm::Value nv = vm::Value::from_handle(vm::text_intern(name));
            const Font* f = font_of(find_font(*ctx, nv, false));
            vm::value_release(nv);
            if (f && d.fonts.size() < 255) {
              auto it = std::find(d.fonts.begin(), d.fonts.end(), f);
              font = uint8_t(it - d.fonts.begin());
              if (it == d.fonts.end()) d.fonts.push_back(f);
            }
          }
          i = close;
          continue;
        }
      }
    }
    d.items.push_back(Item{uint8_t(text[i]), font, 0, color, uint32_t(i), 0});
  }
  return d;
}

Layout layout_text(vm::Interp* ctx, const Decoded& d, const TextState& st, const LayoutBox& box) {
  Layout out;
  const size_t n = d.items.size();
  out.x.assign(n, 0);
  const int64_t limit = box.width > 0 ? int64_t(box.left) + box.width : int64_t(1) << 40;
  const Font& base = *d.fonts[0];
  const bool joinable = st.wrap && !st.html && !st.rtf;
  const int32_t wrap_x = st.indent ? box.first_x : box.left;
  size_t i = 0;
  bool first = true;
  while (true) {
    if (stopping(ctx)) break;
    Line line{};
    line.begin = i;
    line.start_x = first ? box.first_x : wrap_x;
    line.cell = base.h.cell_height;
    int32_t x = line.start_x;
    size_t opportunity = SIZE_MAX;  // index of the first item after the last break opportunity
    bool ended = false;
    while (i < n) {
      const Item& it = d.items[i];
      if (is_newline(it.c)) {
        size_t after = i + 1;
        if (it.c == '\r' && after < n && d.items[after].c == '\n') after++;
        bool as_space = joinable && i > line.begin && after < n && d.items[after].c > 32 &&
                        !is_break_space(d.items[i - 1].c);
        if (!as_space) {
          for (size_t k = i; k < after; k++) out.x[k] = x;
          line.end = i;
          line.next = after;
          ended = true;
          break;
        }
        // A single newline inside a paragraph counts as a space.
        for (size_t k = i; k < after; k++) out.x[k] = x;
        x = moved(x, d.fonts[it.font]->h.space_width);
        i = after;
        opportunity = i;
        continue;
      }
      out.x[i] = x;
      line.cell = std::max(line.cell, it.image ? d.images[it.image - 1u].h + 2 * d.images[it.image - 1u].vspace
                                               : d.fonts[it.font]->h.cell_height);
      int32_t adv = advance_of(d, it, st, x, box.left);
      if (!box.no_wrap && !st.clip && i > line.begin && ink_end(d, it, st, x) > limit) {
        size_t cut = opportunity != SIZE_MAX && opportunity > line.begin ? opportunity : i;
        line.end = cut;
        line.wrapped = true;
        size_t next = cut;
        while (next < n && is_break_space(d.items[next].c)) next++;
        line.next = next;
        ended = true;
        break;
      }
      x = moved(x, adv);
      i++;
      if (is_break_space(it.c) || (st.wrappunct && (it.c == ',' || it.c == '-' || it.c == ';'))) opportunity = i;
    }
    if (!ended) {
      line.end = n;
      line.next = n;
    }
    line.pen_x = line.end < n ? out.x[line.end] : x;
    // Width and spaces: trailing break spaces (and joined newlines) do not count.
    size_t last = line.end;
    while (last > line.begin && (is_break_space(d.items[last - 1].c) || is_newline(d.items[last - 1].c))) last--;
    line.end_x = last == line.end ? line.pen_x : out.x[last];
    if (last > line.begin) line.overhang = overhang_of(d, d.items[last - 1]);
    for (size_t k = line.begin; k < last; k++)
      if (d.items[k].c == ' ' || is_newline(d.items[k].c)) line.spaces++;
    line.height = line.cell + base.h.gap_line;
    out.lines.push_back(line);
    first = false;
    i = line.next;
    // A newline always opens another line (perhaps empty, where the pen
    // goes); the end of the text or of the items after a wrap ends layout.
    if (!ended || (line.wrapped && i >= n)) break;
  }
  return out;
}

int32_t text_width(const Decoded& d, const TextState& st, bool last_line_only) {
  Layout l = layout_text(nullptr, d, st, LayoutBox{0, 0, 0, true});
  int32_t widest = 0, w = 0;
  for (const Line& line : l.lines) {
    // A measured line keeps its trailing spaces and tabs (only alignment
    // leaves them out); the overhang is that of the line's last character.
    int32_t overhang = line.end > line.begin ? overhang_of(d, d.items[line.end - 1]) : 0;
    w = line.pen_x - line.start_x + overhang;
    widest = std::max(widest, w);
  }
  return last_line_only ? w : widest;
}

int64_t text_height(vm::Interp* ctx, const Decoded& d, const TextState& st, int32_t max_width, int32_t max_height) {
  Layout l = layout_text(ctx, d, st, LayoutBox{0, max_width, 0, false});
  const int32_t gap = d.fonts[0]->h.gap_line;
  if (max_height == 0) {
    int64_t total = 0;
    for (const Line& line : l.lines) total += line.height;
    return l.lines.empty() ? 0 : total - gap;
  }
  if (max_height > 0) {
    int64_t total = 0;
    for (const Line& line : l.lines) {
      if (total + line.height - gap > max_height) {
        return line.begin < d.items.size() ? d.items[line.begin].src : d.src_size;
      }
      total += line.height;
    }
    return d.src_size;
  }
  // The last lines that fit in -max_height pixels: the number of the first.
  int64_t room = -int64_t(max_height), total = 0;
  size_t first = l.lines.size();
  while (first > 0) {
    int64_t h = l.lines[first - 1].height - (first == l.lines.size() ? gap : 0);
    if (total + h > room) break;
    total += h;
    first--;
  }
  return int64_t(first) + 1;
}

namespace {

#if defined(__SSE2__)
// Four 32-bit pixels at p blended towards the colour (blue, green, red and
// 0 in the 16-bit lanes of each half of c16) by the coverage bytes of
// `four` scaled by k / 256: each channel (old * (256 - w) + colour * w +
// 255) >> 8, which stays below 2^16 in the lanes. The alpha lanes get the
// weight 0 and so keep their bytes.
inline void blend_four(uint8_t* p, uint32_t four, __m128i c16, uint32_t k) {
  const __m128i zero = _mm_setzero_si128();
  __m128i w = _mm_cvtsi32_si128(int32_t(four));
  w = _mm_unpacklo_epi8(w, w);
  w = _mm_and_si128(_mm_unpacklo_epi16(w, w), _mm_set1_epi32(0x00FFFFFF));
  __m128i wlo = _mm_unpacklo_epi8(w, zero), whi = _mm_unpackhi_epi8(w, zero);
  if (k != 256) {
    const __m128i kk = _mm_set1_epi16(int16_t(k));
    wlo = _mm_srli_epi16(_mm_mullo_epi16(wlo, kk), 8);
    whi = _mm_srli_epi16(_mm_mullo_epi16(whi, kk), 8);
  }
  const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i n256 = _mm_set1_epi16(256), r255 = _mm_set1_epi16(255);
  const __m128i olo = _mm_unpacklo_epi8(d, zero), ohi = _mm_unpackhi_epi8(d, zero);
  const __m128i lo = _mm_srli_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(olo, _mm_sub_epi16(n256, wlo)), _mm_mullo_epi16(c16, wlo)), r255), 8);
  const __m128i hi = _mm_srli_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(ohi, _mm_sub_epi16(n256, whi)), _mm_mullo_epi16(c16, whi)), r255), 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(lo, hi));
}
#endif

#if defined(__SSE2__)
// blend_four for the weights 0 and 255 alone (a 1-bit font without a
// filter): (old + colour * 255 + 255) >> 8 is the colour plus 1 where the
// old channel is above it, which needs no multiplication.
inline void ink_four(uint8_t* p, uint32_t four, __m128i c8) {
  __m128i m = _mm_cvtsi32_si128(int32_t(four));
  m = _mm_unpacklo_epi8(m, m);
  m = _mm_and_si128(_mm_unpacklo_epi16(m, m), _mm_set1_epi32(0x00FFFFFF));
  const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i v = _mm_add_epi8(c8, _mm_min_epu8(_mm_subs_epu8(d, c8), _mm_set1_epi8(1)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_or_si128(_mm_and_si128(m, v), _mm_andnot_si128(m, d)));
}
#endif

// Draws the cell of one character with its ink box starting at (x, y),
// clipped to `clip`. Coverage is scaled by (256 - filter) / 256.
void draw_glyph(gfx::Image& img, const Font& f, uint8_t c, int64_t x, int64_t y, int32_t ink_left, int32_t ink_w,
                uint32_t color, int32_t filter, const gfx::Rect& clip) {
  const uint8_t* cell = f.cell(c);
  if (!cell || ink_w <= 0) return;
  // The columns of the cell that exist, whatever the metrics say, then
  // those inside the clip rectangle.
  int64_t c0 = std::max(ink_left, 0), c1 = std::min<int64_t>(int64_t(ink_left) + ink_w, f.h.cell_width);
  int64_t x0 = x + (c0 - ink_left);
  if (x0 < clip.x1) c0 += clip.x1 - x0, x0 = clip.x1;
  if (x0 + (c1 - c0) - 1 > clip.x2) c1 = c0 + (clip.x2 - x0 + 1);
  const int64_t r0 = std::max<int64_t>(0, clip.y1 - y), r1 = std::min<int64_t>(f.h.cell_height, int64_t(clip.y2) - y + 1);
  if (c1 <= c0 || r1 <= r0) return;
  const bool direct = img.bits >= 24;
  // Row spans of the expanded mask. With w = cov * (256 - filter) / 256,
  // each channel becomes (old * (256 - w) + colour * w + 255) / 256, which
  // is gfx::blend(old, colour, 256 - w) for every w in 0..256; a pixel of
  // w = 0 keeps its value.
  if (const GlyphMask* mask = direct && filter >= 0 && filter <= 256 ? glyph_mask(f, c) : nullptr) {
    const uint32_t k = uint32_t(256 - filter);
    const uint32_t cb = color & 255, cg = color >> 8 & 255, cr = color >> 16 & 255;
    const int64_t bpp = img.bytes_pp;
#if defined(__SSE2__)
    const __m128i c16 = _mm_set_epi16(0, int16_t(cr), int16_t(cg), int16_t(cb), 0, int16_t(cr), int16_t(cg), int16_t(cb));
    const __m128i c8 = _mm_set1_epi32(int32_t(color & 0xFFFFFF));
    const bool solid = f.h.bits_per_pixel == 1 && k == 256;  // every weight 0 or 255
    if (solid && bpp == 4 && mask->ink_r0 >= mask->ink_r1) return;  // no ink
    if (solid && bpp == 4 && !mask->groups.empty() && mask->ink_r0 >= r0 && mask->ink_r1 <= r1 &&
        mask->ink_c0 >= c0 && mask->ink_c1 <= c1 && x0 - c0 + mask->group_end <= img.width()) {
      // The whole ink is inside the clip and every group inside the row:
      // the glyph's groups of four pixels, each inked where its mask says,
      // the same stores as the loop below makes.
      const int32_t top = int32_t(y + mask->ink_r0);
      uint8_t* base = img.row(top);
      const int64_t row_step = mask->ink_r1 - mask->ink_r0 > 1 ? img.row(top + 1) - base : 0;
      const int64_t left = x0 - c0;
      const __m128i one = _mm_set1_epi8(1);
      for (const GlyphMask::InkGroup& g : mask->groups) {
        uint8_t* p = base + (g.row - mask->ink_r0) * row_step + (left + g.col) * 4;
        const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g.mask));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i v = _mm_add_epi8(c8, _mm_min_epu8(_mm_subs_epu8(d, c8), one));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_or_si128(_mm_and_si128(m, v), _mm_andnot_si128(m, d)));
      }
      return;
    }
#endif
    for (int64_t row = r0; row < r1; row++) {
      const int64_t a = std::max<int64_t>(c0, mask->first[size_t(row)]);
      const int64_t b = std::min<int64_t>(c1, mask->end[size_t(row)]);
      if (a >= b) continue;
      const uint8_t* cov = mask->coverage.data() + row * mask->stride;
      uint8_t* p = img.row(int32_t(y + row)) + (x0 + (a - c0)) * bpp;
      int64_t col = a;
#if defined(__SSE2__)
      if (bpp == 4) {
        // Four pixels at a time; a last group reaching past the span (not
        // past the row) has its extra weights cleared, so those pixels
        // keep their values.
        const int64_t room = img.width() - (x0 + (a - c0));
        for (; col < b && (b - col >= 4 || room - (col - a) >= 4); col += 4, p += 16) {
          uint32_t four;
          std::memcpy(&four, cov + col, 4);
          if (b - col < 4) four &= (1u << (8 * (b - col))) - 1;
          if (!four) continue;
          if (solid) ink_four(p, four, c8);
          else blend_four(p, four, c16, k);
        }
      }
#endif
      for (; col < b; col++, p += bpp) {
        const uint32_t w = (cov[col] * k) >> 8, iw = 256 - w;
        p[0] = uint8_t((p[0] * iw + cb * w + 255) >> 8);
        p[1] = uint8_t((p[1] * iw + cg * w + 255) >> 8);
        p[2] = uint8_t((p[2] * iw + cr * w + 255) >> 8);
      }
    }
    return;
  }
  const bool one_bit = f.h.bits_per_pixel == 1, eight_bit = f.h.bits_per_pixel == 8;
  for (int64_t row = r0; row < r1; row++) {
    const int32_t py = int32_t(y + row);
    const uint8_t* src = cell + row * f.row_bytes;
    uint8_t* line = img.row(py);
    for (int64_t col = c0; col < c1; col++) {
      uint32_t cov;
      if (one_bit) {
        const uint8_t b = src[col >> 3];
        if (!b) {
          col |= 7;  // a whole blank byte
          continue;
        }
        if (!(b & (0x80 >> (col & 7)))) continue;
        cov = 255;
      } else {
        cov = eight_bit ? src[col] : f.coverage(cell, int32_t(col), int32_t(row));
        if (!cov) continue;
      }
      const int64_t px = x0 + (col - c0);
      const int32_t level = 256 - int32_t((cov * uint32_t(256 - filter)) >> 8);
      if (direct) {
        uint8_t* p = line + px * img.bytes_pp;
        uint32_t v = color;
        if (level != 0) v = gfx::blend(uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0], color, level);
        p[0] = uint8_t(v), p[1] = uint8_t(v >> 8), p[2] = uint8_t(v >> 16);
      } else {
        uint32_t v = level == 0 ? color : gfx::blend(gfx::get_pixel(img, px, py), color, level);
        gfx::set_pixel(img, px, py, v);
      }
    }
  }
}

// Signs of the shadow offset of each direction code.
constexpr int8_t kShadowSigns[9][2] = {{0, 0}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}, {1, 0}, {1, 1}};

// Moves the clip rectangle's pixels up by `dy` rows and fills the rows freed
// at the bottom with the background colour.
void scroll_up(gfx::Image& img, const gfx::Rect& clip, int32_t dy) {
  int32_t height = clip.y2 - clip.y1 + 1;
  if (dy <= 0) return;
  if (dy < height && img.bits >= 8) {
    int64_t bytes = (int64_t(clip.x2) - clip.x1 + 1) * img.bits / 8;
    int64_t off = int64_t(clip.x1) * img.bits / 8;
    for (int32_t y = clip.y1; y + dy <= clip.y2; y++) std::memmove(img.row(y) + off, img.row(y + dy) + off, size_t(bytes));
  } else if (dy < height) {
    for (int32_t y = clip.y1; y + dy <= clip.y2; y++)
      for (int32_t x = clip.x1; x <= clip.x2; x++) gfx::set_pixel(img, x, y, gfx::get_pixel(img, x, y + dy));
  }
  gfx::fill_rect(img, clip.x1, std::max(clip.y1, clip.y2 - dy + 1), clip.x2, clip.y2, img.st.back);
}

}  // namespace

void draw_text(vm::Interp& ctx, std::string_view text, const gfx::Rect* within) {
  gfx::Image* img = gfx::target(ctx);
  const Font* font = current_font(ctx);
  if (!img || !font) return;
  TextState& st = text_state(ctx);
  Decoded d = decode_text(&ctx, text, *font, img->st.color, st);
  gfx::Rect clip;
  bool visible = gfx::clip_rect(*img, clip) && img->pixels;
  if (within) {
    clip = {std::max(clip.x1, within->x1), std::max(clip.y1, within->y1), std::min(clip.x2, within->x2),
            std::min(clip.y2, within->y2)};
    visible = visible && clip.x1 <= clip.x2 && clip.y1 <= clip.y2;
  }
  const int32_t left = img->st.minx, right = img->st.maxx;
  LayoutBox box{left, right - left + 1, img->st.text_x, false};
  Layout l = layout_text(&ctx, d, st, box);
  int32_t y = img->st.text_y;
  const int32_t sx = kShadowSigns[std::clamp(st.shadow_pos, 0, 8)][0] * st.shadow_x;
  const int32_t sy = kShadowSigns[std::clamp(st.shadow_pos, 0, 8)][1] * st.shadow_y;
  const bool shadow = st.shadow_pos > 0 && (sx || sy);
  int32_t pen_x = img->st.text_x;
  std::vector<gfx::Rect> link_rects(d.links.size(), gfx::Rect{1, 1, 0, 0});
  for (size_t li = 0; li < l.lines.size(); li++) {
    const Line& line = l.lines[li];
    if (st.scroll && visible && li > 0 && y + line.cell - 1 > clip.y2) {
      int32_t over = y + line.cell - 1 - clip.y2;
      scroll_up(*img, clip, over);
      gfx::mark_changed(ctx, *img, clip.x1, clip.y1, clip.x2, clip.y2, true);
      y -= over;
    }
    // Alignment: the shift of the whole line, and for justified lines the
    // extra pixels of each space.
    const int32_t avail = box.left + box.width - line.start_x;
    const int32_t spare = avail - (line.end_x - line.start_x);
    int32_t shift = 0;
    double share = 0;
    const uint8_t align = line.begin < line.end ? d.items[line.begin].align : 0;
    const bool to_right = align ? align == 2 : st.right, center = align ? align == 3 : st.center;
    const bool justified = align ? align == 4 : st.justified;
    if (to_right && line.end_x > line.start_x) shift = spare;
    else if (center) shift = spare / 2;
    else if (justified && line.wrapped && line.spaces > 0 && spare > 0) share = double(spare) / line.spaces;
    // Item positions on the line (after alignment).
    std::vector<int32_t> xs(line.end - line.begin);
    double carry = 0;
    int32_t extra = 0;
    for (size_t k = line.begin; k < line.end; k++) {
      xs[k - line.begin] = l.x[k] + shift + extra;
      const uint8_t c = d.items[k].c;
      if (share > 0 && (c == ' ' || is_newline(c))) {
        double want = share + carry + 0.001;
        int32_t whole = int32_t(want);
        carry = share + carry - whole;
        extra += whole;
      }
    }
    const int32_t line_x1 = line.start_x + shift, line_x2 = line.pen_x + shift + extra - 1;
    if (st.draw && visible) {
      if (st.drawback && line_x2 >= line_x1)
        gfx::fill_rect(*img, line_x1, y, line_x2, y + line.height - 1, img->st.back);
      for (int pass = shadow ? 0 : 1; pass < 2; pass++) {
        for (size_t k = line.begin; k < line.end; k++) {
          const Item& it = d.items[k];
          if (it.image) {
            const InlineImage& pic = d.images[it.image - 1u];
            if (pass == 1)
              gfx::put_image(*img, *pic.image, int64_t(xs[k - line.begin]) + pic.space,
                             int64_t(y) + line.cell - pic.vspace - pic.h, true);
            continue;
          }
          // Spaces are drawn too: an underlined font's space carries the line.
          if (it.c == '\t' || is_newline(it.c)) continue;
          const Font& f = *d.fonts[it.font];
          // Mark-up mixes sizes: a line's characters share their bottom edge.
          const int32_t drop = st.html || st.rtf ? line.cell - f.h.cell_height : 0;
          GlyphMetrics m = f.metrics(it.c);
          if (m.advance == 0 && !st.monospace) continue;
          int32_t w = int32_t(std::clamp<int64_t>(int64_t(m.ink_right) - m.ink_left, 0, f.h.cell_width));
          int64_t gx = int64_t(xs[k - line.begin]) + (st.monospace ? (int64_t(f.h.max_advance) - w) / 2 : m.x_offset);
          if (pass == 0)
            draw_glyph(*img, f, it.c, gx + sx, int64_t(y) + drop + sy, m.ink_left, w, img->st.back, st.shadow_filter,
                       clip);
          else
            draw_glyph(*img, f, it.c, gx, int64_t(y) + drop, m.ink_left, w, it.color, img->st.filter, clip);
        }
      }
      int32_t x1 = std::min(line_x1, line_x1 + sx), x2 = std::max(line_x2, line_x2 + sx) + line.overhang;
      int32_t y1 = std::min(y, y + sy), y2 = std::max(y, y + sy) + line.height - 1;
      if (x2 >= x1) gfx::mark_changed(ctx, *img, x1, y1, x2, y2, true);
    }
    // The parts of links on this line widen their rectangles.
    for (size_t k = 0; k < d.links.size(); k++) {
      const TextLink& link = d.links[k];
      const size_t b = std::max(link.begin, line.begin), e = std::min(link.end, line.end);
      if (b >= e) continue;
      const int32_t x1 = xs[b - line.begin], x2 = e < line.end ? xs[e - line.begin] - 1 : line.pen_x + shift + extra - 1;
      gfx::Rect r{x1, y, std::max(x1, x2), y + line.height - 1};
      gfx::Rect& u = link_rects[k];
      if (u.x1 > u.x2) u = r;
      else u = {std::min(u.x1, r.x1), std::min(u.y1, r.y1), std::max(u.x2, r.x2), std::max(u.y2, r.y2)};
    }
    pen_x = line.pen_x + shift + extra;
    if (li + 1 < l.lines.size()) y += line.height;
  }
  img->st.text_x = pen_x;
  img->st.text_y = y;
  // Layer texts are drawn while the window is composed: their links make no hotspots.
  if (!within) make_link_hotspots(ctx, d, link_rects);
}

}  // namespace text
