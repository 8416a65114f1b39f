// What the draw command files share: argument readers and the point plotter.
#pragma once

#include <cstdint>

#include "graphics/image.h"
#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace gfx {

// Coordinates are pinned to +-2^20 so that sums of a few of them cannot
// overflow and a line across the pinned range stays short.
inline constexpr int64_t kCoordLimit = int64_t(1) << 20;

// An x (or y) coordinate or size: a plain number, or a measurement resolved
// against the drawing target along that axis.
int64_t read_coord(vm::Interp& ctx, vm::Value v, bool x_axis);
// A colour given as one argument: a keyword of the dictionary or an integer.
uint32_t single_color(vm::Interp& ctx, vm::Value v);
// A point of drawpixel or drawline: marked changed, filter-blended, written
// when inside the image.
void plot(vm::Interp& ctx, Image& img, int64_t x, int64_t y, uint32_t color);
// Fills a rectangle clipped to the clip rectangle and marks it changed.
void fill_marked(vm::Interp& ctx, Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint32_t color);

}  // namespace gfx
