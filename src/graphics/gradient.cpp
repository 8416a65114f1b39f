// drawgradient: a linear or radial colour gradient through a region mask.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "graphics/shapes.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"

namespace vm {

namespace {

struct Segment {
  double start[3], end[3];
  double share;  // < 0: not given
};

void split(uint32_t c, double out[3]) {
  out[0] = double(c >> 16 & 255);
  out[1] = double(c >> 8 & 255);
  out[2] = double(c & 255);
}

std::string keyword(Value v) {
  if (element_type_of(v) != kTypeString) return {};
  std::string k(element_text(v));
  for (char& ch : k) ch = char(std::tolower(uint8_t(ch)));
  return k;
}

// A small deterministic generator, so that "random" gives the same picture
// on every run.
struct Lcg {
  uint64_t s = 0x2545F4914F6CDD1Dull;
  uint32_t next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return uint32_t(s >> 33);
  }
};

}  // namespace

// drawgradient x y [options] [start end [share] ...]
// Options: "edge" colour, "dither", "random" n, "sphere" cx cy, "angle" a.
// Note: a share is recognised as a floating-point number after a segment's
// end colour (50.0); integers are always colours, since colours are integers.
// Note: dithering spreads each channel's rounding error over the eight
// pixels to the right and below within two pixels, (1,0) (2,0) (0,1) (1,1)
// (2,1) (0,2) (1,2) (2,2), weighted by the inverse of their distance.
void h_drawgradient(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  gfx::Image* img = gfx::target(ctx);
  if (!img || n < 2) {
    pop_n(ctx, n);
    return;
  }
  int64_t sx = gfx::read_coord(ctx, ctx.top[0], true), sy = gfx::read_coord(ctx, ctx.top[1], false);
  bool edge = false, dither = false, sphere = false;
  uint32_t edge_color = 0;
  double spread = 0, angle = 0, cx = 0, cy = 0;
  std::vector<Segment> segs;
  for (uint32_t i = 2; i < n;) {
    std::string k = keyword(ctx.top[i]);
    if (k == "edge") {
      i++;
      edge = true;
      edge_color = gfx::read_color(ctx, n, i);
    } else if (k == "dither") {
      i++;
      dither = true;
    } else if (k == "random") {
      spread = i + 1 < n ? std::clamp(value_to_float(&ctx, ctx.top[i + 1]), 0.0, 100.0) : 0;
      i += 2;
    } else if (k == "sphere") {
      sphere = true;
      cx = i + 1 < n ? double(gfx::read_coord(ctx, ctx.top[i + 1], true)) : 0;
      cy = i + 2 < n ? double(gfx::read_coord(ctx, ctx.top[i + 2], false)) : 0;
      i += 3;
    } else if (k == "angle") {
      sphere = false;
      angle = i + 1 < n ? value_to_float(&ctx, ctx.top[i + 1]) : 0;
      i += 2;
    } else {
      Segment s{};
      split(gfx::read_color(ctx, n, i), s.start);
      split(gfx::read_color(ctx, n, i), s.end);
      s.share = -1;
      if (i < n && ctx.top[i].is_float()) s.share = value_to_float(&ctx, ctx.top[i++]) / 100;
      segs.push_back(s);
    }
  }
  if (segs.empty()) {
    Segment s{};
    split(img->st.color, s.start);
    split(img->st.back, s.end);
    s.share = 1;
    segs.push_back(s);
  }
  // Shares: a missing one takes what the earlier ones left; 0 or less drops it.
  double used = 0;
  std::vector<Segment> list;
  for (Segment s : segs) {
    if (s.share < 0) s.share = 1 - used;
    if (!(s.share > 0)) continue;
    used += s.share;
    list.push_back(s);
  }
  gfx::RegionMask mask;
  uint32_t ref = edge ? edge_color : gfx::get_pixel(*img, sx, sy);
  if (!list.empty() && gfx::region_fill(*img, sx, sy, edge, ref, 0, mask)) {
    const gfx::Rect& c = mask.box;
    int64_t w = c.x2 - c.x1 + 1, h = c.y2 - c.y1 + 1;
    double a = angle * M_PI / 180, sa = std::sin(a), ca = std::cos(a);
    double radius = 0;
    for (double px : {double(c.x1), double(c.x2)})
      for (double py : {double(c.y1), double(c.y2)}) radius = std::max(radius, std::hypot(px - cx, py - cy));
    std::vector<double> err(dither ? size_t(w + 4) * 3 * 3 : 0);  // three rows of error, ring buffer
    auto err_at = [&](int64_t x, int64_t row, int ch) -> double& {
      return err[(size_t(row % 3) * size_t(w + 4) + size_t(x + 2)) * 3 + size_t(ch)];
    };
    static const int kOff[8][2] = {{1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}, {0, 2}, {1, 2}, {2, 2}};
    double weight[8], total = 0;
    for (int k = 0; k < 8; k++) total += weight[k] = 1 / std::hypot(kOff[k][0], kOff[k][1]);
    for (double& wk : weight) wk /= total;
    Lcg rng;
    for (int64_t j = 0; j < h; j++) {
      if (dither)
        for (int64_t x = -2; x < w + 2; x++)
          for (int ch = 0; ch < 3; ch++) err_at(x, j + 2, ch) = 0;
      for (int64_t i = 0; i < w; i++) {
        double p;
        if (sphere) {
          p = radius > 0 ? std::hypot(double(c.x1 + i) - cx, double(c.y1 + j) - cy) / radius : 0;
        } else {
          double u = w > 1 ? double(i) / double(w - 1) : 0, v = h > 1 ? double(j) / double(h - 1) : 0;
          if (ca < 0) u = 1 - u;
          if (sa < 0) v = 1 - v;
          p = std::fabs(sa) * v + std::fabs(ca) * u;
        }
        size_t k = 0;
        while (k + 1 < list.size() && p > list[k].share) p -= list[k++].share;
        double t = p / list[k].share;
        uint32_t out = 0;
        for (int ch = 0; ch < 3; ch++) {
          double value = list[k].start[ch] * (1 - t) + list[k].end[ch] * t;
          if (dither) value += err_at(i, j, ch);
          int q;
          if (value < 0) q = 0;
          else if (value >= 255) q = 255;
          else if (spread > 0 && double(rng.next() % 10000) < spread * 100) q = int(value) + int(rng.next() & 1);
          else q = int(value + 0.5);
          q = std::clamp(q, 0, 255);
          if (dither) {
            double e = value - q;
            for (int m = 0; m < 8; m++) err_at(i + kOff[m][0], j + kOff[m][1], ch) += e * weight[m];
          }
          out = out << 8 | uint32_t(q);
        }
        if (mask.bits[size_t(j * w + i)]) gfx::set_pixel(*img, c.x1 + i, c.y1 + j, out);
      }
    }
    gfx::mark_changed(ctx, *img, mask.bounds.x1, mask.bounds.y1, mask.bounds.x2, mask.bounds.y2, true);
  }
  pop_n(ctx, n);
}

}  // namespace vm
