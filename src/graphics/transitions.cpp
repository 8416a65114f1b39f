// Transition stepping: which cells each step reveals, and the effects that
// draw (slides, blend, image pattern).
#include "graphics/transitions.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>

#include "graphics/draw.h"
#include "graphics/image_put.h"
#include "vm/clock.h"
#include "vm/element.h"
#include "vm/interp.h"

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace gfx {

namespace {

constexpr const char* kNames[kEffectCount] = {
    "",           "leftright",      "rightleft",      "vwipein",        "vwipeout",   "hfingersin",
    "hfingersrightleft", "splitrightleft", "splitrightright", "updown", "downup",    "hwipeoutin",
    "hwipeinout", "vfingers",       "louvers",        "splitupdown",    "quarters",   "fingers",
    "fingerssparkle", "slideupdown", "sparkle",       "diagonal",       "apertureinout", "apertureoutin",
    "clock",      "doublediagonal", "boxin",          "boxout",         "hbarupdown", "hbardownup",
    "barleftright", "barrightleft", "anticlock",      "slidedownup",    "slideleftright", "sliderightleft",
    "blend",
};

// Entry k: the feedback mask of a k + 1 bit register; each gives a
// maximal-length sequence (every value 1 .. 2^(k+1) - 1 once).
constexpr uint32_t kTaps[32] = {
    1,        3,         6,         12,        20,        48,         96,         184,
    272,      576,       1280,      3232,      6912,      13568,      24576,      46080,
    73728,    132096,    466944,    589824,    1310720,   3145728,    4325376,    14155776,
    18874368, 59244544,  119537664, 150994944, 335544320, 847249408,  1207959552, 0xA3000000u,
};

bool is_slide(int e) {
  return e == kEffectSlideUpDown || e == kEffectSlideDownUp || e == kEffectSlideLeftRight ||
         e == kEffectSlideRightLeft;
}

// The step of a cell whose inset along one axis is i, when that axis has
// `half` insets and the box moves over `steps` steps: the first step whose
// advance passes the inset.
int64_t box_step(int64_t i, int64_t half, int64_t steps) { return ((i + 1) * steps + half - 1) / half - 1; }

// The clock's hand turns from twelve o'clock (the anticlock's the other
// way) over n steps; a cell dx, dy pixels from the middle goes with the
// step whose angle first reaches the angle of the cell's middle: that
// angle from twelve o'clock, as a fraction of a turn, times n, rounded down.
int64_t clock_step_exact(bool anti, int64_t n, double dx, double dy) {
  if (dx == 0 && dy == 0) return 0;
  double a = std::atan2(dx, -dy);
  if (anti) a = -a;
  if (a < 0) a += 2 * M_PI;
  return std::clamp<int64_t>(int64_t(a / (2 * M_PI) * double(n)), 0, n - 1);
}

// clock_step_exact without a call of atan2 for most cells (a plan has
// half a million of them at cells of 2): the angle from a polynomial
// arctangent (Abramowitz and Stegun 4.4.49, off by less than 1.4e-8 radians
// on 0..1), rounded down where it is further than 1e-7 radians from a step's
// boundary, which the exact angle then cannot cross either; nearer (cells
// on the diagonals and the axes among them), the exact computation decides.
// So the steps are those of clock_step_exact, cell for cell.
constexpr double kAtan[9] = {0.0028662257,  -0.0161657367, 0.0429096138,  -0.0752896400, 0.1065626393,
                             -0.1420889944, 0.1999355085,  -0.3333314528, 1.0};
constexpr double kAngleSlack = 1e-7;

int64_t clock_step(bool anti, int64_t n, double dx, double dy) {
  const double ax = std::fabs(dx), ay = std::fabs(dy);
  const double hi = std::max(ax, ay), lo = std::min(ax, ay);
  if (hi == 0) return 0;
  const double t = lo / hi, t2 = t * t;
  double a = kAtan[0];
  for (int i = 1; i < 9; i++) a = a * t2 + kAtan[i];
  a *= t;  // the angle of lo / hi, 0 .. pi / 4
  // atan2(dx, -dy) from it, then turned the anticlock's way and into 0 .. 2 pi.
  if (ax > ay) a = M_PI / 2 - a;
  if (dy > 0) a = M_PI - a;
  if (dx < 0) a = -a;
  if (anti) a = -a;
  if (a < 0) a += 2 * M_PI;
  const double per_radian = double(n) / (2 * M_PI);
  const double v = a * per_radian, k = std::floor(v);
  const double margin = kAngleSlack * per_radian + 1e-9;
  if (v - k <= margin || k + 1 - v <= margin) return clock_step_exact(anti, n, dx, dy);
  return std::clamp<int64_t>(int64_t(k), 0, n - 1);
}

}  // namespace

int effect_from_name(std::string_view name) {
  std::string low(name);
  for (char& ch : low) ch = char(std::tolower(uint8_t(ch)));
  for (int e = 1; e < kEffectCount; e++)
    if (low == kNames[e]) return e;
  return -1;
}

const char* effect_name(int effect) { return effect >= 0 && effect < kEffectCount ? kNames[effect] : ""; }

uint32_t sparkle_mask(int bits) { return kTaps[std::clamp(bits, 1, 32) - 1]; }

SparkleOrder::SparkleOrder(uint64_t count) : count_(count) {
  int bits = 1;
  while (bits < 32 && (uint64_t(1) << bits) <= count) bits++;
  mask_ = sparkle_mask(bits);
  low_ = (uint64_t(1) << bits) - 1;
}

uint64_t SparkleOrder::next() {
  // Values come round once in 2^bits - 1 draws; those beyond the count are
  // skipped, so that a call gives the next cell.
  for (;;) {
    uint64_t v = reg_;
    reg_ >>= 1;
    if (v & 1) reg_ ^= mask_;
    uint64_t cell = (v - 1) & low_;
    if (cell < count_) return cell;
  }
}

int64_t cell_steps(int e, int64_t w, int64_t h) {
  switch (e) {
    case 1: case 2: case 5: case 25: return w;
    case 3: case 4: return (w - 1) / 2 + 1;
    case 6: case 7: return 2 * w;
    case 8: return (w + 1) / 2;
    case 9: case 10: return h;
    case 11: case 12: return (h - 1) / 2 + 1;
    case 13: case 14: return (h + 1) / 2;
    case 15: case 16: case 17: case 18: return 2 * h;
    case 21: return w + h - 1;
    case 22: case 23: return std::min((h - 1) / 2, (w - 1) / 2) + 1;
    case 24: case 32: return 2 * (h + w);
    case 26: case 27: return std::max((w + 1) / 2, (h + 1) / 2);
    case 28: case 29: return std::max<int64_t>(1, h / 10);
    case 30: case 31: return std::max<int64_t>(1, w / 10);
    default: return 1;
  }
}

int64_t cell_step(int e, int64_t w, int64_t h, int64_t c, int64_t r, int32_t cw, int32_t ch) {
  const int64_t ic = std::min(c, w - 1 - c), ir = std::min(r, h - 1 - r);
  switch (e) {
    case 1: return c;
    case 2: return w - 1 - c;
    case 3: return ic;
    case 4: return (w - 1) / 2 - ic;
    case 5: return r % 2 == 0 ? c : w - 1 - c;
    case 6: return r % 2 == 0 ? c : 2 * w - 1 - c;
    case 7: return r <= h / 2 ? c : 2 * w - 1 - c;
    case 8: return c < (w + 1) / 2 ? c : c - (w + 1) / 2;
    case 9: return h - 1 - r;
    case 10: return r;
    case 11: return ir;
    case 12: return (h - 1) / 2 - ir;
    case 13:
      // Rows H-1, H-3 ... from the bottom and the others from the top; with
      // an odd count the bottom sweep also takes row 0.
      return (h - 1 - r) % 2 == 0 ? (h - 1 - r) / 2 : (r - h % 2) / 2;
    case 14: {
      const int64_t half = (h + 1) / 2;
      return r >= h - half ? h - 1 - r : h - 1 - half - r;
    }
    case 15: return c < w / 2 ? h - 1 - r : h + r;
    case 16: {
      // Top left down, bottom right up, top right up, bottom left down.
      const int64_t hr = (h + 1) / 2, hc = (w + 1) / 2;
      if (r < hr) return c < hc ? r : h + hr - 1 - r;
      return c >= hc ? hr + h - 1 - r : h + r;
    }
    case 17: return c % 2 == 0 ? h - 1 - r : h + r;
    case 18: {
      // Even rows of even columns up, odd rows of odd columns down, even
      // rows of odd columns down, odd rows of even columns up.
      const int64_t even = (h + 1) / 2, odd = h / 2;
      const int64_t last_even = (h - 1) - (h - 1) % 2, last_odd = h - 1 - h % 2;
      if (r % 2 == 0) return c % 2 == 0 ? (last_even - r) / 2 : even + odd + r / 2;
      return c % 2 == 1 ? even + (r - 1) / 2 : h + even + (last_odd - r) / 2;
    }
    case 21: return c + r;
    case 22: return std::min((h - 1) / 2, (w - 1) / 2) - std::min(ic, ir);
    case 23: return std::min(ic, ir);
    case 24: case 32:
      return clock_step(e == 32, 2 * (h + w), double(c - w / 2) * cw, double(r - h / 2) * ch);
    case 25: {
      // Lines from (0, 0) to the bottom row, and from (W-1, H-1) to the top
      // row, both moving towards the opposite corners; a cell goes with the
      // line through it.
      if (h == 1 || w == 1) return 0;
      int64_t k;
      if (c * (h - 1) <= r * (w - 1)) {
        k = r == 0 ? 0 : w - 1 - (2 * c * (h - 1) + r) / (2 * r);
      } else {
        const int64_t cc = w - 1 - c, rr = h - 1 - r;
        k = rr == 0 ? 0 : w - 1 - (2 * cc * (h - 1) + rr) / (2 * rr);
      }
      return std::clamp<int64_t>(k, 0, w - 1);
    }
    case 26: case 27: {
      const int64_t n = std::max((w + 1) / 2, (h + 1) / 2);
      const int64_t k = std::min(box_step(ic, (w + 1) / 2, n), box_step(ir, (h + 1) / 2, n));
      return e == 26 ? k : n - 1 - k;
    }
    case 28: return (h - 1 - r) % std::max<int64_t>(1, h / 10);
    case 29: return r % std::max<int64_t>(1, h / 10);
    case 30: return c % std::max<int64_t>(1, w / 10);
    case 31: return (w - 1 - c) % std::max<int64_t>(1, w / 10);
    default: return 0;
  }
}

void clock_row_steps(int e, int64_t w, int64_t h, int64_t r, int64_t c0, int64_t count, int32_t cw, int32_t ch,
                     uint32_t* out) {
  const bool anti = e == 32;
  const int64_t n = 2 * (h + w);
  const double dy = double(r - h / 2) * ch;
  int64_t i = 0;
#if defined(__SSE2__)
  // Two cells at a time, the same steps as clock_step: the angle without
  // branches (the octant's corrections as masks), a cell near a boundary or
  // in the middle given to the exact computation.
  if (n < (int64_t(1) << 30)) {
    const double per_radian = double(n) / (2 * M_PI);
    const __m128d sign = _mm_set1_pd(-0.0), ay = _mm_set1_pd(std::fabs(dy));
    const __m128d quarter = _mm_set1_pd(M_PI / 2), half = _mm_set1_pd(M_PI), turn = _mm_set1_pd(2 * M_PI);
    const __m128d zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0), scale = _mm_set1_pd(per_radian);
    const __m128d margin = _mm_set1_pd(kAngleSlack * per_radian + 1e-9);
    // The half turn applies below the middle; the anticlock flips every sign.
    const __m128d below = dy > 0 ? _mm_castsi128_pd(_mm_set1_epi32(-1)) : zero;
    const __m128d flip = anti ? sign : zero;
    const __m128d step = _mm_set1_pd(2.0 * cw);
    __m128d dx = _mm_set_pd(double(c0 + 1 - w / 2) * cw, double(c0 - w / 2) * cw);
    for (; i + 2 <= count; i += 2, dx = _mm_add_pd(dx, step)) {
      const __m128d ax = _mm_andnot_pd(sign, dx);
      const __m128d hi = _mm_max_pd(ax, ay), lo = _mm_min_pd(ax, ay);
      const __m128d t = _mm_div_pd(lo, hi), t2 = _mm_mul_pd(t, t);
      __m128d a = _mm_set1_pd(kAtan[0]);
      for (int j = 1; j < 9; j++) a = _mm_add_pd(_mm_mul_pd(a, t2), _mm_set1_pd(kAtan[j]));
      a = _mm_mul_pd(a, t);
      const __m128d steep = _mm_cmpgt_pd(ax, ay);
      a = _mm_or_pd(_mm_and_pd(steep, _mm_sub_pd(quarter, a)), _mm_andnot_pd(steep, a));
      a = _mm_or_pd(_mm_and_pd(below, _mm_sub_pd(half, a)), _mm_andnot_pd(below, a));
      a = _mm_xor_pd(a, _mm_xor_pd(_mm_and_pd(sign, dx), flip));
      a = _mm_add_pd(a, _mm_and_pd(_mm_cmplt_pd(a, zero), turn));
      const __m128d v = _mm_mul_pd(a, scale);
      const __m128i k = _mm_cvttpd_epi32(v);
      const __m128d frac = _mm_sub_pd(v, _mm_cvtepi32_pd(k));
      const __m128d near = _mm_or_pd(_mm_or_pd(_mm_cmple_pd(frac, margin), _mm_cmple_pd(_mm_sub_pd(one, frac), margin)),
                                     _mm_cmpeq_pd(hi, zero));
      const int exact = _mm_movemask_pd(near);
      uint32_t got[4];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(got), k);
      double dxs[2];
      _mm_storeu_pd(dxs, dx);
      for (int j = 0; j < 2; j++)
        out[i + j] = exact >> j & 1 ? uint32_t(clock_step_exact(anti, n, dxs[j], dy))
                                    : uint32_t(std::min<int64_t>(got[j], n - 1));
    }
  }
#endif
  for (; i < count; i++) out[i] = uint32_t(clock_step(anti, n, double(c0 + i - w / 2) * cw, dy));
}

bool effect_has_edge(int e) { return (e >= 1 && e <= 4) || (e >= 9 && e <= 12) || e == 22 || e == 23; }

// --- the running transition ---------------------------------------------------------------------

// An array of plain values that is not cleared when made (its users write
// it whole) and is backed by large pages when it is big: a transition's
// full-frame copies and cell plans otherwise take thousands of page faults
// each time one starts.
template <class T>
class BigArray {
 public:
  BigArray() = default;
  BigArray(const BigArray&) = delete;
  BigArray& operator=(const BigArray&) = delete;
  ~BigArray() { std::free(p_); }
  void resize(size_t n) {
    if (n <= cap_) {
      n_ = n;
      return;
    }
    std::free(p_);
    p_ = nullptr;
    n_ = cap_ = 0;
    constexpr size_t kLarge = size_t(2) << 20;
    const size_t bytes = std::max<size_t>(n, 1) * sizeof(T);
    void* p;
    if (bytes >= kLarge) {
      const size_t whole = (bytes + kLarge - 1) / kLarge * kLarge;
      p = std::aligned_alloc(kLarge, whole);
      if (p) madvise(p, whole, MADV_HUGEPAGE);
    } else {
      p = std::malloc(bytes);
    }
    if (!p) throw std::bad_alloc();
    p_ = static_cast<T*>(p);
    n_ = cap_ = n;
  }
  void swap(BigArray& o) noexcept {
    std::swap(p_, o.p_);
    std::swap(n_, o.n_);
    std::swap(cap_, o.cap_);
  }
  size_t capacity() const { return cap_; }
  size_t size() const { return n_; }
  T* data() { return p_; }
  const T* data() const { return p_; }
  T& operator[](size_t i) { return p_[i]; }
  const T& operator[](size_t i) const { return p_[i]; }

 private:
  T* p_ = nullptr;
  size_t n_ = 0, cap_ = 0;
};
using AreaCopy = BigArray<uint8_t>;

// The big arrays of the last transition to finish on this thread, kept for
// the next one: transitions come one after another, and fresh full-frame
// arrays cost more in page faults than many steps do.
struct SpareArrays {
  AreaCopy old_px, new_px;
  BigArray<uint32_t> order;
  BigArray<uint32_t> key;  // the plans' scratch: the cells' steps, the pattern's runs
  BigArray<Rect> runs;
  BigArray<uint8_t> levels;  // the pattern's levels of the rows the area shows
};
SpareArrays& spare_arrays() {
  thread_local SpareArrays s;
  return s;
}
// Keeps the bigger of the two in `spare`.
template <class T>
void keep_bigger(BigArray<T>& spare, BigArray<T>& a) {
  if (a.capacity() > spare.capacity()) spare.swap(a);
}

class Transition {
 public:
  uint32_t target = 0;       // the drawing target, referenced
  int effect = 1;
  Rect area{0, 0, -1, -1};   // the visible part of the image on the target
  int64_t x = 0, y = 0;      // the image's top-left corner
  int32_t cw = 2, ch = 2;
  int64_t w = 0, h = 0;      // cells of the whole image (the area for slides)
  int64_t c0 = 0, r0 = 0, vw = 0, vh = 0;  // the visible cells
  int64_t steps = 0, done = 0;
  uint64_t duration = 0, start = 0;
  bool edge = false;
  uint32_t edge_color = 0;
  int32_t bpp = 4, tw = 0, th = 0;  // the target's pixel bytes and size
  int64_t row_bytes = 0;
  AreaCopy old_px, new_px;  // the area before (the blend only) and after the put
  // Cells grouped by step: order[first[k]] .. order[first[k + 1] - 1] are
  // revealed by step k, in row-major order. The pattern has runs (one
  // row's pixels of one level) in place of cells, grouped the same way.
  BigArray<uint32_t> order;
  std::vector<uint32_t> first;
  BigArray<Rect> runs;
  std::vector<Rect> level_box;  // the pattern: the bounds of each level's runs
  std::unique_ptr<SparkleOrder> sparkle;
  std::vector<Rect> rects;              // scratch: the step's cell rectangles
  // Steps run faster than a display shows them are held back and shown
  // together (see show_or_hold): the cell effects hold a byte per visible
  // cell (rows held_lo..held_hi may hold some), the effects that draw the
  // bounds of what they drew.
  std::vector<uint8_t> held;
  int64_t held_lo = INT64_MAX, held_hi = -1;
  Rect held_box{0, 0, -1, -1};
  uint64_t key = 0;       // the number under which live_transitions() finds it
  uint64_t shown_at = 0;  // engine-clock time of its last present

  Image* img() const {
    Image* t = image_of(target);
    return t && t->width() == tw && t->height() == th && t->bytes_pp == bpp ? t : nullptr;
  }
  uint8_t* at(Image& t, int64_t px, int64_t py) const { return t.row(int32_t(py)) + px * bpp; }
  const uint8_t* copy_at(const AreaCopy& v, int64_t px, int64_t py) const {
    return v.data() + (py - area.y1) * row_bytes + (px - area.x1) * bpp;
  }
  void copy_area(Image& t, AreaCopy& v) const {
    v.resize(size_t(row_bytes * (area.y2 - area.y1 + 1)));
    for (int64_t py = area.y1; py <= area.y2; py++)
      std::memcpy(v.data() + (py - area.y1) * row_bytes, at(t, area.x1, py), size_t(row_bytes));
  }
  // Makes in `v` what the put of `src` at (x, y) leaves in the area, with
  // the target left as it is: the put goes onto an image record like the
  // target's (depth, palette, drawing state) over the rows of `v`. A put
  // that mixes with what it covers starts from the area's pixels, taken
  // from `before` (a copy of the area) when given, else from the target.
  void put_copy(Image& t, const Image& src, AreaCopy& v, const AreaCopy* before) const {
    const int32_t ah = area.y2 - area.y1 + 1;
    v.resize(size_t(row_bytes * ah));
    if (!put_overwrites(t, src)) {
      if (before) std::memcpy(v.data(), before->data(), v.size());
      else copy_area(t, v);
    }
    Image view = t;
    view.st.width = area.x2 - area.x1 + 1;
    view.st.height = ah;
    view.pixels = v.data() + (ah - 1) * row_bytes;  // rows run bottom-up from the last
    view.stride = -int32_t(row_bytes);
    put_image(view, src, x - area.x1, y - area.y1, false);
  }
  void restore(Image& t, const AreaCopy& v, const Rect& r) const {
    const size_t n = size_t(r.x2 - r.x1 + 1) * size_t(bpp);
    for (int64_t py = r.y1; py <= r.y2; py++) std::memcpy(at(t, r.x1, py), copy_at(v, r.x1, py), n);
  }
  // The pixels of cells (c1, r1)-(c2, r2) on the target, within the area.
  Rect cell_rect(const Rect& cells) const {
    return {int32_t(std::max<int64_t>(x + cells.x1 * int64_t(cw), area.x1)),
            int32_t(std::max<int64_t>(y + cells.y1 * int64_t(ch), area.y1)),
            int32_t(std::min<int64_t>(x + (cells.x2 + 1) * int64_t(cw) - 1, area.x2)),
            int32_t(std::min<int64_t>(y + (cells.y2 + 1) * int64_t(ch) - 1, area.y2))};
  }
};

namespace {

// The raw stored values of pixels 0..n-1 of a pattern row into out:
// palette indexes, 16-bit words, 24 or 32 bits.
void raw_values(const uint8_t* row, int bits, int64_t n, uint32_t* out) {
  int64_t px = 0;
  switch (bits) {
    case 1:
      for (; px < n; px++) out[px] = uint32_t(row[px >> 3] >> (7 - (px & 7))) & 1;
      break;
    case 4:
      for (; px < n; px++) out[px] = uint32_t((px & 1) ? row[px >> 1] & 0x0F : row[px >> 1] >> 4);
      break;
    case 8:
      for (; px < n; px++) out[px] = row[px];
      break;
    case 16:
      for (; px < n; px++) out[px] = uint32_t(row[px * 2]) | uint32_t(row[px * 2 + 1]) << 8;
      break;
    case 24:
      // Four pixels from three little-endian words.
      for (; px + 4 <= n; px += 4) {
        uint32_t w[3];
        std::memcpy(w, row + px * 3, 12);
        out[px] = w[0] & 0xFFFFFF;
        out[px + 1] = w[0] >> 24 | (w[1] & 0xFFFF) << 8;
        out[px + 2] = w[1] >> 16 | (w[2] & 0xFF) << 16;
        out[px + 3] = w[2] >> 8;
      }
      for (; px < n; px++)
        out[px] = uint32_t(row[px * 3]) | uint32_t(row[px * 3 + 1]) << 8 | uint32_t(row[px * 3 + 2]) << 16;
      break;
    default:
      std::memcpy(out, row, size_t(n) * 4);
  }
}

// Folds the least and the greatest of v[0..n-1] into lo and hi.
void fold_min_max_plain(const uint32_t* v, int64_t n, uint32_t& lo, uint32_t& hi) {
  for (int64_t i = 0; i < n; i++) lo = std::min(lo, v[i]), hi = std::max(hi, v[i]);
}

#if defined(__x86_64__) || defined(__i386__)
// The same with the unsigned minimum and maximum of SSE4.1 (which nearly
// every x86-64 processor has), eight values at a time.
__attribute__((target("sse4.1"))) void fold_min_max_sse41(const uint32_t* v, int64_t n, uint32_t& lo, uint32_t& hi) {
  int64_t i = 0;
  if (n >= 8) {
    auto at = [v](int64_t k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + k)); };
    __m128i mn0 = at(0), mn1 = at(4), mx0 = mn0, mx1 = mn1;
    for (i = 8; i + 8 <= n; i += 8) {
      const __m128i x0 = at(i), x1 = at(i + 4);
      mn0 = _mm_min_epu32(mn0, x0), mn1 = _mm_min_epu32(mn1, x1);
      mx0 = _mm_max_epu32(mx0, x0), mx1 = _mm_max_epu32(mx1, x1);
    }
    uint32_t a[4], b[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a), _mm_min_epu32(mn0, mn1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b), _mm_max_epu32(mx0, mx1));
    for (int j = 0; j < 4; j++) lo = std::min(lo, a[j]), hi = std::max(hi, b[j]);
  }
  for (; i < n; i++) lo = std::min(lo, v[i]), hi = std::max(hi, v[i]);
}
#endif

void fold_min_max(const uint32_t* v, int64_t n, uint32_t& lo, uint32_t& hi) {
#if defined(__x86_64__) || defined(__i386__)
  static const bool sse41 = __builtin_cpu_supports("sse4.1");
  if (sse41) return fold_min_max_sse41(v, n, lo, hi);
#endif
  fold_min_max_plain(v, n, lo, hi);
}

// Groups items 0..n-1 by their key (0..keys-1), keeping their order.
void bucket(const BigArray<uint32_t>& key, int64_t keys, BigArray<uint32_t>& order, std::vector<uint32_t>& first) {
  first.assign(size_t(keys + 1), 0);
  for (size_t i = 0; i < key.size(); i++) first[key[i] + 1]++;
  for (int64_t k = 0; k < keys; k++) first[k + 1] += first[k];
  std::vector<uint32_t> next(first.begin(), first.end() - 1);
  order.resize(key.size());
  for (size_t i = 0; i < key.size(); i++) order[next[key[i]]++] = uint32_t(i);
}

// The low bytes of v[0..n-1] into out.
void low_bytes(const uint32_t* v, int64_t n, uint8_t* out) {
  int64_t i = 0;
#if defined(__SSE2__)
  const __m128i m = _mm_set1_epi32(0xFF);
  auto low = [&](int64_t at) { return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + at)), m); };
  for (; i + 16 <= n; i += 16) {
    const __m128i a = _mm_packs_epi32(low(i), low(i + 4)), b = _mm_packs_epi32(low(i + 8), low(i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, b));
  }
#endif
  for (; i < n; i++) out[i] = uint8_t(v[i]);
}

// Subtracts b from each of p[0..n-1], modulo 256.
void sub_bytes(uint8_t* p, int64_t n, uint8_t b) {
  int64_t i = 0;
#if defined(__SSE2__)
  const __m128i vb = _mm_set1_epi8(int8_t(b));
  for (; i + 16 <= n; i += 16) {
    __m128i* q = reinterpret_cast<__m128i*>(p + i);
    _mm_storeu_si128(q, _mm_sub_epi8(_mm_loadu_si128(q), vb));
  }
#endif
  for (; i < n; i++) p[i] = uint8_t(p[i] - b);
}

// Calls f(start, end, level) for each run of equal bytes of line[0..n-1],
// left to right. line[n..n+15] must be readable.
template <class F>
void for_each_run(const uint8_t* line, int64_t n, F&& f) {
  int64_t start = 0;
  int64_t i = 1;
#if defined(__SSE2__)
  // Sixteen neighbours compared at a time; each set bit is a run's start.
  for (; i < n; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + i - 1));
    uint32_t starts = ~uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b))) & 0xFFFF;
    if (n - i < 16) starts &= (1u << (n - i)) - 1;
    while (starts) {
      const int64_t at = i + __builtin_ctz(starts);
      f(start, at, line[start]);
      start = at;
      starts &= starts - 1;
    }
  }
#else
  for (; i < n; i++)
    if (line[i] != line[i - 1]) f(start, i, line[start]), start = i;
#endif
  if (n > 0) f(start, n, line[start]);
}

// The image-pattern effect: the pattern stretched over the image, its raw
// values mapped onto at most 256 levels (lower values first), so that a
// 32-bit pattern gives 256 steps rather than billions.
void plan_pattern(Transition& t, const Image& pattern, int64_t iw, int64_t ih) {
  const int32_t pw = pattern.width(), ph = pattern.height();
  const int64_t aw = t.area.x2 - t.area.x1 + 1, ah = t.area.y2 - t.area.y1 + 1;
  std::vector<int64_t> column(static_cast<size_t>(aw));
  bool straight = true;  // area column ax shows pattern column column[0] + ax
  for (int64_t ax = 0; ax < aw; ax++) {
    column[size_t(ax)] = (t.area.x1 + ax - t.x) * pw / iw;
    straight = straight && column[size_t(ax)] == column[0] + ax;
  }
  // One read of the pattern: the range of its values, and a line for each
  // pattern row that the area shows, holding the low byte of the value of
  // each pixel of an area row that shows it. The rows that show one
  // pattern row are consecutive; area row ay shows line line_of[ay].
  auto pattern_row = [&](int64_t ay) { return int32_t((t.area.y1 + ay - t.y) * ph / ih); };
  std::vector<uint32_t> line_of(static_cast<size_t>(ah));
  std::vector<int32_t> line_row;  // the pattern row of each line
  for (int64_t ay = 0; ay < ah; ay++) {
    const int32_t py = pattern_row(ay);
    if (line_row.empty() || line_row.back() != py) line_row.push_back(py);
    line_of[size_t(ay)] = uint32_t(line_row.size() - 1);
  }
  BigArray<uint8_t>& lines = spare_arrays().levels;
  lines.resize(size_t(aw) * line_row.size() + 16);
  std::vector<uint32_t> raw(static_cast<size_t>(pw));
  uint32_t lo = UINT32_MAX, hi = 0;
  // Bottom row first, the order of the rows in memory.
  int64_t shown = int64_t(line_row.size()) - 1;  // the next line to make
  for (int32_t py = ph - 1; py >= 0; py--) {
    raw_values(pattern.row(py), pattern.bits, pw, raw.data());
    fold_min_max(raw.data(), pw, lo, hi);
    if (shown < 0 || line_row[size_t(shown)] != py) continue;
    uint8_t* line = lines.data() + size_t(shown--) * size_t(aw);
    if (straight) low_bytes(raw.data() + column[0], aw, line);
    else
      for (int64_t ax = 0; ax < aw; ax++) line[ax] = uint8_t(raw[size_t(column[size_t(ax)])]);
  }
  const uint64_t range = uint64_t(hi) - lo + 1;
  t.steps = int64_t(std::min<uint64_t>(range, 256));
  // level = (value - lo) * steps / range, as a 32.32 multiplication
  // (rounded down, so that the top value stays below `steps`); the product
  // is below steps * 2^32 <= 2^40. Within a range of 256 or fewer the
  // level is value - lo, which the low bytes give modulo 256.
  const uint64_t scale = (uint64_t(t.steps) << 32) / range;
  // The runs of one level of each area row, left to right, listed (the
  // start column and the level of each) and counted by level; the rows
  // that show one line share its list.
  BigArray<uint32_t>& listed = spare_arrays().key;
  listed.resize(size_t(aw * ah));
  std::vector<uint32_t> row_runs(static_cast<size_t>(ah + 1));  // area row ay: listed[row_runs[ay]] on
  t.first.assign(size_t(t.steps + 1), 0);
  uint32_t* count = t.first.data() + 1;
  uint32_t* list = listed.data();
  uint32_t n = 0;
  for (int64_t ay = 0; ay < ah; ay++) {
    row_runs[size_t(ay)] = n;
    const uint32_t l = line_of[size_t(ay)];
    if (ay > 0 && l == line_of[size_t(ay - 1)]) {
      const uint32_t a = row_runs[size_t(ay - 1)], b = row_runs[size_t(ay)];
      for (uint32_t i = a; i < b; i++) count[list[i] >> 16]++, list[n++] = list[i];
      continue;
    }
    uint8_t* line = lines.data() + size_t(l) * size_t(aw);
    if (range <= 256) {
      sub_bytes(line, aw, uint8_t(lo));
    } else {
      raw_values(pattern.row(line_row[l]), pattern.bits, pw, raw.data());
      for (int64_t ax = 0; ax < aw; ax++)
        line[ax] = uint8_t(uint64_t(raw[size_t(column[size_t(ax)])] - lo) * scale >> 32);
    }
    for_each_run(line, aw, [&](int64_t a, int64_t, uint8_t level) {
      count[level]++;
      list[n++] = uint32_t(a) | uint32_t(level) << 16;
    });
  }
  row_runs[size_t(ah)] = n;
  // Then the runs as rectangles, in row order, grouped by level (a stable
  // counting sort), so that a step visits only its own pixels.
  for (int64_t k = 0; k < t.steps; k++) t.first[size_t(k + 1)] += t.first[size_t(k)];
  std::vector<uint32_t> next(t.first.begin(), t.first.end() - 1);
  t.runs.resize(n);
  t.level_box.assign(size_t(t.steps), Rect{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN});
  Rect* runs = t.runs.data();
  Rect* box = t.level_box.data();
  for (int64_t ay = 0; ay < ah; ay++) {
    const int32_t gy = int32_t(t.area.y1 + ay), x1 = t.area.x1;
    const uint32_t b = row_runs[size_t(ay + 1)];
    for (uint32_t i = row_runs[size_t(ay)]; i < b; i++) {
      const uint32_t level = list[i] >> 16;
      const int32_t end = i + 1 < b ? int32_t(list[i + 1] & 0xFFFF) : int32_t(aw);
      const Rect r{x1 + int32_t(list[i] & 0xFFFF), gy, x1 + end - 1, gy};
      runs[next[level]++] = r;
      Rect& u = box[level];
      u = {std::min(u.x1, r.x1), std::min(u.y1, gy), std::max(u.x2, r.x2), std::max(u.y2, gy)};
    }
  }
}

void plan_cells(Transition& t) {
  t.steps = cell_steps(t.effect, t.w, t.h);
  BigArray<uint32_t>& key = spare_arrays().key;
  key.resize(size_t(t.vw * t.vh));
  if (t.effect == 24 || t.effect == 32) {
    for (int64_t r = 0; r < t.vh; r++)
      clock_row_steps(t.effect, t.w, t.h, t.r0 + r, t.c0, t.vw, t.cw, t.ch, key.data() + r * t.vw);
    bucket(key, t.steps, t.order, t.first);
    return;
  }
  for (int64_t r = 0; r < t.vh; r++)
    for (int64_t c = 0; c < t.vw; c++)
      key[size_t(r * t.vw + c)] = uint32_t(cell_step(t.effect, t.w, t.h, t.c0 + c, t.r0 + r, t.cw, t.ch));
  bucket(key, t.steps, t.order, t.first);
}

// Joins runs of visible cells, given row by row and left to right within a
// row, into rectangles of cells: a run that spans the same columns as a
// run of the row above extends that rectangle downwards.
class RunJoiner {
 public:
  RunJoiner(const Transition& t, std::vector<Rect>& out) : t_(t), out_(out) { out_.clear(); }
  void add(int64_t r, int64_t c1, int64_t c2) {
    if (r != row_) {
      if (r == row_ + 1) prev_.swap(cur_);
      else prev_.clear();
      cur_.clear();
      row_ = r;
      pi_ = 0;
    }
    const int32_t x1 = int32_t(t_.c0 + c1), x2 = int32_t(t_.c0 + c2), y = int32_t(t_.r0 + r);
    while (pi_ < prev_.size() && out_[prev_[pi_]].x1 < x1) pi_++;
    if (pi_ < prev_.size() && out_[prev_[pi_]].x1 == x1 && out_[prev_[pi_]].x2 == x2) {
      out_[prev_[pi_]].y2 = y;
      cur_.push_back(prev_[pi_]);
    } else {
      cur_.push_back(out_.size());
      out_.push_back({x1, y, x2, y});
    }
  }

 private:
  const Transition& t_;
  std::vector<Rect>& out_;
  std::vector<size_t> prev_, cur_;
  int64_t row_ = -2;
  size_t pi_ = 0;
};

// The cells of step k as rectangles of cells: runs along a row joined, and
// equal runs of consecutive rows joined into one rectangle.
void step_rects(Transition& t, int64_t k, std::vector<Rect>& out) {
  RunJoiner join(t, out);
  if (k < 0 || k >= t.steps) return;
  const uint32_t* p = t.order.data() + t.first[size_t(k)];
  const uint32_t* end = t.order.data() + t.first[size_t(k) + 1];
  while (p < end) {
    const int64_t r = *p / t.vw, c1 = *p % t.vw;
    int64_t c2 = c1;
    ++p;
    while (p < end && c2 + 1 < t.vw && *p == uint32_t(r * t.vw + c2 + 1)) c2++, ++p;
    join.add(r, c1, c2);
  }
}

// The cells of step k, held back until the next present.
void hold_step_cells(Transition& t, int64_t k) {
  const uint32_t *p = t.order.data() + t.first[size_t(k)], *end = t.order.data() + t.first[size_t(k) + 1];
  if (p == end) return;
  t.held_lo = std::min<int64_t>(t.held_lo, *p / t.vw);
  t.held_hi = std::max<int64_t>(t.held_hi, end[-1] / t.vw);
  for (; p < end; ++p) t.held[*p] = 1;
}

// The pixel rectangles of the held cells, which are let go.
void take_held_cells(Transition& t, std::vector<Rect>& pixels) {
  std::vector<Rect> cells;
  RunJoiner join(t, cells);
  for (int64_t r = std::max<int64_t>(t.held_lo, 0); r <= t.held_hi; r++) {
    uint8_t* row = t.held.data() + r * t.vw;
    const uint8_t* end = row + t.vw;
    for (const uint8_t* p = row; (p = static_cast<const uint8_t*>(std::memchr(p, 1, size_t(end - p)))); ) {
      const uint8_t* q = p + 1;
      while (q < end && *q) q++;
      join.add(r, p - row, q - row - 1);
      p = q;
      if (p == end) break;
    }
    std::memset(row, 0, size_t(t.vw));
  }
  t.held_lo = INT64_MAX;
  t.held_hi = -1;
  pixels.clear();
  for (const Rect& c : cells) pixels.push_back(t.cell_rect(c));
}

// Marks pixel rectangles changed in fine-grain mode, flushing in batches
// that stay below the changed list's limit. A step's rectangles never
// overlap, so they go in without the search for joins.
void mark_rects(vm::Interp& ctx, Image& img, const std::vector<Rect>& pixels) {
  constexpr size_t kBatch = kMaxChanged / 2;
  for (size_t i = 0; i < pixels.size(); i += kBatch) {
    if (i > 0) finish_drawing(ctx);
    mark_changed_pieces(ctx, img, pixels.data() + i, std::min(kBatch, pixels.size() - i));
  }
}

// One row of the blend: each byte (old * (256 - a) + new * a) >> 8.
void mix_row(uint8_t* dst, const uint8_t* old_row, const uint8_t* new_row, int64_t n, uint32_t a) {
  int64_t i = 0;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi16(int16_t(a)), vb = _mm_set1_epi16(int16_t(256 - a)), z = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(old_row + i));
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(new_row + i));
    __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(o, z), vb), _mm_mullo_epi16(_mm_unpacklo_epi8(w, z), va));
    __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(o, z), vb), _mm_mullo_epi16(_mm_unpackhi_epi8(w, z), va));
    lo = _mm_srli_epi16(lo, 8);
    hi = _mm_srli_epi16(hi, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(lo, hi));
  }
#endif
  for (; i < n; i++) dst[i] = uint8_t((old_row[i] * (256 - a) + new_row[i] * a) >> 8);
}

// Copies n <= 64 bytes.
inline void copy_short(uint8_t* d, const uint8_t* s, size_t n) {
  if (n >= 16) {
    // Two or four pieces of 16 bytes, from both ends.
#if defined(__SSE2__)
    auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    auto store = [](uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
    if (n > 32) {
      const __m128i a = load(s), b = load(s + 16), c = load(s + n - 32), e = load(s + n - 16);
      store(d, a), store(d + 16, b), store(d + n - 32, c), store(d + n - 16, e);
    } else {
      const __m128i a = load(s), e = load(s + n - 16);
      store(d, a), store(d + n - 16, e);
    }
#else
    std::memcpy(d, s, n);
#endif
  } else if (n >= 8) {
    uint64_t a, b;
    std::memcpy(&a, s, 8);
    std::memcpy(&b, s + n - 8, 8);
    std::memcpy(d, &a, 8);
    std::memcpy(d + n - 8, &b, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    std::memcpy(d, &a, 4);
    std::memcpy(d + n - 4, &b, 4);
  } else {
    for (size_t i = 0; i < n; i++) d[i] = s[i];
  }
}

void blend_step(Transition& t, Image& img, int64_t k) {
  const uint32_t a = uint32_t((k + 1) * 256 / t.steps);
  const Rect& r = t.area;
  for (int64_t py = r.y1; py <= r.y2; py++) {
    uint8_t* d = t.at(img, r.x1, py);
    const uint8_t *o = t.copy_at(t.old_px, r.x1, py), *n = t.copy_at(t.new_px, r.x1, py);
    if (t.bpp >= 3) mix_row(d, o, n, t.row_bytes, a);
    else std::memcpy(d, a >= 128 ? n : o, size_t(t.row_bytes));  // indexed pixels cannot mix
  }
}

// One step of a slide: source strip k of the new picture copied into each
// strip from the far side up to strip k (its final place).
void slide_step(Transition& t, Image& img, int64_t k, Rect& changed) {
  const Rect& a = t.area;
  const bool rows = t.effect == kEffectSlideUpDown || t.effect == kEffectSlideDownUp;
  const int64_t cell = rows ? t.ch : t.cw;
  const int64_t n = rows ? t.h : t.w;
  // Strip `src` goes to strips lo..hi.
  int64_t src, lo, hi;
  if (t.effect == kEffectSlideUpDown || t.effect == kEffectSlideLeftRight) src = k, lo = k, hi = n - 1;
  else src = n - 1 - k, lo = 0, hi = n - 1 - k;
  if (rows) {
    const int64_t base = a.y1, last = a.y2;
    for (int64_t s = lo; s <= hi; s++)
      for (int64_t j = 0; j < cell; j++) {
        const int64_t dy = base + s * cell + j, sy = base + src * cell + j;
        if (dy > last || sy > last) break;
        std::memcpy(t.at(img, a.x1, dy), t.copy_at(t.new_px, a.x1, sy), size_t(t.row_bytes));
      }
    changed = {a.x1, int32_t(std::min<int64_t>(base + lo * cell, last)), a.x2,
               int32_t(std::min<int64_t>(base + (hi + 1) * cell - 1, last))};
  } else {
    const int64_t base = a.x1, last = a.x2;
    const int64_t sx = base + src * cell, sw = std::min(cell, last - sx + 1);
    // Each row: the strip copied once into the first place, then the
    // filled part copied onto the rest, doubling each time.
    const int64_t x1 = base + lo * cell, x2 = std::min(base + (hi + 1) * cell - 1, last);
    const int64_t span = (x2 - x1 + 1) * t.bpp, unit = sw * t.bpp;
    for (int64_t py = a.y1; py <= a.y2; py++) {
      const uint8_t* s = t.copy_at(t.new_px, sx, py);
      uint8_t* d = t.at(img, x1, py);
      if (sw == cell) {
        int64_t filled = std::min(unit, span);
        std::memcpy(d, s, size_t(filled));
        while (filled < span) {
          const int64_t more = std::min(filled, span - filled);
          std::memcpy(d + filled, d, size_t(more));
          filled += more;
        }
      } else {
        // The last, narrower strip: each place takes what it holds of it.
        for (int64_t at = 0; at < span; at += cell * t.bpp) std::memcpy(d + at, s, size_t(std::min(unit, span - at)));
      }
    }
    changed = {int32_t(std::min<int64_t>(base + lo * cell, last)), a.y1,
               int32_t(std::min<int64_t>(base + (hi + 1) * cell - 1, last)), a.y2};
  }
}

// Live transitions by key, so that a held-back present left in a context
// after its transition went finds nothing rather than freed memory.
std::unordered_map<uint64_t, Transition*>& live_transitions() {
  thread_local std::unordered_map<uint64_t, Transition*> live;
  return live;
}
std::atomic<uint64_t> g_last_key{0};

void hold(Transition& t, const Rect& r) {
  if (t.held_box.x1 > t.held_box.x2) t.held_box = r;
  else t.held_box = {std::min(t.held_box.x1, r.x1), std::min(t.held_box.y1, r.y1), std::max(t.held_box.x2, r.x2),
                     std::max(t.held_box.y2, r.y2)};
}

// Marks what the transition holds back as changed. The effects that draw
// show their bounds (the target holds what the window must show there);
// the cell effects show exactly their cells, as the target holds the whole
// new picture from the start.
void flush_held(vm::Interp& ctx, uint64_t key) {
  auto it = live_transitions().find(key);
  if (it == live_transitions().end()) return;
  Transition& t = *it->second;
  std::vector<Rect>& px = t.rects;
  px.clear();
  if (t.held_box.x1 <= t.held_box.x2) px.push_back(t.held_box);
  t.held_box = {0, 0, -1, -1};
  if (t.held_hi >= 0) {
    std::vector<Rect> cells;
    take_held_cells(t, cells);
    px.insert(px.end(), cells.begin(), cells.end());
  }
  if (Image* img = t.img(); img && !px.empty()) mark_rects(ctx, *img, px);
}

// After a step: the window shows what the transition revealed when it is
// over, when the script will idle before the next step is due, or when a
// display's frame time has passed since it last showed something; else the
// step is held back, so that steps quicker than a display cost one present
// together instead of one each.
void show_or_hold(vm::Interp& ctx, Transition& t) {
  constexpr uint64_t kFrameTime = vm::ms_to_clock(1000) / 60;
  const uint64_t now = vm::clock_now();
  bool show = t.done >= t.steps || now - t.shown_at >= kFrameTime;
  if (!show && t.duration) {
    const unsigned __int128 due = (unsigned __int128)t.duration * uint64_t(t.done) / uint64_t(t.steps);
    show = now - t.start < due;
  }
  set_deferred_present(ctx, flush_held, t.key);
  if (show) {
    finish_drawing(ctx);
    t.shown_at = now;
  } else {
    ctx.frame_changed = false;  // not shown by the command's end either
  }
}

void run_step(vm::Interp& ctx, Transition& t, Image& img) {
  const int64_t k = t.done;
  std::vector<Rect>& px = t.rects;
  px.clear();
  if (t.effect == kEffectBlend) {
    if (t.steps == 0) {
      // The first pass is timed: the steps are as many as fit the
      // duration (a power of two, 2 to 256), 64 without a duration.
      const uint64_t t0 = vm::clock_now();
      t.steps = 256;
      blend_step(t, img, 0);
      const uint64_t pass = vm::clock_now() - t0;
      int64_t m = 64;
      if (t.duration) m = pass ? int64_t(std::clamp<uint64_t>(t.duration / pass, 2, 256)) : 256;
      int64_t p = 2;
      while (p * 2 <= m) p *= 2;
      t.steps = p;
    } else {
      blend_step(t, img, k);
    }
    hold(t, t.area);
  } else if (t.effect == kEffectPattern) {
    // The level's runs come in row order; the target shows the rest of the
    // pattern's area as it should, so the bounds of the runs are shown.
    const uint32_t i1 = t.first[size_t(k)], i2 = t.first[size_t(k) + 1];
    for (uint32_t i = i1; i < i2; i++) {
      const Rect& r = t.runs[i];
      uint8_t* d = t.at(img, r.x1, r.y1);
      const uint8_t* s = t.copy_at(t.new_px, r.x1, r.y1);
      const size_t n = size_t(r.x2 - r.x1 + 1) * size_t(t.bpp);
      if (n <= 64) {
        // Most runs are short: copied in place of a call, by overlapping
        // pieces of 32, 16, 8, 4 or 1 bytes.
        copy_short(d, s, n);
      } else {
        std::memcpy(d, s, n);
      }
    }
    if (i1 < i2) hold(t, t.level_box[size_t(k)]);
  } else if (is_slide(t.effect)) {
    Rect r;
    slide_step(t, img, k, r);
    hold(t, r);
  } else if (t.effect == kEffectSparkle) {
    const int64_t per = std::min(t.w, t.h);
    for (int64_t i = 0; i < per; i++) {
      const uint64_t cell = t.sparkle->next();
      const int64_t c = int64_t(cell / uint64_t(t.h)), r = int64_t(cell % uint64_t(t.h));
      if (c < t.c0 || c >= t.c0 + t.vw || r < t.r0 || r >= t.r0 + t.vh) continue;
      t.held[size_t((r - t.r0) * t.vw + (c - t.c0))] = 1;
      t.held_lo = std::min(t.held_lo, r - t.r0);
      t.held_hi = std::max(t.held_hi, r - t.r0);
    }
  } else if (!t.edge) {
    hold_step_cells(t, k);
  } else {
    std::vector<Rect> cells;
    step_rects(t, k, cells);
    for (const Rect& c : cells) px.push_back(t.cell_rect(c));
    if (t.edge && k + 1 < t.steps) {
      // The next sweep's cells in the edge colour, shown with this step and
      // then given their real pixels back (still unmarked).
      step_rects(t, k + 1, cells);
      std::vector<Rect> edge;
      for (const Rect& c : cells) {
        Rect r = t.cell_rect(c);
        fill_rect(img, r.x1, r.y1, r.x2, r.y2, t.edge_color);
        edge.push_back(r);
      }
      mark_rects(ctx, img, px);
      mark_rects(ctx, img, edge);
      finish_drawing(ctx);
      for (const Rect& r : edge) t.restore(img, t.new_px, r);
      return;
    }
    mark_rects(ctx, img, px);
    finish_drawing(ctx);
  }
}

}  // namespace

Transition* transition_begin(vm::Interp& ctx, const TransitionSpec& spec) {
  auto* t = new Transition;
  t->key = ++g_last_key;
  live_transitions()[t->key] = t;
  SpareArrays& spare = spare_arrays();
  t->old_px.swap(spare.old_px);
  t->new_px.swap(spare.new_px);
  t->order.swap(spare.order);
  t->runs.swap(spare.runs);
  finish_drawing(ctx);
  Image* img = target(ctx);
  const Image* src = spec.image;
  t->effect = std::clamp(spec.effect, 0, kEffectCount - 1);
  const Image* pat = spec.pattern;
  const bool pattern_ok = pat && pat->pixels && pat->width() > 0 && pat->height() > 0 &&
                          (pat->bits == 1 || pat->bits == 4 || pat->bits == 8 || pat->bits == 16 ||
                           pat->bits == 24 || pat->bits == 32);
  if (t->effect == kEffectPattern && !pattern_ok) t->effect = 1;
  t->cw = std::max(spec.cell_w, 1);
  t->ch = std::max(spec.cell_h, 1);
  t->x = spec.x;
  t->y = spec.y;
  t->duration = spec.duration;
  t->start = vm::clock_now();
  t->edge = spec.edge && effect_has_edge(t->effect);
  t->edge_color = spec.edge_color;
  if (!img || !src || !src->pixels || src->width() <= 0 || src->height() <= 0) return t;  // nothing to do: no steps
  Rect clip;
  if (!clip_rect(*img, clip)) return t;
  const int64_t iw = src->width(), ih = src->height();
  t->area = {int32_t(std::max<int64_t>(clip.x1, spec.x)), int32_t(std::max<int64_t>(clip.y1, spec.y)),
             int32_t(std::min<int64_t>(clip.x2, spec.x + iw - 1)), int32_t(std::min<int64_t>(clip.y2, spec.y + ih - 1))};
  if (t->area.x1 > t->area.x2 || t->area.y1 > t->area.y2) return t;
  vm::element_ref(img->self);
  t->target = img->self;
  t->bpp = img->bytes_pp;
  t->tw = img->width();
  t->th = img->height();
  t->row_bytes = int64_t(t->area.x2 - t->area.x1 + 1) * t->bpp;
  if (img->bits < 8) {
    // Pixels smaller than a byte: the effects need whole bytes, so these
    // targets take the picture at once.
    put_image(*img, *src, spec.x, spec.y, true);
    mark_changed(ctx, *img, t->area.x1, t->area.y1, t->area.x2, t->area.y2, true);
    finish_drawing(ctx);
    return t;
  }
  if (t->effect == kEffectPattern || t->effect == kEffectBlend || is_slide(t->effect)) {
    // These draw from a copy of the new picture (the blend also from one
    // of the old), which the put makes without touching the target.
    if (t->effect == kEffectBlend) t->copy_area(*img, t->old_px);
    t->put_copy(*img, *src, t->new_px, t->effect == kEffectBlend ? &t->old_px : nullptr);
  } else {
    put_image(*img, *src, spec.x, spec.y, true);
    if (t->edge) t->copy_area(*img, t->new_px);
  }

  if (t->effect == kEffectPattern) {
    plan_pattern(*t, *spec.pattern, iw, ih);
  } else if (t->effect == kEffectBlend) {
    t->steps = 0;  // set by the first step
  } else if (is_slide(t->effect)) {
    // The slides move the picture the put made over the visible area.
    t->w = (t->area.x2 - t->area.x1 + t->cw) / t->cw;
    t->h = (t->area.y2 - t->area.y1 + t->ch) / t->ch;
    const bool rows = t->effect == kEffectSlideUpDown || t->effect == kEffectSlideDownUp;
    t->steps = rows ? t->h : t->w;
  } else {
    t->w = (iw + t->cw - 1) / t->cw;
    t->h = (ih + t->ch - 1) / t->ch;
    t->c0 = (t->area.x1 - spec.x) / t->cw;
    t->r0 = (t->area.y1 - spec.y) / t->ch;
    t->vw = (t->area.x2 - spec.x) / t->cw - t->c0 + 1;
    t->vh = (t->area.y2 - spec.y) / t->ch - t->r0 + 1;
    if (t->effect == kEffectSparkle) {
      t->steps = std::max(t->w, t->h);
      t->sparkle = std::make_unique<SparkleOrder>(uint64_t(t->w) * uint64_t(t->h));
    } else {
      plan_cells(*t);
    }
    if (!t->edge) t->held.assign(size_t(t->vw * t->vh), 0);
  }
  return t;
}

bool transition_check(vm::Interp& ctx, Transition& t) {
  if (ctx.stop) return false;
  Image* img = t.img();
  const bool blend_unset = t.effect == kEffectBlend && t.steps == 0 && img;
  if (!blend_unset && t.done >= t.steps) return false;
  if (!img) return false;  // the target went (the frame made anew)
  if (t.duration && t.done > 0) {
    const unsigned __int128 due = (unsigned __int128)t.duration * uint64_t(t.done) / uint64_t(t.steps);
    if (vm::clock_now() - t.start < due) {
      vm::idle_yield(ctx);
      return true;
    }
  }
  run_step(ctx, t, *img);
  t.done++;
  if (t.held_hi >= 0 || t.held_box.x1 <= t.held_box.x2) show_or_hold(ctx, t);
  return true;
}

int64_t transition_steps(const Transition& t) { return t.steps; }
int64_t transition_done(const Transition& t) { return t.done; }

void transition_delete(Transition* t) {
  if (!t) return;
  // Steps held back are shown when their transition is freed by a running
  // script (a context being torn down shows nothing more).
  if (vm::Interp* ctx = vm::interp_current; ctx && !ctx->tearing_down) present_deferred(*ctx);
  live_transitions().erase(t->key);
  if (t->target) vm::element_release(t->target);
  SpareArrays& spare = spare_arrays();
  keep_bigger(spare.old_px, t->old_px);
  keep_bigger(spare.new_px, t->new_px);
  keep_bigger(spare.order, t->order);
  keep_bigger(spare.runs, t->runs);
  delete t;
}

}  // namespace gfx
