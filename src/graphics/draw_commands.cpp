// Rectangle, box, region, state and colour-model commands.
#include <algorithm>
#include <cmath>
#include <vector>

#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "graphics/image_load.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {

using gfx::Image;
using gfx::read_coord;

namespace {

int64_t to_int(Interp& ctx, Value v) { return value_to_integer(&ctx, v); }

// Reads four coordinates x1 y1 x2 y2 from argument i.
void read_box(Interp& ctx, uint32_t i, int64_t b[4]) {
  for (int k = 0; k < 4; k++) b[k] = read_coord(ctx, ctx.top[i + uint32_t(k)], k % 2 == 0);
}

void sort_box(int64_t b[4]) {
  if (b[0] > b[2]) std::swap(b[0], b[2]);
  if (b[1] > b[3]) std::swap(b[1], b[3]);
}

// One ring of drawbox: the left and right columns over the full height, the
// top and bottom rows between them when the ring is wider than 2 pixels.
void ring(Interp& ctx, Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint32_t c) {
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  gfx::fill_marked(ctx, img, x1, y1, x1, y2, c);
  if (x2 != x1) gfx::fill_marked(ctx, img, x2, y1, x2, y2, c);
  if (x2 - x1 + 1 > 2) {
    gfx::fill_marked(ctx, img, x1 + 1, y1, x2 - 1, y1, c);
    if (y2 != y1) gfx::fill_marked(ctx, img, x1 + 1, y2, x2 - 1, y2, c);
  }
}

void push_float(Interp& ctx, double d) { push_owned(ctx, value_from_float(&ctx, d)); }

// The channels of a colour scaled to 0..1, with their largest and smallest.
struct Channels {
  double r, g, b, max, min;
};
Channels channels(uint32_t c) {
  Channels ch{double(c >> 16 & 255) / 255, double(c >> 8 & 255) / 255, double(c & 255) / 255, 0, 0};
  ch.max = std::max({ch.r, ch.g, ch.b});
  ch.min = std::min({ch.r, ch.g, ch.b});
  return ch;
}

// Reads the colour argument of colorhue and friends, pops the frame.
uint32_t color_arg(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  uint32_t c = gfx::read_color(ctx, n, i);
  pop_n(ctx, n);
  return c;
}

// A rectangle of drawinside / drawoverlap, corners sorted.
struct Box {
  int64_t x1, y1, x2, y2;
};
Box box_at(Interp& ctx, uint32_t i, bool sized) {
  int64_t b[4];
  read_box(ctx, i, b);
  if (sized) {
    b[2] = b[0] + b[2] - 1;
    b[3] = b[1] + b[3] - 1;
    return {b[0], b[1], b[2], b[3]};  // an empty size stays empty (x2 < x1)
  }
  sort_box(b);
  return {b[0], b[1], b[2], b[3]};
}

// drawoverlap and drawoverlaps: 1 when the first rectangle shares a pixel
// with any of the others.
// Note: drawoverlap sorts the corners of every rectangle; drawoverlaps treats
// a width or height of 0 or less as an empty rectangle that overlaps nothing.
void overlap(Interp& ctx, bool sized) {
  uint32_t n = close_frame(ctx);
  int64_t hit = 0;
  if (n >= 8) {
    Box a = box_at(ctx, 0, sized);
    for (uint32_t i = 4; i + 3 < n && !hit; i += 4) {
      Box b = box_at(ctx, i, sized);
      bool empty = a.x1 > a.x2 || a.y1 > a.y2 || b.x1 > b.x2 || b.y1 > b.y2;
      if (!empty && a.x1 <= b.x2 && b.x1 <= a.x2 && a.y1 <= b.y2 && b.y1 <= a.y2) hit = 1;
    }
  }
  pop_n(ctx, n);
  push_int(ctx, hit);
}

}  // namespace

// drawrect x1 y1 x2 y2 [...]: filled rectangles.
void h_drawrect(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Image* img = gfx::target(ctx);
  if (img)
    for (uint32_t i = 0; i + 3 < n; i += 4) {
      int64_t b[4];
      read_box(ctx, i, b);
      gfx::fill_marked(ctx, *img, b[0], b[1], b[2], b[3], img->st.color);
    }
  pop_n(ctx, n);
}

// drawbox x1 y1 x2 y2 [thickness=1]: |t| rings, inward for t > 0 (stopping
// horizontally at 2 pixels wide, vertically below 2 pixels tall), outward
// from one pixel outside the box for t < 0.
void h_drawbox(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Image* img = gfx::target(ctx);
  if (img && n >= 4) {
    int64_t b[4];
    read_box(ctx, 0, b);
    sort_box(b);
    int64_t t = n >= 5 ? std::clamp<int64_t>(to_int(ctx, ctx.top[4]), -65536, 65536) : 1;
    uint32_t c = img->st.color;
    if (t > 0) {
      for (int64_t k = 0; k < t; k++) {
        ring(ctx, *img, b[0], b[1], b[2], b[3], c);
        if (b[2] - b[0] + 1 > 2) b[0]++, b[2]--;
        if (b[3] - b[1] + 1 >= 2) b[1]++, b[3]--;
      }
    } else {
      for (int64_t k = 1; k <= -t; k++) ring(ctx, *img, b[0] - k, b[1] - k, b[2] + k, b[3] + k, c);
    }
  }
  pop_n(ctx, n);
}

// drawclear [colour]: sets the background colour and fills the clip rectangle.
void h_drawclear(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Image* img = gfx::target(ctx);
  if (img) {
    uint32_t i = 0;
    if (n) img->st.back = gfx::read_color(ctx, n, i);
    gfx::fill_marked(ctx, *img, img->st.minx, img->st.miny, img->st.maxx, img->st.maxy, img->st.back);
  }
  pop_n(ctx, n);
}

// drawregion [x1 y1 x2 y2]: the clip rectangle (none: the whole image); the
// text position moves to its top-left corner.
// Note: the rectangle is clamped to the image, so the variables always read
// a clip rectangle that lies inside it (an empty one when it misses).
void h_drawregion(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (Image* img = gfx::target(ctx)) {
    int64_t b[4] = {0, 0, img->width() - 1, img->height() - 1};
    if (n >= 4) {
      read_box(ctx, 0, b);
      sort_box(b);
    }
    auto cl = [](int64_t v, int64_t hi) { return int16_t(std::clamp<int64_t>(v, -1, std::min<int64_t>(hi, 32767))); };
    img->st.minx = cl(b[0], img->width());
    img->st.miny = cl(b[1], img->height());
    img->st.maxx = cl(b[2], img->width() - 1);
    img->st.maxy = cl(b[3], img->height() - 1);
    img->st.text_x = img->st.minx;
    img->st.text_y = img->st.miny;
  }
  pop_n(ctx, n);
}

// drawfilter level [image ...]
void h_drawfilter(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n) {
    int32_t level = int32_t(std::clamp<int64_t>(to_int(ctx, ctx.top[0]), 0, 255));
    if (n == 1) {
      if (Image* img = gfx::target(ctx)) img->st.filter = level;
    }
    // The images are read as every image argument is (lists, names, array items).
    for (uint32_t i = 1; i < n; i++)
      for (Image* img : gfx::images_of(gfx::image_arg(ctx, ctx.top[i]))) img->st.filter = level;
  }
  pop_n(ctx, n);
}

// drawdensity [dx=96 [dy=dx]]
void h_drawdensity(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (Image* img = gfx::target(ctx)) {
    int64_t dx = n >= 1 ? to_int(ctx, ctx.top[0]) : 96;
    int64_t dy = n >= 2 ? to_int(ctx, ctx.top[1]) : dx;
    img->st.density_x = int32_t(std::clamp<int64_t>(dx, 1, 1 << 20));
    img->st.density_y = int32_t(std::clamp<int64_t>(dy, 1, 1 << 20));
  }
  pop_n(ctx, n);
}

// drawmove x1 y1 x2 y2 dx dy [...]: copies a rectangle within the target
// (the part inside the image), put through the clip rectangle with the
// target's raster operation.
void h_drawmove(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Image* img = gfx::target(ctx);
  if (img)
    for (uint32_t i = 0; i + 5 < n; i += 6) {
      int64_t b[4];
      read_box(ctx, i, b);
      sort_box(b);
      int64_t dx = read_coord(ctx, ctx.top[i + 4], true), dy = read_coord(ctx, ctx.top[i + 5], false);
      int64_t x1 = std::max<int64_t>(b[0], 0), y1 = std::max<int64_t>(b[1], 0);
      int64_t x2 = std::min<int64_t>(b[2], img->width() - 1), y2 = std::min<int64_t>(b[3], img->height() - 1);
      if (x1 > x2 || y1 > y2) continue;
      dx += x1 - b[0];
      dy += y1 - b[1];
      size_t w = size_t(x2 - x1 + 1), h = size_t(y2 - y1 + 1);
      std::vector<uint32_t> copy(w * h);
      for (size_t y = 0; y < h; y++)
        for (size_t x = 0; x < w; x++) copy[y * w + x] = gfx::get_pixel(*img, x1 + int64_t(x), y1 + int64_t(y));
      gfx::Rect c;
      if (!gfx::clip_rect(*img, c)) continue;
      for (size_t y = 0; y < h; y++) {
        int64_t ty = dy + int64_t(y);
        if (ty < c.y1 || ty > c.y2) continue;
        for (size_t x = 0; x < w; x++) {
          int64_t tx = dx + int64_t(x);
          if (tx < c.x1 || tx > c.x2) continue;
          uint32_t s = copy[y * w + x], d = gfx::get_pixel(*img, tx, ty);
          if (img->st.op_and) s &= d;
          else if (img->st.op_or) s |= d;
          else if (img->st.op_xor) s ^= d;
          gfx::set_pixel(*img, tx, ty, s);
        }
      }
      gfx::mark_changed(ctx, *img, dx, dy, dx + int64_t(w) - 1, dy + int64_t(h) - 1, true);
    }
  pop_n(ctx, n);
}

// drawinside x1 y1 x2 y2 px py [...]: 1 when a point lies in the rectangle.
void h_drawinside(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t hit = 0;
  if (n >= 6) {
    Box a = box_at(ctx, 0, false);
    for (uint32_t i = 4; i + 1 < n && !hit; i += 2) {
      int64_t x = read_coord(ctx, ctx.top[i], true), y = read_coord(ctx, ctx.top[i + 1], false);
      hit = x >= a.x1 && x <= a.x2 && y >= a.y1 && y <= a.y2;
    }
  }
  pop_n(ctx, n);
  push_int(ctx, hit);
}

void h_drawoverlap(Interp& ctx) { overlap(ctx, false); }
void h_drawoverlaps(Interp& ctx) { overlap(ctx, true); }

// colorhsb [hue=0 [saturation=100 [brightness=100]]]
void h_colorhsb(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  double h = n >= 1 ? value_to_float(&ctx, ctx.top[0]) : 0;
  double s = n >= 2 ? value_to_float(&ctx, ctx.top[1]) / 100 : 1;
  double v = n >= 3 ? value_to_float(&ctx, ctx.top[2]) / 100 : 1;
  pop_n(ctx, n);
  if (!std::isfinite(h)) h = 0;
  h = std::fmod(h, 360.0);
  if (h < 0) h += 360;
  if (h >= 360) h = 0;
  int sector = int(std::floor(h / 60)) % 6;
  double f = h / 60 - std::floor(h / 60);
  double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
  double rgb[6][3] = {{v, t, p}, {q, v, p}, {p, v, t}, {p, q, v}, {t, p, v}, {v, p, q}};
  uint32_t out = 0;
  for (int k = 0; k < 3; k++) {
    double ch = rgb[sector][k] * 255 + 0.5;
    if (!(ch > 0)) ch = 0;
    out = out << 8 | uint32_t(std::min(ch, 255.0));
  }
  push_int(ctx, out);
}

// colorhue [colour]: degrees; greys (and black) give 0.
void h_colorhue(Interp& ctx) {
  Channels c = channels(color_arg(ctx));
  double d = c.max - c.min, h = 0;
  if (d > 0) {
    if (c.max == c.r) h = 60 * ((c.g - c.b) / d);
    else if (c.max == c.g) h = 60 * ((c.b - c.r) / d + 2);
    else h = 60 * ((c.r - c.g) / d + 4);
    if (h < 0) h += 360;
  }
  push_float(ctx, h);
}

void h_colorsaturation(Interp& ctx) {
  Channels c = channels(color_arg(ctx));
  push_float(ctx, c.max > 0 ? (c.max - c.min) / c.max * 100 : 0.0);
}

void h_colorbrightness(Interp& ctx) {
  Channels c = channels(color_arg(ctx));
  push_float(ctx, c.max * 100);
}

}  // namespace vm
