// Text layout and drawing: the text state of a context, the advance and
// line-breaking rules shared by measuring and drawing, and glyph drawing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/font.h"

namespace vm {
struct Interp;
}
namespace gfx {
struct Image;
struct Rect;
}

namespace text {

// The text settings of a context (the pen and the font are fields of the
// drawing target's state, so they follow the target).
struct TextState {
  uint8_t center = 0, justified = 0, left = 1, right = 0;
  uint8_t clip = 0, colorcodes = 0, fontcodes = 0, draw = 1, drawback = 0;
  uint8_t html = 0, rtf = 0, indent = 0, monospace = 0, quick = 0, scroll = 0;
  uint8_t wrap = 0, wrappunct = 0;
  int32_t kern = 0;
  int32_t shadow_filter = 0;  // filter level of the shadow: 0 opaque .. 255 faint
  int32_t tab_size = 8;       // >0: stops every tab_size * tab unit; <0: every -tab_size pixels; 0: no room
  int32_t shadow_pos = 0;     // direction 0..8, 0 = no shadow
  int32_t shadow_x = 0, shadow_y = 0;  // distances (magnitudes)
  // HTML: keep tabs, anti-aliased faces, system faces at all; links made so far.
  uint8_t html_tabs = 0, html_anti = 1, html_win = 1;
  int32_t html_links = 0;
};
// The context's text state, made at its first use.
TextState& text_state(vm::Interp& ctx);
// Deletes the context's text state (the text context closer).
void text_state_free(vm::Interp& ctx);

// One character of decoded text with the font and colour in force for it.
struct Item {
  uint8_t c;
  uint8_t font;    // index into Decoded::fonts
  uint16_t image;  // 1-based index into Decoded::images: the item is that picture (0: a character)
  uint32_t color;  // 0xRRGGBB
  uint32_t src;    // byte offset in the source text
  uint8_t align = 0;  // of the line the item starts (RTF paragraphs): 1 left, 2 right, 3 centre, 4 justified; 0: the text state's
};
// A picture laid out as one wide character (mark-up images): `space` pixels
// either side, `vspace` above and below.
struct InlineImage {
  const gfx::Image* image;
  int32_t w, h, space, vspace;
};
// A link of mark-up text: items [begin, end) run `href`.
struct TextLink {
  size_t begin, end;
  std::string href;
};
struct Decoded {
  std::vector<Item> items;
  std::vector<const Font*> fonts;  // [0] is the base font
  std::vector<InlineImage> images;
  std::vector<TextLink> links;
  uint32_t src_size = 0;
  int32_t error = 0;  // the RTF reader's error number (0: none); the items are those read before it
};

// Decodes text into items: trailing zero bytes dropped; with colour codes,
// "^" + hex digit picks one of the 16 standard colours, "^#RRGGBB" any
// colour and "^^" is a caret; with font codes, "~{name}" switches to a font
// found by name (a variable or a file), "~{}" back to the base font and "~~"
// is a tilde. `ctx` may be null when no font codes are to be resolved.
Decoded decode_text(vm::Interp* ctx, std::string_view text, const Font& base, uint32_t color,
                    const TextState& st);

// A laid-out line: items [begin, end), starting at pen x `start_x`; x[i]
// in Layout::x is the pen x before item i.
struct Line {
  size_t begin, end, next;
  int32_t start_x;
  int32_t end_x;    // pen x after the last counted item (trailing break spaces not counted)
  int32_t pen_x;    // pen x after every item of the line
  int32_t height;   // tallest cell + the base font's gap_line
  int32_t cell;     // tallest cell
  int32_t overhang; // of the last character
  int32_t spaces;   // spaces inside the line (for justification)
  bool wrapped;     // ended by wrapping, not by a newline or the end
};
struct Layout {
  std::vector<Line> lines;
  std::vector<int32_t> x;  // pen x before each item (valid for the items of each line)
};

struct LayoutBox {
  int32_t left;       // left edge (tab stops count from here)
  int32_t width;      // maximum width; <= 0 means no limit
  int32_t first_x;    // pen x of the first line
  bool no_wrap;       // split at newlines only
};

// Lays the decoded text out into lines. Stops early when `ctx` is asked to stop.
Layout layout_text(vm::Interp* ctx, const Decoded& d, const TextState& st, const LayoutBox& box);

// Widths as textwidth and textwidthlast give them: lines split at newlines
// only, each line's width with the overhang of its last character.
int32_t text_width(const Decoded& d, const TextState& st, bool last_line_only);

// textheight: the total height, or with max_height > 0 the bytes (from the
// start of the decoded text) that fit, or with max_height < 0 the 1-based
// number of the first of the last lines that fit in -max_height pixels.
int64_t text_height(vm::Interp* ctx, const Decoded& d, const TextState& st, int32_t max_width, int32_t max_height);

// Draws text at the pen of the drawing target, wrapping inside its clip
// rectangle, and leaves the pen after the last character. With `within`
// the glyphs are also clipped to it (layouts keep the clip rectangle).
// HTML links make hotspots (markup.h), except with `within` (layer texts).
void draw_text(vm::Interp& ctx, std::string_view text, const gfx::Rect* within = nullptr);

// Registers the text variables and commands' state.
void text_register();
// Gives the layers (graphics/layers.h) their text layout and drawing.
void layer_text_register();

}  // namespace text
