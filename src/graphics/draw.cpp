// The drawing target and frame, the changed-area list, the colour
// dictionary and reader, the computed draw variables, and the draw and colour
// commands that need no shape rasteriser.
#include "graphics/draw.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>

#include "graphics/draw_args.h"
#include "graphics/image_load.h"
#include "storage/membuf.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/measure.h"
#include "vm/queries.h"
#include "vm/sysvars.h"
#include "vm/triggers.h"
#include "vm/variables.h"

namespace gfx {

using vm::Interp;
using vm::Value;

namespace {

// What a context draws with, in its graphics slot.
struct GfxContext {
  uint32_t frame = 0;
  uint32_t target = 0;
  ChangedList list;
  DeferredFlush deferred = nullptr;
  uint64_t deferred_key = 0;
};

std::unordered_map<std::string, uint32_t> g_colors;
FlushHook g_flush = nullptr;
CompositeHooks g_composite;
FrameHook g_frame_settle = nullptr;

// The context's drawing state, made at its first use.
GfxContext& state(Interp& ctx) {
  void*& slot = ctx.slots[vm::kSlotGraphics];
  if (!slot) slot = new GfxContext;
  return *static_cast<GfxContext*>(slot);
}

void context_closer(Interp& ctx) {
  auto* s = static_cast<GfxContext*>(ctx.slots[vm::kSlotGraphics]);
  if (!s) return;
  ctx.slots[vm::kSlotGraphics] = nullptr;
  uint32_t f = s->frame, t = s->target;
  delete s;
  if (t) vm::element_release(t);
  vm::element_release(f);
}

struct NamedColor {
  const char* name;
  uint32_t value;
};
constexpr NamedColor kBuiltinColors[] = {
    {"black", 0x000000},       {"blue", 0x0000AA},        {"brown", 0xAA5500},
    {"cream", 0xFFFBF0},       {"cyan", 0x00AAAA},        {"darkblue", 0x000080},
    {"darkcyan", 0x008080},    {"darkgray", 0x555555},    {"darkgrey", 0x555555},
    {"darkgreen", 0x008000},   {"darkmagenta", 0x800080}, {"darkred", 0x800000},
    {"gray", 0x808080},        {"grey", 0x808080},        {"green", 0x00AA00},
    {"lightblue", 0x0000FF},   {"lightcyan", 0x00FFFF},   {"lightgray", 0xC0C0C0},
    {"lightgrey", 0xC0C0C0},   {"lightgreen", 0x00FF00},  {"lightmagenta", 0xFF00FF},
    {"lightred", 0xFF0000},    {"magenta", 0xAA00AA},     {"mediumgray", 0xA0A0A4},
    {"mediumgrey", 0xA0A0A4},  {"moneygreen", 0xC0DCC0},  {"red", 0xAA0000},
    {"skyblue", 0xA6CAF0},     {"white", 0xFFFFFF},       {"yellow", 0xFFFF00},
    {"aqua", 0x00FFFF},        {"fuchsia", 0xFF00FF},     {"lime", 0x00FF00},
    {"maroon", 0x800000},      {"navy", 0x000080},        {"olive", 0x808000},
    {"purple", 0x800080},      {"silver", 0xC0C0C0},      {"teal", 0x008080},
};

// Keywords are matched without regard to case, as names are.
std::string color_key(std::string_view s) {
  std::string k(s);
  for (char& c : k) c = char(std::tolower(uint8_t(c)));
  return k;
}

bool lookup_color(Value v, uint32_t& out) {
  if (vm::element_type_of(v) != vm::kTypeString) return false;
  auto it = g_colors.find(color_key(vm::element_text(v)));
  if (it == g_colors.end()) return false;
  out = it->second;
  return true;
}

bool is_number(Value v) { return v.is_int() || v.is_float(); }

// A text that is a number written out: hexadecimal numbers (0x...) and
// fractions that no literal holds stay texts in compiled scripts, and the
// command that receives them converts them.
bool is_number_text(Value v) {
  if (vm::element_type_of(v) != vm::kTypeString) return false;
  std::string_view s = vm::element_text(v);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  if (!s.empty() && s.front() == '-') s.remove_prefix(1);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
    return std::all_of(s.begin() + 2, s.end(), [](char c) { return std::isxdigit(uint8_t(c)) != 0; });
  size_t digits = 0, dots = 0;
  for (char c : s) {
    if (c >= '0' && c <= '9') digits++;
    else if (c == '.') dots++;
    else return false;
  }
  return digits > 0 && dots <= 1;
}

vm::MeasureTarget measure_target(Interp& ctx) {
  Image* img = target(ctx);
  if (!img) return {96, 96, 640, 480};
  return {double(img->st.density_x), double(img->st.density_y), double(img->width()),
          double(img->height())};
}

// --- computed variables ---------------------------------------------------------------------

template <typename F>
void get_field(Interp& ctx, F f) {
  Image* img = target(ctx);
  vm::push_int(ctx, img ? int64_t(f(*img)) : 0);
}

int64_t to_int(Interp& ctx, Value v) { return vm::value_to_integer(&ctx, v); }


void set_op(Interp& ctx, Value v, int which) {
  Image* img = target(ctx);
  if (!img) return;
  bool on = to_int(ctx, v) != 0;
  if (on) img->st.op_and = img->st.op_or = img->st.op_xor = 0;
  uint8_t* f = which == 0 ? &img->st.op_and : which == 1 ? &img->st.op_or : &img->st.op_xor;
  *f = on ? 1 : 0;
}

int16_t to16(int64_t v) { return int16_t(std::clamp<int64_t>(v, -32768, 32767)); }

void register_variables() {
  using vm::sysvar_register;
  sysvar_register(vm::SV_var_colornum, {[](Interp& c) { get_field(c, [](Image& i) { return i.st.color; }); },
                                        [](Interp& c, Value v) {
                                          if (Image* i = target(c)) i->st.color = single_color(c, v);
                                        }});
  sysvar_register(vm::SV_var_colorback, {[](Interp& c) { get_field(c, [](Image& i) { return i.st.back; }); },
                                         [](Interp& c, Value v) {
                                           if (Image* i = target(c)) i->st.back = single_color(c, v);
                                         }});
  sysvar_register(vm::SV_var_colortran,
                  {[](Interp& c) { get_field(c, [](Image& i) { return i.st.color_tran; }); },
                   [](Interp& c, Value v) {
                     if (Image* i = target(c)) i->st.color_tran = single_color(c, v);
                   }});
  sysvar_register(vm::SV_var_colormax,
                  {[](Interp& c) { get_field(c, [](Image& i) { return i.color_mask; }); }, [](Interp&, Value) {}});
  sysvar_register(vm::SV_var_drawand, {[](Interp& c) { get_field(c, [](Image& i) { return i.st.op_and; }); },
                                       [](Interp& c, Value v) { set_op(c, v, 0); }});
  sysvar_register(vm::SV_var_drawor, {[](Interp& c) { get_field(c, [](Image& i) { return i.st.op_or; }); },
                                      [](Interp& c, Value v) { set_op(c, v, 1); }});
  sysvar_register(vm::SV_var_drawxor, {[](Interp& c) { get_field(c, [](Image& i) { return i.st.op_xor; }); },
                                       [](Interp& c, Value v) { set_op(c, v, 2); }});
#define QINTVAR(var, field, conv)                                                        \
  sysvar_register(vm::SV_##var, {[](Interp& c) { get_field(c, [](Image& i) { return i.st.field; }); }, \
                                 [](Interp& c, Value v) {                                \
                                   if (Image* i = target(c)) i->st.field = conv(to_int(c, v)); \
                                 }});
  QINTVAR(var_drawfilter, filter, [](int64_t x) { return int32_t(std::clamp<int64_t>(x, 0, 255)); })
  QINTVAR(var_drawtint, tint, int32_t)
  QINTVAR(var_drawoffx, off_x, int32_t)
  QINTVAR(var_drawoffy, off_y, int32_t)
  QINTVAR(var_drawminx, minx, to16)
  QINTVAR(var_drawminy, miny, to16)
  QINTVAR(var_drawmaxx, maxx, to16)
  QINTVAR(var_drawmaxy, maxy, to16)
  QINTVAR(var_drawdensityx, density_x, [](int64_t x) { return int32_t(std::clamp<int64_t>(x, 1, 1 << 20)); })
  QINTVAR(var_drawdensityy, density_y, [](int64_t x) { return int32_t(std::clamp<int64_t>(x, 1, 1 << 20)); })
#undef QINTVAR
}

}  // namespace

uint32_t single_color(Interp& ctx, Value v) {
  uint32_t c;
  if (lookup_color(v, c)) return c;
  return uint32_t(vm::value_to_integer(&ctx, v));
}

void fill_marked(Interp& ctx, Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint32_t color) {
  fill_rect(img, x1, y1, x2, y2, color);
  mark_changed(ctx, img, x1, y1, x2, y2, true);
}

// --- context state --------------------------------------------------------------------------

// The image fields of the ele_ queries.
static bool read_image_field(Interp&, vm::EleField field, Value element, int64_t& out) {
  auto* img = static_cast<Image*>(vm::element_lookup(element, vm::kTypeImage));
  if (!img) return false;
  switch (field) {
    case vm::EleField::SizeX: out = img->width(); return true;
    case vm::EleField::SizeY: out = img->height(); return true;
    case vm::EleField::Bits: out = img->bits; return true;
    case vm::EleField::DensityX: out = img->st.density_x; return true;
    case vm::EleField::DensityY: out = img->st.density_y; return true;
    case vm::EleField::OffX: out = img->st.off_x; return true;
    case vm::EleField::OffY: out = img->st.off_y; return true;
    // The delay in hundredths of a second, rounded.
    case vm::EleField::Delay: out = int64_t((img->delay * 100 + (uint64_t(1) << 31)) >> 32); return true;
    // The pixel block, entered for the memory commands while the image lives.
    case vm::EleField::Adr:
      if (!img->pixels) return out = 0, true;
      storage::script_memory_add(img->self, img->pixels, int64_t(img->stride) * img->height());
      out = storage::address_of(img->pixels);
      return true;
    default: return false;
  }
}

namespace {

bool target_clip(Interp& ctx, vm::WhenRect& r) {
  Image* img = target(ctx);
  if (!img) return false;
  r = {img->st.minx, img->st.miny, img->st.maxx, img->st.maxy};
  return true;
}

}  // namespace

void gfx_init() {
  image_register();
  register_variables();
  vm::g_measure_target = measure_target;
  vm::interp_add_closer(context_closer);
  vm::g_host.finish_drawing = finish_drawing;
  vm::ele_register(vm::kTypeImage, read_image_field);
  vm::g_trigger_drawing = {target_clip, read_color};
  g_colors.clear();
  for (const NamedColor& c : kBuiltinColors) g_colors[c.name] = c.value;
}

namespace {

// The frame's shape from var_windowsizex, var_windowsizey and
// var_windowbitdepth, after the window glue settled them (a side below 32
// is 640 or 480 once a window opens).
struct FrameShape {
  int32_t w, h, bits;
};
FrameShape frame_shape(Interp& ctx) {
  int64_t w = vm::sysvar_int(ctx, vm::SV_var_windowsizex);
  int64_t h = vm::sysvar_int(ctx, vm::SV_var_windowsizey);
  int64_t bits = vm::sysvar_int(ctx, vm::SV_var_windowbitdepth);
  // Note: a depth the frame cannot have falls back to 32 bits.
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32 && bits != -32) bits = 32;
  return {int32_t(std::clamp<int64_t>(w, 1, kMaxSide)), int32_t(std::clamp<int64_t>(h, 1, kMaxSide)),
          int32_t(bits)};
}

// A frame of the shape above. Indexed frames start with the grey ramp, as
// other images made without a palette do.
uint32_t create_frame(Interp& ctx, const Image* like) {
  if (g_frame_settle) g_frame_settle(ctx);
  FrameShape f = frame_shape(ctx);
  uint32_t handle = image_create(f.w, f.h, f.bits, like, nullptr);
  if (Image* img = image_of(handle); img && img->bits <= 8)
    for (int32_t i = 0; i < 256; i++) img->palette[i] = grey_ramp(img->bits, i);
  return handle;
}

}  // namespace

Image* frame(Interp& ctx) {
  GfxContext& s = state(ctx);
  if (Image* img = image_of(s.frame)) return img;
  s.frame = create_frame(ctx, nullptr);
  return image_of(s.frame);
}

// The drawing state goes over; an indexed frame of the same depth keeps
// its palette, any other picture is carried over colour by colour. When the
// new frame cannot be made the old one stays.
void remake_frame(Interp& ctx) {
  GfxContext& s = state(ctx);
  Image* old = image_of(s.frame);
  if (!old) return;
  uint32_t fresh = create_frame(ctx, old);
  Image* img = image_of(fresh);
  if (!img) return;
  const int32_t w = std::min(old->width(), img->width()), h = std::min(old->height(), img->height());
  if (img->bits == old->bits) {
    std::memcpy(img->palette, old->palette, sizeof img->palette);
    const size_t bytes = (size_t(w) * img->bits + 7) / 8;
    for (int32_t y = 0; y < h; y++) std::memcpy(img->row(y), old->row(y), bytes);
  } else {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) set_pixel(*img, x, y, get_pixel(*old, x, y));
  }
  vm::element_release(s.frame);
  s.frame = fresh;
  s.list.rects.clear();
  if (g_composite.frame_remade) g_composite.frame_remade(ctx);
}

void set_frame_hook(FrameHook settle) { g_frame_settle = settle; }

void fit_frame(Interp& ctx) {
  Image* img = image_of(state(ctx).frame);
  if (!img) return;
  FrameShape f = frame_shape(ctx);
  const bool alpha = f.bits == -32;
  if (img->width() != f.w || img->height() != f.h || img->bits != (alpha ? 32 : f.bits) ||
      (f.bits == 32 && img->has_alpha))
    remake_frame(ctx);
}

Image* target(Interp& ctx) {
  GfxContext& s = state(ctx);
  if (Image* img = image_of(s.target)) return img;
  return frame(ctx);
}

// The target holds a reference, so that its handle cannot pass to another
// element while chosen; choosing the frame chooses nothing.
void set_target(Interp& ctx, uint32_t image_handle) {
  GfxContext& s = state(ctx);
  if (image_handle == s.frame || !image_of(image_handle)) image_handle = 0;
  if (image_handle) vm::element_ref(image_handle);
  uint32_t old = s.target;
  s.target = image_handle;
  if (old) vm::element_release(old);
}

ChangedList& changed(Interp& ctx) { return state(ctx).list; }

void set_flush_hook(FlushHook hook) { g_flush = hook; }

// Adding a changed rectangle: sort the corners, clamp to the clip rectangle
// (or the bounds), drop it when nothing is left; in fine-grain mode join it
// to one of the last kJoinWindow entries that it contains, lies in, or
// continues along equal rows or columns (sharing at least one column or row:
// touching is not enough); otherwise grow an entry (the only one, or the one
// growing least) when the list is not fine-grained or is full; otherwise
// append. Only the newest entries are tried, so that a transition step that
// marks thousands of cells adds each in constant time; callers that mark
// many pieces join their runs first.
void mark_changed(Interp& ctx, const Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2,
                  bool clip_to_region) {
  GfxContext& s = state(ctx);
  if (img.self != s.frame) return;
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  Rect c{0, 0, img.width() - 1, img.height() - 1};
  if (clip_to_region && !clip_rect(img, c)) return;
  x1 = std::max<int64_t>(x1, c.x1);
  y1 = std::max<int64_t>(y1, c.y1);
  x2 = std::min<int64_t>(x2, c.x2);
  y2 = std::min<int64_t>(y2, c.y2);
  if (x1 > x2 || y1 > y2) return;
  ctx.frame_changed = true;
  Rect r{int32_t(x1), int32_t(y1), int32_t(x2), int32_t(y2)};
  std::vector<Rect>& list = s.list.rects;
  if (!list.empty() && s.list.fine_grain) {
    constexpr size_t kJoinWindow = 4;
    for (size_t i = list.size() > kJoinWindow ? list.size() - kJoinWindow : 0; i < list.size(); i++) {
      Rect& e = list[i];
      if (r.x1 <= e.x1 && r.y1 <= e.y1 && r.x2 >= e.x2 && r.y2 >= e.y2) {
        e = r;
        return;
      }
      if (e.x1 <= r.x1 && e.y1 <= r.y1 && e.x2 >= r.x2 && e.y2 >= r.y2) return;
      if (e.y1 == r.y1 && e.y2 == r.y2 && r.x1 <= e.x2 && e.x1 <= r.x2) {
        e.x1 = std::min(e.x1, r.x1);
        e.x2 = std::max(e.x2, r.x2);
        return;
      }
      if (e.x1 == r.x1 && e.x2 == r.x2 && r.y1 <= e.y2 && e.y1 <= r.y2) {
        e.y1 = std::min(e.y1, r.y1);
        e.y2 = std::max(e.y2, r.y2);
        return;
      }
    }
  }
  if (!list.empty() && (!s.list.fine_grain || list.size() > kMaxChanged - 1)) {
    size_t best = 0;
    int64_t best_growth = INT64_MAX;
    for (size_t i = 0; i < list.size(); i++) {
      const Rect& e = list[i];
      int64_t area = int64_t(e.x2 - e.x1 + 1) * (e.y2 - e.y1 + 1);
      int64_t grown = int64_t(std::max(e.x2, r.x2) - std::min(e.x1, r.x1) + 1) *
                      (std::max(e.y2, r.y2) - std::min(e.y1, r.y1) + 1);
      if (grown - area < best_growth) {
        best_growth = grown - area;
        best = i;
      }
    }
    Rect& e = list[best];
    e = {std::min(e.x1, r.x1), std::min(e.y1, r.y1), std::max(e.x2, r.x2), std::max(e.y2, r.y2)};
    return;
  }
  if (list.size() < kMaxChanged) list.push_back(r);
}

void mark_all_changed(Interp& ctx) {
  GfxContext& s = state(ctx);
  s.list.rects.clear();
  s.list.fine_grain = false;
  if (Image* f = frame(ctx)) {
    s.list.rects.push_back({0, 0, f->width() - 1, f->height() - 1});
    ctx.frame_changed = true;
  }
}

void set_fine_grain(Interp& ctx) { state(ctx).list.fine_grain = true; }

void mark_changed_pieces(Interp& ctx, const Image& img, const Rect* pieces, size_t count) {
  GfxContext& s = state(ctx);
  if (img.self != s.frame || count == 0) return;
  std::vector<Rect>& list = s.list.rects;
  s.list.fine_grain = true;
  if (list.size() + count > kMaxChanged - 1) {
    for (size_t i = 0; i < count; i++)
      mark_changed(ctx, img, pieces[i].x1, pieces[i].y1, pieces[i].x2, pieces[i].y2, true);
    return;
  }
  Rect c{0, 0, img.width() - 1, img.height() - 1};
  if (!clip_rect(img, c)) return;
  for (size_t i = 0; i < count; i++) {
    const Rect& p = pieces[i];
    const Rect r{std::max(p.x1, c.x1), std::max(p.y1, c.y1), std::min(p.x2, c.x2), std::min(p.y2, c.y2)};
    if (r.x1 > r.x2 || r.y1 > r.y2) continue;
    list.push_back(r);
    ctx.frame_changed = true;
  }
}

void set_deferred_present(Interp& ctx, DeferredFlush flush, uint64_t key) {
  GfxContext& s = state(ctx);
  if (s.deferred && (s.deferred != flush || s.deferred_key != key)) {
    // Another drawing was holding changes back: they are shown first.
    DeferredFlush other = s.deferred;
    s.deferred = nullptr;
    other(ctx, s.deferred_key);
  }
  s.deferred = flush;
  s.deferred_key = key;
}

void present_deferred(Interp& ctx) {
  auto* s = static_cast<GfxContext*>(ctx.slots[vm::kSlotGraphics]);
  if (s && s->deferred) finish_drawing(ctx);
}

void finish_drawing(Interp& ctx) {
  ctx.frame_changed = false;
  GfxContext& s = state(ctx);
  if (DeferredFlush flush = s.deferred) {
    // Taken off first: the flush marks its rectangles and may present
    // batches of them through this function.
    s.deferred = nullptr;
    flush(ctx, s.deferred_key);
    ctx.frame_changed = false;
  }
  Image* f = image_of(s.frame);
  if (!g_flush || !f || s.list.rects.empty()) return;
  std::vector<Rect> rects;
  rects.swap(s.list.rects);
  std::reverse(rects.begin(), rects.end());
  s.list.fine_grain = false;
  Image* shown = g_composite.compose ? g_composite.compose(ctx, rects.data(), rects.size()) : nullptr;
  g_flush(ctx, shown ? *shown : *f, rects.data(), rects.size());
}

void set_composite_hooks(const CompositeHooks& hooks) { g_composite = hooks; }

Image* shown_image(Interp& ctx) {
  if (g_composite.shown)
    if (Image* c = g_composite.shown(ctx)) return c;
  return frame(ctx);
}

// --- argument readers ---------------------------------------------------------------------------

uint32_t read_color(Interp& ctx, uint32_t n, uint32_t& i) {
  if (i >= n) {
    Image* img = target(ctx);
    return img ? img->st.color : 0xFFFFFF;
  }
  Value v = ctx.top[i];
  uint32_t c;
  if (lookup_color(v, c)) {
    i++;
    return c;
  }
  if (n - i >= 3 && is_number(v) && is_number(ctx.top[i + 1]) && is_number(ctx.top[i + 2])) {
    uint32_t rgb = 0;
    for (int k = 0; k < 3; k++)
      rgb = rgb << 8 | uint32_t(std::clamp<int64_t>(to_int(ctx, ctx.top[i + uint32_t(k)]), 0, 255));
    i += 3;
    return rgb;
  }
  i++;
  return uint32_t(to_int(ctx, v));
}

int64_t read_coord(Interp& ctx, Value v, bool x_axis) {
  double px;
  int64_t out;
  if (vm::measure_to_pixels(ctx, v, x_axis ? vm::Axis::X : vm::Axis::Y, px)) {
    // Note: measurements are rounded to the nearest pixel.
    if (!(std::fabs(px) < 1e9)) px = 0;
    out = int64_t(std::floor(px + 0.5));
  } else {
    out = to_int(ctx, v);
  }
  // Coordinates far beyond any image are pinned so that sums of a few of
  // them cannot overflow.
  return std::clamp<int64_t>(out, -kCoordLimit, kCoordLimit);
}

// --- commands without shapes ----------------------------------------------------------------------

// Plots one point of drawpixel or drawline: marks it changed, blends with the
// filter level, writes it when inside the image (no clip, no raster ops).
void plot(Interp& ctx, Image& img, int64_t x, int64_t y, uint32_t color) {
  mark_changed(ctx, img, x, y, x, y, false);
  if (x < 0 || y < 0 || x >= img.width() || y >= img.height()) return;
  if (img.st.filter) color = blend(get_pixel(img, x, y), color, img.st.filter);
  set_pixel(img, x, y, color);
}

}  // namespace gfx

namespace vm {

using gfx::Image;
using gfx::read_color;
using gfx::read_coord;

// color [colour [background]]
void h_color(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Image* img = gfx::target(ctx);
  if (n == 0) {
    push_int(ctx, img ? img->st.color : 0);
    return;
  }
  uint32_t i = 0;
  uint32_t c = read_color(ctx, n, i);
  if (img) img->st.color = c;
  if (i < n) {
    uint32_t b = read_color(ctx, n, i);
    if (img) img->st.back = b;
  }
  pop_n(ctx, n);
}

// colorget x y [var | rvar gvar bvar]
void h_colorget(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n < 2) {
    discard_args_push_zero(ctx, n);
    return;
  }
  Image* img = gfx::target(ctx);
  int64_t x = read_coord(ctx, ctx.top[0], true), y = read_coord(ctx, ctx.top[1], false);
  uint32_t c = img ? gfx::get_pixel(*img, x, y) : 0xFFFFFF;
  if (n == 3) {
    var_set(ctx, ctx.top[2], Value::from_int(c));
  } else if (n >= 5) {
    var_set(ctx, ctx.top[2], Value::from_int(c >> 16 & 255));
    var_set(ctx, ctx.top[3], Value::from_int(c >> 8 & 255));
    var_set(ctx, ctx.top[4], Value::from_int(c & 255));
  }
  pop_n(ctx, n);
  if (n == 2 || n == 4) push_int(ctx, c);
}

// drawpixel [colour] x y [x y ...]
// Note: the colour of an odd argument list is one argument (a keyword or an
// integer); read by the three-number rule, "drawpixel 255 10 20" would take
// the point for a colour.
void h_drawpixel(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Image* img = gfx::target(ctx);
  if (img && n >= 2) {
    uint32_t i = 0;
    uint32_t c = img->st.color;
    if (n % 2) c = gfx::single_color(ctx, ctx.top[i++]);
    for (; i + 1 < n; i += 2)
      gfx::plot(ctx, *img, read_coord(ctx, ctx.top[i], true), read_coord(ctx, ctx.top[i + 1], false), c);
  }
  pop_n(ctx, n);
}

// drawline x1 y1 x2 y2 [x3 y3 ...]: each segment plots its first point and
// not its last, stepping along the longer axis with an accumulator.
void h_drawline(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Image* img = gfx::target(ctx);
  if (img && n >= 4) {
    uint32_t c = img->st.color;
    int64_t x = read_coord(ctx, ctx.top[0], true), y = read_coord(ctx, ctx.top[1], false);
    for (uint32_t i = 2; i + 1 < n; i += 2) {
      int64_t x2 = read_coord(ctx, ctx.top[i], true), y2 = read_coord(ctx, ctx.top[i + 1], false);
      int64_t dx = x2 > x ? x2 - x : x - x2, dy = y2 > y ? y2 - y : y - y2;
      int64_t sx = x2 >= x ? 1 : -1, sy = y2 >= y ? 1 : -1;
      int64_t acc = 0;
      // A segment that misses the image changes nothing; skip its stepping.
      bool misses = std::max(x, x2) < 0 || std::max(y, y2) < 0 || std::min(x, x2) >= img->width() ||
                    std::min(y, y2) >= img->height();
      if (misses) dx = dy = 0;
      if (dy < dx) {
        for (int64_t k = 0; k < dx; k++) {
          gfx::plot(ctx, *img, x, y, c);
          acc += dy;
          x += sx;
          if (acc >= dx) {
            y += sy;
            acc -= dx;
          }
        }
      } else {
        for (int64_t k = 0; k < dy; k++) {
          gfx::plot(ctx, *img, x, y, c);
          acc += dx;
          y += sy;
          if (acc >= dy) {
            x += sx;
            acc -= dy;
          }
        }
      }
      x = x2;
      y = y2;
    }
  }
  pop_n(ctx, n);
}

// colorname name [colour] ...: enters or replaces each name followed by a
// colour (a number, a number text such as 0x123456, or a known keyword); a
// name without one is removed.
void h_colorname(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  for (uint32_t i = 0; i < n;) {
    Value name = ctx.top[i++];
    std::string key = gfx::color_key(element_type_of(name) == kTypeString ? element_text(name)
                                                                          : value_display(&ctx, name));
    uint32_t c;
    Value next = i < n ? ctx.top[i] : Value::null();
    if (i < n && (gfx::is_number(next) || gfx::is_number_text(next) || gfx::lookup_color(next, c)))
      gfx::g_colors[key] = read_color(ctx, n, i);
    else
      gfx::g_colors.erase(key);
  }
  pop_n(ctx, n);
}

}  // namespace vm
