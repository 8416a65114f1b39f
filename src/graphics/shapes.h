// The shape rasteriser shared by the draw commands and the image family.
#pragma once

#include <cstdint>
#include <vector>

#include "graphics/image.h"

namespace gfx {

struct Point {
  int64_t x, y;
};

// Filled rounded box (x1, y1)-(x2, y2), right and bottom edge excluded, with
// a corner ellipse of cw x ch; the outline (filled false) keeps its pen
// thickness inside the box. Clipped to the clip rectangle.
void draw_round_box(Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t cw, int64_t ch,
                    int64_t pen, bool filled, uint32_t color);
void fill_polygon(Image& img, const std::vector<Point>& pts, uint32_t color);
void outline_polygon(Image& img, const std::vector<Point>& pts, int64_t pen, uint32_t color);

// Whether two colours match within a tolerance in percent (0: exactly).
bool color_matches(uint32_t a, uint32_t b, double tolerance);

// A region found by region_fill: one flag per pixel of the clip rectangle
// `box`, and the bounding box of the set pixels.
struct RegionMask {
  Rect box;
  Rect bounds;
  std::vector<bool> bits;
};
bool region_fill(const Image& img, int64_t sx, int64_t sy, bool edge_mode, uint32_t ref, double tolerance,
                 RegionMask& out);

}  // namespace gfx
