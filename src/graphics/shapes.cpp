// The shape rasteriser: ellipses, round rectangles, polygons and the region
// fill, with the commands that use them.
//
// Pixel rule: a pixel belongs to a filled shape when its centre (x + 0.5,
// y + 0.5) lies inside the shape, the shape's box taken from its left/top
// edge up to (not including) its right/bottom edge. A filled box (0,0)-(4,4)
// therefore covers pixels 0..3 in both directions, as GDI's filled shapes do.
// Outlines use an inside-frame pen: the outline of thickness t is the shape
// minus the same shape inset by t on every side (corner sizes less 2t), so
// the whole pen stays inside the box.
#include <algorithm>
#include <cmath>
#include <vector>

#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "graphics/shapes.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"

namespace gfx {

namespace {

// A box with rounded corners: the corner ellipse is cw x ch (clamped to the
// box); cw = width and ch = height make an ellipse.
struct RoundBox {
  double l, t, r, b, a, bb;  // a, bb: corner radii

  RoundBox(int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t cw, int64_t ch) {
    l = double(x1), t = double(y1), r = double(x2), b = double(y2);
    a = double(std::clamp<int64_t>(cw, 0, x2 - x1)) / 2;
    bb = double(std::clamp<int64_t>(ch, 0, y2 - y1)) / 2;
  }
  bool empty() const { return r <= l || b <= t; }
  // The pixels of row y inside the shape; false when none.
  bool span(int64_t y, int64_t& x0, int64_t& x1) const {
    if (empty()) return false;
    double yc = double(y) + 0.5;
    if (yc < t || yc >= b) return false;
    double dy = yc < t + bb ? t + bb - yc : (yc > b - bb ? yc - (b - bb) : 0);
    double inset = 0;
    if (dy > 0 && bb > 0) {
      double k = 1 - (dy / bb) * (dy / bb);
      if (k < 0) return false;
      inset = a - a * std::sqrt(k);
    }
    x0 = int64_t(std::ceil(l + inset - 0.5));
    x1 = int64_t(std::ceil(r - inset - 0.5)) - 1;
    return x0 <= x1;
  }
};

}  // namespace

// Draws a round box filled, or its outline with the pen thickness.
void draw_round_box(Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t cw, int64_t ch,
                    int64_t pen, bool filled, uint32_t color) {
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  RoundBox outer(x1, y1, x2, y2, cw, ch);
  RoundBox inner(x1 + pen, y1 + pen, x2 - pen, y2 - pen, cw - 2 * pen, ch - 2 * pen);
  Rect c;
  if (!clip_rect(img, c)) return;
  int64_t top = std::max<int64_t>(y1, c.y1), bottom = std::min<int64_t>(y2 - 1, c.y2);
  for (int64_t y = top; y <= bottom; y++) {
    int64_t o0, o1, i0, i1;
    if (!outer.span(y, o0, o1)) continue;
    if (filled || inner.empty() || !inner.span(y, i0, i1)) {
      fill_span(img, o0, o1, y, color);
    } else {
      fill_span(img, o0, std::min(o1, i0 - 1), y, color);
      fill_span(img, std::max(o0, i1 + 1), o1, y, color);
    }
  }
}

// Even-odd fill over pixel centres: on row y the crossings of the edges with
// y + 0.5 (an edge counts from its upper end, not its lower) are sorted, and
// the pixels whose centres lie in [xa, xb) of each pair are filled.
void fill_polygon(Image& img, const std::vector<Point>& pts, uint32_t color) {
  if (pts.size() < 3) return;
  Rect c;
  if (!clip_rect(img, c)) return;
  int64_t ymin = pts[0].y, ymax = pts[0].y;
  for (const Point& p : pts) ymin = std::min(ymin, p.y), ymax = std::max(ymax, p.y);
  ymin = std::max<int64_t>(ymin, c.y1);
  ymax = std::min<int64_t>(ymax - 1, c.y2);
  std::vector<double> xs;
  for (int64_t y = ymin; y <= ymax; y++) {
    double yc = double(y) + 0.5;
    xs.clear();
    for (size_t i = 0; i < pts.size(); i++) {
      const Point& p = pts[i];
      const Point& q = pts[(i + 1) % pts.size()];
      if (p.y == q.y) continue;
      double ya = double(std::min(p.y, q.y)), yb = double(std::max(p.y, q.y));
      if (yc < ya || yc >= yb) continue;
      xs.push_back(double(p.x) + (yc - double(p.y)) * double(q.x - p.x) / double(q.y - p.y));
    }
    std::sort(xs.begin(), xs.end());
    for (size_t i = 0; i + 1 < xs.size(); i += 2) {
      int64_t x0 = int64_t(std::ceil(xs[i] - 0.5)), x1 = int64_t(std::ceil(xs[i + 1] - 0.5)) - 1;
      fill_span(img, x0, x1, y, color);
    }
  }
}

// A closed outline through the points: every edge stepped with both ends
// included, each point stamped as a pen x pen square centred on it.
void outline_polygon(Image& img, const std::vector<Point>& pts, int64_t pen, uint32_t color) {
  if (pts.empty()) return;
  int64_t lo = -(pen - 1) / 2, hi = pen / 2;
  int64_t w = img.width(), h = img.height();
  auto stamp = [&](int64_t x, int64_t y) {
    if (x + hi < 0 || y + hi < 0 || x + lo >= w || y + lo >= h) return;
    fill_rect(img, x + lo, y + lo, x + hi, y + hi, color);
  };
  for (size_t i = 0; i < pts.size(); i++) {
    Point p = pts[i], q = pts[(i + 1) % pts.size()];
    int64_t dx = std::abs(q.x - p.x), dy = -std::abs(q.y - p.y);
    int64_t sx = p.x < q.x ? 1 : -1, sy = p.y < q.y ? 1 : -1, err = dx + dy;
    for (;;) {
      stamp(p.x, p.y);
      if (p.x == q.x && p.y == q.y) break;
      int64_t e2 = 2 * err;
      if (e2 >= dy) err += dy, p.x += sx;
      if (e2 <= dx) err += dx, p.y += sy;
    }
  }
}

bool color_matches(uint32_t a, uint32_t b, double tolerance) {
  if (tolerance <= 0) return a == b;
  double dr = double(int(a >> 16 & 255) - int(b >> 16 & 255));
  double dg = double(int(a >> 8 & 255) - int(b >> 8 & 255));
  double db = double(int(a & 255) - int(b & 255));
  double limit = tolerance * 0.01 * 765;
  return dr * dr + dg * dg + db * db <= limit * limit;
}

// Scanline fill of the 4-connected region around the seed, within the clip
// rectangle: in edge mode every colour except `ref` belongs to it, otherwise
// the colours matching `ref`. Every pixel is visited once, so the fill
// colour may equal the region's colour.
bool region_fill(const Image& img, int64_t sx, int64_t sy, bool edge_mode, uint32_t ref, double tolerance,
                 RegionMask& out) {
  if (!clip_rect(img, out.box)) return false;
  const Rect& c = out.box;
  if (sx < c.x1 || sx > c.x2 || sy < c.y1 || sy > c.y2) return false;
  int64_t w = c.x2 - c.x1 + 1, h = c.y2 - c.y1 + 1;
  out.bits.assign(size_t(w * h), false);
  out.bounds = {int32_t(sx), int32_t(sy), int32_t(sx), int32_t(sy)};
  auto inside = [&](int64_t x, int64_t y) {
    if (out.bits[size_t((y - c.y1) * w + (x - c.x1))]) return false;
    bool m = color_matches(get_pixel(img, x, y), ref, tolerance);
    return edge_mode ? !m : m;
  };
  if (!inside(sx, sy)) return false;
  std::vector<Point> stack{{sx, sy}};
  while (!stack.empty()) {
    Point p = stack.back();
    stack.pop_back();
    if (!inside(p.x, p.y)) continue;
    int64_t xl = p.x, xr = p.x;
    while (xl > c.x1 && inside(xl - 1, p.y)) xl--;
    while (xr < c.x2 && inside(xr + 1, p.y)) xr++;
    for (int64_t x = xl; x <= xr; x++) out.bits[size_t((p.y - c.y1) * w + (x - c.x1))] = true;
    out.bounds = {std::min<int32_t>(out.bounds.x1, int32_t(xl)), std::min<int32_t>(out.bounds.y1, int32_t(p.y)),
                  std::max<int32_t>(out.bounds.x2, int32_t(xr)), std::max<int32_t>(out.bounds.y2, int32_t(p.y))};
    for (int64_t ny : {p.y - 1, p.y + 1}) {
      if (ny < c.y1 || ny > c.y2) continue;
      bool in_run = false;
      for (int64_t x = xl; x <= xr; x++) {
        bool m = inside(x, ny);
        if (m && !in_run) stack.push_back({x, ny});
        in_run = m;
      }
    }
  }
  return true;
}

}  // namespace gfx

namespace vm {

using gfx::Image;
using gfx::Point;
using gfx::read_coord;

namespace {

inline constexpr size_t kMaxPolygonPoints = 20000;

int64_t pen_of(Interp& ctx, uint32_t n, uint32_t i) {
  // Note: pens are limited to 1024 pixels.
  return i < n ? std::clamp<int64_t>(value_to_integer(&ctx, ctx.top[i]), 1, 1024) : 1;
}

int64_t corner_of(Interp& ctx, Value v, bool x_axis) { return std::max<int64_t>(read_coord(ctx, v, x_axis), 0); }

void round_shape(Interp& ctx, int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t cw, int64_t ch, int64_t pen,
                 bool filled) {
  Image* img = gfx::target(ctx);
  if (!img) return;
  gfx::draw_round_box(*img, x1, y1, x2, y2, cw, ch, pen, filled, img->st.color);
  gfx::mark_changed(ctx, *img, x1, y1, x2, y2, true);
}

// drawcircle cx cy rx [ry=rx] [thickness=1] / drawcirclefilled cx cy rx [ry=rx]
// Note: drawcircle with four arguments takes the fourth as ry, as the
// argument list reads; the thickness needs five.
void circle(Interp& ctx, bool filled) {
  uint32_t n = close_frame(ctx);
  if (n >= 3) {
    int64_t cx = read_coord(ctx, ctx.top[0], true), cy = read_coord(ctx, ctx.top[1], false);
    int64_t rx = std::abs(read_coord(ctx, ctx.top[2], true));
    int64_t ry = n >= 4 ? std::abs(read_coord(ctx, ctx.top[3], false)) : rx;
    round_shape(ctx, cx - rx, cy - ry, cx + rx, cy + ry, 2 * rx, 2 * ry, filled ? 1 : pen_of(ctx, n, 4), filled);
  }
  pop_n(ctx, n);
}

// drawboxround x1 y1 x2 y2 [t [cw=16 [ch=cw]]] / drawrectround x1 y1 x2 y2 [cw=16 [ch=cw]]
void round_rect(Interp& ctx, bool filled) {
  uint32_t n = close_frame(ctx);
  if (n >= 4) {
    int64_t b[4];
    for (int k = 0; k < 4; k++) b[k] = read_coord(ctx, ctx.top[k], k % 2 == 0);
    uint32_t i = 4;
    int64_t pen = 1;
    if (!filled) pen = pen_of(ctx, n, i++);
    int64_t cw = i < n ? corner_of(ctx, ctx.top[i], true) : 16;
    int64_t ch = i + 1 < n ? corner_of(ctx, ctx.top[i + 1], false) : cw;
    round_shape(ctx, b[0], b[1], b[2], b[3], cw, ch, pen, filled);
  }
  pop_n(ctx, n);
}

// drawpolygon x1 y1 x2 y2 ... [thickness] / drawpolygonfilled x1 y1 ...
void polygon(Interp& ctx, bool filled) {
  uint32_t n = close_frame(ctx);
  Image* img = gfx::target(ctx);
  if (img && n >= 4) {
    int64_t pen = !filled && n % 2 ? pen_of(ctx, n, n - 1) : 1;
    std::vector<Point> pts;
    for (uint32_t i = 0; i + 1 < n && pts.size() < kMaxPolygonPoints; i += 2)
      pts.push_back({read_coord(ctx, ctx.top[i], true), read_coord(ctx, ctx.top[i + 1], false)});
    int64_t x1 = pts[0].x, y1 = pts[0].y, x2 = x1, y2 = y1;
    for (const Point& p : pts) x1 = std::min(x1, p.x), y1 = std::min(y1, p.y), x2 = std::max(x2, p.x), y2 = std::max(y2, p.y);
    if (filled) gfx::fill_polygon(*img, pts, img->st.color);
    else gfx::outline_polygon(*img, pts, pen, img->st.color);
    int64_t grow = pen / 2 + 1;
    gfx::mark_changed(ctx, *img, x1 - grow, y1 - grow, x2 + grow, y2 + grow, true);
  }
  pop_n(ctx, n);
}

}  // namespace

void h_drawcircle(Interp& ctx) { circle(ctx, false); }
void h_drawcirclefilled(Interp& ctx) { circle(ctx, true); }
void h_drawboxround(Interp& ctx) { round_rect(ctx, false); }
void h_drawrectround(Interp& ctx) { round_rect(ctx, true); }
void h_drawpolygon(Interp& ctx) { polygon(ctx, false); }
void h_drawpolygonfilled(Interp& ctx) { polygon(ctx, true); }

// drawflood x y [mode [colour]]: fills, in the current colour, the connected
// area of the colour (mode 0; default the colour at x, y) or everything up
// to the border colour (other modes).
// Note: a border fill without a colour takes the current colour as border.
void h_drawflood(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Image* img = gfx::target(ctx);
  if (img && n >= 2) {
    int64_t x = read_coord(ctx, ctx.top[0], true), y = read_coord(ctx, ctx.top[1], false);
    bool edge = n >= 3 && value_to_integer(&ctx, ctx.top[2]) != 0;
    uint32_t ref = edge ? img->st.color : gfx::get_pixel(*img, x, y);
    if (n >= 4) {
      uint32_t i = 3;
      ref = gfx::read_color(ctx, n, i);
    }
    gfx::RegionMask mask;
    if (gfx::region_fill(*img, x, y, edge, ref, 0, mask)) {
      const gfx::Rect& c = mask.box;
      int64_t w = c.x2 - c.x1 + 1;
      for (int64_t py = mask.bounds.y1; py <= mask.bounds.y2; py++)
        for (int64_t px = mask.bounds.x1; px <= mask.bounds.x2; px++)
          if (mask.bits[size_t((py - c.y1) * w + (px - c.x1))]) gfx::set_pixel(*img, px, py, img->st.color);
      gfx::mark_changed(ctx, *img, mask.bounds.x1, mask.bounds.y1, mask.bounds.x2, mask.bounds.y2, true);
    }
  }
  pop_n(ctx, n);
}

}  // namespace vm
