// The anti-aliased shapes of imageput and imagenew: boxes, rectangles,
// circles, lines and polygons rendered into alpha images.
#pragma once

#include <cstdint>
#include <vector>

#include "graphics/image.h"

namespace gfx {

// The anti-aliased shapes, rendered at eight times the resolution.
enum class AntiShape { Box, BoxRound, Circle, CircleFilled, Line, Polygon, PolygonFilled, Rect, RectRound };
// The shape keyword of a name; false when it is none.
bool anti_shape_of(const char* name, AntiShape& out);
// Renders the shape given by its numbers (as the script gives them: four
// coordinates and the extras, or the points of a line or polygon) into a new
// 32-bit alpha image of the colour, with the alpha-enable byte set and the
// origin offset at the top-left corner of the shape's box. The drawing state
// is taken from `like`. With `limit`, the box is first cut to that
// rectangle. 0 when the shape is empty or too large.
uint32_t anti_shape(AntiShape shape, const std::vector<double>& args, uint32_t color, const Image* like,
                    const Rect* limit = nullptr);

}  // namespace gfx
