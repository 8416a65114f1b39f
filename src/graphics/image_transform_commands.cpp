// The image transform commands: imageconvert, imagesize, imageprocess,
// imageflood, imageunsharp, imagerotate, imageantirotate, imagewarp,
// imageantiwarp, imagepolar, imagepanorama, imagecalcset and
// imagecalcsource.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cctype>
#include <numbers>
#include <unordered_map>

#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "graphics/image_load.h"
#include "graphics/image_put.h"
#include "graphics/image_transform.h"
#include "graphics/metafile.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/measure.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace vm {

using gfx::Image;

namespace {

// Where a command stores its image: a variable's name or an array item.
bool is_destination(Value v) { return element_type_of(v) == kTypeString || element_type_of(v) == kTypeArrayPath; }

std::string lower_text(Interp& ctx, Value v) {
  std::string s = value_to_string(&ctx, v);
  for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

bool is_number(Value v) { return v.is_int() || v.is_float() || element_type_of(v) == kTypeMeasure; }

double number_of(Interp& ctx, Value v, Axis axis) {
  double px;
  if (measure_to_pixels(ctx, v, axis, px)) return px;
  return value_to_float(&ctx, v);
}

// Depths as imagenew takes them: -32, 1..32 rounded up to a depth images have.
int32_t depth_arg(int64_t bits) {
  if (bits == -32) return -32;
  if (bits < 1 || bits > 32) return 32;
  for (int32_t d : {1, 4, 8, 24}) if (bits <= d) return d;
  return 32;
}

void store_or_push(Interp& ctx, Value var, uint32_t handle, bool push_result) {
  Value result = handle ? Value::from_handle(handle) : Value::null();
  if (!var.is_null()) {
    if (Value* cell = var_for_set(ctx, var)) value_store(*cell, result);
  }
  if (push_result) {
    push_owned(ctx, result);
  } else {
    value_release(result);
  }
}

void report(const char* command, const std::string& error) {
  std::fprintf(stderr, "quillon: %s: %s\n", command, error.empty() ? "image too large" : error.c_str());
}

// Every image of the arguments from i on (names loaded, lists expanded).
std::vector<Image*> images_from(Interp& ctx, uint32_t n, uint32_t i) {
  std::vector<Image*> out;
  for (; i < n; i++)
    for (Image* img : gfx::images_of(gfx::image_arg(ctx, ctx.top[i]))) out.push_back(img);
  return out;
}

// Draws a transform's picture onto the drawing target: coverage as alpha
// (the anti variants) or as a plain on/off.
void draw_mapped(Interp& ctx, const gfx::Mapped& m, bool anti, bool source_alpha) {
  Image* t = gfx::target(ctx);
  gfx::Rect c;
  if (!t || !gfx::clip_rect(*t, c)) return;
  int64_t x1 = std::max<int64_t>(m.x, c.x1), y1 = std::max<int64_t>(m.y, c.y1);
  int64_t x2 = std::min<int64_t>(m.x + m.w - 1, c.x2), y2 = std::min<int64_t>(m.y + m.h - 1, c.y2);
  if (x1 > x2 || y1 > y2) return;
  gfx::mark_changed(ctx, *t, x1, y1, x2, y2, true);
  for (int64_t y = y1; y <= y2; y++)
    for (int64_t x = x1; x <= x2; x++) {
      uint32_t p = m.argb[size_t((y - m.y) * m.w + (x - m.x))];
      uint32_t a = p >> 24;
      if (!anti && !source_alpha) {
        if (a) gfx::set_pixel(*t, x, y, p & 0xFFFFFF);
        continue;
      }
      if (a == 0) continue;
      uint32_t old = gfx::get_pixel(*t, x, y), out = 0;
      for (int s = 0; s <= 16; s += 8)
        out |= ((old >> s & 255) * (255 - a) + (p >> s & 255) * a + 127) / 255 << s;
      gfx::set_pixel(*t, x, y, out);
    }
}

// The result of a transform as a new image: 32 bits with alpha for the anti
// variants and alpha sources, else the source's depth (24 for indexed
// sources) filled with the current colour where nothing is covered.
uint32_t mapped_image(const gfx::Mapped& m, const Image& src, bool anti, int64_t x, int64_t y, uint32_t back) {
  bool alpha = anti || src.has_alpha;
  std::vector<uint32_t> argb = m.argb;
  for (uint32_t& p : argb) {
    if (alpha) {
      if ((p >> 24) == 0) p = back & 0xFFFFFF;
    } else {
      p = (p >> 24) ? p | 0xFF000000u : 0xFF000000u | back;
    }
  }
  std::string error;
  int32_t bits = alpha ? -32 : (src.bits >= 24 ? src.bits : 24);
  uint32_t handle = gfx::image_new(m.w, m.h, bits, &src, nullptr, 0, &error);
  Image* img = gfx::image_of(handle);
  if (!img) return 0;
  gfx::write_argb(*img, argb);
  // An image with alpha is put with it, so what the picture does not cover
  // stays clear.
  if (alpha) img->st.alpha = 1;
  img->st.off_x = int32_t(m.x - x);
  img->st.off_y = int32_t(m.y - y);
  return handle;
}

// The image argument at i (the first of a list) and, when the next
// argument is a name, the variable for the result; i moves past both.
Image* source_and_dest(Interp& ctx, uint32_t n, uint32_t& i, Value& dest) {
  Image* src = nullptr;
  if (i < n) {
    std::vector<Image*> list = gfx::images_of(gfx::image_arg(ctx, ctx.top[i++]));
    if (!list.empty()) src = list[0];
  }
  if (i < n && is_destination(ctx.top[i])) dest = ctx.top[i++];
  return src;
}

// A transformed picture drawn onto the drawing target, or with a
// destination stored there as a new image whose origin offset is taken
// relative to (x, y).
void draw_or_store(Interp& ctx, const gfx::Mapped& m, const Image& src, bool anti, Value dest, int64_t x, int64_t y) {
  if (dest.is_null()) {
    draw_mapped(ctx, m, anti, src.has_alpha);
    return;
  }
  Image* t = gfx::target(ctx);
  store_or_push(ctx, dest, mapped_image(m, src, anti, x, y, t ? t->st.color : 0), false);
}

// imagerotate, imageantirotate: [x y] image [dest] angle [cx cy].
void rotate_command(Interp& ctx, bool anti) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  double x = 0, y = 0;
  bool at = n >= 2 && is_number(ctx.top[0]) && is_number(ctx.top[1]);
  if (at) {
    x = double(gfx::read_coord(ctx, ctx.top[0], true));
    y = double(gfx::read_coord(ctx, ctx.top[1], false));
    i = 2;
  }
  Value dest = Value::null();
  Image* src = source_and_dest(ctx, n, i, dest);
  if (src && i < n) {
    double angle = value_to_float(&ctx, ctx.top[i++]);
    if (sysvar_int(ctx, SV_var_floatdegrees)) angle = angle * std::numbers::pi / 180;
    double px = src->width() / 2.0, py = src->height() / 2.0;
    if (i + 1 < n) {
      px = number_of(ctx, ctx.top[i], Axis::X);
      py = number_of(ctx, ctx.top[i + 1], Axis::Y);
    }
    // As with imageput, the origin offset is added to a position in pixels.
    double ox = x + src->st.off_x, oy = y + src->st.off_y;
    gfx::Mapped m;
    if (!gfx::rotate_image(*src, ox, oy, angle, px, py, anti, m)) {
      report(anti ? "imageantirotate" : "imagerotate", "");
    } else {
      draw_or_store(ctx, m, *src, anti, dest, int64_t(x), int64_t(y));
    }
  }
  pop_n(ctx, n);
}

// imagewarp, imageantiwarp: image [dest] x1 y1 x2 y2 x3 y3 x4 y4.
void warp_command(Interp& ctx, bool anti) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  Value dest = Value::null();
  Image* src = source_and_dest(ctx, n, i, dest);
  if (src && i + 8 <= n) {
    double q[8];
    for (int k = 0; k < 8; k++) q[k] = number_of(ctx, ctx.top[i + uint32_t(k)], k % 2 ? Axis::Y : Axis::X);
    gfx::Mapped m;
    if (!gfx::warp_image(*src, q, anti, m)) {
      report(anti ? "imageantiwarp" : "imagewarp", "degenerate quadrilateral or image too large");
    } else {
      draw_or_store(ctx, m, *src, anti, dest, 0, 0);
    }
  }
  pop_n(ctx, n);
}

}  // namespace

// imageconvert [bits] image ...: each image replaced by a copy at the depth
// (default 32).
void h_imageconvert(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  int32_t bits = 32;
  if (n > 0 && is_number(ctx.top[0])) bits = depth_arg(value_to_integer(&ctx, ctx.top[i++]));
  for (Image* img : images_from(ctx, n, i)) {
    std::string error;
    uint32_t h = gfx::convert_image(*img, bits, &error);
    if (h) gfx::replace_pixels(*img, h); else report("imageconvert", error);
  }
  pop_n(ctx, n);
}

namespace {

// imagesize of a metafile image: the picture is played anew at the size.
// The size comes from the request as for any image, measured against the
// picture's present size, or while it has none against the placeable box
// (a Windows metafile) or the frame (an enhanced one) at 96 pixels an inch;
// without any of them both sides must be given. The new pixels start black
// and take the depth asked for (32 bits by default).
void size_metafile(Image& img, double w, double h, int32_t bits) {
  std::string_view bytes = element_text(Value::from_handle(img.metafile));
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const bool enhanced = gfx::detect_format(data, bytes.size()) == gfx::Format::Emf;
  int32_t base_w = img.width(), base_h = img.height(), nw, nh;
  if ((!img.pixels || base_w <= 0 || base_h <= 0) &&
      !(enhanced ? gfx::emf::frame_size(data, bytes.size(), base_w, base_h)
                 : gfx::wmf::placeable_size(data, bytes.size(), base_w, base_h)))
    base_w = int32_t(std::clamp(w, 0.0, 32768.0)), base_h = int32_t(std::clamp(h, 0.0, 32768.0));
  if (base_w <= 0 || base_h <= 0 || !gfx::resized_extent(base_w, base_h, w, h, nw, nh)) {
    report("imagesize", "size refused");
    return;
  }
  std::string error;
  uint32_t handle = gfx::image_create(nw, nh, 32, nullptr, &error);
  Image* played = gfx::image_of(handle);
  if (!played) {
    report("imagesize", error);
    return;
  }
  const base::Status played_all = enhanced ? gfx::emf::play(data, bytes.size(), *played)
                                           : gfx::wmf::play(data, bytes.size(), *played);
  if (!played_all) report("imagesize", played_all.error());
  if (bits != 0 && bits != 32) {
    uint32_t converted = gfx::convert_image(*played, bits, &error);
    element_release(handle);
    if (!converted) {
      report("imagesize", error);
      return;
    }
    handle = converted;
  }
  gfx::replace_pixels(img, handle);
}

}  // namespace

// imagesize [width height] [bits] image ...: each image replaced by a copy
// stretched to the size (default: the size of the drawing target's clip
// rectangle).
void h_imagesize(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  while (i < n && i < 3 && is_number(ctx.top[i])) i++;
  double w = 0, h = 0;
  int32_t bits = 0;
  bool sized = i >= 2;
  if (sized) {
    w = number_of(ctx, ctx.top[0], Axis::X);
    h = number_of(ctx, ctx.top[1], Axis::Y);
  } else if (Image* t = gfx::target(ctx)) {
    gfx::Rect c;
    if (gfx::clip_rect(*t, c)) {
      w = c.x2 - c.x1 + 1;
      h = c.y2 - c.y1 + 1;
    }
  }
  if (i == 1 || i == 3) bits = depth_arg(value_to_integer(&ctx, ctx.top[i - 1]));
  for (Image* img : images_from(ctx, n, i)) {
    int32_t nw, nh;
    std::string error;
    if (img->metafile) {
      size_metafile(*img, w, h, bits);
      continue;
    }
    if (!img->pixels) continue;
    if (!gfx::resized_extent(img->width(), img->height(), w, h, nw, nh)) {
      report("imagesize", "size refused");
      continue;
    }
    if (nw == img->width() && nh == img->height() && (bits == 0 || bits == img->bits)) continue;
    uint32_t handle = gfx::resize_image(*img, nw, nh, bits, &error);
    if (!handle) {
      report("imagesize", error);
      continue;
    }
    // A permanent mask is stretched with the picture.
    if (Image* mask = gfx::image_of(img->mask); mask && mask->pixels && (nw != img->width() || nh != img->height())) {
      uint32_t m = gfx::resize_image(*mask, nw, nh, 0, &error);
      if (m) gfx::replace_pixels(*mask, m);
    }
    gfx::replace_pixels(*img, handle);
  }
  pop_n(ctx, n);
}

// imageprocess image greyscale|invert|tint [amount=100] [colour].
void h_imageprocess(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    std::string op = lower_text(ctx, ctx.top[1]);
    gfx::Process p = op == "greyscale" || op == "grayscale" ? gfx::Process::Greyscale
                     : op == "invert"                        ? gfx::Process::Invert
                                                             : gfx::Process::Tint;
    bool known = op == "greyscale" || op == "grayscale" || op == "invert" || op == "tint";
    int64_t amount = n >= 3 ? std::clamp<int64_t>(value_to_integer(&ctx, ctx.top[2]), 0, 100) : 100;
    uint32_t k = 3;
    bool plain = k >= n;
    uint32_t color = plain ? 0xFFFFFF : gfx::read_color(ctx, n, k);
    if (known)
      for (Image* img : images) gfx::process_image(*img, p, int32_t(amount), color, plain);
  }
  pop_n(ctx, n);
}

// imageflood image mask [top|bottom] [left|right] [tolerance]: the region of
// the corner's colour as a 1-bit image, stored in the variable `mask`.
void h_imageflood(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    bool bottom = false, right = false;
    double tolerance = 0;
    for (uint32_t i = 2; i < n; i++) {
      if (is_number(ctx.top[i])) {
        tolerance = std::clamp(value_to_float(&ctx, ctx.top[i]), 0.0, 100.0);
        continue;
      }
      std::string word = lower_text(ctx, ctx.top[i]);
      if (word == "bottom") bottom = true;
      if (word == "right") right = true;
    }
    if (!images.empty()) store_or_push(ctx, ctx.top[1], gfx::flood_mask(*images[0], bottom, right, tolerance), false);
  }
  pop_n(ctx, n);
}

// imageunsharp image [amount=50] [radius=5] [threshold=0].
void h_imageunsharp(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 1) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    double amount = n >= 2 ? value_to_float(&ctx, ctx.top[1]) : 50;
    double radius = n >= 3 ? value_to_float(&ctx, ctx.top[2]) : 5;
    double threshold = n >= 4 ? value_to_float(&ctx, ctx.top[3]) : 0;
    if (std::isfinite(amount) && std::isfinite(radius) && std::isfinite(threshold))
      for (Image* img : images) gfx::unsharp_image(*img, amount, radius, std::clamp(threshold, 0.0, 1e6));
  }
  pop_n(ctx, n);
}

void h_imagerotate(Interp& ctx) { rotate_command(ctx, false); }
void h_imageantirotate(Interp& ctx) { rotate_command(ctx, true); }
void h_imagewarp(Interp& ctx) { warp_command(ctx, false); }
void h_imageantiwarp(Interp& ctx) { warp_command(ctx, true); }

// imagepolar image width height cx cy r1 r2: the unwrapped ring as a new image.
void h_imagepolar(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t handle = 0;
  if (n >= 7) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    int64_t w = value_to_integer(&ctx, ctx.top[1]), h = value_to_integer(&ctx, ctx.top[2]);
    double v[4];
    for (int k = 0; k < 4; k++) v[k] = number_of(ctx, ctx.top[3 + k], k % 2 ? Axis::Y : Axis::X);
    std::string error;
    if (!images.empty() && w > 0 && h > 0 && w <= gfx::kMaxSide && h <= gfx::kMaxSide)
      handle = gfx::polar_image(*images[0], int32_t(w), int32_t(h), v[0], v[1], v[2], v[3], &error);
    if (!handle) report("imagepolar", error);
  }
  pop_n(ctx, n);
  push_owned(ctx, handle ? Value::from_handle(handle) : Value::null());
}

// imagepanorama [x y] image ...: each image put (with its mask,
// transparency and blending) with its left edge at x and repeated to the
// left and right across the clip rectangle.
void h_imagepanorama(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  int64_t x = 0, y = 0;
  if (n >= 2 && is_number(ctx.top[0]) && is_number(ctx.top[1])) {
    x = gfx::read_coord(ctx, ctx.top[0], true);
    y = gfx::read_coord(ctx, ctx.top[1], false);
    i = 2;
  }
  Image* t = gfx::target(ctx);
  gfx::Rect c;
  if (t && gfx::clip_rect(*t, c)) {
    for (Image* img : images_from(ctx, n, i)) {
      int64_t w = img->width();
      if (!img->pixels || w <= 0 || img == t) continue;
      int64_t first = c.x1 - ((c.x1 - x) % w + w) % w;  // the copy that covers the clip's left edge
      for (int64_t px = first; px <= c.x2; px += w) {
        gfx::Rect drawn;
        if (gfx::put_image(*t, *img, px, y, true, &drawn))
          gfx::mark_changed(ctx, *t, drawn.x1, drawn.y1, drawn.x2, drawn.y2, true);
      }
    }
  }
  pop_n(ctx, n);
}

// imagecalcset image ...: each image becomes a 24-bit displacement image.
void h_imagecalcset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  for (Image* img : images_from(ctx, n, 0)) {
    if (img->bits != 24) {
      std::string error;
      uint32_t h = gfx::convert_image(*img, 24, &error);
      if (!h) {
        report("imagecalcset", error);
        continue;
      }
      gfx::replace_pixels(*img, h);
    }
    gfx::set_displacement(*img);
  }
  pop_n(ctx, n);
}

// imagecalcsource image source: the picture a displacement image samples.
void h_imagecalcsource(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    std::vector<Image*> images = gfx::images_of(gfx::image_arg(ctx, ctx.top[0]));
    std::vector<Image*> sources = gfx::images_of(gfx::image_arg(ctx, ctx.top[1]));
    if (!sources.empty())
      for (Image* img : images) gfx::set_displacement_source(*img, sources[0]->self);
  }
  pop_n(ctx, n);
}

}  // namespace vm
