// Image transforms: depth conversion and resizing, colour processing,
// unsharp masks, flood masks, rotation and warping by inverse mapping, and
// displacement images. The commands are in image_transform_commands.cpp.
#include "graphics/image_transform.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <unordered_map>

#include "graphics/draw_args.h"
#include "graphics/image_load.h"
#include "graphics/image_put.h"
#include "graphics/shapes.h"
#include "vm/element.h"

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
