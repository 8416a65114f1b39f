// What the two mark-up fuzz targets share: a context with a frame and a
// system font, and one run that draws the input as mark-up into an image.
// The first byte of an input picks the layout options (bit 0 wrap, 1
// justified, 2 centred, 3 clip, 4 HTML tabs, 5 wrap after punctuation);
// the rest is the text. Faces named by the mark-up are not rasterised
// (every character keeps the base font); pictures go through the image
// loader as in a script (a missing one is a script error, cleared with the
// stop flag after each input).
#pragma once

#include <cstdint>
#include <string_view>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "host/engine.h"
#include "text/font.h"
#include "text/layout.h"
#include "text/markup.h"
#include "text/sysfont.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace fuzz_markup {

inline vm::Interp* g_ctx = nullptr;
inline uint32_t g_font = 0;

inline void init() {
  static bool done = [] {
    host::engine_init();
    g_ctx = vm::interp_create();
    gfx::frame(*g_ctx);
    g_font = text::font_create();
    text::Font* f = text::font_of(g_font);
    std::string error;
    f->sys = text::default_system_desc();
    f->sys.height = -12;
    if (!text::rasterize_system_font(*f, &error)) __builtin_trap();
    return true;
  }();
  (void)done;
}

inline void run(const uint8_t* data, size_t size, bool rtf) {
  init();
  if (size < 1) return;
  vm::Interp& ctx = *g_ctx;
  text::TextState& st = text::text_state(ctx);
  const uint8_t o = data[0];
  st.html = !rtf, st.rtf = rtf;
  st.wrap = o & 1, st.justified = (o >> 1) & 1, st.center = (o >> 2) & 1, st.left = !(o & 6);
  st.clip = (o >> 3) & 1, st.html_tabs = (o >> 4) & 1, st.wrappunct = (o >> 5) & 1;
  st.html_win = 0;
  st.html_links = 0;
  std::string_view s(reinterpret_cast<const char*>(data) + 1, size - 1);

  uint32_t img = gfx::image_create(96, 64, 24, nullptr, nullptr);
  gfx::set_target(ctx, img);
  gfx::Image* target = gfx::image_of(img);
  vm::element_ref(g_font);
  vm::element_release(target->st.font);
  target->st.font = g_font;
  text::draw_text(ctx, s);
  // The measures read the same text without failing.
  const text::Font& base = *text::font_of(g_font);
  text::Decoded d = text::decode_text(&ctx, s, base, 0, st);
  text::text_width(d, st, false);
  text::text_height(&ctx, d, st, 96, 0);
  for (const text::Item& it : d.items)
    if (it.font >= d.fonts.size() || (it.image && it.image > d.images.size())) __builtin_trap();
  gfx::set_target(ctx, 0);
  vm::element_release(img);
  ctx.stop = 0;  // an RTF error stops the context: the next input starts afresh
}

}  // namespace fuzz_markup
