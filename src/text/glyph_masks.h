// Glyph cells expanded to one coverage byte a pixel, with the inked columns
// of each row, kept per font so that drawing text reads no packed bits and
// visits no blank pixels.
#pragma once

#include <cstdint>
#include <vector>

#include "text/font.h"

namespace text {

struct GlyphMask {
  int32_t width = 0, height = 0;  // the cell's
  int32_t stride = 0;             // bytes a row: width and three zero bytes, so four can be read from any column
  std::vector<uint8_t> coverage;  // height rows of stride bytes, 0..255
  // Per row, the first inked column and one past the last (equal: no ink).
  std::vector<int16_t> first, end;
  // Cells of 1 bit a pixel: every inked pixel in groups of four columns of
  // one row, row by row, each group with its 32-bit pixel masks (0x00FFFFFF
  // for an inked pixel, 0 else), so that a glyph drawn whole into a 32-bit
  // image is a few masked stores. The groups of a row start at its first
  // inked column and follow on, four columns apart, leaving out blank ones.
  struct InkGroup {
    int16_t row, col;
    uint32_t mask[4];
  };
  std::vector<InkGroup> groups;
  // The inked rows and columns, [ink_r0, ink_r1) x [ink_c0, ink_c1) (empty
  // when there is no ink), and one past the last column a group reaches.
  int32_t ink_r0 = 0, ink_r1 = 0, ink_c0 = 0, ink_c1 = 0, group_end = 0;
};

// The mask of character c of the font, made on first use and made again
// whenever the cell's bytes or the font's geometry differ from those it was
// made from (a script may write into a font's data). Null when the font has
// no cell for c, cells of a depth other than 1, 2, 4 or 8 bits or cells
// too large to keep. Valid until the next call.
const GlyphMask* glyph_mask(const Font& f, uint8_t c);

}  // namespace text
