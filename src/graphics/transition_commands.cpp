// The transition commands: imagefadebegin, imagefadexybegin, imagefadecheck,
// imagefadefree, imagefadesize; the FADE element (type 27) that holds a
// running transition, and the context's cell sizes per effect.
#include <algorithm>
#include <cstring>

#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "graphics/image_load.h"
#include "graphics/transitions.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace gfx {

namespace {

// The payload of a FADE element.
struct FadeRecord {
  Transition* t;
};

// The cell width and height of each effect, set by imagefadesize; a value
// below 1 counts as 2.
struct CellSizes {
  uint8_t width[kEffectCount];
  uint8_t height[kEffectCount];
};

CellSizes& cell_sizes(vm::Interp& ctx) {
  void*& slot = ctx.slots[vm::kSlotTransitions];
  if (!slot) slot = new CellSizes{};
  return *static_cast<CellSizes*>(slot);
}

void closer(vm::Interp& ctx) {
  delete static_cast<CellSizes*>(ctx.slots[vm::kSlotTransitions]);
  ctx.slots[vm::kSlotTransitions] = nullptr;
}

void fade_cleanup(uint32_t, void* payload) { transition_delete(static_cast<FadeRecord*>(payload)->t); }

// A variable's name (or an array item's path) and the value it names.
bool is_name(vm::Value v) { return vm::is_text(v) || vm::element_type_of(v) == vm::kTypeArrayPath; }

Transition* fade_of(vm::Interp& ctx, vm::Value v) {
  if (is_name(v))
    if (vm::Value* cell = vm::var_find(ctx, v)) v = *cell;
  auto* rec = static_cast<FadeRecord*>(vm::element_lookup(v, vm::kTypeFade));
  return rec ? rec->t : nullptr;
}

bool is_number(vm::Value v) { return v.is_int() || v.is_float(); }

// The effect argument: a name, a number (outside 1..36 it is 1) or an image,
// which is the pattern of effect 0. A text that is no effect name is loaded
// as an image (and fails as a missing image does).
int read_effect(vm::Interp& ctx, vm::Value v, const Image*& pattern) {
  pattern = nullptr;
  if (is_number(v)) {
    const int64_t e = vm::value_to_integer(&ctx, v);
    return e < 1 || e >= kEffectCount ? 1 : int(e);
  }
  if (vm::is_text(v)) {
    const int e = effect_from_name(vm::element_text(v));
    if (e >= 0) return e;
  }
  std::vector<Image*> images = images_of(image_arg(ctx, v));
  if (images.empty()) return 1;
  pattern = images.front();
  return kEffectPattern;
}

// imagefadebegin state effect [image] [duration], and with `xy` the
// position after the effect.
void begin(vm::Interp& ctx, bool xy) {
  const uint32_t n = vm::close_frame(ctx);
  if (n < 2) return vm::pop_n(ctx, n);
  const vm::Value var = ctx.top[0];
  TransitionSpec spec;
  spec.effect = read_effect(ctx, ctx.top[1], spec.pattern);
  uint32_t i = 2;
  if (xy && n >= 4) {
    spec.x = read_coord(ctx, ctx.top[2], true);
    spec.y = read_coord(ctx, ctx.top[3], false);
    i = 4;
  }
  uint32_t fill = 0;
  if (i < n && !is_number(ctx.top[i])) {
    std::vector<Image*> images = images_of(image_arg(ctx, ctx.top[i]));
    if (!images.empty()) spec.image = images.front();
    i++;
  }
  int64_t hundredths = i < n ? vm::value_to_integer(&ctx, ctx.top[i]) : 0;
  Image* tgt = target(ctx);
  if (!spec.image && tgt && !ctx.stop) {
    // No image: a fade to the current colour over the clip rectangle.
    Rect c;
    if (clip_rect(*tgt, c)) {
      fill = image_create(c.x2 - c.x1 + 1, c.y2 - c.y1 + 1, tgt->bits == 32 && tgt->has_alpha ? -32 : tgt->bits,
                          tgt, nullptr);
      if (Image* f = image_of(fill)) {
        f->st.off_x = f->st.off_y = 0;
        f->st.minx = f->st.miny = 0;
        f->st.maxx = int16_t(std::min(f->width() - 1, 32767));
        f->st.maxy = int16_t(std::min(f->height() - 1, 32767));
        fill_rect(*f, 0, 0, f->width() - 1, f->height() - 1, tgt->st.color);
        spec.image = f;
        if (!xy) spec.x = c.x1, spec.y = c.y1;
      }
    }
  }
  if (spec.image) {
    spec.x += spec.image->st.off_x;
    spec.y += spec.image->st.off_y;
  }
  const CellSizes& cs = cell_sizes(ctx);
  spec.cell_w = cs.width[spec.effect] < 1 ? 2 : cs.width[spec.effect];
  spec.cell_h = cs.height[spec.effect] < 1 ? 2 : cs.height[spec.effect];
  hundredths = std::clamp<int64_t>(hundredths, 0, int64_t(1) << 30);
  spec.duration = uint64_t(hundredths) * (uint64_t(1) << 32) / 100;
  spec.edge = vm::sysvar_int(ctx, vm::SV_var_imageedgeenabled) != 0;
  spec.edge_color = uint32_t(vm::sysvar_int(ctx, vm::SV_var_imageedgecolor)) & 0xFFFFFF;

  Transition* t = ctx.stop ? nullptr : transition_begin(ctx, spec);
  if (fill) vm::element_release(fill);
  if (t) {
    FadeRecord rec{t};
    const uint32_t h = vm::element_create(&rec, sizeof rec, vm::kTypeFade);
    if (!h) {
      transition_delete(t);
    } else {
      if (is_name(var))
        if (vm::Value* cell = vm::var_for_set(ctx, var)) vm::value_store(*cell, vm::Value::from_handle(h));
      vm::element_release(h);
    }
  }
  vm::pop_n(ctx, n);
}

}  // namespace

void transitions_register() {
  vm::element_set_cleanup(vm::kTypeFade, fade_cleanup);
  vm::interp_add_closer(closer);
}

}  // namespace gfx

namespace vm {

void h_imagefadebegin(Interp& ctx) { gfx::begin(ctx, false); }
void h_imagefadexybegin(Interp& ctx) { gfx::begin(ctx, true); }

// imagefadecheck state: one step at most; 1 while the transition runs.
void h_imagefadecheck(Interp& ctx) {
  const uint32_t n = close_frame(ctx);
  gfx::Transition* t = n > 0 ? gfx::fade_of(ctx, ctx.top[0]) : nullptr;
  const bool running = t && gfx::transition_check(ctx, *t);
  pop_n(ctx, n);
  push_int(ctx, running ? 1 : 0);
}

void h_imagefadefree(Interp& ctx) { free_variables(ctx, kTypeFade); }

// imagefadesize width [height] [effect]: the cell size of one effect, or of
// all when none is named; a missing or zero height takes the width. Sizes
// are kept in bytes: beyond 255 they are 255.
void h_imagefadesize(Interp& ctx) {
  const uint32_t n = close_frame(ctx);
  int64_t w = n > 0 ? value_to_integer(&ctx, ctx.top[0]) : 0, h = 0;
  uint32_t i = 1;
  if (n > 1 && gfx::is_number(ctx.top[1])) h = value_to_integer(&ctx, ctx.top[i++]);
  if (h == 0) h = w;
  int effect = -1;
  const bool named = i < n;
  if (named) {
    const Value v = ctx.top[i];
    if (gfx::is_number(v)) {
      const int64_t e = value_to_integer(&ctx, v);
      effect = e < 0 || e >= gfx::kEffectCount ? -1 : int(e);
    } else if (is_text(v)) {
      effect = gfx::effect_from_name(element_text(v));
    }
  }
  gfx::CellSizes& cs = gfx::cell_sizes(ctx);
  const uint8_t bw = uint8_t(std::clamp<int64_t>(w, 0, 255)), bh = uint8_t(std::clamp<int64_t>(h, 0, 255));
  for (int e = 0; e < gfx::kEffectCount; e++)
    if ((!named && effect < 0) || e == effect) cs.width[e] = bw, cs.height[e] = bh;
  pop_n(ctx, n);
}

}  // namespace vm
