// The Windows metafile player: a checked reader of the records, the object
// table of pens and brushes, and the mapping of logical coordinates onto
// the image, drawn with shapes.cpp.
#include "graphics/metafile.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <set>
#include <vector>

#include "graphics/shapes.h"

namespace gfx::wmf {

namespace {

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7u;
constexpr size_t kPlaceableSize = 22;
constexpr size_t kHeaderSize = 18;
// Drawing work (points times rows, and rows of boxes) a file may ask for
// before playing stops.
constexpr int64_t kWorkBudget = int64_t(1) << 28;

// Record functions.
enum : uint16_t {
  kEof = 0x0000,
  kSetWindowOrg = 0x020B,
  kSetWindowExt = 0x020C,
  kCreatePenIndirect = 0x02FA,
  kCreateBrushIndirect = 0x02FC,
  kSelectObject = 0x012D,
  kDeleteObject = 0x01F0,
  kMoveTo = 0x0214,
  kLineTo = 0x0213,
  kRectangle = 0x041B,
  kEllipse = 0x0418,
  kPolygon = 0x0324,
  kPolyline = 0x0325,
  kPolyPolygon = 0x0538,
  // Other records that create objects: each takes a slot of the table.
  kCreatePalette = 0x00F7,
  kCreateFontIndirect = 0x02FB,
  kCreatePatternBrush = 0x01F9,
  kDibCreatePatternBrush = 0x0142,
  kCreateRegion = 0x06FF,
};

inline uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline int16_t i16(const uint8_t* p) { return int16_t(u16(p)); }
inline uint32_t u32(const uint8_t* p) { return uint32_t(u16(p)) | uint32_t(u16(p + 2)) << 16; }

// A COLORREF (red, green, blue, 0 in memory) as 0xRRGGBB.
inline uint32_t colour_of(uint32_t ref) {
  return (ref & 0xFF) << 16 | (ref & 0xFF00) | (ref >> 16 & 0xFF);
}

struct Object {
  enum Kind { Free, Pen, Brush, Other } kind = Free;
  bool visible = true;  // a pen of style PS_NULL, a hollow brush: false
  int32_t width = 0;    // pen width in logical units
  uint32_t colour = 0;
};

struct Player {
  explicit Player(Image& target) : img(target) {}
  Image& img;
  std::vector<Object> objects;
  std::set<uint16_t> free_slots;  // kept so that a create finds its slot at once
  Object pen{Object::Pen, true, 0, 0x000000};
  Object brush{Object::Brush, true, 0, 0xFFFFFF};
  int64_t org_x = 0, org_y = 0, ext_x = 0, ext_y = 0;  // ext 0: one unit a pixel
  int64_t pos_x = 0, pos_y = 0;                        // MoveTo's place, logical
  int64_t work = 0;

  // Logical to image coordinates: the window (org, ext) onto the image.
  int64_t map_x(int64_t x) const {
    if (ext_x == 0) return x - org_x;
    return int64_t(std::floor(double(x - org_x) * img.width() / double(ext_x) + 0.5));
  }
  int64_t map_y(int64_t y) const {
    if (ext_y == 0) return y - org_y;
    return int64_t(std::floor(double(y - org_y) * img.height() / double(ext_y) + 0.5));
  }
  int64_t pen_pixels() const {
    double scale = ext_x == 0 ? 1.0 : std::abs(double(img.width()) / double(ext_x));
    return std::clamp<int64_t>(int64_t(std::llround(double(pen.width) * scale)), 1, 4096);
  }
  bool spend(int64_t amount) {
    work += std::max<int64_t>(amount, 1);
    return work <= kWorkBudget;
  }

  // A line between two image points, both ends included: cut to the image
  // grown by the pen first, so that a line far outside costs nothing.
  void line(double x0, double y0, double x1, double y1) {
    const int64_t p = pen_pixels();
    const double lo_x = -double(p) - 2, hi_x = double(img.width()) + double(p) + 2;
    const double lo_y = -double(p) - 2, hi_y = double(img.height()) + double(p) + 2;
    double t0 = 0, t1 = 1;
    const double dx = x1 - x0, dy = y1 - y0;
    // Liang-Barsky: each side limits the part of the segment inside.
    const double ps[4] = {-dx, dx, -dy, dy};
    const double qs[4] = {x0 - lo_x, hi_x - x0, y0 - lo_y, hi_y - y0};
    for (int k = 0; k < 4; k++) {
      if (ps[k] == 0) {
        if (qs[k] < 0) return;
        continue;
      }
      double t = qs[k] / ps[k];
      if (ps[k] < 0) t0 = std::max(t0, t);
      else t1 = std::min(t1, t);
      if (t0 > t1) return;
    }
    std::vector<Point> pts{{std::llround(x0 + t0 * dx), std::llround(y0 + t0 * dy)},
                           {std::llround(x0 + t1 * dx), std::llround(y0 + t1 * dy)}};
    if (!spend(std::max(std::abs(pts[1].x - pts[0].x), std::abs(pts[1].y - pts[0].y)) * p)) return;
    outline_polygon(img, pts, p, pen.colour);
  }

  void box(int64_t l, int64_t t, int64_t r, int64_t b, bool ellipse) {
    int64_t x1 = map_x(l), y1 = map_y(t), x2 = map_x(r), y2 = map_y(b);
    if (x1 > x2) std::swap(x1, x2);
    if (y1 > y2) std::swap(y1, y2);
    if (!spend(std::min<int64_t>(y2 - y1, img.height()) * 2)) return;
    const int64_t cw = ellipse ? x2 - x1 : 0, ch = ellipse ? y2 - y1 : 0;
    if (brush.visible) draw_round_box(img, x1, y1, x2, y2, cw, ch, 0, true, brush.colour);
    if (pen.visible) draw_round_box(img, x1, y1, x2, y2, cw, ch, pen_pixels(), false, pen.colour);
  }

  // Polygons (closed) and polylines, given as image points.
  void shape(const std::vector<Point>& pts, bool closed) {
    if (pts.empty()) return;
    if (closed && brush.visible && pts.size() >= 3) {
      if (!spend(int64_t(pts.size()) * img.height())) return;
      fill_polygon(img, pts, brush.colour);
    }
    if (!pen.visible) return;
    const size_t edges = closed ? pts.size() : pts.size() - 1;
    for (size_t i = 0; i < edges && work <= kWorkBudget; i++) {
      const Point& a = pts[i];
      const Point& b = pts[(i + 1) % pts.size()];
      line(double(a.x), double(a.y), double(b.x), double(b.y));
    }
    if (pts.size() == 1) line(double(pts[0].x), double(pts[0].y), double(pts[0].x), double(pts[0].y));
  }

  // Puts a new object into the lowest free slot; without one it is lost.
  void create(const Object& o) {
    if (free_slots.empty()) return;
    objects[*free_slots.begin()] = o;
    free_slots.erase(free_slots.begin());
  }
  void remove(uint16_t index) {
    if (index >= objects.size()) return;
    objects[index] = Object{};
    free_slots.insert(index);
  }
};

// Even-odd fill of several closed rings together, with the pixel rule of
// fill_polygon: on row y the crossings of all edges with y + 0.5 (an edge
// counts from its upper end, not its lower) are sorted, and the pixels whose
// centres lie in [xa, xb) of each pair are filled.
void fill_rings(Image& img, const std::vector<std::vector<Point>>& rings, uint32_t colour) {
  Rect c;
  if (!clip_rect(img, c)) return;
  int64_t ymin = INT64_MAX, ymax = INT64_MIN;
  for (const std::vector<Point>& ring : rings)
    for (const Point& q : ring) ymin = std::min(ymin, q.y), ymax = std::max(ymax, q.y);
  if (ymin > ymax) return;  // no points at all
  ymin = std::max<int64_t>(ymin, c.y1);
  ymax = std::min<int64_t>(ymax - 1, c.y2);
  std::vector<double> xs;
  for (int64_t y = ymin; y <= ymax; y++) {
    const double yc = double(y) + 0.5;
    xs.clear();
    for (const std::vector<Point>& ring : rings) {
      if (ring.size() < 3) continue;
      for (size_t i = 0; i < ring.size(); i++) {
        const Point& a = ring[i];
        const Point& b = ring[(i + 1) % ring.size()];
        if (a.y == b.y) continue;
        const double ya = double(std::min(a.y, b.y)), yb = double(std::max(a.y, b.y));
        if (yc < ya || yc >= yb) continue;
        xs.push_back(double(a.x) + (yc - double(a.y)) * double(b.x - a.x) / double(b.y - a.y));
      }
    }
    std::sort(xs.begin(), xs.end());
    for (size_t i = 0; i + 1 < xs.size(); i += 2)
      fill_span(img, int64_t(std::ceil(xs[i] - 0.5)), int64_t(std::ceil(xs[i + 1] - 0.5)) - 1, y, colour);
  }
}

bool fail(std::string* error, const char* message) {
  if (error) *error = message;
  return false;
}

}  // namespace

bool placeable_size(const uint8_t* data, size_t size, int32_t& w, int32_t& h) {
  if (!data || size < kPlaceableSize || u32(data) != kPlaceableKey) return false;
  const int64_t l = i16(data + 6), t = i16(data + 8), r = i16(data + 10), b = i16(data + 12);
  const int64_t inch = u16(data + 14);
  if (inch == 0 || r == l || b == t) return false;
  const int64_t pw = (std::abs(r - l) * 96 + inch / 2) / inch, ph = (std::abs(b - t) * 96 + inch / 2) / inch;
  if (pw < 1 || ph < 1 || pw > kMaxSide || ph > kMaxSide || pw * ph > kMaxPixels) return false;
  w = int32_t(pw), h = int32_t(ph);
  return true;
}

bool play(const uint8_t* data, size_t size, Image& into, std::string* error) {
  if (!data) return fail(error, "no metafile");
  Player pl(into);
  size_t at = 0;
  if (size >= 4 && u32(data) == kPlaceableKey) {
    if (size < kPlaceableSize) return fail(error, "placeable header cut short");
    // The bounding box is the window until the file sets its own.
    const int64_t l = i16(data + 6), t = i16(data + 8), r = i16(data + 10), b = i16(data + 12);
    if (r != l && b != t) pl.org_x = l, pl.org_y = t, pl.ext_x = r - l, pl.ext_y = b - t;
    at = kPlaceableSize;
  }
  if (size - at < kHeaderSize) return fail(error, "metafile header cut short");
  const uint8_t* hdr = data + at;
  if ((u16(hdr) != 1 && u16(hdr) != 2) || u16(hdr + 2) != 9) return fail(error, "not a metafile header");
  pl.objects.resize(u16(hdr + 10));
  for (size_t i = 0; i < pl.objects.size(); i++) pl.free_slots.insert(pl.free_slots.end(), uint16_t(i));
  at += kHeaderSize;
  if (!into.pixels || into.width() <= 0 || into.height() <= 0) return true;

  while (at < size) {
    if (size - at < 6) return fail(error, "record header cut short");
    const uint32_t words = u32(data + at);
    const uint16_t fn = u16(data + at + 4);
    if (words < 3 || uint64_t(words) * 2 > size - at) return fail(error, "record runs past the end");
    const uint8_t* p = data + at + 6;           // the parameters
    const size_t n = size_t(words) * 2 - 6;     // their bytes
    at += size_t(words) * 2;
    if (fn == kEof) break;
    if (pl.work > kWorkBudget) return fail(error, "drawing work beyond the limit");
    switch (fn) {
      case kSetWindowOrg:
        if (n >= 4) pl.org_y = i16(p), pl.org_x = i16(p + 2);
        break;
      case kSetWindowExt:
        if (n >= 4) pl.ext_y = i16(p), pl.ext_x = i16(p + 2);
        break;
      case kCreatePenIndirect:
        if (n >= 10) {
          const uint16_t style = u16(p) & 0x0F;
          pl.create({Object::Pen, style != 5, std::abs(i16(p + 2)), colour_of(u32(p + 6))});
        }
        break;
      case kCreateBrushIndirect:
        if (n >= 6) pl.create({Object::Brush, u16(p) != 1, 0, colour_of(u32(p + 2))});
        break;
      case kCreatePalette:
      case kCreateFontIndirect:
      case kCreatePatternBrush:
      case kDibCreatePatternBrush:
      case kCreateRegion:
        pl.create({Object::Other, false, 0, 0});
        break;
      case kSelectObject:
        if (n >= 2 && u16(p) < pl.objects.size()) {
          const Object& o = pl.objects[u16(p)];
          if (o.kind == Object::Pen) pl.pen = o;
          else if (o.kind == Object::Brush) pl.brush = o;
        }
        break;
      case kDeleteObject:
        // The selected pen or brush is a copy and stays in use.
        if (n >= 2) pl.remove(u16(p));
        break;
      case kMoveTo:
        if (n >= 4) pl.pos_y = i16(p), pl.pos_x = i16(p + 2);
        break;
      case kLineTo:
        if (n >= 4) {
          const int64_t y = i16(p), x = i16(p + 2);
          if (pl.pen.visible)
            pl.line(double(pl.map_x(pl.pos_x)), double(pl.map_y(pl.pos_y)), double(pl.map_x(x)), double(pl.map_y(y)));
          pl.pos_x = x, pl.pos_y = y;
        }
        break;
      case kRectangle:
      case kEllipse:
        if (n >= 8) pl.box(i16(p + 6), i16(p + 4), i16(p + 2), i16(p), fn == kEllipse);
        break;
      case kPolygon:
      case kPolyline: {
        if (n < 2) break;
        const size_t count = u16(p);
        if (count * 4 > n - 2) return fail(error, "polygon points run past the record");
        std::vector<Point> pts(count);
        for (size_t i = 0; i < count; i++)
          pts[i] = {pl.map_x(i16(p + 2 + i * 4)), pl.map_y(i16(p + 4 + i * 4))};
        pl.shape(pts, fn == kPolygon);
        break;
      }
      case kPolyPolygon: {
        if (n < 2) break;
        const size_t polys = u16(p);
        if (polys * 2 > n - 2) return fail(error, "polygon counts run past the record");
        size_t total = 0;
        for (size_t k = 0; k < polys; k++) total += u16(p + 2 + k * 2);
        const size_t first = 2 + polys * 2;
        if (total * 4 > n - first) return fail(error, "polygon points run past the record");
        // The polygons fill together, even-odd (an inner one cuts a hole),
        // then each is outlined.
        std::vector<std::vector<Point>> rings(polys);
        size_t next = first;
        for (size_t k = 0; k < polys; k++) {
          rings[k].resize(u16(p + 2 + k * 2));
          for (Point& q : rings[k]) q = {pl.map_x(i16(p + next)), pl.map_y(i16(p + next + 2))}, next += 4;
        }
        if (pl.brush.visible && pl.spend(int64_t(total) * into.height())) fill_rings(into, rings, pl.brush.colour);
        for (const std::vector<Point>& ring : rings) {
          Object brush = pl.brush;
          pl.brush.visible = false;
          pl.shape(ring, true);
          pl.brush = brush;
        }
        break;
      }
      default:
        break;  // records that do not draw here
    }
  }
  return true;
}

}  // namespace gfx::wmf
