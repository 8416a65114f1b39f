// Image transforms and their commands: imageconvert, imagesize,
// imageprocess, imageflood, imageunsharp, imagerotate, imageantirotate,
// imagewarp, imageantiwarp, imagepolar, imagepanorama, imagecalcset and
// imagecalcsource.
#include "graphics/image_transform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <numbers>
#include <unordered_map>

#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "graphics/image_load.h"
#include "graphics/image_put.h"
#include "graphics/metafile.h"
#include "graphics/shapes.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/measure.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace gfx {

namespace {

bool fits(int64_t w, int64_t h) { return w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide && w * h <= kMaxPixels; }

inline uint32_t chan(uint32_t c, int shift) { return c >> shift & 255; }

// The palette of an indexed copy of `src` at `bits`, see convert_image.
std::vector<uint32_t> palette_for(const Image& src, const std::vector<uint32_t>& argb, int32_t bits) {
  size_t room = size_t(1) << bits;
  if (src.bits <= 8 && src.bits <= bits) return std::vector<uint32_t>(src.palette, src.palette + (1u << src.bits));
  std::vector<uint32_t> seen;
  std::unordered_map<uint32_t, bool> set;
  for (uint32_t c : argb) {
    c &= 0xFFFFFF;
    if (set.emplace(c, true).second) {
      seen.push_back(c);
      if (seen.size() > room) break;
    }
  }
  if (seen.size() <= room) return seen;
  std::vector<uint32_t> pal;
  if (bits == 1) {
    pal = {0x000000, 0xFFFFFF};
  } else if (bits == 4) {
    pal.assign(kStandardColors, kStandardColors + 16);
  } else {
    for (uint32_t r = 0; r < 6; r++)
      for (uint32_t g = 0; g < 6; g++)
        for (uint32_t b = 0; b < 6; b++) pal.push_back(r * 51 << 16 | g * 51 << 8 | b * 51);
    for (uint32_t k = 0; k < 40; k++) pal.push_back((k * 255 / 39) * 0x010101u);
  }
  return pal;
}

// A new image at `bits` holding the picture `argb` (w x h), template `like`.
uint32_t image_from_argb(const std::vector<uint32_t>& argb, int32_t w, int32_t h, int32_t bits, const Image& like,
                         const Image& palette_source, std::string* error) {
  if (!fits(w, h)) {
    if (error) *error = "image too large";
    return 0;
  }
  uint32_t handle;
  int32_t depth = bits == -32 ? 32 : bits;
  if (depth <= 8) {
    std::vector<uint32_t> pal = palette_for(palette_source, argb, depth);
    handle = image_new(w, h, depth, &like, pal.data(), int32_t(pal.size()), error);
  } else {
    handle = image_new(w, h, bits, &like, nullptr, 0, error);
  }
  if (Image* img = image_of(handle)) write_argb(*img, argb);
  return handle;
}

int32_t depth_of(const Image& img) { return img.has_alpha ? -32 : img.bits; }

}  // namespace

std::vector<uint32_t> read_argb(const Image& img) {
  int32_t w = img.width(), h = img.height();
  std::vector<uint32_t> out;
  if (!img.pixels || w <= 0 || h <= 0) return out;
  out.resize(size_t(w) * size_t(h));
  for (int32_t y = 0; y < h; y++) {
    const uint8_t* r = img.row(y);
    uint32_t* o = &out[size_t(y) * size_t(w)];
    if (img.bits >= 24) {
      for (int32_t x = 0; x < w; x++, r += img.bytes_pp) {
        uint32_t a = img.has_alpha ? r[3] : 255;
        o[x] = a << 24 | uint32_t(r[2]) << 16 | uint32_t(r[1]) << 8 | r[0];
      }
    } else {
      for (int32_t x = 0; x < w; x++) o[x] = 0xFF000000u | get_pixel(img, x, y);
    }
  }
  return out;
}

void write_argb(Image& img, const std::vector<uint32_t>& argb) {
  int32_t w = img.width(), h = img.height();
  if (!img.pixels || argb.size() != size_t(w) * size_t(h)) return;
  std::unordered_map<uint32_t, uint8_t> cache;
  for (int32_t y = 0; y < h; y++) {
    uint8_t* r = img.row(y);
    const uint32_t* s = &argb[size_t(y) * size_t(w)];
    if (img.bits >= 24) {
      for (int32_t x = 0; x < w; x++, r += img.bytes_pp) {
        r[0] = uint8_t(s[x]);
        r[1] = uint8_t(s[x] >> 8);
        r[2] = uint8_t(s[x] >> 16);
        if (img.has_alpha) r[3] = uint8_t(s[x] >> 24);
      }
      continue;
    }
    for (int32_t x = 0; x < w; x++) {
      uint32_t c = s[x] & 0xFFFFFF;
      auto it = cache.find(c);
      uint8_t index = it != cache.end() ? it->second : cache.emplace(c, nearest_index(img, c)).first->second;
      put_index(r, img.bits, x, index);
    }
  }
}

uint32_t convert_image(const Image& src, int32_t bits, std::string* error) {
  // An image without pixels keeps its sides (one of them 0).
  if (!src.pixels) return image_new(src.width(), src.height(), bits, &src, nullptr, 0, error);
  std::vector<uint32_t> argb = read_argb(src);
  // A plain image made an alpha image starts opaque (read_argb gives 255).
  return image_from_argb(argb, src.width(), src.height(), bits, src, src, error);
}

bool resized_extent(int64_t old_w, int64_t old_h, double want_w, double want_h, int32_t& w, int32_t& h) {
  if (!std::isfinite(want_w) || !std::isfinite(want_h)) return false;
  auto side = [](int64_t old, double want) { return want < 0 ? double(old) * -want : want; };
  double nw = side(old_w, want_w), nh = side(old_h, want_h);
  if (want_w == 0 && want_h == 0) {
    nw = double(old_w);
    nh = double(old_h);
  } else if (want_w == 0) {
    if (old_h <= 0) return false;
    nw = double(old_w) * nh / double(old_h);
  } else if (want_h == 0) {
    if (old_w <= 0) return false;
    nh = double(old_h) * nw / double(old_w);
  }
  nw = std::floor(nw + 0.5);
  nh = std::floor(nh + 0.5);
  if (!(nw >= 1 && nh >= 1 && nw <= kMaxSide && nh <= kMaxSide && nw * nh <= double(kMaxPixels))) return false;
  w = int32_t(nw);
  h = int32_t(nh);
  return true;
}

uint32_t resize_image(const Image& src, int32_t w, int32_t h, int32_t bits, std::string* error) {
  if (!fits(w, h) || !src.pixels) {
    if (error) *error = "image too large";
    return 0;
  }
  std::vector<uint32_t> in = read_argb(src), out(size_t(w) * size_t(h));
  int32_t sw = src.width(), sh = src.height();
  std::vector<int32_t> xs(static_cast<size_t>(w));
  for (int32_t x = 0; x < w; x++) xs[size_t(x)] = int32_t((int64_t(x) * 2 + 1) * sw / (int64_t(w) * 2));
  for (int32_t y = 0; y < h; y++) {
    int32_t sy = int32_t((int64_t(y) * 2 + 1) * sh / (int64_t(h) * 2));
    const uint32_t* s = &in[size_t(sy) * size_t(sw)];
    uint32_t* o = &out[size_t(y) * size_t(w)];
    for (int32_t x = 0; x < w; x++) o[x] = s[xs[size_t(x)]];
  }
  return image_from_argb(out, w, h, bits ? bits : depth_of(src), src, src, error);
}

void replace_pixels(Image& into, uint32_t from) {
  Image* f = image_of(from);
  if (!f || f == &into) return;
  std::swap(into.pixels, f->pixels);
  std::swap(into.stride, f->stride);
  std::swap(into.bytes_pp, f->bytes_pp);
  std::swap(into.bits, f->bits);
  std::swap(into.color_mask, f->color_mask);
  std::swap(into.has_alpha, f->has_alpha);
  std::swap(into.palette, f->palette);
  std::swap(into.st.width, f->st.width);
  std::swap(into.st.height, f->st.height);
  into.st.minx = 0;
  into.st.miny = 0;
  into.st.maxx = int16_t(std::clamp(into.st.width - 1, 0, 32767));
  into.st.maxy = int16_t(std::clamp(into.st.height - 1, 0, 32767));
  vm::element_release(from);
}

// --- processing ------------------------------------------------------------------------

namespace {

uint32_t process_color(uint32_t c, Process op, int64_t a, uint32_t color) {
  uint32_t out = c & 0xFF000000u;
  int64_t g = 30 * chan(c, 16) + 59 * chan(c, 8) + 11 * chan(c, 0);
  for (int shift = 0; shift <= 16; shift += 8) {
    int64_t old = chan(c, shift), cc = chan(color, shift), v;
    switch (op) {
      case Process::Greyscale:
        v = a == 100 ? cc * g / 25500 : (cc * (a * g) / 25500 + old * (100 - a)) / 100;
        break;
      case Process::Invert: v = (old * (100 - a) + a * (255 - old) * cc / 255) / 100; break;
      default: v = (old * (100 - a) + a * old * cc / 255) / 100; break;
    }
    out |= uint32_t(std::clamp<int64_t>(v, 0, 255)) << shift;
  }
  return out;
}

}  // namespace

void process_image(Image& img, Process op, int32_t amount, uint32_t color, bool plain) {
  if (!img.pixels) return;
  int64_t a = amount;
  if (op == Process::Invert && a == 100 && plain) color = 0xFFFFFF;
  if (img.bits <= 8) {
    // An indexed picture changes through its palette, which changes every
    // pixel exactly as a direct-colour copy would.
    for (uint32_t& p : img.palette) p = process_color(p, op, a, color) & 0xFFFFFF;
    return;
  }
  for (int32_t y = 0; y < img.height(); y++) {
    uint8_t* r = img.row(y);
    for (int32_t x = 0; x < img.width(); x++, r += img.bytes_pp) {
      uint32_t c = uint32_t(r[2]) << 16 | uint32_t(r[1]) << 8 | r[0];
      c = process_color(c, op, a, color);
      r[0] = uint8_t(c);
      r[1] = uint8_t(c >> 8);
      r[2] = uint8_t(c >> 16);
    }
  }
}

std::vector<double> gauss_matrix(double radius) {
  double sigma = std::fabs(radius) + 1;
  int64_t half = int64_t(std::ceil(2 * sigma - 0.5));
  std::vector<double> m(size_t(2 * half + 1));
  double sum = 0;
  for (int64_t i = -half; i <= half; i++) {
    double acc = 0;
    for (int k = 0; k < 50; k++) {
      double x = double(i) - 0.49 + 0.02 * k;
      acc += std::exp(-x * x / (2 * sigma * sigma));
    }
    m[size_t(i + half)] = acc / 50;
    sum += acc / 50;
  }
  for (double& v : m) v /= sum;
  return m;
}

void unsharp_image(Image& img, double amount, double radius, double threshold) {
  int32_t w = img.width(), h = img.height();
  if (!img.pixels || w <= 0 || h <= 0) return;
  // Note: radii beyond 100 are taken as 100 (a 405-entry matrix).
  std::vector<double> m = gauss_matrix(std::min(std::fabs(radius), 100.0));
  int64_t half = int64_t(m.size() / 2);
  std::vector<uint32_t> orig = read_argb(img);
  std::vector<float> tmp(size_t(w) * size_t(h) * 3), blur(tmp.size());
  auto pass = [&](auto get, std::vector<float>& dst, bool rows) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        for (int ch = 0; ch < 3; ch++) {
          double acc = 0;
          for (int64_t k = -half; k <= half; k++) {
            // Edges are extended.
            int64_t sx = rows ? std::clamp<int64_t>(x + k, 0, w - 1) : x;
            int64_t sy = rows ? y : std::clamp<int64_t>(y + k, 0, h - 1);
            acc += m[size_t(k + half)] * get(sx, sy, ch);
          }
          dst[(size_t(y) * size_t(w) + size_t(x)) * 3 + size_t(ch)] = float(acc);
        }
  };
  pass([&](int64_t x, int64_t y, int ch) { return double(chan(orig[size_t(y * w + x)], 16 - 8 * ch)); }, tmp, true);
  pass([&](int64_t x, int64_t y, int ch) { return double(tmp[size_t(y * w + x) * 3 + size_t(ch)]); }, blur, false);
  double a = amount * 0.01;
  int64_t t = int64_t(threshold) * 3;
  std::vector<uint32_t> out(orig.size());
  for (size_t i = 0; i < orig.size(); i++) {
    double d[3];
    double sq = 0;
    bool any = false;
    for (int ch = 0; ch < 3; ch++) {
      d[ch] = double(chan(orig[i], 16 - 8 * ch)) - std::trunc(blur[i * 3 + size_t(ch)] + 0.5);
      any |= d[ch] != 0;
      sq += d[ch] * d[ch];
    }
    if (!any || (t > 0 && sq < double(t) * double(t))) {
      out[i] = orig[i];
      continue;
    }
    uint32_t c = orig[i] & 0xFF000000u;
    for (int ch = 0; ch < 3; ch++) {
      double v = std::trunc(double(chan(orig[i], 16 - 8 * ch)) + a * d[ch]);
      c |= uint32_t(std::clamp(v, 0.0, 255.0)) << (16 - 8 * ch);
    }
    out[i] = c;
  }
  write_argb(img, out);
}

uint32_t flood_mask(const Image& img, bool bottom, bool right, double tolerance) {
  int32_t w = img.width(), h = img.height();
  if (!img.pixels || w <= 0 || h <= 0) return 0;
  // The region is looked for in the whole image, whatever its clip rectangle.
  Image whole = img;
  whole.st.minx = whole.st.miny = 0;
  whole.st.maxx = int16_t(std::min(w - 1, 32767));
  whole.st.maxy = int16_t(std::min(h - 1, 32767));
  int64_t sx = right ? w - 1 : 0, sy = bottom ? h - 1 : 0;
  RegionMask region;
  uint32_t handle = image_new(w, h, 1, &img);
  Image* mask = image_of(handle);
  if (!mask) return 0;
  fill_rect(*mask, 0, 0, w - 1, h - 1, 0x000000);
  if (region_fill(whole, sx, sy, false, get_pixel(img, sx, sy), tolerance, region)) {
    for (int64_t y = region.bounds.y1; y <= region.bounds.y2; y++)
      for (int64_t x = region.bounds.x1; x <= region.bounds.x2; x++)
        if (region.bits[size_t(y * w + x)]) set_pixel(*mask, x, y, 0xFFFFFF);
  }
  return handle;
}

// --- geometric transforms ----------------------------------------------------------

uint32_t sample_bilinear(const std::vector<uint32_t>& argb, int32_t w, int32_t h, double u, double v) {
  double fx = u - 0.5, fy = v - 0.5;
  double x0 = std::floor(fx), y0 = std::floor(fy);
  double tx = fx - x0, ty = fy - y0;
  auto at = [&](double x, double y) {
    int64_t xi = std::clamp<int64_t>(int64_t(x), 0, w - 1), yi = std::clamp<int64_t>(int64_t(y), 0, h - 1);
    return argb[size_t(yi * w + xi)];
  };
  uint32_t p00 = at(x0, y0), p10 = at(x0 + 1, y0), p01 = at(x0, y0 + 1), p11 = at(x0 + 1, y0 + 1);
  uint32_t out = 0;
  for (int shift = 0; shift <= 24; shift += 8) {
    double top = chan(p00, shift) * (1 - tx) + chan(p10, shift) * tx;
    double bot = chan(p01, shift) * (1 - tx) + chan(p11, shift) * tx;
    double c = top * (1 - ty) + bot * ty;
    out |= uint32_t(std::clamp(std::floor(c + 0.5), 0.0, 255.0)) << shift;
  }
  return out;
}

namespace {

// A projective map from target coordinates to source pixel coordinates:
// u = (a x + b y + c) / (g x + h y + i), v = (d x + e y + f) / (same).
struct Projective {
  double m[9];
  bool apply(double x, double y, double& u, double& v) const {
    double wz = m[6] * x + m[7] * y + m[8];
    if (!(std::fabs(wz) > 1e-12)) return false;
    u = (m[0] * x + m[1] * y + m[2]) / wz;
    v = (m[3] * x + m[4] * y + m[5]) / wz;
    return true;
  }
};

// Renders the source through the inverse map over the box of target pixels
// (x1, y1)-(x2, y2) inclusive.
bool render(const Image& src, const Projective& inv, int64_t x1, int64_t y1, int64_t x2, int64_t y2, bool anti,
            Mapped& out) {
  int64_t w = x2 - x1 + 1, h = y2 - y1 + 1;
  if (!fits(w, h)) return false;
  std::vector<uint32_t> in = read_argb(src);
  int32_t sw = src.width(), sh = src.height();
  out.x = x1;
  out.y = y1;
  out.w = int32_t(w);
  out.h = int32_t(h);
  out.argb.assign(size_t(w * h), 0);
  if (in.empty()) return true;
  const int n = anti ? 4 : 1;
  for (int64_t j = 0; j < h; j++)
    for (int64_t i = 0; i < w; i++) {
      double acc[4] = {0, 0, 0, 0};
      int hits = 0;
      for (int sj = 0; sj < n; sj++)
        for (int si = 0; si < n; si++) {
          double u, v;
          double px = double(x1 + i) + (si + 0.5) / n, py = double(y1 + j) + (sj + 0.5) / n;
          if (!inv.apply(px, py, u, v) || !(u >= 0 && v >= 0 && u < sw && v < sh)) continue;
          // The anti variants take the nearest pixel at each of their 16
          // points: their average is the smoothing.
          uint32_t c = anti ? in[size_t(int64_t(v) * sw + int64_t(u))] : sample_bilinear(in, sw, sh, u, v);
          double a = chan(c, 24);
          acc[3] += a;
          for (int k = 0; k < 3; k++) acc[k] += chan(c, 8 * k) * a;
          hits++;
        }
      if (!hits) continue;
      uint32_t c = 0;
      for (int k = 0; k < 3; k++)
        c |= uint32_t(acc[3] > 0 ? std::clamp(std::floor(acc[k] / acc[3] + 0.5), 0.0, 255.0) : 0) << (8 * k);
      double alpha = anti ? acc[3] / (n * n) : acc[3];
      c |= uint32_t(std::clamp(std::floor(alpha + 0.5), 0.0, 255.0)) << 24;
      out.argb[size_t(j * w + i)] = c;
    }
  return true;
}

// The pixel box of points, with coordinates within 1e-9 of an integer
// taken as that integer (so that exact turns give exact boxes).
bool box_of(const double* xs, const double* ys, int n, int64_t& x1, int64_t& y1, int64_t& x2, int64_t& y2) {
  double minx = xs[0], maxx = xs[0], miny = ys[0], maxy = ys[0];
  for (int k = 1; k < n; k++) {
    minx = std::min(minx, xs[k]);
    maxx = std::max(maxx, xs[k]);
    miny = std::min(miny, ys[k]);
    maxy = std::max(maxy, ys[k]);
  }
  auto snap = [](double v) { return std::fabs(v - std::round(v)) < 1e-9 ? std::round(v) : v; };
  minx = snap(minx), maxx = snap(maxx), miny = snap(miny), maxy = snap(maxy);
  double lim = double(kCoordLimit);
  if (!(std::fabs(minx) < lim && std::fabs(maxx) < lim && std::fabs(miny) < lim && std::fabs(maxy) < lim)) return false;
  x1 = int64_t(std::floor(minx));
  y1 = int64_t(std::floor(miny));
  x2 = int64_t(std::ceil(maxx)) - 1;
  y2 = int64_t(std::ceil(maxy)) - 1;
  return x2 >= x1 && y2 >= y1;
}

}  // namespace

bool rotate_image(const Image& src, double x, double y, double angle, double px, double py, bool anti, Mapped& out) {
  if (!std::isfinite(angle) || !std::isfinite(px) || !std::isfinite(py)) return false;
  double c = std::cos(angle), s = std::sin(angle);
  // Quarter turns are exact.
  double quarters = angle / (std::numbers::pi / 2);
  if (std::fabs(quarters - std::round(quarters)) < 1e-12) {
    static const double kc[4] = {1, 0, -1, 0}, ks[4] = {0, 1, 0, -1};
    int q = int(((int64_t(std::round(quarters)) % 4) + 4) % 4);
    c = kc[q];
    s = ks[q];
  }
  double cx = x + px, cy = y + py;  // the pivot on the target
  double w = src.width(), h = src.height();
  double xs[4], ys[4];
  const double corners[4][2] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
  for (int k = 0; k < 4; k++) {
    double dx = corners[k][0] - px, dy = corners[k][1] - py;
    xs[k] = cx + c * dx - s * dy;
    ys[k] = cy + s * dx + c * dy;
  }
  int64_t x1, y1, x2, y2;
  if (!box_of(xs, ys, 4, x1, y1, x2, y2)) return false;
  // Inverse: u = px + c (X - cx) + s (Y - cy), v = py - s (X - cx) + c (Y - cy).
  Projective inv{{c, s, px - c * cx - s * cy, -s, c, py + s * cx - c * cy, 0, 0, 1}};
  return render(src, inv, x1, y1, x2, y2, anti, out);
}

bool warp_image(const Image& src, const double q[8], bool anti, Mapped& out) {
  for (int k = 0; k < 8; k++)
    if (!std::isfinite(q[k])) return false;
  // The map of the unit square onto the quadrilateral.
  double x0 = q[0], y0 = q[1], x1 = q[2], y1 = q[3], x2 = q[4], y2 = q[5], x3 = q[6], y3 = q[7];
  double sx = x0 - x1 + x2 - x3, sy = y0 - y1 + y2 - y3;
  double a, b, c = x0, d, e, f = y0, g = 0, h = 0;
  if (std::fabs(sx) < 1e-12 && std::fabs(sy) < 1e-12) {
    a = x1 - x0, b = x3 - x0, d = y1 - y0, e = y3 - y0;
  } else {
    double dx1 = x1 - x2, dx2 = x3 - x2, dy1 = y1 - y2, dy2 = y3 - y2;
    double den = dx1 * dy2 - dx2 * dy1;
    if (std::fabs(den) < 1e-12) return false;
    g = (sx * dy2 - dx2 * sy) / den;
    h = (dx1 * sy - sx * dy1) / den;
    a = x1 - x0 + g * x1, b = x3 - x0 + h * x3, d = y1 - y0 + g * y1, e = y3 - y0 + h * y3;
  }
  // Its inverse (the adjugate; the scale does not matter), then scaled to
  // source pixels.
  double m[9] = {e - f * h, c * h - b, b * f - c * e, f * g - d, a - c * g, c * d - a * f, d * h - e * g,
                 b * g - a * h, a * e - b * d};
  double det = a * m[0] + b * m[3] + c * m[6];
  if (!(std::fabs(det) > 1e-9)) return false;
  double sw = src.width(), sh = src.height();
  for (int k = 0; k < 3; k++) {
    m[k] *= sw;
    m[3 + k] *= sh;
  }
  const double xs[4] = {x0, x1, x2, x3}, ys[4] = {y0, y1, y2, y3};
  int64_t bx1, by1, bx2, by2;
  if (!box_of(xs, ys, 4, bx1, by1, bx2, by2)) return false;
  Projective inv{{m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]}};
  return render(src, inv, bx1, by1, bx2, by2, anti, out);
}

uint32_t polar_image(const Image& src, int32_t w, int32_t h, double cx, double cy, double r1, double r2,
                     std::string* error) {
  if (!fits(w, h) || !src.pixels || !std::isfinite(cx + cy + r1 + r2)) {
    if (error) *error = "bad size";
    return 0;
  }
  std::vector<uint32_t> in = read_argb(src), out(size_t(w) * size_t(h));
  int32_t sw = src.width(), sh = src.height();
  for (int32_t y = 0; y < h; y++) {
    double r = r2 - (r2 - r1) * (y + 0.5) / h;
    for (int32_t x = 0; x < w; x++) {
      double t = 2 * std::numbers::pi * (x + 0.5) / w - std::numbers::pi / 2;
      out[size_t(y) * size_t(w) + size_t(x)] = sample_bilinear(in, sw, sh, cx + r * std::cos(t), cy + r * std::sin(t));
    }
  }
  return image_from_argb(out, w, h, src.has_alpha ? -32 : 24, src, src, error);
}

// --- displacement images ------------------------------------------------------------

namespace {

// The image record has no room for the displacement flag, so displacement
// images are kept here by handle, with their record and pixel block to tell
// a later image in the same slot apart. The registry holds no references
// (it outlives the element table of a context): a source that is freed is
// no longer found.
struct Displacement {
  const Image* record;
  const uint8_t* pixels;
  uint32_t source;
  const Image* source_record;
};
std::unordered_map<uint32_t, Displacement> g_disp;

Displacement* disp_of(const Image& img) {
  auto it = g_disp.find(img.self);
  if (it == g_disp.end()) return nullptr;
  if (it->second.record != &img || it->second.pixels != img.pixels || image_of(img.self) != &img) {
    g_disp.erase(it);
    return nullptr;
  }
  return &it->second;
}

}  // namespace

void set_displacement(Image& img) {
  // Entries of images freed since are dropped.
  std::erase_if(g_disp, [](const auto& e) {
    const Image* live = image_of(e.first);
    return live != e.second.record || live->pixels != e.second.pixels;
  });
  if (disp_of(img)) return;
  g_disp[img.self] = {&img, img.pixels, 0, nullptr};
}

bool is_displacement(const Image& img) { return disp_of(img) != nullptr; }

void set_displacement_source(Image& img, uint32_t source_handle) {
  if (Displacement* d = disp_of(img)) {
    d->source = source_handle;
    d->source_record = image_of(source_handle);
  }
}

Image* displacement_source(const Image& img) {
  Displacement* d = disp_of(img);
  if (!d) return nullptr;
  Image* s = image_of(d->source);
  return s && s == d->source_record ? s : nullptr;
}

bool displacement_sample(const Image& disp, const Image& source, int64_t x, int64_t y, int64_t i, int64_t j,
                         uint32_t& color) {
  if (i < 0 || j < 0 || i >= disp.width() || j >= disp.height()) return false;
  uint32_t d = get_pixel(disp, i, j);
  int64_t sx = x + i + int64_t(chan(d, 16)) - 128, sy = y + j + int64_t(chan(d, 8)) - 128;
  if (sx < 0 || sy < 0 || sx >= source.width() || sy >= source.height()) return false;
  color = get_pixel(source, sx, sy);
  return true;
}

bool displacement_put(Image& target, const Image& disp, int64_t x, int64_t y, Rect& changed) {
  const Image* source = displacement_source(disp);
  Rect c;
  if (!source || !clip_rect(target, c)) return false;
  int64_t x1 = std::max<int64_t>(x, c.x1), y1 = std::max<int64_t>(y, c.y1);
  int64_t x2 = std::min<int64_t>(x + disp.width() - 1, c.x2), y2 = std::min<int64_t>(y + disp.height() - 1, c.y2);
  if (x1 > x2 || y1 > y2) return false;
  // Sampling the target itself reads the picture as it was before the put.
  std::vector<uint32_t> copy;
  Image snapshot;
  const Image* from = source;
  if (source == &target) {
    snapshot = target;
    copy.resize(size_t(int64_t(target.stride) * target.height()) / 4 + 1);
    std::memcpy(copy.data(), target.pixels, size_t(int64_t(target.stride) * target.height()));
    snapshot.pixels = reinterpret_cast<uint8_t*>(copy.data());
    from = &snapshot;
  }
  for (int64_t py = y1; py <= y2; py++)
    for (int64_t px = x1; px <= x2; px++) {
      uint32_t col;
      if (displacement_sample(disp, *from, x, y, px - x, py - y, col)) set_pixel(target, px, py, col);
    }
  changed = {int32_t(x1), int32_t(y1), int32_t(x2), int32_t(y2)};
  return true;
}

}  // namespace gfx

// --- commands ---------------------------------------------------------------------------

namespace vm {

using gfx::Image;

namespace {

// Where a command stores its image: a variable's name or an array item.
bool is_destination(Value v) { return element_type_of(v) == kTypeString || element_type_of(v) == kTypeArrayPath; }

std::string lower_text(Interp& ctx, Value v) {
  std::string s = value_to_string(&ctx, v);
  for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

bool is_number(Value v) { return v.is_int() || v.is_float() || element_type_of(v) == kTypeMeasure; }

double number_of(Interp& ctx, Value v, Axis axis) {
  double px;
  if (measure_to_pixels(ctx, v, axis, px)) return px;
  return value_to_float(&ctx, v);
}

// Depths as imagenew takes them: -32, 1..32 rounded up to a depth images have.
int32_t depth_arg(int64_t bits) {
  if (bits == -32) return -32;
  if (bits < 1 || bits > 32) return 32;
  for (int32_t d : {1, 4, 8, 24}) if (bits <= d) return d;
  return 32;
}

void store_or_push(Interp& ctx, Value var, uint32_t handle, bool push_result) {
  Value result = handle ? Value::from_handle(handle) : Value::null();
  if (!var.is_null()) {
    if (Value* cell = var_for_set(ctx, var)) value_store(*cell, result);
  }
  if (push_result) {
    push_owned(ctx, result);
  } else {
    value_release(result);
  }
}

void report(const char* command, const std::string& error) {
  std::fprintf(stderr, "quillon: %s: %s\n", command, error.empty() ? "image too large" : error.c_str());
}

// Every image of the arguments from i on (names loaded, lists expanded).
std::vector<Image*> images_from(Interp& ctx, uint32_t n, uint32_t i) {
  std::vector<Image*> out;
  for (; i < n; i++)
    for (Image* img : gfx::images_of(gfx::image_arg(ctx, ctx.top[i]))) out.push_back(img);
  return out;
}

// Draws a transform's picture onto the drawing target: coverage as alpha
// (the anti variants) or as a plain on/off.
void draw_mapped(Interp& ctx, const gfx::Mapped& m, bool anti, bool source_alpha) {
  Image* t = gfx::target(ctx);
  gfx::Rect c;
  if (!t || !gfx::clip_rect(*t, c)) return;
  int64_t x1 = std::max<int64_t>(m.x, c.x1), y1 = std::max<int64_t>(m.y, c.y1);
  int64_t x2 = std::min<int64_t>(m.x + m.w - 1, c.x2), y2 = std::min<int64_t>(m.y + m.h - 1, c.y2);
  if (x1 > x2 || y1 > y2) return;
  gfx::mark_changed(ctx, *t, x1, y1, x2, y2, true);
  for (int64_t y = y1; y <= y2; y++)
    for (int64_t x = x1; x <= x2; x++) {
      uint32_t p = m.argb[size_t((y - m.y) * m.w + (x - m.x))];
      uint32_t a = p >> 24;
      if (!anti && !source_alpha) {
        if (a) gfx::set_pixel(*t, x, y, p & 0xFFFFFF);
        continue;
      }
      if (a == 0) continue;
      uint32_t old = gfx::get_pixel(*t, x, y), out = 0;
      for (int s = 0; s <= 16; s += 8)
        out |= ((old >> s & 255) * (255 - a) + (p >> s & 255) * a + 127) / 255 << s;
      gfx::set_pixel(*t, x, y, out);
    }
}

// The result of a transform as a new image: 32 bits with alpha for the anti
// variants and alpha sources, else the source's depth (24 for indexed
// sources) filled with the current colour where nothing is covered.
uint32_t mapped_image(const gfx::Mapped& m, const Image& src, bool anti, int64_t x, int64_t y, uint32_t back) {
  bool alpha = anti || src.has_alpha;
  std::vector<uint32_t> argb = m.argb;
  for (uint32_t& p : argb) {
    if (alpha) {
      if ((p >> 24) == 0) p = back & 0xFFFFFF;
    } else {
      p = (p >> 24) ? p | 0xFF000000u : 0xFF000000u | back;
    }
  }
  std::string error;
  int32_t bits = alpha ? -32 : (src.bits >= 24 ? src.bits : 24);
  uint32_t handle = gfx::image_new(m.w, m.h, bits, &src, nullptr, 0, &error);
  Image* img = gfx::image_of(handle);
  if (!img) return 0;
  gfx::write_argb(*img, argb);
  // An image with alpha is put with it, so what the picture does not cover
  // stays clear.
  if (alpha) img->st.alpha = 1;
  img->st.off_x = int32_t(m.x - x);
  img->st.off_y = int32_t(m.y - y);
  return handle;
}

// The image argument at i (the first of a list) and, when the next
// argument is a name, the variable for the result; i moves past both.
Image* source_and_dest(Interp& ctx, uint32_t n, uint32_t& i, Value& dest) {
  Image* src = nullptr;
  if (i < n) {
    std::vector<Image*> list = gfx::images_of(gfx::image_arg(ctx, ctx.top[i++]));
    if (!list.empty()) src = list[0];
  }
  if (i < n && is_destination(ctx.top[i])) dest = ctx.top[i++];
  return src;
}

// A transformed picture drawn onto the drawing target, or with a
// destination stored there as a new image whose origin offset is taken
// relative to (x, y).
void draw_or_store(Interp& ctx, const gfx::Mapped& m, const Image& src, bool anti, Value dest, int64_t x, int64_t y) {
  if (dest.is_null()) {
    draw_mapped(ctx, m, anti, src.has_alpha);
    return;
  }
  Image* t = gfx::target(ctx);
  store_or_push(ctx, dest, mapped_image(m, src, anti, x, y, t ? t->st.color : 0), false);
}

// imagerotate, imageantirotate: [x y] image [dest] angle [cx cy].
void rotate_command(Interp& ctx, bool anti) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  double x = 0, y = 0;
  bool at = n >= 2 && is_number(ctx.top[0]) && is_number(ctx.top[1]);
  if (at) {
    x = double(gfx::read_coord(ctx, ctx.top[0], true));
    y = double(gfx::read_coord(ctx, ctx.top[1], false));
    i = 2;
  }
  Value dest = Value::null();
  Image* src = source_and_dest(ctx, n, i, dest);
  if (src && i < n) {
    double angle = value_to_float(&ctx, ctx.top[i++]);
    if (sysvar_int(ctx, SV_var_floatdegrees)) angle = angle * std::numbers::pi / 180;
    double px = src->width() / 2.0, py = src->height() / 2.0;
    if (i + 1 < n) {
      px = number_of(ctx, ctx.top[i], Axis::X);
      py = number_of(ctx, ctx.top[i + 1], Axis::Y);
    }
    // As with imageput, the origin offset is added to a position in pixels.
    double ox = x + src->st.off_x, oy = y + src->st.off_y;
    gfx::Mapped m;
    if (!gfx::rotate_image(*src, ox, oy, angle, px, py, anti, m)) {
      report(anti ? "imageantirotate" : "imagerotate", "");
    } else {
      draw_or_store(ctx, m, *src, anti, dest, int64_t(x), int64_t(y));
    }
  }
  pop_n(ctx, n);
}

// imagewarp, imageantiwarp: image [dest] x1 y1 x2 y2 x3 y3 x4 y4.
void warp_command(Interp& ctx, bool anti) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  Value dest = Value::null();
  Image* src = source_and_dest(ctx, n, i, dest);
  if (src && i + 8 <= n) {
    double q[8];
    for (int k = 0; k < 8; k++) q[k] = number_of(ctx, ctx.top[i + uint32_t(k)], k % 2 ? Axis::Y : Axis::X);
    gfx::Mapped m;
    if (!gfx::warp_image(*src, q, anti, m)) {
      report(anti ? "imageantiwarp" : "imagewarp", "degenerate quadrilateral or image too large");
    } else {
      draw_or_store(ctx, m, *src, anti, dest, 0, 0);
    }
  }
  pop_n(ctx, n);
}

}  // namespace

// imageconvert [bits] image ...: each image replaced by a copy at the depth
// (default 32).
void h_imageconvert(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  int32_t bits = 32;
  if (n > 0 && is_number(ctx.top[0])) bits = depth_arg(value_to_integer(&ctx, ctx.top[i++]));
  for (Image* img : images_from(ctx, n, i)) {
    std::string error;
    uint32_t h = gfx::convert_image(*img, bits, &error);
    if (h) gfx::replace_pixels(*img, h); else report("imageconvert", error);
  }
  pop_n(ctx, n);
}

namespace {

// imagesize of a metafile image: the picture is played anew at the size.
// The size comes from the request as for any image, measured against the
// picture's present size, or while it has none against the placeable box
// (a Windows metafile) or the frame (an enhanced one) at 96 pixels an inch;
// without any of them both sides must be given. The new pixels start black
// and take the depth asked for (32 bits by default).
void size_metafile(Image& img, double w, double h, int32_t bits) {
  std::string_view bytes = element_text(Value::from_handle(img.metafile));
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const bool enhanced = gfx::detect_format(data, bytes.size()) == gfx::Format::Emf;
  int32_t base_w = img.width(), base_h = img.height(), nw, nh;
  if ((!img.pixels || base_w <= 0 || base_h <= 0) &&
      !(enhanced ? gfx::emf::frame_size(data, bytes.size(), base_w, base_h)
                 : gfx::wmf::placeable_size(data, bytes.size(), base_w, base_h)))
    base_w = int32_t(std::clamp(w, 0.0, 32768.0)), base_h = int32_t(std::clamp(h, 0.0, 32768.0));
  if (base_w <= 0 || base_h <= 0 || !gfx::resized_extent(base_w, base_h, w, h, nw, nh)) {
    report("imagesize", "size refused");
    return;
  }
  std::string error;
  uint32_t handle = gfx::image_create(nw, nh, 32, nullptr, &error);
  Image* played = gfx::image_of(handle);
  if (!played) {
    report("imagesize", error);
    return;
  }
  const base::Status played_all = enhanced ? gfx::emf::play(data, bytes.size(), *played)
                                           : gfx::wmf::play(data, bytes.size(), *played);
  if (!played_all) report("imagesize", played_all.error());
  if (bits != 0 && bits != 32) {
    uint32_t converted = gfx::convert_image(*played, bits, &error);
    element_release(handle);
    if (!converted) {
      report("imagesize", error);
      return;
    }
    handle = converted;
  }
  gfx::replace_pixels(img, handle);
}

}  // namespace

// imagesize [width height] [bits] image ...: each image replaced by a copy
// stretched to the size (default: the size of the drawing target's clip
// rectangle).
void h_imagesize(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  while (i < n && i < 3 && is_number(ctx.top[i])) i++;
  double w = 0, h = 0;
  int32_t bits = 0;
  bool sized = i >= 2;
  if (sized) {
    w = number_of(ctx, ctx.top[0], Axis::X);
    h = number_of(ctx, ctx.top[1], Axis::Y);
  } else if (Image* t = gfx::target(ctx)) {
    gfx::Rect c;
    if (gfx::clip_rect(*t, c)) {
      w = c.x2 - c.x1 + 1;
      h = c.y2 - c.y1 + 1;
    }
  }
  if (i == 1 || i == 3) bits = depth_arg(value_to_integer(&ctx, ctx.top[i - 1]));
  for (Image* img : images_from(ctx, n, i)) {
    int32_t nw, nh;
    std::string error;
    if (img->metafile) {
      size_metafile(*img, w, h, bits);
      continue;
    }
    if (!img->pixels) continue;
    if (!gfx::resized_extent(img->width(), img->height(), w, h, nw, nh)) {
      report("imagesize", "size refused");
      continue;
    }
    if (nw == img->width() && nh == img->height() && (bits == 0 || bits == img->bits)) continue;
    uint32_t handle = gfx::resize_image(*img, nw, nh, bits, &error);
    if (!handle) {
      report("imagesize", error);
      continue;
    }
    // A permanent mask is stretched with the picture.
    if (Image* mask = gfx::image_of(img->mask); mask && mask->pixels && (nw != img->width() || nh != img->height())) {
      uint32_t m = gfx::resize_image(*mask, nw, nh, 0, &error);
      if (m) gfx::replace_pixels(*mask, m);
    }
    gfx::replace_pixels(*img, handle);
  }
  pop_n(ctx, n);
}

// imageprocess image greyscale|invert|tint [amount=100] [colour].
void h_imageprocess(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    std::string op = lower_text(ctx, ctx.top[1]);
    gfx::Process p = op == "greyscale" || op == "grayscale" ? gfx::Process::Greyscale
                     : op == "invert"                        ? gfx::Process::Invert
                                                             : gfx::Process::Tint;
    bool known = op == "greyscale" || op == "grayscale" || op == "invert" || op == "tint";
    int64_t amount = n >= 3 ? std::clamp<int64_t>(value_to_integer(&ctx, ctx.top[2]), 0, 100) : 100;
    uint32_t k = 3;
    bool plain = k >= n;
    uint32_t color = plain ? 0xFFFFFF : gfx::read_color(ctx, n, k);
    if (known)
      for (Image* img : images) gfx::process_image(*img, p, int32_t(amount), color, plain);
  }
  pop_n(ctx, n);
}

// imageflood image mask [top|bottom] [left|right] [tolerance]: the region of
// the corner's colour as a 1-bit image, stored in the variable `mask`.
void h_imageflood(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    bool bottom = false, right = false;
    double tolerance = 0;
    for (uint32_t i = 2; i < n; i++) {
      if (is_number(ctx.top[i])) {
        tolerance = std::clamp(value_to_float(&ctx, ctx.top[i]), 0.0, 100.0);
        continue;
      }
      std::string word = lower_text(ctx, ctx.top[i]);
      if (word == "bottom") bottom = true;
      if (word == "right") right = true;
    }
    if (!images.empty()) store_or_push(ctx, ctx.top[1], gfx::flood_mask(*images[0], bottom, right, tolerance), false);
  }
  pop_n(ctx, n);
}

// imageunsharp image [amount=50] [radius=5] [threshold=0].
void h_imageunsharp(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 1) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    double amount = n >= 2 ? value_to_float(&ctx, ctx.top[1]) : 50;
    double radius = n >= 3 ? value_to_float(&ctx, ctx.top[2]) : 5;
    double threshold = n >= 4 ? value_to_float(&ctx, ctx.top[3]) : 0;
    if (std::isfinite(amount) && std::isfinite(radius) && std::isfinite(threshold))
      for (Image* img : images) gfx::unsharp_image(*img, amount, radius, std::clamp(threshold, 0.0, 1e6));
  }
  pop_n(ctx, n);
}

void h_imagerotate(Interp& ctx) { rotate_command(ctx, false); }
void h_imageantirotate(Interp& ctx) { rotate_command(ctx, true); }
void h_imagewarp(Interp& ctx) { warp_command(ctx, false); }
void h_imageantiwarp(Interp& ctx) { warp_command(ctx, true); }

// imagepolar image width height cx cy r1 r2: the unwrapped ring as a new image.
void h_imagepolar(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t handle = 0;
  if (n >= 7) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    int64_t w = value_to_integer(&ctx, ctx.top[1]), h = value_to_integer(&ctx, ctx.top[2]);
    double v[4];
    for (int k = 0; k < 4; k++) v[k] = number_of(ctx, ctx.top[3 + k], k % 2 ? Axis::Y : Axis::X);
    std::string error;
    if (!images.empty() && w > 0 && h > 0 && w <= gfx::kMaxSide && h <= gfx::kMaxSide)
      handle = gfx::polar_image(*images[0], int32_t(w), int32_t(h), v[0], v[1], v[2], v[3], &error);
    if (!handle) report("imagepolar", error);
  }
  pop_n(ctx, n);
  push_owned(ctx, handle ? Value::from_handle(handle) : Value::null());
}

// imagepanorama [x y] image ...: each image put (with its mask,
// transparency and blending) with its left edge at x and repeated to the
// left and right across the clip rectangle.
void h_imagepanorama(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  int64_t x = 0, y = 0;
  if (n >= 2 && is_number(ctx.top[0]) && is_number(ctx.top[1])) {
    x = gfx::read_coord(ctx, ctx.top[0], true);
    y = gfx::read_coord(ctx, ctx.top[1], false);
    i = 2;
  }
  Image* t = gfx::target(ctx);
  gfx::Rect c;
  if (t && gfx::clip_rect(*t, c)) {
    for (Image* img : images_from(ctx, n, i)) {
      int64_t w = img->width();
      if (!img->pixels || w <= 0 || img == t) continue;
      int64_t first = c.x1 - ((c.x1 - x) % w + w) % w;  // the copy that covers the clip's left edge
      for (int64_t px = first; px <= c.x2; px += w) {
        gfx::Rect drawn;
        if (gfx::put_image(*t, *img, px, y, true, &drawn))
          gfx::mark_changed(ctx, *t, drawn.x1, drawn.y1, drawn.x2, drawn.y2, true);
      }
    }
  }
  pop_n(ctx, n);
}

// imagecalcset image ...: each image becomes a 24-bit displacement image.
void h_imagecalcset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  for (Image* img : images_from(ctx, n, 0)) {
    if (img->bits != 24) {
      std::string error;
      uint32_t h = gfx::convert_image(*img, 24, &error);
      if (!h) {
        report("imagecalcset", error);
        continue;
      }
      gfx::replace_pixels(*img, h);
    }
    gfx::set_displacement(*img);
  }
  pop_n(ctx, n);
}

// imagecalcsource image source: the picture a displacement image samples.
void h_imagecalcsource(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    std::vector<Image*> sources = gfx::images_of(gfx::image_arg(ctx, ctx.top[1]));
    if (!sources.empty())
      for (Image* img : images) gfx::set_displacement_source(*img, sources[0]->self);
  }
  pop_n(ctx, n);
}

}  // namespace vm
