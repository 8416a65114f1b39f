// Image transforms: depth conversion, resizing, pixel processing, the
// corner flood into a mask, sharpening, rotation, quadrilateral warps, the
// polar unwrap, panorama views and displacement images.
//
// The functions here work on image records and return new images (one
// reference, the caller's) or change pixels in place; the commands in
// image_transform.cpp read their arguments and call them. Every size a
// transform computes is checked against kMaxSide and kMaxPixels before
// anything is allocated; a refused size gives the null handle (0).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graphics/image.h"

namespace gfx {

// --- pixels as 0xAARRGGBB, rows top-down -------------------------------------------

// Alpha is 255 for images without an alpha channel.
std::vector<uint32_t> read_argb(const Image& img);
// Writes a buffer of the image's size back (indexed images through their
// palette, nearest entry; alpha only into alpha images).
void write_argb(Image& img, const std::vector<uint32_t>& argb);

// --- depth and size -----------------------------------------------------------------

// A copy of `src` at `bits` (1, 4, 8, 24, 32, or -32 for an alpha image).
// Indexed results keep the source palette when it fits, else take the exact
// colours of the picture when there are few enough, else a fixed palette
// (black and white; the 16 text colours; a 6 x 6 x 6 cube and 40 greys).
uint32_t convert_image(const Image& src, int32_t bits, std::string* error = nullptr);

// The size imagesize makes from the old size and the requested one: a
// positive value is the side, -f scales the side by f, 0 on one side keeps
// the aspect ratio from the other side, 0 on both keeps the size. False
// when the result is beyond the limits or not positive.
bool resized_extent(int64_t old_w, int64_t old_h, double want_w, double want_h, int32_t& w, int32_t& h);
// A copy of `src` stretched to w x h (nearest pixel centre) at `bits` (0:
// the source's depth).
uint32_t resize_image(const Image& src, int32_t w, int32_t h, int32_t bits, std::string* error = nullptr);

// Moves the pixels, depth and palette of image `from` into `into` (whose
// handle and drawing state stay; its clip rectangle becomes the whole new
// picture) and releases `from`'s handle with the old pixels.
void replace_pixels(Image& into, uint32_t from);

// --- in-place processing -------------------------------------------------------------

enum class Process { Greyscale, Invert, Tint };
// imageprocess: amount in percent, colour 0xRRGGBB (plain: no colour given).
void process_image(Image& img, Process op, int32_t amount, uint32_t color, bool plain);
// imageunsharp: amount in percent, radius, threshold.
void unsharp_image(Image& img, double amount, double radius, double threshold);
// The Gaussian matrix of the sharpening blur for a radius (sum 1).
std::vector<double> gauss_matrix(double radius);
// imageflood: a 1-bit image of the image's size whose set (white) pixels
// are the region connected to the corner pixel that matches its colour
// within the tolerance (percent). 0 for an empty image.
uint32_t flood_mask(const Image& img, bool bottom, bool right, double tolerance);

// --- geometric transforms ------------------------------------------------------------

// A picture made by a transform: pixels 0xAARRGGBB of a w x h box whose top
// left lies at (x, y) of the drawing target; alpha is the coverage.
struct Mapped {
  int64_t x = 0, y = 0;
  int32_t w = 0, h = 0;
  std::vector<uint32_t> argb;
};

// Bilinear sample at (u, v) in pixel units (pixel centres at i + 0.5),
// edges extended. Channels rounded to the nearest value.
uint32_t sample_bilinear(const std::vector<uint32_t>& argb, int32_t w, int32_t h, double u, double v);

// Rotation by `angle` radians (clockwise on the screen, y pointing down) of
// the image placed with its top left at (x, y), about the pivot (px, py) in
// image coordinates. `anti` takes the nearest source pixel at 4 x 4 points per
// pixel, averages them and keeps the partial coverage as alpha; otherwise a pixel is covered when its centre
// maps into the source, and it takes the bilinear sample there. False when
// the result would exceed the size limits.
bool rotate_image(const Image& src, double x, double y, double angle, double px, double py, bool anti,
                  Mapped& out);
// Perspective map of the image onto the quadrilateral q (x, y pairs of the
// corners that the top left, top right, bottom right and bottom left corner
// of the image go to). False for a degenerate quadrilateral or a result
// beyond the limits.
bool warp_image(const Image& src, const double q[8], bool anti, Mapped& out);

// imagepolar: the ring between radii r1 and r2 around (cx, cy), unwrapped
// into a strip of w x h: column x is the angle 360 * (x + 0.5) / w degrees
// clockwise from straight up, the top row the outer radius r2, the bottom
// row the inner radius r1. 24 bits (32 with alpha for alpha sources).
uint32_t polar_image(const Image& src, int32_t w, int32_t h, double cx, double cy, double r1, double r2,
                     std::string* error = nullptr);

// --- displacement images ---------------------------------------------------------------

// Marks the image (made 24 bits) as a displacement image, or asks whether it is one.
void set_displacement(Image& img);
bool is_displacement(const Image& img);
// The source image a displacement image samples (imagecalcsource); no
// reference is kept, a freed source is not found. Null when none.
void set_displacement_source(Image& img, uint32_t source_handle);
Image* displacement_source(const Image& img);
// The colour a displacement pixel (i, j) shows when the displacement image
// is put at (x, y): the source pixel at (x + i + red - 128, y + j + green -
// 128); outside the source the pixel is left (false).
bool displacement_sample(const Image& disp, const Image& source, int64_t x, int64_t y, int64_t i, int64_t j,
                         uint32_t& color);
// The displacement put onto `target` at (x, y), clipped to its clip
// rectangle. Returns the changed rectangle (false when nothing was drawn).
bool displacement_put(Image& target, const Image& disp, int64_t x, int64_t y, Rect& changed);

}  // namespace gfx
