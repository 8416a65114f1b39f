// Windows metafiles (WMF, placeable or not) and enhanced metafiles (EMF):
// our own players of the common drawing records, rendered with the shape
// rasteriser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result.h"
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
// A failure with a message when the header is not a metafile's or a
// record runs past the end (what was drawn before stays).
base::Status play(const uint8_t* data, size_t size, Image& into);

// The size in pixels a placeable metafile's bounding box gives at 96
// pixels an inch; false for other files or an empty box.
bool placeable_size(const uint8_t* data, size_t size, int32_t& w, int32_t& h);

}  // namespace gfx::wmf

namespace gfx::emf {

// Plays the enhanced metafile `data` into the whole of `into`, as
// wmf::play does: the window of SetWindowExtEx and SetWindowOrgEx, else
// the header's rclBounds (both edges included), else one unit a pixel, is
// stretched onto the image (viewport records are ignored). Played records:
// SetWindowExtEx/OrgEx, CreatePen, ExtCreatePen (its solid colour and
// width), CreateBrushIndirect, SelectObject (with the stock brushes and
// pens 0 to 8), DeleteObject, MoveToEx, LineTo, Rectangle, Ellipse,
// Polygon, Polyline, PolyPolygon (their 16-bit forms too), PolyBezier and
// PolyBezierTo (flattened; 16-bit forms too); others are skipped.
//
// The input is not trusted: the header's signature and sizes, every record
// size (a multiple of 4, at least 8, within what is left), count and object
// index (the table has the header's size, slot 0 is the file's own) are
// checked and the drawing work is capped. A failure with a message when
// the header is not an enhanced metafile's or a record is bad (what was
// drawn before stays).
base::Status play(const uint8_t* data, size_t size, Image& into);

// The size in pixels of the header's rclFrame (hundredths of a millimetre)
// at 96 pixels an inch, else of its rclBounds; false for other files or
// when both are empty or beyond the image limits.
bool frame_size(const uint8_t* data, size_t size, int32_t& w, int32_t& h);

}  // namespace gfx::emf
