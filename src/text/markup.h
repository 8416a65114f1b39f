// Mark-up text: the HTML reader behind var_texthtml. It turns the text into
// the same decoded characters as plain text (each with its font and colour),
// so that measuring and drawing share the line layout.
//
// The reader is a single pass over a bounded text: every look-ahead is
// checked against the end, nesting is capped, and malformed mark-up never
// fails (an unknown tag is skipped to its ">", an unterminated tag or
// comment ends the text).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/layout.h"

namespace vm {
struct Interp;
}

namespace text {

// Decodes HTML into characters. Fonts the mark-up names are made as system
// fonts and cached in script variables (e.g. timesnewroman12b); with a null
// `ctx` (or st.html_win off) every character keeps the base font. Links are
// listed in d.links and images in d.images. The html tag restarts the link
// numbering of the context.
Decoded decode_html(vm::Interp* ctx, std::string_view text, const Font& base, uint32_t color,
                    const TextState& st);

// Decodes RTF into characters, fonts as for HTML (from the font table's
// face, the size and the styles). A reader error sets d.error: 1 a "}"
// with no group open, 2 groups nested deeper than 256, 3 the text ends
// with a group open, 4 a character other than a hexadecimal digit in a
// \'hh escape.
Decoded decode_rtf(vm::Interp* ctx, std::string_view text, const Font& base, uint32_t color,
                   const TextState& st);
// Raises the script error of an RTF reader error: its message names the
// number and ends with " RTF Parsing".
void report_rtf_error(vm::Interp& ctx, int32_t error);

// What the host provides for links: making the hotspot `name` over the
// rectangle that runs `href`.
struct MarkupHooks {
  void (*link)(vm::Interp& ctx, const std::string& name, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
               std::string_view href) = nullptr;
};
void set_markup_hooks(const MarkupHooks& hooks);
const MarkupHooks& markup_hooks();

// Makes the hotspots of the links drawn (rects[k] is link k's area; an
// empty one, x1 > x2, was not drawn), named "_htmlhot" and the context's
// link number.
void make_link_hotspots(vm::Interp& ctx, const Decoded& d, const std::vector<gfx::Rect>& rects);

// Registers the HTML option variables.
void markup_register();

}  // namespace text
