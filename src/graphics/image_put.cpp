// The put of images with its masks, raster operations, blending and flips;
// copies of rectangles; masks and alpha channels.
//
// Pixels are moved colour by colour (0xRRGGBB) through fast paths for 24-
// and 32-bit images and get_pixel/set_pixel for indexed ones, so that the
// raster operations of indexed images work on colours, not on indices.
// Between two 32-bit images a copy takes the alpha byte along and the
// and/or/xor operations work on all four bytes; blending leaves the
// destination's alpha byte as it was.
#include "graphics/image_put.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "graphics/image_load.h"
#include "storage/membuf.h"
#include "vm/element.h"

namespace gfx {

void blend_alpha_row_scalar(uint8_t* __restrict d, const uint8_t* __restrict s, int64_t n) {
  for (int64_t i = 0; i < n; i++, d += 4, s += 4) {
    const uint32_t a = s[3], ia = 256 - a;
    if (a == 255) {
      d[0] = s[0], d[1] = s[1], d[2] = s[2];
      continue;
    }
    for (int k = 0; k < 3; k++) d[k] = uint8_t((d[k] * ia + s[k] * a) >> 8);
  }
}

#if defined(__SSE2__)
namespace {

// Four pixels blended in 16-bit lanes: blue and red (the low byte of each
// lane) in one register, green and alpha (the high byte) in another, so
// that no widening is needed. An alpha of 255 is taken as 256 so that it
// gives the source exactly; then d * (256 - a) + s * a = (d << 8) + (s -
// d) * a lies in 0..65280, and computing it modulo 2^16 in the lanes is
// exact. The alpha lanes are multiplied by 0 and so keep the target's
// alpha byte.
inline __m128i blend4(__m128i sv, __m128i dv) {
  const __m128i low_bytes = _mm_set1_epi16(0x00FF);
  __m128i a = _mm_srli_epi32(sv, 24);
  a = _mm_add_epi32(a, _mm_srli_epi32(_mm_add_epi32(a, _mm_set1_epi32(1)), 8));  // 255 -> 256
  // a_rb: the alpha in both lanes of a pixel (blue, red); a itself has it
  // in the green lane only, 0 in the alpha lane.
  const __m128i a_rb = _mm_or_si128(a, _mm_slli_epi32(a, 16));
  const __m128i s_rb = _mm_and_si128(sv, low_bytes), d_rb = _mm_and_si128(dv, low_bytes);
  const __m128i s_ga = _mm_srli_epi16(sv, 8), d_ga = _mm_srli_epi16(dv, 8);
  const __m128i rb =
      _mm_srli_epi16(_mm_add_epi16(_mm_slli_epi16(d_rb, 8), _mm_mullo_epi16(_mm_sub_epi16(s_rb, d_rb), a_rb)), 8);
  const __m128i ga = _mm_andnot_si128(
      low_bytes, _mm_add_epi16(_mm_slli_epi16(d_ga, 8), _mm_mullo_epi16(_mm_sub_epi16(s_ga, d_ga), a)));
  return _mm_or_si128(rb, ga);
}

}  // namespace
#endif

namespace {

#if defined(__SSE2__)
void blend_alpha_row_sse2(uint8_t* __restrict d, const uint8_t* __restrict s, int64_t n) {
  // Eight pixels at a time: blocks wholly clear are left, wholly opaque
  // ones take the source's colours, the others are blended; the rest of
  // the row goes through the scalar blend.
  const __m128i alpha_bytes = _mm_set1_epi32(int32_t(0xFF000000u));
  const __m128i zero = _mm_setzero_si128();
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i * 4));
    const __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i * 4 + 16));
    const __m128i a0 = _mm_and_si128(s0, alpha_bytes), a1 = _mm_and_si128(s1, alpha_bytes);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_or_si128(a0, a1), zero)) == 0xFFFF) continue;
    __m128i* dp = reinterpret_cast<__m128i*>(d + i * 4);
    const __m128i d0 = _mm_loadu_si128(dp), d1 = _mm_loadu_si128(dp + 1);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(a0, a1), alpha_bytes)) == 0xFFFF) {
      _mm_storeu_si128(dp, _mm_or_si128(_mm_andnot_si128(alpha_bytes, s0), _mm_and_si128(alpha_bytes, d0)));
      _mm_storeu_si128(dp + 1, _mm_or_si128(_mm_andnot_si128(alpha_bytes, s1), _mm_and_si128(alpha_bytes, d1)));
      continue;
    }
    _mm_storeu_si128(dp, blend4(s0, d0));
    _mm_storeu_si128(dp + 1, blend4(s1, d1));
  }
  blend_alpha_row_scalar(d + i * 4, s + i * 4, n - i);
}
#endif

#if defined(__x86_64__) || defined(__i386__)
#define QUILLON_HAVE_AVX2_PATH 1
// blend4 on eight pixels in the 256-bit registers of AVX2: the same lanes,
// the same arithmetic, so the same bytes.
__attribute__((target("avx2"))) inline __m256i blend8(__m256i sv, __m256i dv) {
  const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
  __m256i a = _mm256_srli_epi32(sv, 24);
  a = _mm256_add_epi32(a, _mm256_srli_epi32(_mm256_add_epi32(a, _mm256_set1_epi32(1)), 8));  // 255 -> 256
  const __m256i a_rb = _mm256_or_si256(a, _mm256_slli_epi32(a, 16));
  const __m256i s_rb = _mm256_and_si256(sv, low_bytes), d_rb = _mm256_and_si256(dv, low_bytes);
  const __m256i s_ga = _mm256_srli_epi16(sv, 8), d_ga = _mm256_srli_epi16(dv, 8);
  const __m256i rb = _mm256_srli_epi16(
      _mm256_add_epi16(_mm256_slli_epi16(d_rb, 8), _mm256_mullo_epi16(_mm256_sub_epi16(s_rb, d_rb), a_rb)), 8);
  const __m256i ga = _mm256_andnot_si256(
      low_bytes, _mm256_add_epi16(_mm256_slli_epi16(d_ga, 8), _mm256_mullo_epi16(_mm256_sub_epi16(s_ga, d_ga), a)));
  return _mm256_or_si256(rb, ga);
}

// Sixteen pixels at a time, with the clear and opaque blocks of the SSE2
// path; the last fifteen or fewer go through that path.
__attribute__((target("avx2"))) void blend_alpha_row_avx2(uint8_t* __restrict d, const uint8_t* __restrict s,
                                                          int64_t n) {
  const __m256i alpha_bytes = _mm256_set1_epi32(int32_t(0xFF000000u));
  int64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i s0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i * 4));
    const __m256i s1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i * 4 + 32));
    if (_mm256_testz_si256(_mm256_or_si256(s0, s1), alpha_bytes)) continue;  // every alpha 0
    __m256i* dp = reinterpret_cast<__m256i*>(d + i * 4);
    const __m256i d0 = _mm256_loadu_si256(dp), d1 = _mm256_loadu_si256(dp + 1);
    if (_mm256_testc_si256(_mm256_and_si256(s0, s1), alpha_bytes)) {  // every alpha 255
      _mm256_storeu_si256(dp, _mm256_blendv_epi8(s0, d0, alpha_bytes));
      _mm256_storeu_si256(dp + 1, _mm256_blendv_epi8(s1, d1, alpha_bytes));
      continue;
    }
    _mm256_storeu_si256(dp, blend8(s0, d0));
    _mm256_storeu_si256(dp + 1, blend8(s1, d1));
  }
  blend_alpha_row_sse2(d + i * 4, s + i * 4, n - i);
}
#endif

using BlendRow = void (*)(uint8_t* __restrict, const uint8_t* __restrict, int64_t);

BlendRow blend_row_of(BlendPath path) {
  switch (path) {
    case BlendPath::Scalar: return blend_alpha_row_scalar;
#if defined(__SSE2__)
    case BlendPath::Sse2: return blend_alpha_row_sse2;
#endif
#if defined(QUILLON_HAVE_AVX2_PATH)
    case BlendPath::Avx2: return __builtin_cpu_supports("avx2") ? blend_alpha_row_avx2 : nullptr;
#endif
    default: return nullptr;
  }
}

// The fastest path the processor has, chosen once.
BlendRow best_blend_row() {
  for (BlendPath p : {BlendPath::Avx2, BlendPath::Sse2})
    if (BlendRow f = blend_row_of(p)) return f;
  return blend_alpha_row_scalar;
}

}  // namespace

bool blend_path_available(BlendPath path) { return blend_row_of(path) != nullptr; }

void blend_alpha_row_on(BlendPath path, uint8_t* d, const uint8_t* s, int64_t n) {
  if (BlendRow f = blend_row_of(path)) f(d, s, n);
}

void blend_alpha_row(uint8_t* d, const uint8_t* s, int64_t n) {
  static const BlendRow best = best_blend_row();
  best(d, s, n);
}

namespace {

enum class Op { Copy, And, Or, Xor };

inline bool direct(const Image& img) { return img.bits >= 24 && img.pixels; }

// The colour at (x, y), with the alpha byte of 32-bit images in bits 24..31
// (255 for other depths). The point is known to be inside.
inline uint32_t read_px(const Image& img, int64_t x, int64_t y) {
  if (direct(img)) {
    const uint8_t* p = img.row(int32_t(y)) + x * img.bytes_pp;
    uint32_t a = img.bytes_pp == 4 ? p[3] : 255;
    return a << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
  }
  return 0xFF000000u | get_pixel(img, x, y);
}

inline void write_rgb(Image& img, int64_t x, int64_t y, uint32_t c) {
  if (direct(img)) {
    uint8_t* p = img.row(int32_t(y)) + x * img.bytes_pp;
    p[0] = uint8_t(c);
    p[1] = uint8_t(c >> 8);
    p[2] = uint8_t(c >> 16);
  } else {
    set_pixel(img, x, y, c & 0xFFFFFF);
  }
}

// Both rectangles inclusive; false when the intersection is empty.
bool intersect(Rect& r, const Rect& with) {
  r.x1 = std::max(r.x1, with.x1);
  r.y1 = std::max(r.y1, with.y1);
  r.x2 = std::min(r.x2, with.x2);
  r.y2 = std::min(r.y2, with.y2);
  return r.x1 <= r.x2 && r.y1 <= r.y2;
}

// The destination rectangle of (x, y) and the size, pinned so that the
// arithmetic stays in range, cut as the put requires.
bool dest_rect(const Image& dst, int64_t x, int64_t y, int64_t w, int64_t h, bool clip, Rect& out) {
  if (!dst.pixels || w <= 0 || h <= 0) return false;
  int64_t x2 = x + w - 1, y2 = y + h - 1;
  if (x2 < 0 || y2 < 0 || x >= dst.width() || y >= dst.height()) return false;
  Rect r{int32_t(std::max<int64_t>(x, 0)), int32_t(std::max<int64_t>(y, 0)),
         int32_t(std::min<int64_t>(x2, dst.width() - 1)), int32_t(std::min<int64_t>(y2, dst.height() - 1))};
  if (clip) {
    Rect c;
    if (!clip_rect(dst, c) || !intersect(r, c)) return false;
  }
  out = r;
  return true;
}

Op op_of(const Image& src, const Image& dst) {
  for (const DrawState* s : {&src.st, &dst.st}) {
    if (s->op_and) return Op::And;
    if (s->op_or) return Op::Or;
    if (s->op_xor) return Op::Xor;
  }
  return Op::Copy;
}

// What a put does to every pixel, settled once per call by transfer().
struct PutPlan {
  int64_t X, Y, DW, DH;  // the destination box
  const Image* mask;     // the source's permanent mask, or null
  bool tran;             // skip source pixels of tran_color
  uint32_t tran_color;
  bool blend_put;        // a filter level or the alpha channel mixes source and destination
  int32_t f;             // filter level 0..255
  bool use_alpha;        // blend by the source's alpha channel
  bool whole32;          // 32-bit to 32-bit: the operation takes the alpha byte along
};

// The general put, scaling, flipping, masking and blending pixel by pixel,
// with the raster operation fixed at compile time. Blending happens only
// with Op::Copy (transfer() never asks for it with another operation).
template <Op kOp>
void transfer_pixels(Image& dst, const Image& src, const PutPlan& plan, const Rect& r) {
  // Locals, not the plan's fields: the pixel stores could alias them.
  const int64_t X = plan.X, Y = plan.Y, DW = plan.DW, DH = plan.DH;
  const int64_t SW = src.width(), SH = src.height();
  const Image* const mask = plan.mask;
  const bool tran = plan.tran, blend_put = plan.blend_put, use_alpha = plan.use_alpha, whole32 = plan.whole32;
  const uint32_t tran_color = plan.tran_color;
  const int32_t f = plan.f;
  for (int64_t dy = r.y1; dy <= r.y2; dy++) {
    int64_t sy = (dy - Y) * SH / DH;
    if (src.st.flip_y) sy = SH - 1 - sy;
    for (int64_t dx = r.x1; dx <= r.x2; dx++) {
      int64_t sx = (dx - X) * SW / DW;
      if (src.st.flip_x) sx = SW - 1 - sx;
      if (mask && mask_bit(*mask, sx, sy)) continue;
      uint32_t s = read_px(src, sx, sy);
      if (tran && (s & 0xFFFFFF) == tran_color) continue;
      if constexpr (kOp == Op::Copy) {
        if (blend_put) {
          uint32_t d = read_px(dst, dx, dy), out = 0;
          if (use_alpha) {
            uint32_t a = s >> 24;
            if (f) a = (a * uint32_t(255 - f)) >> 8;
            if (a == 0) continue;
            if (a == 255) {
              out = s;
            } else {
              for (int k = 0; k < 24; k += 8)
                out |= ((((d >> k) & 255) * (256 - a) + ((s >> k) & 255) * a) >> 8) << k;
            }
          } else if (f == 0) {
            out = s;
          } else {
            for (int k = 0; k < 24; k += 8)
              out |= ((((s >> k) & 255) * uint32_t(255 - f) + ((d >> k) & 255) * uint32_t(f + 1)) >> 8) << k;
          }
          write_rgb(dst, dx, dy, out);
          continue;
        }
      }
      if (whole32) {
        uint8_t* p = dst.row(int32_t(dy)) + dx * 4;
        uint32_t d;
        std::memcpy(&d, p, 4);
        uint32_t v = s;  // 0xAARRGGBB is b, g, r, a in memory order
        if constexpr (kOp == Op::And) v &= d;
        else if constexpr (kOp == Op::Or) v |= d;
        else if constexpr (kOp == Op::Xor) v ^= d;
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
        p[2] = uint8_t(v >> 16);
        p[3] = uint8_t(v >> 24);
        continue;
      }
      if constexpr (kOp != Op::Copy) {
        uint32_t d = read_px(dst, dx, dy) & 0xFFFFFF;
        if constexpr (kOp == Op::And) s &= d;
        else if constexpr (kOp == Op::Or) s |= d;
        else s ^= d;
      }
      write_rgb(dst, dx, dy, s);
    }
  }
}

// Whether a put of src onto dst, one to one, moves whole pixels row by row:
// the same direct depth, no masks, flips or transparent colours.
bool plain_rows(const Image& dst, const Image& src) {
  const bool tran = !src.mask && (src.st.tran || dst.st.tran);
  return !src.st.flip_x && !src.st.flip_y && !src.mask && !tran && direct(src) && direct(dst) && src.bits == dst.bits;
}

bool blends(const Image& dst, const Image& src, Op op) {
  return op == Op::Copy && (dst.st.filter || src.st.filter || src.st.alpha);
}

// The put proper: the destination box (X, Y, DW x DH) maps onto the whole
// source; `r` is the part of it to cover. The raster operation is chosen
// here, once, and the pixel loop is the one made for it.
void transfer(Image& dst, const Image& src, int64_t X, int64_t Y, int64_t DW, int64_t DH, const Rect& r) {
  const int64_t SW = src.width(), SH = src.height();
  const Image* mask = src.mask ? image_of(src.mask) : nullptr;
  bool tran = !mask && (src.st.tran || dst.st.tran);
  uint32_t tran_color = (src.st.tran ? src.st.color_tran : dst.st.color_tran) & 0xFFFFFF;
  Op op = op_of(src, dst);
  bool blend_put = blends(dst, src, op);
  int32_t f = std::clamp(src.st.filter ? src.st.filter : dst.st.filter, 0, 255);
  if (blend_put && f == 255) return;
  bool use_alpha = src.bits == 32 && src.st.alpha;
  bool whole32 = src.bits == 32 && dst.bits == 32 && src.pixels && dst.pixels;
  // The common puts, one to one between images of the same direct depth
  // without masks, flips or transparent colours, go row by row: the plain
  // copy as whole spans, the alpha put through blend_alpha_row.
  const bool plain = DW == SW && DH == SH && plain_rows(dst, src);
  // Rows go bottom first, in the order they lie in memory (rows are stored
  // bottom-up), which keeps the hardware prefetcher on one stream per image.
  if (plain && op == Op::Copy && !blend_put) {
    const size_t bytes = size_t(r.x2 - r.x1 + 1) * size_t(dst.bytes_pp);
    for (int64_t dy = r.y2; dy >= r.y1; dy--)
      std::memcpy(dst.row(int32_t(dy)) + int64_t(r.x1) * dst.bytes_pp,
                  src.row(int32_t(dy - Y)) + (r.x1 - X) * src.bytes_pp, bytes);
    return;
  }
  if (plain && blend_put && use_alpha && f == 0 && dst.bits == 32) {
    const int64_t n = int64_t(r.x2) - r.x1 + 1;
    for (int64_t dy = r.y2; dy >= r.y1; dy--)
      blend_alpha_row(dst.row(int32_t(dy)) + int64_t(r.x1) * 4, src.row(int32_t(dy - Y)) + (r.x1 - X) * 4, n);
    return;
  }
  const PutPlan plan{X, Y, DW, DH, mask, tran, tran_color, blend_put, f, use_alpha, whole32};
  switch (op) {
    case Op::Copy: transfer_pixels<Op::Copy>(dst, src, plan, r); break;
    case Op::And: transfer_pixels<Op::And>(dst, src, plan, r); break;
    case Op::Or: transfer_pixels<Op::Or>(dst, src, plan, r); break;
    case Op::Xor: transfer_pixels<Op::Xor>(dst, src, plan, r); break;
  }
}

// A put of an image onto itself works from a copy.
bool put_box(Image& dst, const Image& src, int64_t X, int64_t Y, int64_t DW, int64_t DH, bool clip, Rect* drawn) {
  Rect r;
  if (!src.pixels || src.width() <= 0 || src.height() <= 0) return false;
  if (!dest_rect(dst, X, Y, DW, DH, clip, r)) return false;
  if (drawn) *drawn = r;
  if (&dst == &src) {
    uint32_t copy = image_copy(src);
    Image* c = image_of(copy);
    if (!c) return false;
    transfer(dst, *c, X, Y, DW, DH, r);
    vm::element_release(copy);
  } else {
    transfer(dst, src, X, Y, DW, DH, r);
  }
  return true;
}

inline int64_t pin(int64_t v) { return std::clamp<int64_t>(v, -(int64_t(1) << 40), int64_t(1) << 40); }

int32_t depth_of(const Image& img) { return img.has_alpha ? -32 : int32_t(img.bits); }

}  // namespace

bool put_overwrites(const Image& dst, const Image& src) {
  const Op op = op_of(src, dst);
  return plain_rows(dst, src) && op == Op::Copy && !blends(dst, src, op);
}

bool put_image(Image& dst, const Image& src, int64_t x, int64_t y, bool clip, Rect* drawn) {
  return put_box(dst, src, pin(x), pin(y), src.width(), src.height(), clip, drawn);
}

bool put_stretched(Image& dst, const Image& src, int64_t x1, int64_t y1, int64_t x2, int64_t y2, bool clip,
                   Rect* drawn) {
  x1 = pin(x1), y1 = pin(y1), x2 = pin(x2), y2 = pin(y2);
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  return put_box(dst, src, x1, y1, x2 - x1 + 1, y2 - y1 + 1, clip, drawn);
}

uint32_t image_get(const Image& src, int64_t x1, int64_t y1, int64_t x2, int64_t y2) {
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  Rect c;
  if (!src.pixels || !clip_rect(src, c)) return 0;
  if (x2 < c.x1 || y2 < c.y1 || x1 > c.x2 || y1 > c.y2) return 0;
  Rect r{int32_t(std::max<int64_t>(x1, c.x1)), int32_t(std::max<int64_t>(y1, c.y1)),
         int32_t(std::min<int64_t>(x2, c.x2)), int32_t(std::min<int64_t>(y2, c.y2))};
  const int32_t w = r.x2 - r.x1 + 1, h = r.y2 - r.y1 + 1;
  uint32_t handle = image_new(w, h, depth_of(src), &src, src.palette, 256);
  Image* img = image_of(handle);
  if (!img) return 0;
  img->st.color = src.st.color;
  if (src.bits >= 8) {
    for (int32_t y = 0; y < h; y++)
      std::memcpy(img->row(y), src.row(r.y1 + y) + int64_t(r.x1) * src.bytes_pp, size_t(w) * size_t(src.bytes_pp));
  } else {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) set_pixel(*img, x, y, get_pixel(src, r.x1 + x, r.y1 + y));
  }
  return handle;
}

uint32_t image_copy(const Image& src) {
  uint32_t handle = image_new(src.width(), src.height(), depth_of(src), &src, src.palette, 256);
  Image* img = image_of(handle);
  if (!img) return 0;
  if (src.pixels && img->pixels) std::memcpy(img->pixels, src.pixels, size_t(src.stride) * size_t(src.height()));
  img->st = src.st;
  vm::element_ref(img->st.font);
  img->delay = src.delay;
  if (const Image* m = src.mask ? image_of(src.mask) : nullptr) img->mask = image_copy(*m);
  if (src.metafile) vm::element_ref(img->metafile = src.metafile);  // shared, never changed
  return handle;
}

bool mask_bit(const Image& mask, int64_t x, int64_t y) {
  if (!mask.pixels || x < 0 || y < 0 || x >= mask.width() || y >= mask.height()) return false;
  if (mask.bits == 1) return mask.row(int32_t(y))[x >> 3] & (0x80 >> (x & 7));
  return (get_pixel(mask, x, y) & 0xFFFFFF) == 0xFFFFFF;
}

void set_mask(Image& img, const Image* from) {
  if (img.mask) vm::element_release(img.mask);
  img.mask = 0;
  if (!from || !img.pixels) return;
  uint32_t handle = image_create(img.width(), img.height(), 1, nullptr, nullptr);
  Image* m = image_of(handle);
  if (!m) return;
  for (int32_t y = 0; y < img.height(); y++)
    for (int32_t x = 0; x < img.width(); x++)
      if (x < from->width() && y < from->height() && (get_pixel(*from, x, y) & 0xFFFFFF) == 0xFFFFFF)
        m->row(y)[x >> 3] |= uint8_t(0x80 >> (x & 7));
  img.mask = handle;
}

uint32_t mask_image(const Image& img) {
  uint32_t handle = image_new(img.width(), img.height(), 1, &img);
  Image* m = image_of(handle);
  if (!m) return 0;
  m->palette[0] = 0x000000;
  m->palette[1] = 0xFFFFFF;
  const Image* mask = img.mask ? image_of(img.mask) : nullptr;
  if (mask && m->pixels)
    for (int32_t y = 0; y < m->height(); y++)
      for (int32_t x = 0; x < m->width(); x++)
        if (mask_bit(*mask, x, y)) m->row(y)[x >> 3] |= uint8_t(0x80 >> (x & 7));
  return handle;
}

bool make_alpha_image(Image& img) {
  if (img.bits == 32) {
    if (!img.has_alpha && img.pixels)
      for (int32_t y = 0; y < img.height(); y++)
        for (int32_t x = 0; x < img.width(); x++) img.row(y)[x * 4 + 3] = 255;
    img.has_alpha = true;
    return true;
  }
  const int64_t stride = int64_t(img.width()) * 4;
  uint8_t* fresh = nullptr;
  if (img.pixels) {
    fresh = static_cast<uint8_t*>(std::calloc(size_t(stride * img.height()), 1));
    if (!fresh) return false;
    for (int32_t y = 0; y < img.height(); y++) {
      uint8_t* row = fresh + int64_t(img.height() - 1 - y) * stride;
      for (int32_t x = 0; x < img.width(); x++) {
        uint32_t c = get_pixel(img, x, y);
        row[x * 4] = uint8_t(c);
        row[x * 4 + 1] = uint8_t(c >> 8);
        row[x * 4 + 2] = uint8_t(c >> 16);
        row[x * 4 + 3] = 255;
      }
    }
    // Addresses handed out for the old pixels end with them.
    storage::script_memory_remove(img.pixels);
    std::free(img.pixels);
  }
  img.pixels = fresh;
  img.stride = int32_t(stride);
  img.bytes_pp = 4;
  img.bits = 32;
  img.color_mask = 0xFFFFFF;
  img.has_alpha = true;
  return true;
}

bool set_alpha_from(Image& img, const Image& from) {
  if (!make_alpha_image(img)) return false;
  img.st.alpha = 1;
  if (!img.pixels) return true;
  for (int32_t y = 0; y < img.height(); y++) {
    uint8_t* row = img.row(y);
    for (int32_t x = 0; x < img.width(); x++) {
      int64_t ax = int64_t(x) - from.st.off_x, ay = int64_t(y) - from.st.off_y;
      uint32_t a = 0;
      if (from.pixels && ax >= 0 && ay >= 0 && ax < from.width() && ay < from.height()) {
        uint32_t c = read_px(from, ax, ay);
        a = from.has_alpha ? c >> 24
                           : ((c >> 16 & 255) * 6969 + (c >> 8 & 255) * 23434 + (c & 255) * 2365) >> 15;
      }
      row[x * 4 + 3] = uint8_t(std::min<uint32_t>(a, 255));
    }
  }
  return true;
}

uint32_t alpha_image(const Image& img) {
  uint32_t handle = image_new(img.width(), img.height(), 32, &img);
  Image* out = image_of(handle);
  if (!out) return 0;
  out->has_alpha = false;
  if (out->pixels)
    for (int32_t y = 0; y < out->height(); y++)
      for (int32_t x = 0; x < out->width(); x++) {
        uint32_t a = img.has_alpha ? img.row(y)[x * 4 + 3] : 255;
        uint8_t* p = out->row(y) + x * 4;
        p[0] = p[1] = p[2] = uint8_t(a);
        p[3] = 0;
      }
  return handle;
}

}  // namespace gfx
