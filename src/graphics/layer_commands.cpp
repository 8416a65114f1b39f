// The layer commands. Each takes a layer first: a layer, an array of
// layers, or a name (a variable that does not hold a layer gets a new one,
// made in the current scope). Commands without arguments of their own take
// every argument as a layer. Arguments that are no layers and cannot be
// made into one are skipped.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "graphics/image_load.h"
#include "graphics/image_put.h"
#include "graphics/layers.h"
#include "storage/membuf.h"
#include "vm/clock.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {

using gfx::Image;
using gfx::Layer;

namespace {

// The layers an argument stands for.
void collect_layers(Interp& ctx, Value v, std::vector<Layer*>& out) {
  if (Layer* l = gfx::layer_of(v)) {
    out.push_back(l);
    return;
  }
  if (ArrayRecord* a = array_of(v)) {
    for (uint32_t k = 0; k < a->count; k++)
      if (Layer* l = gfx::layer_of(a->items[k].value)) out.push_back(l);
    return;
  }
  const bool path = element_type_of(v) == kTypeArrayPath;
  if (!path && (!is_text(v) || element_text(v).empty())) return;
  if (Value* cell = var_find(ctx, v)) {
    if (Layer* l = gfx::layer_of(*cell)) {
      out.push_back(l);
      return;
    }
    if (ArrayRecord* a = array_of(*cell)) {
      for (uint32_t k = 0; k < a->count; k++)
        if (Layer* l = gfx::layer_of(a->items[k].value)) out.push_back(l);
      if (a->count) return;
    }
  }
  uint32_t h = gfx::layer_create(ctx, v);
  if (!h) return;
  Value lv = Value::from_handle(h);
  if (Value* cell = var_for_set(ctx, v)) value_store(*cell, lv);
  element_release(h);
  if (Layer* l = gfx::layer_of(lv)) out.push_back(l);
}

struct Args {
  Interp& ctx;
  uint32_t n;
  std::vector<Layer*> layers;

  int64_t i(uint32_t k, int64_t dflt = 0) const { return k < n ? value_to_integer(&ctx, ctx.top[k]) : dflt; }
  double d(uint32_t k, double dflt) const { return k < n ? value_to_float(&ctx, ctx.top[k]) : dflt; }
  int32_t coord(uint32_t k, bool x_axis) const {
    return k < n ? int32_t(gfx::read_coord(ctx, ctx.top[k], x_axis)) : 0;
  }
  bool has(uint32_t k) const { return k < n; }
};

// Closes the frame and resolves the first argument (or, with `all`, every
// argument) into layers; the handler then reads its values from index 1.
Args open_layers(Interp& ctx, bool all = false) {
  Args a{ctx, close_frame(ctx), {}};
  const uint32_t count = all ? a.n : std::min<uint32_t>(a.n, 1);
  for (uint32_t k = 0; k < count; k++) collect_layers(ctx, ctx.top[k], a.layers);
  return a;
}

void done(Args& a) { pop_n(a.ctx, a.n); }

int16_t c16(int64_t v) { return int16_t(std::clamp<int64_t>(v, -32768, 32767)); }

// A rectangle or box part in the drawing target's colour, filter and tint.
void set_shape(Args& a, gfx::LayerShape Layer::*part, bool box, bool round) {
  Image* t = gfx::target(a.ctx);
  for (Layer* l : a.layers) {
    gfx::LayerShape& s = l->*part;
    s.enabled = a.n >= 5;
    s.color = t ? t->st.color : 0xFFFFFF;
    s.filter = t ? t->st.filter : 0;
    s.tint = t ? t->st.tint : 0;
    s.x1 = c16(a.coord(1, true)), s.y1 = c16(a.coord(2, false)), s.x2 = c16(a.coord(3, true)), s.y2 = c16(a.coord(4, false));
    if (box) {
      s.thickness = int32_t(std::clamp<int64_t>(a.i(5, 1), -256, 256));
      if (round) s.corner_w = c16(a.i(6, 16)), s.corner_h = c16(a.i(7, a.i(6, 16)));
    } else if (round) {
      s.corner_w = c16(a.i(5, 16)), s.corner_h = c16(a.i(6, a.i(5, 16)));
    }
    gfx::layer_redraw(*l);
  }
}

void set_shape_value(Args& a, gfx::LayerShape Layer::*part, bool tint) {
  for (Layer* l : a.layers) {
    gfx::LayerShape& s = l->*part;
    if (tint) s.tint = int32_t(a.i(1, 0));
    else s.filter = int32_t(std::clamp<int64_t>(a.i(1, 0), 0, 255));
    gfx::layer_redraw(*l);
  }
}

// Straight or curved motion from the current position.
void start_motion(Args& a, bool curve) {
  const uint32_t base = curve ? 5 : 3;
  if (a.n < base) return;
  for (Layer* l : a.layers) {
    gfx::layer_pause_timers(*l);
    const int32_t sx = l->x, sy = l->y;
    int32_t ex, ey, cx, cy;
    if (curve) {
      cx = a.coord(1, true), cy = a.coord(2, false), ex = a.coord(3, true), ey = a.coord(4, false);
    } else {
      ex = a.coord(1, true), ey = a.coord(2, false), cx = sx, cy = sy;
    }
    double ms = a.d(base, 16.666666666666668);
    const double step = a.d(base + 1, 5);
    const double dist = double(std::max(std::llabs(int64_t(sx) - cx), std::llabs(int64_t(sy) - cy)) +
                               std::max(std::llabs(int64_t(cx) - ex), std::llabs(int64_t(cy) - ey)));
    if (dist == 0) {
      gfx::layer_start_timers(*l);
      continue;
    }
    if (!(ms > 0)) ms = 10;
    l->motion = curve ? gfx::MotionKind::Curve : gfx::MotionKind::Straight;
    l->sx = sx, l->sy = sy, l->cx = cx, l->cy = cy, l->ex = ex, l->ey = ey;
    l->steps = gfx::motion_steps(dist, step);
    l->step = -1;
    l->motion_repeat = l->repeat;
    l->motion_passes = 0;
    l->motion_start = clock_now();
    l->ms_per_step = ms;
    l->motion_done = l->motion_pending = 0;
    l->busy = 1;
    gfx::layer_start_timers(*l);
  }
}

// A layer's own image (animation, panorama view) is put as it is: no
// origin offset, transparency, blending, flips or raster operation of the
// drawing target it was made like.
void plain_state(Image& img) {
  img.st.off_x = img.st.off_y = 0;
  img.st.tran = 0, img.st.alpha = 0, img.st.filter = 0, img.st.flip_x = img.st.flip_y = 0;
  img.st.op_and = img.st.op_or = img.st.op_xor = 0;
}

// The delays of an image list's frames (32.32), for the timer thread.
uint64_t* frame_delays(Value frames, int32_t count) {
  auto* d = static_cast<uint64_t*>(std::calloc(size_t(std::max(count, 1)), sizeof(uint64_t)));
  if (!d) return nullptr;
  ArrayRecord* a = array_of(frames);
  for (int32_t k = 0; k < count; k++) {
    Value v = a ? a->items[k].value : frames;
    if (Image* img = gfx::image_of(v.is_element() ? v.handle() : 0)) d[k] = img->delay;
  }
  return d;
}

}  // namespace

// layerposition layer x y
void h_layerposition(Interp& ctx) {
  Args a = open_layers(ctx);
  if (a.n >= 3)
    for (Layer* l : a.layers) {
      l->x = a.coord(1, true), l->y = a.coord(2, false);
      gfx::layer_redraw(*l);
    }
  done(a);
}

// layerimage layer image: an image, an image list, or a name for the loader.
void h_layerimage(Interp& ctx) {
  Args a = open_layers(ctx);
  if (a.n >= 2) {
    Value img = gfx::image_arg(ctx, ctx.top[1]);
    for (Layer* l : a.layers) {
      value_store(l->image, img);
      gfx::layer_redraw(*l);
    }
  }
  done(a);
}

// layertext layer text...: the text, the box back to automatic size, and the
// drawing target's font and text settings copied for it.
void h_layertext(Interp& ctx) {
  Args a = open_layers(ctx);
  std::string s;
  for (uint32_t k = 1; k < a.n; k++) s += value_to_string(&ctx, ctx.top[k]);
  // An empty text is no text: it would cover its whole (automatic) box.
  Value text = s.empty() ? Value::null() : Value::from_handle(text_intern(s));
  for (Layer* l : a.layers) {
    value_store(l->text, text);
    l->text_w = l->text_h = -1;
    l->width = l->height = -1;
    if (Image* t = gfx::target(ctx)) l->filter = t->st.filter;
    gfx::layer_capture_text_state(*l);
    gfx::layer_redraw(*l);
  }
  value_release(text);
  done(a);
}

// layertextwidth / layertextheight layer n: fixes the text box's side.
void h_layertextwidth(Interp& ctx) {
  Args a = open_layers(ctx);
  for (Layer* l : a.layers) {
    l->text_w = int32_t(std::clamp<int64_t>(a.i(1, -1), -1, gfx::kMaxSide));
    gfx::layer_redraw(*l);
  }
  done(a);
}
void h_layertextheight(Interp& ctx) {
  Args a = open_layers(ctx);
  for (Layer* l : a.layers) {
    l->text_h = int32_t(std::clamp<int64_t>(a.i(1, -1), -1, gfx::kMaxSide));
    gfx::layer_redraw(*l);
  }
  done(a);
}

namespace {
int32_t clamp_off(int64_t v) { return int32_t(std::clamp<int64_t>(v, -gfx::kMaxSide, gfx::kMaxSide)); }

// Text scrolling: lines (the first shown line) or pixels (the offset).
void scroll_text(Interp& ctx, int dl, int dx, int dy) {
  Args a = open_layers(ctx);
  const int64_t n = a.i(1, 1);
  for (Layer* l : a.layers) {
    if (dl) l->first_line = int32_t(std::clamp<int64_t>(int64_t(l->first_line) + dl * n, 0, 1 << 20));
    l->text_off_x = clamp_off(int64_t(l->text_off_x) + dx * n);
    l->text_off_y = clamp_off(int64_t(l->text_off_y) + dy * n);
    gfx::layer_redraw(*l);
  }
  done(a);
}
}  // namespace

// layertextoffset layer x y: the text relative to the position.
void h_layertextoffset(Interp& ctx) {
  Args a = open_layers(ctx);
  for (Layer* l : a.layers) {
    l->text_off_x = clamp_off(a.i(1, 0)), l->text_off_y = clamp_off(a.i(2, 0));
    gfx::layer_redraw(*l);
  }
  done(a);
}

// layertextline layer n: the first shown line (1 = the first).
void h_layertextline(Interp& ctx) {
  Args a = open_layers(ctx);
  for (Layer* l : a.layers) {
    l->first_line = int32_t(std::clamp<int64_t>(a.i(1, 1) - 1, 0, 1 << 20));
    gfx::layer_redraw(*l);
  }
  done(a);
}
void h_layertextlineup(Interp& ctx) { scroll_text(ctx, -1, 0, 0); }
void h_layertextlinedown(Interp& ctx) { scroll_text(ctx, 1, 0, 0); }
void h_layertextscrollup(Interp& ctx) { scroll_text(ctx, 0, 0, -1); }
void h_layertextscrolldown(Interp& ctx) { scroll_text(ctx, 0, 0, 1); }
void h_layertextscrollleft(Interp& ctx) { scroll_text(ctx, 0, -1, 0); }
void h_layertextscrollright(Interp& ctx) { scroll_text(ctx, 0, 1, 0); }

// layertexttint layer colour
void h_layertexttint(Interp& ctx) {
  Args a = open_layers(ctx);
  uint32_t k = 1;
  const uint32_t c = gfx::read_color(ctx, a.n, k);
  for (Layer* l : a.layers) {
    l->text_tint = c;
    gfx::layer_redraw(*l);
  }
  done(a);
}

// layerfilter / layertextfilter layer level: the filter of the image and the text.
void h_layerfilter(Interp& ctx) {
  Args a = open_layers(ctx);
  for (Layer* l : a.layers) {
    l->filter = int32_t(std::clamp<int64_t>(a.i(1, 0), 0, 255));
    gfx::layer_redraw(*l);
  }
  done(a);
}
void h_layertextfilter(Interp& ctx) { h_layerfilter(ctx); }

// layerrect layer x1 y1 x2 y2 / layerrectround ... [corner width=16 [corner
// height]] / layerbox ... [thickness=1] / layerboxround ... [thickness=1
// [corner width=16 [corner height]]], as the draw commands of those names;
// with fewer than four corners the part is removed.
void h_layerrect(Interp& ctx) {
  Args a = open_layers(ctx);
  set_shape(a, &Layer::rect, false, false);
  done(a);
}
void h_layerrectround(Interp& ctx) {
  Args a = open_layers(ctx);
  set_shape(a, &Layer::rect_round, false, true);
  done(a);
}
void h_layerbox(Interp& ctx) {
  Args a = open_layers(ctx);
  set_shape(a, &Layer::box, true, false);
  done(a);
}
void h_layerboxround(Interp& ctx) {
  Args a = open_layers(ctx);
  set_shape(a, &Layer::box_round, true, true);
  done(a);
}
void h_layerrectfilter(Interp& ctx) {
  Args a = open_layers(ctx);
  set_shape_value(a, &Layer::rect, false);
  done(a);
}
void h_layerrecttint(Interp& ctx) {
  Args a = open_layers(ctx);
  set_shape_value(a, &Layer::rect, true);
  done(a);
}
void h_layerboxfilter(Interp& ctx) {
  Args a = open_layers(ctx);
  set_shape_value(a, &Layer::box, false);
  done(a);
}
void h_layerboxtint(Interp& ctx) {
  Args a = open_layers(ctx);
  set_shape_value(a, &Layer::box, true);
  done(a);
}

void h_layershow(Interp& ctx) {
  Args a = open_layers(ctx, true);
  for (Layer* l : a.layers) {
    l->shown = 1;
    gfx::layer_redraw(*l);
  }
  done(a);
}
void h_layerhide(Interp& ctx) {
  Args a = open_layers(ctx, true);
  for (Layer* l : a.layers) {
    l->shown = 0;
    gfx::layer_redraw(*l);
  }
  done(a);
}
void h_layerabove(Interp& ctx) {
  Args a = open_layers(ctx, true);
  for (Layer* l : a.layers) gfx::layer_restack(*l, true);
  done(a);
}
void h_layerbelow(Interp& ctx) {
  Args a = open_layers(ctx, true);
  for (Layer* l : a.layers) gfx::layer_restack(*l, false);
  done(a);
}

// layerto layer x y [ms per step] [step]
void h_layerto(Interp& ctx) {
  Args a = open_layers(ctx);
  start_motion(a, false);
  done(a);
}
// layercurve layer cx cy x y [ms per step] [step]
void h_layercurve(Interp& ctx) {
  Args a = open_layers(ctx);
  start_motion(a, true);
  done(a);
}

// layerpath layer path [ms per step=30]: the path is a memory element of
// 16-bit x, y pairs added to the current position; length / 4 - 1 steps.
void h_layerpath(Interp& ctx) {
  Args a = open_layers(ctx);
  if (a.n >= 2) {
    Value path = ctx.top[1];
    if (is_text(path))
      if (Value* cell = var_find(ctx, path)) path = *cell;
    storage::MemBuf* m = storage::membuf_of(path);
    const int64_t steps = m ? int64_t(m->size) / 4 - 1 : 0;
    double ms = a.d(2, 30);
    if (!(ms > 0)) ms = 10;
    for (Layer* l : a.layers) {
      if (steps <= 0) continue;
      gfx::layer_pause_timers(*l);
      value_store(l->path, path);
      l->motion = gfx::MotionKind::Path;
      l->sx = l->x, l->sy = l->y;
      l->steps = int32_t(std::min<int64_t>(steps, INT32_MAX));
      l->step = -1;
      l->motion_repeat = l->repeat;
      l->motion_passes = 0;
      l->motion_start = clock_now();
      l->ms_per_step = ms;
      l->motion_done = l->motion_pending = 0;
      l->busy = 1;
      gfx::layer_start_timers(*l);
    }
  }
  done(a);
}

// layeranim layer frames: plays an image list in an image of the layer's
// own, as large as the largest frame, filled with the current colour.
void h_layeranim(Interp& ctx) {
  Args a = open_layers(ctx);
  if (a.n >= 2) {
    // A list that holds other values than images is still a frame list:
    // those frames are skipped when put.
    Value frames = ctx.top[1];
    if (is_text(frames))
      if (Value* cell = var_find(ctx, frames); cell && array_of(*cell)) frames = *cell;
    if (!array_of(frames)) frames = gfx::image_arg(ctx, frames);
    ArrayRecord* list = array_of(frames);
    const int32_t count = list ? int32_t(list->count) : (gfx::image_of(frames.is_element() ? frames.handle() : 0) ? 1 : 0);
    int32_t w = 0, h = 0;
    for (Image* img : gfx::images_of(frames)) w = std::max(w, img->width()), h = std::max(h, img->height());
    Image* t = gfx::target(ctx);
    for (Layer* l : a.layers) {
      if (count == 0 || w == 0 || h == 0) continue;
      gfx::layer_pause_timers(*l);
      uint32_t own = gfx::image_new(w, h, t ? (t->has_alpha ? -32 : t->bits) : 32, t);
      if (Image* img = gfx::image_of(own)) {
        plain_state(*img);
        gfx::fill_rect(*img, 0, 0, w - 1, h - 1, t ? t->st.color : 0);
      }
      value_store(l->frames, frames);
      Value ov = own ? Value::from_handle(own) : Value::null();
      value_store(l->image, ov);
      element_release(own);
      std::free(l->frame_delays);
      l->frame_delays = frame_delays(frames, count);
      l->frame_count = count;
      l->frame = l->shown_frame = -1;
      l->first_frame = 0;
      l->anim_repeat = l->repeat;
      l->anim_ticks = l->anim_passes = l->shown_ticks = 0;
      l->anim_start = l->anim_next = clock_now();
      if (!l->anim_next) l->anim_next = 1;
      l->anim_active = 1;
      l->busy = 1;
      gfx::layer_redraw(*l);
      gfx::layer_start_timers(*l);
    }
  }
  done(a);
}

// layerrepeat layer [n]: n > 0 plays n times in all, no n for ever, 0 once;
// it holds for the motions and animations started later and the running ones.
void h_layerrepeat(Interp& ctx) {
  Args a = open_layers(ctx);
  const int32_t n = a.has(1) ? int32_t(std::clamp<int64_t>(a.i(1, 0), 0, INT32_MAX)) : -1;
  for (Layer* l : a.layers) {
    gfx::layer_pause_timers(*l);
    l->repeat = l->motion_repeat = l->anim_repeat = n;
    gfx::layer_start_timers(*l);
  }
  done(a);
}

void h_layerstop(Interp& ctx) {
  Args a = open_layers(ctx, true);
  for (Layer* l : a.layers) gfx::layer_stop_timers(*l);
  done(a);
}

// layerexpire layer ms: the layer removes its variable after ms milliseconds.
void h_layerexpire(Interp& ctx) {
  Args a = open_layers(ctx);
  const int64_t ms = std::clamp<int64_t>(a.i(1, 0), 0, int64_t(1) << 40);
  for (Layer* l : a.layers) {
    gfx::layer_pause_timers(*l);
    l->expiry = clock_now() + ms_to_clock(uint64_t(ms));
    if (!l->expiry) l->expiry = 1;
    gfx::layer_start_timers(*l);
  }
  done(a);
}

void h_layerput(Interp& ctx) {
  Args a = open_layers(ctx, true);
  for (Layer* l : a.layers) gfx::layer_set_separate(*l);
  done(a);
}

namespace {
void read_view(const Args& a, uint32_t from, double* v, bool missing_pan_zero) {
  for (uint32_t k = 0; k < 3; k++)
    if (a.has(from + k)) v[k] = a.d(from + k, v[k]);
    else if (k == 0 && missing_pan_zero) v[k] = 0;
  if (!std::isfinite(v[0])) v[0] = 0;
  if (!std::isfinite(v[1])) v[1] = 0;
  if (!std::isfinite(v[2])) v[2] = 70;
}
}  // namespace

// layerpanorama layer image width height [pan [tilt [field of view]]]
void h_layerpanorama(Interp& ctx) {
  Args a = open_layers(ctx);
  if (a.n >= 4) {
    Value src = gfx::image_arg(ctx, ctx.top[1]);
    std::vector<Image*> imgs = gfx::images_of(src);
    const int64_t w = std::clamp<int64_t>(a.i(2, 0), 0, 4096), h = std::clamp<int64_t>(a.i(3, 0), 0, 4096);
    for (Layer* l : a.layers) {
      if (imgs.empty() || w <= 0 || h <= 0) continue;
      gfx::layer_pause_timers(*l);
      l->pano_active = 0;
      uint32_t view = gfx::image_new(int32_t(w), int32_t(h), 32, gfx::target(ctx));
      if (Image* v = gfx::image_of(view)) plain_state(*v);
      Value vv = view ? Value::from_handle(view) : Value::null();
      value_store(l->image, vv);
      element_release(view);
      Value first = Value::from_handle(imgs[0]->self);
      value_store(l->pano_source, first);
      read_view(a, 4, l->view_given, false);
      for (int k = 0; k < 3; k++) l->view_cur[k] = l->view_target[k] = l->view_given[k];
      l->pano_steps = l->pano_step = 0;
      gfx::panorama_render(*l);
      gfx::layer_redraw(*l);
      gfx::layer_start_timers(*l);
    }
  }
  done(a);
}

// layerpan layer [pan [tilt [field of view]]]: current and target at once.
void h_layerpan(Interp& ctx) {
  Args a = open_layers(ctx);
  for (Layer* l : a.layers) {
    gfx::layer_pause_timers(*l);
    l->pano_active = 0;
    l->pano_steps = l->pano_step = 0;
    read_view(a, 1, l->view_cur, true);
    for (int k = 0; k < 3; k++) l->view_target[k] = l->view_cur[k];
    gfx::panorama_render(*l);
    gfx::layer_redraw(*l);
    gfx::layer_start_timers(*l);
  }
  done(a);
}

// layerpanto layer [pan [tilt [field of view [ms per step [step]]]]]
void h_layerpanto(Interp& ctx) {
  Args a = open_layers(ctx);
  for (Layer* l : a.layers) {
    gfx::layer_pause_timers(*l);
    double target[3] = {l->view_target[0], l->view_target[1], l->view_target[2]};
    read_view(a, 1, target, false);
    double ms = a.d(4, 33.333333333333336);
    if (!(ms > 0)) ms = 33.333333333333336;
    double step = a.d(5, 2.5);
    const double d = std::sqrt(std::pow(target[0] - l->view_cur[0], 2) + std::pow(target[1] - l->view_cur[1], 2) +
                               std::pow(target[2] - l->view_cur[2], 2));
    if (d > 0.000001 && std::isfinite(d)) {
      if (step >= 0 && step < 0.000001) step = 1;
      for (int k = 0; k < 3; k++) l->view_from[k] = l->view_cur[k], l->view_target[k] = target[k];
      l->pano_steps = gfx::motion_steps(d, step);
      l->pano_step = 0;
      l->pano_ms = ms;
      l->pano_start = clock_now();
      l->pano_active = 1;
      l->busy = 1;
    }
    gfx::layer_start_timers(*l);
  }
  done(a);
}

// layershowchanges [layer ...]: clears the changed bytes and shows the
// changed areas.
void h_layershowchanges(Interp& ctx) {
  Args a = open_layers(ctx, true);
  gfx::layers_clear_changed(ctx, a.layers);
  done(a);
  gfx::layers_handle_pending(ctx);
  gfx::finish_drawing(ctx);
}

// layerupdate [layer ...]: redraws the layers (all without arguments).
void h_layerupdate(Interp& ctx) {
  Args a = open_layers(ctx, true);
  if (a.n == 0) {
    size_t count;
    const uint32_t* list = gfx::layer_list(ctx, count);
    std::vector<uint32_t> handles(list, list + count);
    for (uint32_t h : handles)
      if (Layer* l = gfx::layer_of(Value::from_handle(h))) gfx::layer_redraw(*l);
  }
  for (Layer* l : a.layers) gfx::layer_redraw(*l);
  done(a);
}

// layerfree name or pattern ...: deletes each variable named; patterns
// stand for the variables of every scope that hold layers.
void h_layerfree(Interp& ctx) { free_variables(ctx, kTypeLayer); }

}  // namespace vm
