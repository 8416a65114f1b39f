// The text of layers: a private copy of the drawing target's font and text
// settings, laid out and drawn by the text family's own routines into the
// layer's text box.
#include <algorithm>

#include "graphics/draw.h"
#include "graphics/layers.h"
#include "text/layout.h"
#include "vm/interp.h"

namespace text {

namespace {

struct LayerTextState {
  TextState ts;
  uint32_t font;  // one reference
  uint32_t color, back;
};

void* capture(vm::Interp& ctx) {
  auto* s = new LayerTextState{text_state(ctx), 0, 0xFFFFFF, 0};
  // A layer's text never scrolls the picture it is drawn into.
  s->ts.scroll = 0;
  if (gfx::Image* t = gfx::target(ctx)) {
    s->font = t->st.font;
    vm::element_ref(s->font);
    s->color = t->st.color;
    s->back = t->st.back;
  }
  return s;
}

void release(void* p) {
  auto* s = static_cast<LayerTextState*>(p);
  vm::element_release(s->font);
  delete s;
}

int16_t c16(int64_t v) { return int16_t(std::clamp<int64_t>(v, -32768, 32767)); }

// Lays the text out into the box as `text` lays it out between the clip
// edges, and draws it from the first shown line on: the lines above it are
// placed above the box, where the clip rectangle cuts them off.
void draw(vm::Interp& ctx, gfx::Image& dst, gfx::Layer& l, int64_t x, int64_t y, int32_t w, int32_t h,
          const gfx::Rect& within) {
  auto* s = static_cast<LayerTextState*>(l.text_state);
  if (!s || w <= 0 || h <= 0 || !vm::is_text(l.text)) return;
  const int64_t bx2 = x + w - 1, by2 = y + h - 1;
  gfx::Rect clip{int32_t(std::max<int64_t>(within.x1, x)), int32_t(std::max<int64_t>(within.y1, y)),
                 int32_t(std::min<int64_t>(within.x2, bx2)), int32_t(std::min<int64_t>(within.y2, by2))};
  if (clip.x1 > clip.x2 || clip.y1 > clip.y2) return;
  std::string_view str = vm::element_text(l.text);

  gfx::Image* old_target = gfx::target(ctx);
  gfx::Image* frame = gfx::frame(ctx);
  const uint32_t old = old_target && old_target != frame ? old_target->self : 0;
  vm::element_ref(old);
  gfx::set_target(ctx, dst.self);
  const gfx::DrawState saved = dst.st;
  TextState& ts = text_state(ctx);
  const TextState saved_ts = ts;
  ts = s->ts;
  dst.st.font = s->font;
  dst.st.color = s->color;
  dst.st.back = s->back;
  dst.st.filter = l.filter;
  dst.st.minx = c16(x), dst.st.miny = c16(y), dst.st.maxx = c16(bx2), dst.st.maxy = c16(by2);
  int64_t shift = 0;
  if (l.first_line > 0)
    if (const Font* font = current_font(ctx)) {
      Decoded d = decode_text(&ctx, str, *font, s->color, ts);
      LayoutBox box{dst.st.minx, dst.st.maxx - dst.st.minx + 1, dst.st.minx, false};
      Layout lay = layout_text(&ctx, d, ts, box);
      for (size_t k = 0; k < lay.lines.size() && k < size_t(l.first_line); k++) shift += lay.lines[k].height;
    }
  dst.st.text_x = int32_t(x);
  dst.st.text_y = int32_t(std::clamp<int64_t>(y - shift, -(int64_t(1) << 30), int64_t(1) << 30));
  draw_text(ctx, str, &clip);
  // current_font may have given the state the default font (with a reference).
  s->font = dst.st.font;
  dst.st = saved;
  ts = saved_ts;
  gfx::set_target(ctx, old);
  vm::element_release(old);
}

}  // namespace

void layer_text_register() { gfx::set_layer_text_hooks({capture, release, draw}); }

}  // namespace text
