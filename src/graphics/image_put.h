// Putting images onto images, and what the put needs: copies of a
// rectangle, masks and the alpha channel.
#pragma once

#include <cstdint>
#include <vector>

#include "graphics/image.h"

namespace gfx {

// Puts `src` with its top-left corner at (x, y) of `dst`, or stretched into
// the corners (x1, y1)-(x2, y2) (sorted; both inclusive). With `clip` the
// picture is cut to the clip rectangle of `dst`, always to its bounds. The
// put honours, in this order: the permanent mask of `src`, else a mask of
// the transparent colour (the source's when its transparency is on, else the
// target's); the raster operation (the source's and/or/xor first, then the
// target's); per-pixel blending (filter levels, the alpha channel) when the
// operation is a copy; flips of the source. `drawn` receives the rectangle
// that was covered. False when nothing was covered.
bool put_image(Image& dst, const Image& src, int64_t x, int64_t y, bool clip, Rect* drawn = nullptr);
bool put_stretched(Image& dst, const Image& src, int64_t x1, int64_t y1, int64_t x2, int64_t y2, bool clip,
                   Rect* drawn = nullptr);
// Whether put_image of src onto dst sets every byte of the pixels it
// covers from the source alone (a plain copy of the same depth), so that
// what dst held there does not matter.
bool put_overwrites(const Image& dst, const Image& src);

// The row blend of the alpha put between 32-bit images: n pixels of
// `src` (blue, green, red, alpha) over n pixels of `dst`; each channel
// becomes (dst * (256 - a) + src * a) >> 8, a = 255 copies the source's
// colour, and the target keeps its alpha bytes. blend_alpha_row takes the
// fastest path the processor has (AVX2, chosen at run time, or SSE2, the
// x86-64 baseline); every path gives the bytes of the scalar blend. The
// rows must not overlap.
void blend_alpha_row(uint8_t* dst, const uint8_t* src, int64_t n);
void blend_alpha_row_scalar(uint8_t* dst, const uint8_t* src, int64_t n);
enum class BlendPath { Scalar, Sse2, Avx2 };
// Whether this build and processor have the path; blend_alpha_row_on with
// a path they lack does nothing.
bool blend_path_available(BlendPath path);
void blend_alpha_row_on(BlendPath path, uint8_t* dst, const uint8_t* src, int64_t n);

// A new image of the depth of `src` holding the rectangle (corners sorted)
// restricted to the clip rectangle; the drawing state is the source's. 0
// when nothing remains or memory runs out.
uint32_t image_get(const Image& src, int64_t x1, int64_t y1, int64_t x2, int64_t y2);
// A full copy: pixels, palette, drawing state, delay and a copy of the mask.
uint32_t image_copy(const Image& src);

// Whether the mask bit at (x, y) of a 1-bit mask image is set (false outside).
bool mask_bit(const Image& mask, int64_t x, int64_t y);
// Gives `img` a permanent mask made from `from` (pixels of white set the
// bit), or removes the mask when `from` is null.
void set_mask(Image& img, const Image* from);
// A 1-bit image of the mask (an empty one when the image has none); 0 when
// memory runs out.
uint32_t mask_image(const Image& img);

// Makes `img` a 32-bit alpha image in place (the pixels converted); false
// when memory runs out.
bool make_alpha_image(Image& img);
// Sets the alpha of every pixel of `img` from `from` at the same place
// shifted by its origin offset (0 outside): the alpha byte of an alpha
// image, the brightness of any other. Sets the alpha-enable byte.
bool set_alpha_from(Image& img, const Image& from);
// A 32-bit grey image of the alpha channel (255 for images without one).
uint32_t alpha_image(const Image& img);

}  // namespace gfx
