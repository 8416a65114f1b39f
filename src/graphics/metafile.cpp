// The metafile players: checked readers of the records of Windows
// metafiles (WMF) and enhanced metafiles (EMF), both drawing through one
// Painter (the pen, the brush, the window mapping, the work cap) onto the
// image with shapes.cpp.
#include "graphics/metafile.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "base/bytes.h"
#include "graphics/shapes.h"

namespace gfx {

namespace {

// Drawing work (points times rows, and rows of boxes) a file may ask for
// before playing stops.
constexpr int64_t kWorkBudget = int64_t(1) << 28;
// Image coordinates are held within this, far outside any picture, so that
// the rasteriser's differences of coordinates cannot overflow.
constexpr int64_t kCoordLimit = int64_t(1) << 40;
// Line segments a flattened bezier curve may have, and points a record's
// flattened curves may have together (a file's curves would otherwise
// take 64 points of memory for each 3 points of the file).
constexpr int64_t kMaxCurveSegments = 64;
constexpr size_t kMaxCurvePoints = size_t(1) << 20;

using base::load_le16;
using base::load_le16s;
using base::load_le32;
using base::load_le32s;

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

// The drawing state both players share: the selected pen and brush (copies,
// so that deleting the object leaves them in use), the window mapped onto
// the whole image, the current position, and the work spent so far.
struct Painter {
  explicit Painter(Image& target) : img(target) {}
  Image& img;
  Object pen{Object::Pen, true, 0, 0x000000};
  Object brush{Object::Brush, true, 0, 0xFFFFFF};
  int64_t org_x = 0, org_y = 0, ext_x = 0, ext_y = 0;  // ext 0: one unit a pixel
  int64_t pos_x = 0, pos_y = 0;                        // the current position, logical
  int64_t work = 0;

  // Logical to image coordinates: the window (org, ext) onto the image.
  int64_t map_x(int64_t x) const { return map(x, org_x, ext_x, img.width()); }
  int64_t map_y(int64_t y) const { return map(y, org_y, ext_y, img.height()); }
  static int64_t map(int64_t v, int64_t org, int64_t ext, int32_t side) {
    const double d = ext == 0 ? double(v - org) : std::floor(double(v - org) * side / double(ext) + 0.5);
    return int64_t(std::clamp(d, -double(kCoordLimit), double(kCoordLimit)));
  }
  Point map_point(int64_t x, int64_t y) const { return {map_x(x), map_y(y)}; }
  int64_t pen_pixels() const {
    double scale = ext_x == 0 ? 1.0 : std::abs(double(img.width()) / double(ext_x));
    return std::clamp<int64_t>(int64_t(std::llround(std::min(double(pen.width) * scale, 1e9))), 1, 4096);
  }
  bool spend(int64_t amount) {
    work += std::clamp<int64_t>(amount, 1, kWorkBudget + 1);
    return work <= kWorkBudget;
  }
  bool exhausted() const { return work > kWorkBudget; }

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

  // A line from the current position to a logical point, which becomes the
  // current position.
  void line_to(int64_t x, int64_t y) {
    if (pen.visible) line(double(map_x(pos_x)), double(map_y(pos_y)), double(map_x(x)), double(map_y(y)));
    pos_x = x, pos_y = y;
  }

  // A rectangle or an ellipse in the logical box, right and bottom edge
  // excluded: filled with the brush, then outlined with the pen inside.
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
    for (size_t i = 0; i < edges && !exhausted(); i++) {
      const Point& a = pts[i];
      const Point& b = pts[(i + 1) % pts.size()];
      line(double(a.x), double(a.y), double(b.x), double(b.y));
    }
    if (pts.size() == 1) line(double(pts[0].x), double(pts[0].y), double(pts[0].x), double(pts[0].y));
  }

  // Several polygons given as image points: they fill together, even-odd
  // (an inner one cuts a hole), then each is outlined.
  void rings(const std::vector<std::vector<Point>>& all) {
    size_t total = 0;
    for (const std::vector<Point>& ring : all) total += ring.size();
    if (brush.visible && spend(int64_t(total) * img.height())) fill_rings(img, all, brush.colour);
    const bool filled = brush.visible;
    brush.visible = false;
    for (const std::vector<Point>& ring : all) shape(ring, true);
    brush.visible = filled;
  }

  // Appends the cubic bezier curve from image point a (not appended) over
  // the control points b and c to d, flattened into segments of about four
  // pixels (at most kMaxCurveSegments).
  void curve(const Point& a, const Point& b, const Point& c, const Point& d, std::vector<Point>& out) {
    auto dist = [](const Point& p, const Point& q) { return std::hypot(double(q.x - p.x), double(q.y - p.y)); };
    const double length = dist(a, b) + dist(b, c) + dist(c, d);
    const int64_t segments = std::clamp<int64_t>(int64_t(std::min(length / 4, 1e6)), 1, kMaxCurveSegments);
    if (!spend(segments)) return;
    for (int64_t k = 1; k <= segments; k++) {
      const double t = double(k) / double(segments), s = 1 - t;
      const double w0 = s * s * s, w1 = 3 * s * s * t, w2 = 3 * s * t * t, w3 = t * t * t;
      out.push_back({std::llround(w0 * double(a.x) + w1 * double(b.x) + w2 * double(c.x) + w3 * double(d.x)),
                     std::llround(w0 * double(a.y) + w1 * double(b.y) + w2 * double(c.y) + w3 * double(d.y))});
    }
  }
};

}  // namespace

// --- Windows metafiles ------------------------------------------------------------------------

namespace wmf {

namespace {

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7u;
constexpr size_t kPlaceableSize = 22;
constexpr size_t kHeaderSize = 18;

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

// The object table of a Windows metafile: a create takes the lowest free
// slot.
struct Table {
  std::vector<Object> objects;
  std::set<uint16_t> free_slots;  // kept so that a create finds its slot at once

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

}  // namespace

bool placeable_size(const uint8_t* data, size_t size, int32_t& w, int32_t& h) {
  if (!data || size < kPlaceableSize || load_le32(data) != kPlaceableKey) return false;
  const int64_t l = load_le16s(data + 6), t = load_le16s(data + 8), r = load_le16s(data + 10), b = load_le16s(data + 12);
  const int64_t inch = load_le16(data + 14);
  if (inch == 0 || r == l || b == t) return false;
  const int64_t pw = (std::abs(r - l) * 96 + inch / 2) / inch, ph = (std::abs(b - t) * 96 + inch / 2) / inch;
  if (pw < 1 || ph < 1 || pw > kMaxSide || ph > kMaxSide || pw * ph > kMaxPixels) return false;
  w = int32_t(pw), h = int32_t(ph);
  return true;
}

base::Status play(const uint8_t* data, size_t size, Image& into) {
  if (!data) return base::Failure{"no metafile"};
  Painter pl(into);
  Table table;
  size_t at = 0;
  if (size >= 4 && load_le32(data) == kPlaceableKey) {
    if (size < kPlaceableSize) return base::Failure{"placeable header cut short"};
    // The bounding box is the window until the file sets its own.
    const int64_t l = load_le16s(data + 6), t = load_le16s(data + 8), r = load_le16s(data + 10), b = load_le16s(data + 12);
    if (r != l && b != t) pl.org_x = l, pl.org_y = t, pl.ext_x = r - l, pl.ext_y = b - t;
    at = kPlaceableSize;
  }
  if (size - at < kHeaderSize) return base::Failure{"metafile header cut short"};
  const uint8_t* hdr = data + at;
  if ((load_le16(hdr) != 1 && load_le16(hdr) != 2) || load_le16(hdr + 2) != 9) return base::Failure{"not a metafile header"};
  table.objects.resize(load_le16(hdr + 10));
  for (size_t i = 0; i < table.objects.size(); i++) table.free_slots.insert(table.free_slots.end(), uint16_t(i));
  at += kHeaderSize;
  if (!into.pixels || into.width() <= 0 || into.height() <= 0) return {};

  while (at < size) {
    if (size - at < 6) return base::Failure{"record header cut short"};
    const uint32_t words = load_le32(data + at);
    const uint16_t fn = load_le16(data + at + 4);
    if (words < 3 || uint64_t(words) * 2 > size - at) return base::Failure{"record runs past the end"};
    const uint8_t* p = data + at + 6;           // the parameters
    const size_t n = size_t(words) * 2 - 6;     // their bytes
    at += size_t(words) * 2;
    if (fn == kEof) break;
    if (pl.exhausted()) return base::Failure{"drawing work beyond the limit"};
    switch (fn) {
      case kSetWindowOrg:
        if (n >= 4) pl.org_y = load_le16s(p), pl.org_x = load_le16s(p + 2);
        break;
      case kSetWindowExt:
        if (n >= 4) pl.ext_y = load_le16s(p), pl.ext_x = load_le16s(p + 2);
        break;
      case kCreatePenIndirect:
        if (n >= 10) {
          const uint16_t style = load_le16(p) & 0x0F;
          table.create({Object::Pen, style != 5, std::abs(load_le16s(p + 2)), colour_of(load_le32(p + 6))});
        }
        break;
      case kCreateBrushIndirect:
        if (n >= 6) table.create({Object::Brush, load_le16(p) != 1, 0, colour_of(load_le32(p + 2))});
        break;
      case kCreatePalette:
      case kCreateFontIndirect:
      case kCreatePatternBrush:
      case kDibCreatePatternBrush:
      case kCreateRegion:
        table.create({Object::Other, false, 0, 0});
        break;
      case kSelectObject:
        if (n >= 2 && load_le16(p) < table.objects.size()) {
          const Object& o = table.objects[load_le16(p)];
          if (o.kind == Object::Pen) pl.pen = o;
          else if (o.kind == Object::Brush) pl.brush = o;
        }
        break;
      case kDeleteObject:
        // The selected pen or brush is a copy and stays in use.
        if (n >= 2) table.remove(load_le16(p));
        break;
      case kMoveTo:
        if (n >= 4) pl.pos_y = load_le16s(p), pl.pos_x = load_le16s(p + 2);
        break;
      case kLineTo:
        if (n >= 4) pl.line_to(load_le16s(p + 2), load_le16s(p));
        break;
      case kRectangle:
      case kEllipse:
        if (n >= 8) pl.box(load_le16s(p + 6), load_le16s(p + 4), load_le16s(p + 2), load_le16s(p), fn == kEllipse);
        break;
      case kPolygon:
      case kPolyline: {
        if (n < 2) break;
        const size_t count = load_le16(p);
        if (count * 4 > n - 2) return base::Failure{"polygon points run past the record"};
        std::vector<Point> pts(count);
        for (size_t i = 0; i < count; i++) pts[i] = pl.map_point(load_le16s(p + 2 + i * 4), load_le16s(p + 4 + i * 4));
        pl.shape(pts, fn == kPolygon);
        break;
      }
      case kPolyPolygon: {
        if (n < 2) break;
        const size_t polys = load_le16(p);
        if (polys * 2 > n - 2) return base::Failure{"polygon counts run past the record"};
        size_t total = 0;
        for (size_t k = 0; k < polys; k++) total += load_le16(p + 2 + k * 2);
        const size_t first = 2 + polys * 2;
        if (total * 4 > n - first) return base::Failure{"polygon points run past the record"};
        std::vector<std::vector<Point>> rings(polys);
        size_t next = first;
        for (size_t k = 0; k < polys; k++) {
          rings[k].resize(load_le16(p + 2 + k * 2));
          for (Point& q : rings[k]) q = pl.map_point(load_le16s(p + next), load_le16s(p + next + 2)), next += 4;
        }
        pl.rings(rings);
        break;
      }
      default:
        break;  // records that do not draw here
    }
  }
  return {};
}

}  // namespace wmf

// --- Enhanced metafiles -----------------------------------------------------------------------

namespace emf {

namespace {

constexpr size_t kHeaderSize = 88;  // the header record up to szlMillimeters
constexpr uint32_t kStock = 0x80000000u;

// Record types.
enum : uint32_t {
  kHeader = 1,
  kPolyBezier = 2,
  kPolygon = 3,
  kPolyline = 4,
  kPolyBezierTo = 5,
  kPolyPolygon = 8,
  kSetWindowExtEx = 9,
  kSetWindowOrgEx = 10,
  kEof = 14,
  kMoveToEx = 27,
  kSelectObject = 37,
  kCreatePen = 38,
  kCreateBrushIndirect = 39,
  kDeleteObject = 40,
  kEllipse = 42,
  kRectangle = 43,
  kLineTo = 54,
  kPolyBezier16 = 85,
  kPolygon16 = 86,
  kPolyline16 = 87,
  kPolyBezierTo16 = 88,
  kPolyPolygon16 = 91,
  kExtCreatePen = 95,
};

bool has_header(const uint8_t* data, size_t size) {
  return data && size >= kHeaderSize && load_le32(data) == kHeader && std::memcmp(data + 40, " EMF", 4) == 0;
}

// The stock objects GetStockObject gives for WHITE_BRUSH (0) to NULL_PEN (8).
Object stock_object(uint32_t n) {
  static constexpr uint32_t kGreys[5] = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0x000000};
  if (n < 5) return {Object::Brush, true, 0, kGreys[n]};
  if (n == 5) return {Object::Brush, false, 0, 0};
  if (n == 6) return {Object::Pen, true, 0, 0xFFFFFF};
  if (n == 7) return {Object::Pen, true, 0, 0x000000};
  if (n == 8) return {Object::Pen, false, 0, 0};
  return {Object::Other, false, 0, 0};  // fonts, the palette: nothing to draw with
}

int32_t pen_width(int64_t w) { return int32_t(std::min<int64_t>(std::abs(w), INT32_MAX)); }

// A logical point of a record: two 16-bit or two 32-bit coordinates.
Point point_at(const uint8_t* q, bool small) {
  return small ? Point{load_le16s(q), load_le16s(q + 2)} : Point{load_le32s(q), load_le32s(q + 4)};
}

}  // namespace

bool frame_size(const uint8_t* data, size_t size, int32_t& w, int32_t& h) {
  if (!has_header(data, size)) return false;
  auto fits = [](int64_t pw, int64_t ph) {
    return pw >= 1 && ph >= 1 && pw <= kMaxSide && ph <= kMaxSide && pw * ph <= kMaxPixels;
  };
  // rclFrame is in hundredths of a millimetre: 2540 make an inch.
  const int64_t fw = std::abs(int64_t(load_le32s(data + 32)) - load_le32s(data + 24));
  const int64_t fh = std::abs(int64_t(load_le32s(data + 36)) - load_le32s(data + 28));
  int64_t pw = (fw * 96 + 1270) / 2540, ph = (fh * 96 + 1270) / 2540;
  if (!fits(pw, ph)) {
    // rclBounds is in pixels, both edges included.
    pw = int64_t(load_le32s(data + 16)) - load_le32s(data + 8) + 1, ph = int64_t(load_le32s(data + 20)) - load_le32s(data + 12) + 1;
    if (!fits(pw, ph)) return false;
  }
  w = int32_t(pw), h = int32_t(ph);
  return true;
}

base::Status play(const uint8_t* data, size_t size, Image& into) {
  if (!data) return base::Failure{"no metafile"};
  if (size < kHeaderSize) return base::Failure{"metafile header cut short"};
  if (!has_header(data, size)) return base::Failure{"not an enhanced metafile header"};
  const uint32_t header_size = load_le32(data + 4);
  if (header_size < kHeaderSize || header_size % 4 != 0 || header_size > size)
    return base::Failure{"header size outside the file"};
  // Note: the file size of the header only shortens what is played (bytes
  // after it are not the picture's); a file cut shorter plays what it has.
  const uint32_t file_size = load_le32(data + 48);
  if (file_size < header_size) return base::Failure{"file size of the header below the header"};
  const size_t end = std::min<size_t>(size, file_size);
  Painter pl(into);
  // Slot 0 is the metafile itself; the file's records name the others.
  std::vector<Object> objects(load_le16(data + 56));
  // rclBounds (pixels, both edges included) is the window until the file
  // sets its own.
  const int64_t bl = load_le32s(data + 8), bt = load_le32s(data + 12), br = load_le32s(data + 16), bb = load_le32s(data + 20);
  if (br >= bl && bb >= bt) pl.org_x = bl, pl.org_y = bt, pl.ext_x = br - bl + 1, pl.ext_y = bb - bt + 1;
  bool origin_set = false;
  if (!into.pixels || into.width() <= 0 || into.height() <= 0) return {};

  // The object a create or delete record names: never slot 0, never past the table.
  auto slot = [&](uint32_t index) -> Object* {
    return index != 0 && index < objects.size() ? &objects[index] : nullptr;
  };
  size_t at = header_size;
  while (at < end) {
    if (end - at < 8) return base::Failure{"record header cut short"};
    const uint8_t* p = data + at;  // the record, its type and size first
    const uint32_t type = load_le32(p);
    const size_t n = load_le32(p + 4);
    if (n < 8 || n % 4 != 0 || n > end - at) return base::Failure{"record size outside what is left"};
    at += n;
    if (type == kEof) break;
    if (pl.exhausted()) return base::Failure{"drawing work beyond the limit"};
    switch (type) {
      case kSetWindowExtEx:
        // Note: a window extent set without an origin counts from 0, not from
        // rclBounds.
        if (n >= 16) {
          pl.ext_x = load_le32s(p + 8), pl.ext_y = load_le32s(p + 12);
          if (!origin_set) pl.org_x = 0, pl.org_y = 0;
        }
        break;
      case kSetWindowOrgEx:
        if (n >= 16) pl.org_x = load_le32s(p + 8), pl.org_y = load_le32s(p + 12), origin_set = true;
        break;
      case kCreatePen:
        if (n >= 28) {
          Object* o = slot(load_le32(p + 8));
          if (!o) return base::Failure{"object index outside the table"};
          *o = {Object::Pen, (load_le32(p + 12) & 0x0F) != 5, pen_width(load_le32s(p + 16)), colour_of(load_le32(p + 24))};
        }
        break;
      case kExtCreatePen:
        // The solid colour and width of the pen; a hollow brush (BS_NULL)
        // draws nothing, like PS_NULL.
        if (n >= 52) {
          Object* o = slot(load_le32(p + 8));
          if (!o) return base::Failure{"object index outside the table"};
          const bool visible = (load_le32(p + 28) & 0x0F) != 5 && load_le32(p + 36) != 1;
          *o = {Object::Pen, visible, pen_width(load_le32(p + 32)), colour_of(load_le32(p + 40))};
        }
        break;
      case kCreateBrushIndirect:
        if (n >= 24) {
          Object* o = slot(load_le32(p + 8));
          if (!o) return base::Failure{"object index outside the table"};
          *o = {Object::Brush, load_le32(p + 12) != 1, 0, colour_of(load_le32(p + 16))};
        }
        break;
      case kSelectObject:
        if (n >= 12) {
          const uint32_t index = load_le32(p + 8);
          Object o;
          if (index & kStock) o = stock_object(index & ~kStock);
          else if (Object* s = slot(index)) o = *s;
          else return base::Failure{"object index outside the table"};
          if (o.kind == Object::Pen) pl.pen = o;
          else if (o.kind == Object::Brush) pl.brush = o;
        }
        break;
      case kDeleteObject:
        // The selected pen or brush is a copy and stays in use; stock
        // objects are never deleted.
        if (n >= 12 && !(load_le32(p + 8) & kStock)) {
          Object* o = slot(load_le32(p + 8));
          if (!o) return base::Failure{"object index outside the table"};
          *o = Object{};
        }
        break;
      case kMoveToEx:
        if (n >= 16) pl.pos_x = load_le32s(p + 8), pl.pos_y = load_le32s(p + 12);
        break;
      case kLineTo:
        if (n >= 16) pl.line_to(load_le32s(p + 8), load_le32s(p + 12));
        break;
      case kRectangle:
      case kEllipse:
        if (n >= 24) pl.box(load_le32s(p + 8), load_le32s(p + 12), load_le32s(p + 16), load_le32s(p + 20), type == kEllipse);
        break;
      case kPolygon:
      case kPolyline:
      case kPolygon16:
      case kPolyline16:
      case kPolyBezier:
      case kPolyBezier16:
      case kPolyBezierTo:
      case kPolyBezierTo16: {
        // rclBounds, the point count, the points (pairs of 32 or 16 bits).
        if (n < 28) return base::Failure{"polygon record cut short"};
        const bool small =
            type == kPolygon16 || type == kPolyline16 || type == kPolyBezier16 || type == kPolyBezierTo16;
        const size_t step = small ? 4 : 8;
        const size_t count = load_le32(p + 24);
        if (count > (n - 28) / step) return base::Failure{"polygon points run past the record"};
        auto logical = [&](size_t i) { return point_at(p + 28 + i * step, small); };
        auto image = [&](size_t i) { return pl.map_point(logical(i).x, logical(i).y); };
        if (type == kPolygon || type == kPolyline || type == kPolygon16 || type == kPolyline16) {
          std::vector<Point> pts(count);
          for (size_t i = 0; i < count; i++) pts[i] = image(i);
          pl.shape(pts, type == kPolygon || type == kPolygon16);
          break;
        }
        // Beziers: a start point (the current position for the "to" kinds)
        // then three points a curve; the "to" kinds move the current
        // position to the last point. A count that is no whole number of
        // curves, or none, draws nothing.
        const bool to = type == kPolyBezierTo || type == kPolyBezierTo16;
        const size_t first = to ? 0 : 1;
        if (count < first + 3 || (count - first) % 3 != 0) break;
        std::vector<Point> pts;
        pts.push_back(to ? pl.map_point(pl.pos_x, pl.pos_y) : image(0));
        for (size_t i = first; i + 2 < count && !pl.exhausted() && pts.size() < kMaxCurvePoints; i += 3) {
          const Point from = pts.back();
          pl.curve(from, image(i), image(i + 1), image(i + 2), pts);
        }
        if (to) pl.pos_x = logical(count - 1).x, pl.pos_y = logical(count - 1).y;
        pl.shape(pts, false);
        break;
      }
      case kPolyPolygon:
      case kPolyPolygon16: {
        // rclBounds, the polygon count, the total point count, a count per
        // polygon, then the points.
        if (n < 32) return base::Failure{"polygon record cut short"};
        const size_t step = type == kPolyPolygon16 ? 4 : 8;
        const size_t polys = load_le32(p + 24);
        if (polys > (n - 32) / 4) return base::Failure{"polygon counts run past the record"};
        const size_t first = 32 + polys * 4;
        uint64_t total = 0;
        for (size_t k = 0; k < polys; k++) total += load_le32(p + 32 + k * 4);
        if (total > (n - first) / step) return base::Failure{"polygon points run past the record"};
        std::vector<std::vector<Point>> rings(polys);
        size_t next = first;
        for (size_t k = 0; k < polys; k++) {
          rings[k].resize(load_le32(p + 32 + k * 4));
          for (Point& q : rings[k]) {
            const Point at_point = point_at(p + next, step == 4);
            q = pl.map_point(at_point.x, at_point.y);
            next += step;
          }
        }
        pl.rings(rings);
        break;
      }
      default:
        break;  // records that do not draw here
    }
  }
  return {};
}

}  // namespace emf

}  // namespace gfx
