// Windows metafiles (WMF, placeable or not): our own player of the common
// drawing records, rendered with the shape rasteriser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "graphics/image.h"

namespace gfx::wmf {

// Plays the metafile `data` into the whole of `into`. The picture's
// logical space (the window origin and extent of SetWindowOrg and
// SetWindowExt, else the bounding box of a placeable header, else one unit
// a pixel) is stretched onto the image. Played records: SetWindowOrg/Ext,
// CreatePenIndirect, CreateBrushIndirect (other object records take a
// slot of the object table but draw nothing), SelectObject, DeleteObject,
// MoveTo, LineTo, Rectangle, Ellipse, Polygon, Polyline and PolyPolygon;
// others are skipped. The default pen is black, one pixel wide, the
// default brush white. Outlines keep the pen inside the shape's box, as
// the draw commands do, and lines include their end point.
//
// The input is not trusted: every record size, count and object index is
// checked against what is left, the object table has the header's size,
// and the drawing work is capped, so that a bad file ends playing early.
// False with a message in `error` when the header is not a metafile's or
// a record runs past the end (what was drawn before stays).
bool play(const uint8_t* data, size_t size, Image& into, std::string* error = nullptr);

// The size in pixels a placeable metafile's bounding box gives at 96
// pixels an inch; false for other files or an empty box.
bool placeable_size(const uint8_t* data, size_t size, int32_t& w, int32_t& h);

}  // namespace gfx::wmf
