// The image commands of putting, getting, the drawing target, the put
// properties (position, delay, transparency, alpha, flips, density), masks,
// alpha channels, and the anti-aliased draw commands.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "graphics/anti_shapes.h"
#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "graphics/image_load.h"
#include "graphics/image_put.h"
#include "graphics/image_transform.h"
#include "vm/clock.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {

using gfx::Image;

namespace {

bool is_coord(Value v) { return v.is_int() || v.is_float() || element_type_of(v) == kTypeMeasure; }

std::string lower_text(Value v) {
  std::string s(element_text(v));
  for (char& c : s) c = char(std::tolower(uint8_t(c)));
  return s;
}

// A switch given as a word ("on", "off", "true", "false" or a number in
// a text); `on` receives which.
bool on_off_word(Value v, bool& on) { return is_text(v) && vm::value_to_switch(nullptr, v, on); }

// The images of arguments i..end-1 (lists expanded, names loaded).
std::vector<Image*> images_from(Interp& ctx, uint32_t i, uint32_t end) {
  std::vector<Image*> out;
  for (; i < end; i++)
    for (Image* img : gfx::images_of(gfx::image_arg(ctx, ctx.top[i]))) out.push_back(img);
  return out;
}

// Stores a result in the variable named by `var` (when it is a name) and
// pushes it; the reference is handed on.
void store_and_push(Interp& ctx, Value var, uint32_t handle) {
  Value result = handle ? Value::from_handle(handle) : Value::null();
  if (is_text(var))
    if (Value* cell = var_for_set(ctx, var)) value_store(*cell, result);
  push_owned(ctx, result);
}

// The wait after the put of an image with a delay: from the start of its
// put, giving the processor away, ending at once when the program stops.
void wait_delay(Interp& ctx, uint64_t start, uint64_t delay) {
  while (!ctx.stop && clock_now() - start < delay) idle_yield(ctx);
}

// [on|off] image ...: a leading word or number switches (default on).
template <class Fn>
void switch_images(Interp& ctx, Fn apply) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  bool on = true;
  if (n > 0 && on_off_word(ctx.top[0], on)) i = 1;
  else if (n > 1 && (ctx.top[0].is_int() || ctx.top[0].is_float())) on = value_to_integer(&ctx, ctx.top[i++]) != 0;
  for (Image* img : images_from(ctx, i, n)) apply(*img, on);
  pop_n(ctx, n);
}

}  // namespace

// imageput [x y] image ... [x2 y2]: puts each image at (x, y) plus its origin
// offset (not added when x or y is a measurement), or stretched into
// (x, y)-(x2, y2); an image with a delay is followed by its wait.
void h_imageput(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0, end = n;
  int64_t x = 0, y = 0, x2 = 0, y2 = 0;
  bool measured = false, stretch = false;
  if (n >= 3 && is_coord(ctx.top[0]) && is_coord(ctx.top[1])) {
    measured = element_type_of(ctx.top[0]) == kTypeMeasure || element_type_of(ctx.top[1]) == kTypeMeasure;
    x = gfx::read_coord(ctx, ctx.top[0], true);
    y = gfx::read_coord(ctx, ctx.top[1], false);
    i = 2;
  }
  if (end - i >= 3 && is_coord(ctx.top[end - 2]) && is_coord(ctx.top[end - 1])) {
    x2 = gfx::read_coord(ctx, ctx.top[end - 2], true);
    y2 = gfx::read_coord(ctx, ctx.top[end - 1], false);
    stretch = true;
    end -= 2;
  }
  for (; i < end && !ctx.stop; i++) {
    Value images = gfx::image_arg(ctx, ctx.top[i]);
    value_ref(images);
    for (Image* src : gfx::images_of(images)) {
      Image* dst = gfx::target(ctx);
      if (!dst || ctx.stop) break;
      uint64_t start = clock_now();
      int64_t px = x, py = y;
      if (!measured && !stretch) px += src->st.off_x, py += src->st.off_y;
      int64_t qx = stretch ? x2 : px + src->width() - 1, qy = stretch ? y2 : py + src->height() - 1;
      gfx::mark_changed(ctx, *dst, px, py, qx, qy, true);
      gfx::Rect moved;
      if (!stretch && gfx::is_displacement(*src)) gfx::displacement_put(*dst, *src, px, py, moved);
      else if (stretch) gfx::put_stretched(*dst, *src, px, py, qx, qy, true);
      else gfx::put_image(*dst, *src, px, py, true);
      gfx::finish_drawing(ctx);
      if (src->delay) wait_delay(ctx, start, src->delay);
    }
    value_release(images);
  }
  pop_n(ctx, n);
}

// imageget [var] [width height | x1 y1 x2 y2]: a copy of the rectangle of
// the drawing target (the whole clip rectangle without one).
void h_imageget(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  Value var = Value::null();
  if (n > 0 && is_text(ctx.top[0])) var = ctx.top[i++];
  Image* src = gfx::target(ctx);
  uint32_t handle = 0;
  if (src) {
    gfx::Rect c{0, 0, -1, -1};
    gfx::clip_rect(*src, c);
    int64_t b[4] = {c.x1, c.y1, c.x2, c.y2};
    if (n - i >= 4) {
      for (int k = 0; k < 4; k++) b[k] = gfx::read_coord(ctx, ctx.top[i + k], k % 2 == 0);
    } else if (n - i >= 2) {
      b[0] = b[1] = 0;
      b[2] = gfx::read_coord(ctx, ctx.top[i], true) - 1;
      b[3] = gfx::read_coord(ctx, ctx.top[i + 1], false) - 1;
    }
    handle = gfx::image_get(*src, b[0], b[1], b[2], b[3]);
  }
  value_ref(var);
  pop_n(ctx, n);
  store_and_push(ctx, var, handle);
  value_release(var);
}

// imageset [image]: makes the image the drawing target (none: the frame)
// and returns the previous target.
void h_imageset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Image* old = gfx::target(ctx);
  uint32_t previous = old ? old->self : 0;
  if (previous) element_ref(previous);
  uint32_t chosen = 0;
  if (n > 0) {
    std::vector<Image*> images = images_from(ctx, 0, 1);
    if (!images.empty()) chosen = images[0]->self;
  }
  if (n == 0 || chosen) gfx::set_target(ctx, chosen);
  pop_n(ctx, n);
  push_owned(ctx, previous ? Value::from_handle(previous) : Value::null());
}

// imageposition x y image ... | image ... x y: sets the origin offset.
void h_imageposition(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 3) {
    bool leading = is_coord(ctx.top[0]) && is_coord(ctx.top[1]);
    uint32_t at = leading ? 0 : n - 2;
    int64_t x = std::clamp<int64_t>(gfx::read_coord(ctx, ctx.top[at], true), INT32_MIN, INT32_MAX);
    int64_t y = std::clamp<int64_t>(gfx::read_coord(ctx, ctx.top[at + 1], false), INT32_MIN, INT32_MAX);
    for (Image* img : leading ? images_from(ctx, 2, n) : images_from(ctx, 0, n - 2)) {
      img->st.off_x = int32_t(x);
      img->st.off_y = int32_t(y);
    }
  }
  pop_n(ctx, n);
}

// imagedelay n image ...: the delay in hundredths of a second.
void h_imagedelay(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    int64_t cs = std::clamp<int64_t>(value_to_integer(&ctx, ctx.top[0]), 0, int64_t(1) << 31);
    uint64_t delay = (uint64_t(cs) << 32) / 100;
    for (Image* img : images_from(ctx, 1, n)) img->delay = delay;
  }
  pop_n(ctx, n);
}

// imagetran [on|off] [colour] image ...: transparency and its colour; the
// permanent mask goes. Without a colour the transparent colour stays.
void h_imagetran(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  bool on = true, has_color = false;
  if (n > 0 && on_off_word(ctx.top[0], on)) i = 1;
  uint32_t color = 0;
  if (n - i >= 2) {
    // A colour is a number (or three), or a word of the colour dictionary
    // that is not a variable holding an image.
    Value v = ctx.top[i];
    bool image_var = false;
    if (is_text(v))
      if (Value* cell = var_find(ctx, v)) image_var = !gfx::images_of(*cell).empty();
    if (v.is_int() || v.is_float() || (is_text(v) && !image_var)) {
      uint32_t k = i;
      uint32_t limit = n - 1;  // leave at least one image
      color = gfx::read_color(ctx, limit, k);
      has_color = k > i;
      if (has_color) i = k;
    }
  }
  for (Image* img : images_from(ctx, i, n)) {
    img->st.tran = on;
    if (has_color) img->st.color_tran = color;
    gfx::set_mask(*img, nullptr);
  }
  pop_n(ctx, n);
}

void h_imagealpha(Interp& ctx) {
  switch_images(ctx, [](Image& img, bool on) { img.st.alpha = on; });
}
void h_imageflipx(Interp& ctx) {
  switch_images(ctx, [](Image& img, bool on) { img.st.flip_x = on; });
}
void h_imageflipy(Interp& ctx) {
  switch_images(ctx, [](Image& img, bool on) { img.st.flip_y = on; });
}

// imagedensity [dx [dy=dx]] image ...: without numbers 96.
void h_imagedensity(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  int64_t d[2] = {96, 96};
  while (i < 2 && i + 1 < n && (ctx.top[i].is_int() || ctx.top[i].is_float())) {
    d[i] = std::clamp<int64_t>(value_to_integer(&ctx, ctx.top[i]), 1, 1 << 20);
    if (i == 0) d[1] = d[0];
    i++;
  }
  for (Image* img : images_from(ctx, i, n)) {
    img->st.density_x = int32_t(d[0]);
    img->st.density_y = int32_t(d[1]);
  }
  pop_n(ctx, n);
}

// imagecopy dest src: a copy of the source (pixels, state, delay, mask).
void h_imagecopy(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2 && is_text(ctx.top[0])) {
    std::vector<Image*> images = images_from(ctx, 1, 2);
    if (!images.empty()) {
      uint32_t handle = gfx::image_copy(*images[0]);
      Value result = handle ? Value::from_handle(handle) : Value::null();
      if (Value* cell = var_for_set(ctx, ctx.top[0])) value_store(*cell, result);
      value_release(result);
    }
  }
  pop_n(ctx, n);
}

// imagetile image: copies side by side over the clip rectangle.
void h_imagetile(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::vector<Image*> images = images_from(ctx, 0, n ? 1 : 0);
  Image* dst = gfx::target(ctx);
  gfx::Rect c;
  if (!images.empty() && dst && gfx::clip_rect(*dst, c)) {
    Image* src = images[0];
    if (src->width() > 0 && src->height() > 0 && src != dst) {
      for (int64_t y = c.y1; y <= c.y2; y += src->height())
        for (int64_t x = c.x1; x <= c.x2; x += src->width()) gfx::put_image(*dst, *src, x, y, true);
      gfx::mark_changed(ctx, *dst, c.x1, c.y1, c.x2, c.y2, true);
    }
  }
  pop_n(ctx, n);
}

// imagemaskset image [mask]: the permanent mask from the mask image, or none.
void h_imagemaskset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 1) {
    std::vector<Image*> mask = n >= 2 ? images_from(ctx, 1, 2) : std::vector<Image*>{};
    for (Image* img : images_from(ctx, 0, 1)) gfx::set_mask(*img, mask.empty() ? nullptr : mask[0]);
  }
  pop_n(ctx, n);
}

// imagemaskget image [var] / imagealphaget image [var]
void get_derived(Interp& ctx, bool alpha) {
  uint32_t n = close_frame(ctx);
  uint32_t handle = 0;
  Value var = n >= 2 ? ctx.top[1] : Value::null();
  if (n >= 1) {
    std::vector<Image*> images = images_from(ctx, 0, 1);
    if (!images.empty()) handle = alpha ? gfx::alpha_image(*images[0]) : gfx::mask_image(*images[0]);
  }
  value_ref(var);
  pop_n(ctx, n);
  store_and_push(ctx, var, handle);
  value_release(var);
}
void h_imagemaskget(Interp& ctx) { get_derived(ctx, false); }
void h_imagealphaget(Interp& ctx) { get_derived(ctx, true); }

namespace {

// The shape form of imagealphaset from argument `at` (the keyword) on.
uint32_t render_shape(Interp& ctx, uint32_t n, uint32_t at, const gfx::Rect* limit) {
  gfx::AntiShape shape;
  if (at >= n || !is_text(ctx.top[at]) || !gfx::anti_shape_of(lower_text(ctx.top[at]).c_str(), shape)) return 0;
  std::vector<double> args;
  for (uint32_t k = at + 1; k < n; k++) {
    Value v = ctx.top[k];
    args.push_back(element_type_of(v) == kTypeMeasure ? double(gfx::read_coord(ctx, v, (k - at) % 2 == 1))
                                                      : value_to_float(&ctx, v));
  }
  Image* like = gfx::target(ctx);
  return gfx::anti_shape(shape, args, like ? like->st.color : 0xFFFFFF, like, limit);
}

bool is_shape_word(Value v) {
  gfx::AntiShape s;
  return is_text(v) && gfx::anti_shape_of(lower_text(v).c_str(), s);
}

}  // namespace

// imagealphaset [var] shape args: the anti-aliased shape as a new image;
// imagealphaset image [alpha image]: the alpha channel from the alpha image
// (without one, from the image itself).
void h_imagealphaset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t result = 0;
  Value var = Value::null();
  if (n >= 1 && is_shape_word(ctx.top[0])) {
    result = render_shape(ctx, n, 0, nullptr);
  } else if (n >= 2 && is_shape_word(ctx.top[1])) {
    var = ctx.top[0];
    result = render_shape(ctx, n, 1, nullptr);
  } else if (n >= 1) {
    std::vector<Image*> from = n >= 2 ? images_from(ctx, 1, 2) : std::vector<Image*>{};
    for (Image* img : images_from(ctx, 0, 1)) {
      Image* a = from.empty() ? img : from[0];
      if (a == img) {
        uint32_t copy = gfx::image_copy(*img);
        if (Image* c = gfx::image_of(copy)) gfx::set_alpha_from(*img, *c);
        if (copy) element_release(copy);
      } else {
        gfx::set_alpha_from(*img, *a);
      }
    }
  }
  value_ref(var);
  pop_n(ctx, n);
  if (is_text(var) || result) store_and_push(ctx, var, result);
  else push_int(ctx, 0);
  value_release(var);
}

// The drawanti commands: the shape through imagealphaset, put where it
// belongs on the drawing target.
namespace {
void draw_anti(Interp& ctx, const char* word) {
  uint32_t n = close_frame(ctx);
  Image* dst = gfx::target(ctx);
  gfx::Rect c;
  if (dst && gfx::clip_rect(*dst, c)) {
    // The arguments as imagealphaset reads them after the keyword; the
    // shape is cut to the clip rectangle, outside which the put draws nothing.
    std::vector<double> numbers;
    for (uint32_t k = 0; k < n; k++) {
      Value v = ctx.top[k];
      numbers.push_back(element_type_of(v) == kTypeMeasure ? double(gfx::read_coord(ctx, v, k % 2 == 0))
                                                           : value_to_float(&ctx, v));
    }
    gfx::AntiShape shape;
    gfx::anti_shape_of(word, shape);
    uint32_t handle = gfx::anti_shape(shape, numbers, dst->st.color, dst, &c);
    if (Image* img = gfx::image_of(handle)) {
      gfx::Rect drawn;
      if (gfx::put_image(*dst, *img, img->st.off_x, img->st.off_y, true, &drawn))
        gfx::mark_changed(ctx, *dst, drawn.x1, drawn.y1, drawn.x2, drawn.y2, true);
      element_release(handle);
    }
  }
  pop_n(ctx, n);
}
}  // namespace

void h_drawantibox(Interp& ctx) { draw_anti(ctx, "box"); }
void h_drawantiboxround(Interp& ctx) { draw_anti(ctx, "boxround"); }
void h_drawanticircle(Interp& ctx) { draw_anti(ctx, "circle"); }
void h_drawanticirclefilled(Interp& ctx) { draw_anti(ctx, "circlefilled"); }
void h_drawantiline(Interp& ctx) { draw_anti(ctx, "line"); }
void h_drawantipolygon(Interp& ctx) { draw_anti(ctx, "polygon"); }
void h_drawantipolygonfilled(Interp& ctx) { draw_anti(ctx, "polygonfilled"); }
void h_drawantirect(Interp& ctx) { draw_anti(ctx, "rect"); }
void h_drawantirectround(Interp& ctx) { draw_anti(ctx, "rectround"); }

}  // namespace vm
