// The anti-aliased shapes: each drawn at eight times the resolution by the
// rasteriser of shapes.h into 8-bit tiles, whose 8 x 8 cells give the alpha
// of one pixel of a 32-bit alpha image of the shape's colour.
#include "graphics/anti_shapes.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "graphics/image_load.h"
#include "graphics/shapes.h"
#include "vm/element.h"

namespace gfx {

bool anti_shape_of(const char* name, AntiShape& out) {
  static const char* const kNames[] = {"box", "boxround", "circle", "circlefilled", "line",
                                       "polygon", "polygonfilled", "rect", "rectround"};
  for (int i = 0; i < 9; i++) {
    const char* a = kNames[i];
    const char* b = name;
    while (*a && std::tolower(uint8_t(*b)) == *a) a++, b++;
    if (!*a && !*b) {
      out = AntiShape(i);
      return true;
    }
  }
  return false;
}

namespace {

// How a shape is drawn at eight times the resolution (coordinates in
// eighths of a pixel).
struct HiShape {
  AntiShape kind;
  int64_t x1, y1, x2, y2, cw, ch, pen;  // round-box shapes, right and bottom excluded
  std::vector<Point> pts;               // lines and polygons
  bool filled;
};

inline int64_t eighths(double v) {
  if (!std::isfinite(v)) v = 0;
  return int64_t(std::llround(std::clamp(v, -1048576.0, 1048576.0) * 8));
}

void draw_hi(Image& tile, const HiShape& s, int64_t ox, int64_t oy) {
  const uint32_t white = 0xFFFFFF;
  switch (s.kind) {
    case AntiShape::Line: case AntiShape::Polygon: case AntiShape::PolygonFilled: {
      std::vector<Point> pts(s.pts);
      for (Point& p : pts) p.x -= ox, p.y -= oy;
      if (s.filled) fill_polygon(tile, pts, white);
      else outline_polygon(tile, pts, s.pen, white);
      break;
    }
    default:
      draw_round_box(tile, s.x1 - ox, s.y1 - oy, s.x2 - ox, s.y2 - oy, s.cw, s.ch, s.pen, s.filled, white);
  }
}

}  // namespace

uint32_t anti_shape(AntiShape shape, const std::vector<double>& args, uint32_t color, const Image* like,
                    const Rect* limit) {
  HiShape s{shape, 0, 0, 0, 0, 0, 0, 8, {}, false};
  size_t n = args.size();
  auto arg = [&](size_t i, double dflt) { return i < n ? args[i] : dflt; };
  int64_t bx1, by1, bx2, by2;  // the box in eighths, right and bottom excluded
  if (shape == AntiShape::Line || shape == AntiShape::Polygon || shape == AntiShape::PolygonFilled) {
    if (n < 4) return 0;
    size_t points = n / 2;
    bool thick = shape != AntiShape::PolygonFilled && (shape == AntiShape::Line ? n >= 5 : n % 2 == 1);
    if (shape == AntiShape::Line) points = 2;
    points = std::min<size_t>(points, 20000);
    for (size_t i = 0; i < points; i++) s.pts.push_back({eighths(args[2 * i]), eighths(args[2 * i + 1])});
    s.pen = std::clamp<int64_t>(thick ? eighths(args[shape == AntiShape::Line ? 4 : n - 1]) : 8, 1, 8 * 4096);
    s.filled = shape == AntiShape::PolygonFilled;
    bx1 = bx2 = s.pts[0].x;
    by1 = by2 = s.pts[0].y;
    for (const Point& p : s.pts)
      bx1 = std::min(bx1, p.x), by1 = std::min(by1, p.y), bx2 = std::max(bx2, p.x), by2 = std::max(by2, p.y);
    int64_t grow = s.filled ? 8 : s.pen + 8;
    bx1 -= grow, by1 -= grow, bx2 += grow, by2 += grow;
  } else {
    if (n < 3 || ((shape != AntiShape::Circle && shape != AntiShape::CircleFilled) && n < 4)) return 0;
    size_t extra = 4;
    if (shape == AntiShape::Circle || shape == AntiShape::CircleFilled) {
      int64_t cx = eighths(args[0]), cy = eighths(args[1]);
      int64_t rx = std::abs(eighths(args[2])), ry = n >= 4 ? std::abs(eighths(args[3])) : rx;
      s.x1 = cx - rx, s.y1 = cy - ry, s.x2 = cx + rx, s.y2 = cy + ry;
      s.cw = 2 * rx, s.ch = 2 * ry;
    } else {
      s.x1 = eighths(args[0]), s.y1 = eighths(args[1]), s.x2 = eighths(args[2]), s.y2 = eighths(args[3]);
      if (s.x1 > s.x2) std::swap(s.x1, s.x2);
      if (s.y1 > s.y2) std::swap(s.y1, s.y2);
      // Boxes and rectangles include their far corner, as drawbox and drawrect do.
      if (shape == AntiShape::Box || shape == AntiShape::Rect) s.x2 += 8, s.y2 += 8;
    }
    s.filled = shape == AntiShape::CircleFilled || shape == AntiShape::Rect || shape == AntiShape::RectRound;
    if (!s.filled) s.pen = std::clamp<int64_t>(eighths(arg(extra++, 1)), 1, 8 * 4096);
    if (shape == AntiShape::BoxRound || shape == AntiShape::RectRound) {
      s.cw = std::max<int64_t>(eighths(arg(extra, 16)), 0);
      s.ch = std::max<int64_t>(eighths(arg(extra + 1, arg(extra, 16))), 0);
    }
    bx1 = s.x1, by1 = s.y1, bx2 = s.x2, by2 = s.y2;
  }
  // The box in whole pixels.
  auto floor8 = [](int64_t v) { return v >= 0 ? v / 8 : -((-v + 7) / 8); };
  int64_t px1 = floor8(bx1), py1 = floor8(by1), px2 = floor8(bx2 + 7), py2 = floor8(by2 + 7);
  if (limit) {
    px1 = std::max<int64_t>(px1, limit->x1), py1 = std::max<int64_t>(py1, limit->y1);
    px2 = std::min<int64_t>(px2, int64_t(limit->x2) + 1), py2 = std::min<int64_t>(py2, int64_t(limit->y2) + 1);
  }
  const int64_t W = px2 - px1, H = py2 - py1;
  if (W <= 0 || H <= 0 || W > kMaxSide || H > kMaxSide || W * H > kMaxPixels) return 0;
  uint32_t handle = image_new(int32_t(W), int32_t(H), -32, like);
  Image* out = image_of(handle);
  if (!out || !out->pixels) {
    if (handle) vm::element_release(handle);
    return 0;
  }
  // Tiles of 256 x 64 pixels, drawn 2048 x 512 at eight times the resolution.
  constexpr int64_t kTw = 256, kTh = 64;
  uint32_t tile_handle = image_create(int32_t(kTw * 8), int32_t(kTh * 8), 8, nullptr, nullptr);
  Image* tile = image_of(tile_handle);
  if (!tile) {
    vm::element_release(handle);
    return 0;
  }
  for (int64_t ty = 0; ty < H; ty += kTh)
    for (int64_t tx = 0; tx < W; tx += kTw) {
      std::memset(tile->pixels, 0, size_t(tile->stride) * size_t(tile->height()));
      draw_hi(*tile, s, (px1 + tx) * 8, (py1 + ty) * 8);
      for (int64_t y = ty; y < std::min(H, ty + kTh); y++) {
        uint8_t* row = out->row(int32_t(y));
        for (int64_t x = tx; x < std::min(W, tx + kTw); x++) {
          uint32_t count = 0;
          for (int64_t k = 0; k < 8; k++) {
            const uint8_t* hi = tile->row(int32_t((y - ty) * 8 + k)) + (x - tx) * 8;
            for (int j = 0; j < 8; j++) count += hi[j] != 0;
          }
          uint8_t* p = row + x * 4;
          p[0] = uint8_t(color);
          p[1] = uint8_t(color >> 8);
          p[2] = uint8_t(color >> 16);
          p[3] = uint8_t((count * 255 + 32) / 64);
        }
      }
    }
  vm::element_release(tile_handle);
  out->st.alpha = 1;
  out->st.off_x = int32_t(px1);
  out->st.off_y = int32_t(py1);
  out->st.color = color;
  return handle;
}

}  // namespace gfx
