// System ("Windows") fonts: a face description rasterised into a bitmap-font
// record, the fontstyle keywords that change a description, and the list of
// installed families. The faces are found and drawn by the platform layer
// (platform/font_raster.h: fontconfig and FreeType).
//
// Note: metrics are whole pixels (scale 1): FreeType's hinted advances are
// whole pixels already, and the cells hold the glyphs as FreeType draws them.
//
// Characters 128..255 of the ansi (0) and default (1) character sets are
// the Windows-1252 code points mapped to Unicode (0x80 is the euro sign; the
// five unassigned codes have no glyph); oem (255) uses code page 437 (line
// drawing); symbol (2) uses the face's symbol map when it has one. Every
// other set maps 128..255 to Latin-1. Codes below 32 never have glyphs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/font.h"

namespace text {

// Sizes beyond these are refused before anything is allocated.
inline constexpr int32_t kMaxSystemFontHeight = 1000;  // pixels, either sign
inline constexpr int32_t kMaxSystemFontWidth = 1000;   // average character width, pixels
inline constexpr int64_t kMaxFontDataBytes = int64_t(64) << 20;
inline constexpr int32_t kMaxFontCellSide = 2048;  // what the font readers accept

// A fresh description: face "Arial", height -16 (16-pixel characters),
// every other field zero.
SystemFontDesc default_system_desc();

// The Unicode code point drawn for character c of a character set; 0 when
// the character has no glyph in that set.
uint32_t system_code_point(uint8_t c, uint8_t charset);

// The installed face a description resolves to.
struct ResolvedFace {
  std::string family;  // e.g. "Liberation Sans" for "Arial"
  std::string style;   // e.g. "Bold Italic"
};
bool resolve_system_face(const SystemFontDesc& d, ResolvedFace* out, std::string* error);

// How the cells are laid out.
struct SystemFontLayout {
  // Every glyph gets the same x_offset (the smallest) and bearing 0, the
  // ink placed at its own column of the cell: the form a VKF file can hold.
  bool shared_offsets = false;
};

// Rasterises f.sys into the record of f (characters range_first..range_last
// of f.h, in either order): the face through fontconfig, the glyphs through
// FreeType, 1-bit or 8-bit coverage (f.sys.anti). Sets is_system. On failure
// (a size out of bounds, no usable face, no character in the range) f is
// left as it was and `error` says why.
//
// Height: negative = character (em) height, positive = cell height
// (ascender + descender), 0 = -16. Width: 0 = the face's proportions, else
// the average character width. Rotated fonts (orientation not a multiple of
// 3600) draw each glyph turned about its pen origin; text still runs left to
// right: a glyph's advance is the width of its turned advance box
// (advance x ascender+descender), and the cell is as tall as the tallest
// turned box. Underline and strikeout fold the side bearings into the ink so
// that the lines join from glyph to glyph.
bool rasterize_system_font(Font& f, std::string* error);
bool rasterize_system_font(Font& f, const SystemFontLayout& layout, std::string* error);

// One argument of fontstyle: a number or a word.
struct StyleArg {
  bool is_number = false;
  int64_t number = 0;
  std::string word;
};
// Applies fontstyle arguments to a description, the character range and
// the render flag (the keyword table is in docs/system-fonts.md).
void apply_font_style(SystemFontDesc& d, int32_t& range_first, int32_t& range_last, bool& render_now,
                      const std::vector<StyleArg>& args);

// The installed families, sorted case-insensitively, one per line, lines
// separated by CR LF; each family is followed by the style words of its
// faces in parentheses, e.g. "DejaVu Sans (ExtraLight, Bold, Italic)".
std::string font_family_list();

}  // namespace text
