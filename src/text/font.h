// Fonts: the record of a FONT element (element type 9), the VKF and QNF file
// readers and writers, and finding a font by handle, variable or file.
//
// A font is a table of up to 256 equal glyph cells plus per-glyph metrics.
// The saved part of the record (FontHeader) is also the QNF file layout:
// signed 32-bit little-endian integers, 5196 bytes (5192 in version 0 files,
// which lack tab_unit).
#pragma once

#include <cstdint>
#include <type_traits>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace text {

// One glyph's metrics, in units of 1/scale pixel (see Font::metrics).
struct Glyph {
  int32_t ink_left;   // first ink column in the cell
  int32_t ink_right;  // one past the last ink column
  int32_t x_offset;   // horizontal shift when drawing
  int32_t bearing;    // space after the ink; negative: the ink overhangs the advance
  int32_t advance;    // pen advance; 0 = the glyph is absent
};

struct FontHeader {
  char magic[3];  // "QNF"
  uint8_t version;  // 1 for records we write, 0 in older files
  int32_t data_size;  // cell_height * row_bytes * cell_count
  int32_t cell_width, cell_height;
  int32_t reserved16, reserved20;
  int32_t max_advance;  // largest advance (monospaced layout)
  int32_t first_char;   // character code of the first cell
  int32_t cell_count;
  int32_t gap_char;     // extra pixels after every character
  int32_t space_width;  // advance of the space character
  int32_t gap_line;     // extra pixels between lines
  int32_t reserved48;   // copied from the VKF header
  int32_t bits_per_pixel;  // 1, 2, 4 or 8
  int32_t anti;         // non-zero: 8-bit coverage glyphs
  int32_t range_first, range_last;  // characters rasterised for a system font
  int32_t scale;        // divisor of every glyph metric
  Glyph glyphs[256];    // by character code
  int32_t tab_unit;     // width of one tab step; 0: space_width
};
static_assert(sizeof(FontHeader) == 5196, "the saved record is the QNF layout");
inline constexpr size_t kQnfHeaderSize = 5196;
inline constexpr size_t kQnfHeaderSizeV0 = 5192;

// The description of a system ("Windows") font, rasterised through
// fontconfig and FreeType.
struct SystemFontDesc {
  int32_t height;       // negative: character height; positive: cell height (both pixels)
  int32_t width;        // 0: the face's own proportions
  int32_t orientation;  // tenths of a degree, counter-clockwise
  int32_t weight;       // 100..900, 0 = normal
  uint8_t italic, underline, strikeout;
  uint8_t charset, out_precision, quality;
  uint8_t pitch_family;  // pitch in the low four bits, family in the high four
  uint8_t anti;          // 8-bit coverage rendering
  char face[32];         // face name, at most 31 characters
};

// Metrics of one glyph in whole pixels, as layout uses them.
struct GlyphMetrics {
  int32_t ink_left, ink_right, x_offset, bearing, advance;
};

// The payload of a FONT element. Only `h` is saved; the rest is runtime.
struct Font {
  FontHeader h;
  uint32_t self;       // the element's own handle
  uint8_t* data;       // h.data_size bytes of glyph cells (std::malloc), may be null when empty
  vm::Value name;      // the font's name (a text), owned
  SystemFontDesc sys;  // valid when is_system
  bool is_system;      // rasterised from `sys`
  bool render_now;     // the render flag of fontstyle
  // Derived on load (derive()).
  int32_t row_bytes;   // (bits_per_pixel * cell_width + 7) / 8
  int32_t cell_bytes;  // row_bytes * cell_height
  // The gaps as loaded, restored by fontgaps without arguments.
  int32_t saved_gap_char, saved_space_width, saved_gap_line;

  // Scaled metrics of character c (ink_right and bearing round up, x_offset
  // and advance to nearest, ink_left truncates).
  GlyphMetrics metrics(uint8_t c) const;
  // The cell of character c, or null when the font has no cell for it.
  const uint8_t* cell(uint8_t c) const;
  // Coverage 0..255 of pixel (x, y) of a cell (1-bit: 0 or 255).
  uint8_t coverage(const uint8_t* cell, int32_t x, int32_t y) const;
  // The tab unit, falling back to space_width.
  int32_t tab_width() const { return h.tab_unit > 0 ? h.tab_unit : h.space_width; }
};
// Font records are made by clearing bytes (element_create) and copied whole.
static_assert(std::is_trivially_copyable_v<Font>);

// Creates an empty FONT element (zero record, "QNF" version 1, scale 1,
// range_last 255). Returns the handle (the caller owns the reference).
uint32_t font_create();
Font* font_of(uint32_t handle);
Font* font_of(vm::Value v);
// Registers the element clean-up of fonts and the text variables.
void font_register();

// Replaces the glyph data of a font (size h.data_size), derives the
// row sizes and saves the gaps. False when the sizes do not agree.
bool font_set_data(Font& f, std::vector<uint8_t> data);
// Derives row_bytes and cell_bytes and checks them against data_size and
// the cell count; false when they disagree or overflow.
bool font_derive(Font& f);

// Decodes a VKF or QNF file (gzip already inflated): the new FONT handle,
// or why the file was refused. `check_crc` is off only in fuzzing.
base::Result<uint32_t> decode_font(const uint8_t* data, size_t size, bool check_crc = true);
// The QNF bytes of a font (the saved record, then the glyph data).
std::vector<uint8_t> encode_qnf(const Font& f);
// A VKF file of a font of scale 1 whose glyphs share one bearing and one
// x_offset (those of the first present glyph), or why it cannot be
// expressed. `compress` writes a zlib body.
base::Result<std::vector<uint8_t>> encode_vkf(const Font& f, bool compress);
// The CRC-32 of zlib (reflected 0xEDB88320, inverted in and out).
uint32_t crc32_of(const uint8_t* data, size_t size);

// Finds a font: a FONT handle as it is; else a variable named after the
// file (name rule) holding a FONT; else the file through the resource search
// with the extensions qnf, vkf, stored into that variable. Returns the font
// value (borrowed from the variable or the argument) or null. When
// `report_missing` is set, a name found nowhere raises MISSINGFILE.
vm::Value find_font(vm::Interp& ctx, vm::Value v, bool report_missing);
// The default font "default.vkf", cached in the variable `defaultfont`;
// null when it cannot be loaded.
vm::Value default_font(vm::Interp& ctx);
// The font of the drawing target (loading the default font when none is
// selected); null when there is none.
Font* current_font(vm::Interp& ctx);

}  // namespace text
