// Images: the pixel store of an IMAGE element and its drawing state.
//
// Pixels keep the Windows bitmap layout: rows bottom-up, 24- and 32-bit
// pixels in blue, green, red (, alpha) order, rows padded to 4 bytes. Images
// of 1, 4 and 8 bits hold palette indices; they are read and written through
// get_pixel / set_pixel, which map colours through the 256-entry palette.
// A colour is 0xRRGGBB everywhere in this family.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "vm/check.h"

namespace gfx {

inline constexpr int32_t kMaxSide = 32768;
inline constexpr int64_t kMaxPixels = int64_t(1) << 28;

// The sixteen standard colours (0xRRGGBB): the default palette of 4-bit
// images, the palette of 4-bit conversions, and the colours of text colour
// codes ^0 to ^F.
inline constexpr uint32_t kStandardColors[16] = {
    0x000000, 0x0000AA, 0x00AA00, 0x00AAAA, 0xAA0000, 0xAA00AA, 0xAA5500, 0xAAAAAA,
    0x555555, 0x5555FF, 0x55FF55, 0x55FFFF, 0xFF5555, 0xFF55FF, 0xFFFF55, 0xFFFFFF,
};

// The drawing state of one image (a new image copies the target's).
struct DrawState {
  uint32_t font;             // font value (text family), null handle when none
  int32_t width, height;
  int32_t density_x, density_y;
  int32_t off_x, off_y;      // origin offset
  int32_t text_x, text_y;    // text position
  uint32_t color;            // current colour
  uint32_t back;             // background colour
  int32_t filter;            // 0..255
  int32_t tint;
  int16_t minx, miny, maxx, maxy;  // clip rectangle, inclusive
  uint8_t op_and, op_or, op_xor;   // raster operation of image puts (exclusive)
  uint8_t alpha, flip_x, flip_y;
  uint8_t tran;
  uint32_t color_tran;       // transparent colour
};

// The record of an IMAGE element (element type 8).
struct Image {
  uint8_t* pixels;      // first byte of the bottom row; owned (std::malloc)
  int32_t stride;       // bytes per row, a multiple of 4
  int32_t bytes_pp;     // (bits + 7) / 8
  uint32_t self;        // the element's own handle
  uint32_t color_mask;  // (1 << bits) - 1 up to 24 bits, 0xFFFFFF above
  bool has_alpha;       // 32 bits with an alpha channel
  uint32_t mask;        // permanent 1-bit mask image (set bits keep the destination), 0 = none
  uint32_t metafile;    // a string element holding a Windows metafile's bytes, played by imagesize; 0 = none
  uint64_t delay;       // time to wait after a put, 32.32 seconds, 0 = none
  DrawState st;
  uint16_t bits;        // 1, 4, 8, 24 or 32
  uint32_t palette[256];  // 0x00RRGGBB per entry (blue, green, red, 0 in memory)

  int32_t width() const { return st.width; }
  int32_t height() const { return st.height; }
  // Row y of the picture (0 = top); y is inside the picture.
  uint8_t* row(int32_t y) const {
    QASSERT(y >= 0 && y < st.height);
    return pixels + int64_t(st.height - 1 - y) * stride;
  }
};
// Image records are made by clearing bytes (element_create) and copied whole.
static_assert(std::is_trivially_copyable_v<Image>);

struct Rect {
  int32_t x1, y1, x2, y2;  // inclusive
};

// Creates an IMAGE element of w x h pixels and `bits` (1, 4, 8, 24, 32; a
// negative 32 asks for an alpha channel), zero pixels, default palette and
// drawing state (copied from `like` when given). Returns the handle (the
// caller owns the one reference) or 0 when the size is refused (a side
// beyond 32768, more than 2^28 pixels, not positive) or memory runs out.
uint32_t image_create(int32_t w, int32_t h, int32_t bits, const Image* like, std::string* error);
Image* image_of(uint32_t handle);
// Registers the element clean-up of images.
void image_register();

// Pixel access with bounds checks: outside the image get_pixel gives
// 0xFFFFFF and set_pixel does nothing. Indexed images store the palette
// entry nearest to the colour (first on ties).
uint32_t get_pixel(const Image& img, int64_t x, int64_t y);
void set_pixel(Image& img, int64_t x, int64_t y, uint32_t color);
uint8_t nearest_index(const Image& img, uint32_t color);
// Stores palette index `index` at pixel x of a row of an indexed image
// (1, 4 or 8 bits, high bits first).
inline void put_index(uint8_t* row, int bits, int64_t x, uint8_t index) {
  if (bits == 8) {
    row[x] = index;
  } else if (bits == 4) {
    uint8_t& b = row[x >> 1];
    b = (x & 1) ? uint8_t((b & 0xF0) | (index & 0x0F)) : uint8_t((b & 0x0F) | index << 4);
  } else {
    const uint8_t bit = uint8_t(0x80 >> (x & 7));
    if (index) row[x >> 3] |= bit; else row[x >> 3] &= uint8_t(~bit);
  }
}

// The clip rectangle intersected with the image bounds; false when empty.
bool clip_rect(const Image& img, Rect& out);
// Fills the rectangle (corners sorted) clamped to the clip rectangle.
void fill_rect(Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint32_t color);
// Fills pixels x1..x2 of row y, clamped to the clip rectangle.
void fill_span(Image& img, int64_t x1, int64_t x2, int64_t y, uint32_t color);

// Filter blend of one channel value: old - ((old - c) * (256 - level) >> 8).
uint32_t blend(uint32_t old_color, uint32_t color, int32_t level);

// Writes the picture as an 8-bit RGB PNG (top row first). False with a
// message in `error` when the file cannot be written.
bool write_png(const Image& img, const std::string& path, std::string* error);

}  // namespace gfx
