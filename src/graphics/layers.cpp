// Layers: the record, the context's list, the composite, redrawing, the
// timers and their pending flags. The commands are in layer_commands.cpp.
#include "graphics/layers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image_load.h"
#include "graphics/image_put.h"
#include "graphics/shapes.h"
#include "storage/membuf.h"
#include "vm/clock.h"
#include "vm/interp.h"
#include "vm/queries.h"
#include "vm/variables.h"

namespace gfx {

using vm::Interp;
using vm::Value;

namespace {

// What a context keeps of its layers, in its layers slot.
struct LayerContext {
  std::vector<uint32_t> list;  // drawing order, first = bottom; no references
  uint32_t composite = 0;
  int32_t separate_count = 0;
  int32_t changed_count = 0;
  bool handling = false;  // re-entry guard of the pending handler
};

LayerTextHooks g_text;

// Part corners and positions are kept within +-2^30 so that sums of a few
// of them cannot overflow.
constexpr int64_t kCoordLimitLayer = int64_t(1) << 30;

LayerContext* state_if_any(Interp& ctx) { return static_cast<LayerContext*>(ctx.slots[vm::kSlotLayers]); }
LayerContext& state(Interp& ctx) {
  void*& slot = ctx.slots[vm::kSlotLayers];
  if (!slot) slot = new LayerContext;
  return *static_cast<LayerContext*>(slot);
}

// --- the timer registry -------------------------------------------------------------------

constexpr size_t kRingSize = 4096;

struct Registry {
  std::mutex lock;
  Layer* ring[kRingSize] = {};
  size_t count = 0;
  std::thread* worker = nullptr;
  std::atomic<bool> running{false};
};
Registry g_reg;

// Milliseconds from `start` to `now`. A millisecond converted to clock
// units is truncated, so k ms of a fixed clock read a hair below k; the
// small allowance keeps steps on the millisecond they are due.
double elapsed_ms(uint64_t now, uint64_t start) {
  return now <= start ? 0.0 : double(now - start) * (1000.0 / 4294967296.0) + 1e-6;
}

void worker_loop() {
  for (;;) {
    {
      std::lock_guard<std::mutex> g(g_reg.lock);
      if (g_reg.count == 0) {
        g_reg.running = false;
        return;
      }
      const uint64_t now = vm::clock_now();
      for (Layer* l : g_reg.ring)
        if (l) layer_tick(*l, now);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Starts the worker when a real clock runs and it is not running; a worker
// that ended is joined first. Called with the lock not held.
void ensure_worker() {
  if (vm::clock_fixed() || g_reg.running) return;
  if (g_reg.worker) {
    g_reg.worker->join();
    delete g_reg.worker;
    g_reg.worker = nullptr;
  }
  g_reg.running = true;
  g_reg.worker = new std::thread(worker_loop);
}

void join_idle_worker() {
  if (g_reg.worker && !g_reg.running) {
    g_reg.worker->join();
    delete g_reg.worker;
    g_reg.worker = nullptr;
  }
}

// Called with the lock held.
void unregister_locked(Layer& l) {
  if (!l.registered) return;
  for (Layer*& e : g_reg.ring)
    if (e == &l) {
      e = nullptr;
      g_reg.count--;
      break;
    }
  l.registered = 0;
}

// A layer whose timers all ended leaves the registry. Lock held.
void maybe_unregister_locked(Layer& l) {
  if (l.ms_per_step == 0 && !l.anim_active && !l.pano_active && l.expiry == 0) unregister_locked(l);
}

// --- helpers ---------------------------------------------------------------------------------

void release_cell(Value& v) {
  Value old = v;
  v = Value::null();
  vm::value_release(old);
}

bool overlaps(const Layer& l, const Rect& r) {
  return l.bx1 >= 0 && l.bx1 <= r.x2 && r.x1 <= l.bx2 && l.by1 <= r.y2 && r.y1 <= l.by2;
}

void extend(bool& any, Rect& u, int64_t x1, int64_t y1, int64_t x2, int64_t y2) {
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  auto c = [](int64_t v) { return int32_t(std::clamp<int64_t>(v, -kCoordLimitLayer, kCoordLimitLayer)); };
  if (!any) {
    u = {c(x1), c(y1), c(x2), c(y2)};
    any = true;
    return;
  }
  u = {std::min(u.x1, c(x1)), std::min(u.y1, c(y1)), std::max(u.x2, c(x2)), std::max(u.y2, c(y2))};
}

// The box ring of drawbox: |t| rings inward for t > 0, outward for t < 0.
void draw_box_rings(Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t t, uint32_t c) {
  auto ring = [&](int64_t a, int64_t b, int64_t cc, int64_t d) {
    fill_rect(img, a, b, cc, b, c);
    fill_rect(img, a, d, cc, d, c);
    fill_rect(img, a, b, a, d, c);
    fill_rect(img, cc, b, cc, d, c);
  };
  t = std::clamp<int64_t>(t, -256, 256);
  if (t > 0) {
    for (int64_t k = 0; k < t; k++) {
      ring(x1, y1, x2, y2);
      if (x2 - x1 + 1 > 2) x1++, x2--;
      if (y2 - y1 + 1 >= 2) y1++, y2--;
    }
  } else {
    for (int64_t k = 1; k <= -t; k++) ring(x1 - k, y1 - k, x2 + k, y2 + k);
  }
}

// Draws one rectangle or box part of a layer at (x, y) into `dst` within
// `r`. A filter level makes it translucent as drawpixel's is: the part is
// drawn opaquely, and every pixel it changed becomes the blend of the old
// pixel and the part's colour (a pixel it leaves alone needs no blend, as
// blending a colour with itself gives that colour).
void draw_shape(const LayerShape& s, bool box, bool round, int64_t x, int64_t y, Image& dst) {
  if (!s.enabled) return;
  int64_t a = x + s.x1, b = y + s.y1, c = x + s.x2, d = y + s.y2;
  if (a > c) std::swap(a, c);
  if (b > d) std::swap(b, d);
  Rect area{};
  if (!clip_rect(dst, area)) return;
  area.x1 = int32_t(std::max<int64_t>(area.x1, a - (box ? 256 : 0)));
  area.y1 = int32_t(std::max<int64_t>(area.y1, b - (box ? 256 : 0)));
  area.x2 = int32_t(std::min<int64_t>(area.x2, c + (box ? 256 : 0)));
  area.y2 = int32_t(std::min<int64_t>(area.y2, d + (box ? 256 : 0)));
  if (area.x1 > area.x2 || area.y1 > area.y2) return;
  std::vector<uint32_t> before;
  const int64_t w = int64_t(area.x2) - area.x1 + 1;
  if (s.filter > 0) {
    before.reserve(size_t(w * (int64_t(area.y2) - area.y1 + 1)));
    for (int32_t py = area.y1; py <= area.y2; py++)
      for (int32_t px = area.x1; px <= area.x2; px++) before.push_back(get_pixel(dst, px, py));
  }
  if (round) {
    // As drawrectround and drawboxround draw them: the far edges excluded.
    const int64_t pen = box ? std::max<int32_t>(1, std::abs(s.thickness)) : 1;
    draw_round_box(dst, a, b, c, d, s.corner_w, s.corner_h, pen, !box, s.color);
  } else if (box) {
    draw_box_rings(dst, a, b, c, d, s.thickness, s.color);
  } else {
    fill_rect(dst, a, b, c, d, s.color);
  }
  if (s.filter <= 0) return;
  size_t i = 0;
  for (int32_t py = area.y1; py <= area.y2; py++)
    for (int32_t px = area.x1; px <= area.x2; px++, i++)
      if (get_pixel(dst, px, py) != before[i]) set_pixel(dst, px, py, blend(before[i], s.color, s.filter));
}

// Draws one layer into `dst` within `r` (the clip rectangle is set to r).
void draw_layer(Layer& l, Image& dst, const Rect& r) {
  const DrawState saved = dst.st;
  dst.st.minx = int16_t(r.x1), dst.st.miny = int16_t(r.y1), dst.st.maxx = int16_t(r.x2), dst.st.maxy = int16_t(r.y2);
  const int64_t x = l.x, y = l.y;
  draw_shape(l.rect, false, false, x, y, dst);
  draw_shape(l.rect_round, false, true, x, y, dst);
  draw_shape(l.box, true, false, x, y, dst);
  draw_shape(l.box_round, true, true, x, y, dst);
  if (l.shown) {
    for (Image* img : images_of(l.image)) {
      if (!img->pixels) continue;
      const int32_t f = img->st.filter;
      const uint8_t a = img->st.op_and, o = img->st.op_or, xo = img->st.op_xor;
      img->st.filter = l.filter;
      img->st.op_and = l.op_and, img->st.op_or = l.op_or, img->st.op_xor = l.op_xor;
      put_image(dst, *img, x + img->st.off_x, y + img->st.off_y, true);
      img->st.filter = f;
      img->st.op_and = a, img->st.op_or = o, img->st.op_xor = xo;
    }
  }
  if (vm::is_text(l.text) && g_text.draw) {
    const int64_t tx = x + l.text_off_x, ty = y + l.text_off_y;
    int32_t w = l.text_w, h = l.text_h;
    if (w < 0 || h < 0) {
      Image* showing = shown_image(*l.ctx);
      if (w < 0) w = showing ? showing->width() : 0;
      if (h < 0) h = showing ? showing->height() : 0;
    }
    g_text.draw(*l.ctx, dst, l, tx, ty, w, h, r);
  }
  dst.st = saved;
}

void draw_layers(Interp& ctx, Image& dst, const Rect& r, bool separate) {
  LayerContext* s = state_if_any(ctx);
  if (!s) return;
  // A copy: drawing never changes the list, but the text hook runs script-side code.
  const std::vector<uint32_t> list = s->list;
  for (uint32_t h : list) {
    Layer* l = static_cast<Layer*>(vm::element_lookup(h, vm::kTypeLayer));
    if (l && (l->separate != 0) == separate && overlaps(*l, r)) draw_layer(*l, dst, r);
  }
}

void copy_rect(const Image& from, Image& to, const Rect& r) {
  if (from.bits == to.bits && from.bits >= 8) {
    const size_t off = size_t(r.x1) * from.bytes_pp, bytes = size_t(r.x2 - r.x1 + 1) * from.bytes_pp;
    for (int32_t y = r.y1; y <= r.y2; y++) std::memcpy(to.row(y) + off, from.row(y) + off, bytes);
    return;
  }
  for (int32_t y = r.y1; y <= r.y2; y++)
    for (int32_t x = r.x1; x <= r.x2; x++) set_pixel(to, x, y, get_pixel(from, x, y));
}

// Makes the composite: the frame's size and depth, the frame copied in.
Image* make_composite(Interp& ctx, LayerContext& s) {
  if (Image* c = image_of(s.composite)) return c;
  Image* f = frame(ctx);
  if (!f || !f->pixels) return nullptr;
  uint32_t h = image_create(f->width(), f->height(), f->has_alpha ? -32 : f->bits, f, nullptr);
  Image* c = image_of(h);
  if (!c) return nullptr;
  std::memcpy(c->palette, f->palette, sizeof c->palette);
  c->st.minx = 0, c->st.miny = 0;
  c->st.maxx = int16_t(std::min(c->width() - 1, 32767)), c->st.maxy = int16_t(std::min(c->height() - 1, 32767));
  c->st.op_and = c->st.op_or = c->st.op_xor = 0;
  c->st.filter = 0, c->st.tran = 0, c->st.alpha = 0, c->st.flip_x = c->st.flip_y = 0;
  vm::element_release(c->st.font);
  c->st.font = vm::kHandleBase;
  s.composite = h;
  copy_rect(*f, *c, {0, 0, f->width() - 1, f->height() - 1});
  return c;
}

void drop_composite(LayerContext& s) {
  uint32_t c = s.composite;
  s.composite = 0;
  if (c) vm::element_release(c);
}

// --- hooks of the drawing family ---------------------------------------------------------------

Image* compose(Interp& ctx, const Rect* rects, size_t count) {
  LayerContext* s = state_if_any(ctx);
  if (!s || (s->list.empty() && !s->composite)) return nullptr;
  Image* c = image_of(s->composite);
  const bool fresh = !c;
  if (fresh) c = make_composite(ctx, *s);
  Image* f = frame(ctx);
  if (!c || !f) return nullptr;
  if (c->width() != f->width() || c->height() != f->height()) {
    drop_composite(*s);
    c = make_composite(ctx, *s);
    if (!c) return nullptr;
  }
  for (size_t k = 0; k < count; k++) {
    Rect r = rects[k];
    r.x1 = std::max(r.x1, 0), r.y1 = std::max(r.y1, 0);
    r.x2 = std::min(r.x2, f->width() - 1), r.y2 = std::min(r.y2, f->height() - 1);
    if (r.x1 > r.x2 || r.y1 > r.y2) continue;
    if (s->separate_count > 0) {
      // Marks the separate layers' text would add to the frame are not new changes.
      ChangedList& list = changed(ctx);
      const size_t kept = list.rects.size();
      const bool was = ctx.frame_changed;
      draw_layers(ctx, *f, r, true);
      list.rects.resize(kept);
      ctx.frame_changed = was;
    }
    copy_rect(*f, *c, r);
    draw_layers(ctx, *c, r, false);
  }
  return c;
}

Image* shown(Interp& ctx) {
  LayerContext* s = state_if_any(ctx);
  return s ? image_of(s->composite) : nullptr;
}

// The frame was made anew (the window resized): the composite goes, and
// the layers' bounds are taken again against the new frame, which makes a
// new composite.
void frame_remade(Interp& ctx) {
  LayerContext* s = state_if_any(ctx);
  if (!s) return;
  drop_composite(*s);
  const std::vector<uint32_t> list = s->list;
  for (uint32_t h : list)
    if (Layer* l = static_cast<Layer*>(vm::element_lookup(h, vm::kTypeLayer))) layer_redraw(*l);
}

void idle(Interp& ctx) {
  present_deferred(ctx);
  LayerContext* s = state_if_any(ctx);
  if (!s || s->list.empty()) return;
  layers_handle_pending(ctx);
}

void finish(Interp& ctx) {
  if (LayerContext* s = state_if_any(ctx); s && !s->list.empty()) layers_handle_pending(ctx);
  finish_drawing(ctx);
}

// --- element clean-up, queries, closer --------------------------------------------------------

void remove_from_list(LayerContext& s, Layer& l) {
  auto it = std::find(s.list.begin(), s.list.end(), l.self);
  if (it == s.list.end()) return;
  s.list.erase(it);
  for (size_t i = 0; i < s.list.size(); i++)
    if (auto* o = static_cast<Layer*>(vm::element_lookup(s.list[i], vm::kTypeLayer))) o->list_pos = uint32_t(i);
}

void layer_cleanup(uint32_t, void* payload) {
  Layer& l = *static_cast<Layer*>(payload);
  {
    std::lock_guard<std::mutex> g(g_reg.lock);
    unregister_locked(l);
  }
  if (l.ctx) {
    Interp& ctx = *l.ctx;
    if (LayerContext* s = state_if_any(ctx)) {
      if (l.separate) s->separate_count--;
      if (l.changed) s->changed_count--;
      remove_from_list(*s, l);
      if (l.bx1 >= 0)
        if (Image* f = frame(ctx)) mark_changed(ctx, *f, l.bx1, l.by1, l.bx2, l.by2, false);
    }
  }
  release_cell(l.image);
  release_cell(l.frames);
  release_cell(l.pano_source);
  release_cell(l.path);
  release_cell(l.text);
  if (l.text_state && g_text.release) g_text.release(l.text_state);
  l.text_state = nullptr;
  std::free(l.frame_delays);
  l.frame_delays = nullptr;
  uint32_t name = l.name;
  l.name = 0;
  vm::element_release(name);
}

bool read_layer_field(Interp&, vm::EleField field, Value element, int64_t& out) {
  Layer* l = layer_of(element);
  if (!l || field != vm::EleField::LayerBusy) return false;
  out = l->busy ? 1 : 0;
  return true;
}

void layers_closer(Interp& ctx) {
  LayerContext* s = state_if_any(ctx);
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(g_reg.lock);
    for (uint32_t h : s->list)
      if (Layer* l = static_cast<Layer*>(vm::element_lookup(h, vm::kTypeLayer))) {
        unregister_locked(*l);
        l->ctx = nullptr;
      }
  }
  ctx.slots[vm::kSlotLayers] = nullptr;
  drop_composite(*s);
  delete s;
  // The worker ends by itself once nothing is registered.
  while (g_reg.running) {
    bool empty;
    {
      std::lock_guard<std::mutex> g(g_reg.lock);
      empty = g_reg.count == 0;
    }
    if (!empty) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  join_idle_worker();
}

// The image of a frame of an image list, or null.
Image* frame_image(Value frames, int64_t k) {
  vm::ArrayRecord* a = vm::array_of(frames);
  if (a) return k >= 0 && k < a->count ? image_of(a->items[k].value.is_element() ? a->items[k].value.handle() : 0)
                                       : nullptr;
  return k == 0 && frames.is_element() ? image_of(frames.handle()) : nullptr;
}

// The path pair k of a memory element of 16-bit x, y pairs.
bool path_pair(Value path, int64_t k, int32_t& x, int32_t& y) {
  storage::MemBuf* m = storage::membuf_of(path);
  if (!m || !m->data || k < 0 || (k + 1) * 4 > m->size) return false;
  int16_t v[2];
  std::memcpy(v, m->data + k * 4, 4);
  x = v[0], y = v[1];
  return true;
}

}  // namespace

// --- public ------------------------------------------------------------------------------------

void set_layer_text_hooks(const LayerTextHooks& hooks) { g_text = hooks; }

void layers_init() {
  vm::element_set_cleanup(vm::kTypeLayer, layer_cleanup);
  vm::ele_register(vm::kTypeLayer, read_layer_field);
  vm::interp_add_closer(layers_closer);
  set_composite_hooks({compose, shown, frame_remade});
  vm::g_host.idle = idle;
  vm::g_host.finish_drawing = finish;
}

Layer* layer_of(Value v) { return static_cast<Layer*>(vm::element_lookup(v, vm::kTypeLayer)); }

const uint32_t* layer_list(Interp& ctx, size_t& count) {
  LayerContext* s = state_if_any(ctx);
  count = s ? s->list.size() : 0;
  return s ? s->list.data() : nullptr;
}

uint32_t layer_create(Interp& ctx, Value name) {
  uint32_t h = vm::element_create(nullptr, sizeof(Layer), vm::kTypeLayer);
  Layer* l = static_cast<Layer*>(vm::element_lookup(h, vm::kTypeLayer));
  if (!l) return 0;
  l->self = h;
  l->ctx = &ctx;
  l->shown = 1;
  l->width = l->height = -1;
  l->bx1 = l->by1 = l->bx2 = l->by2 = -1;
  l->frame = l->shown_frame = -1;
  l->text_w = l->text_h = -1;
  l->view_given[2] = l->view_cur[2] = l->view_target[2] = 70.0;
  if (Image* t = target(ctx)) l->op_and = t->st.op_and, l->op_or = t->st.op_or, l->op_xor = t->st.op_xor;
  if (vm::is_text(name)) {
    vm::value_ref(name);
    l->name = name.handle();
    std::string_view s = vm::element_text(name);
    const size_t n = std::min<size_t>(s.size(), 255);
    std::memcpy(l->name_text, s.data(), n);
  }
  LayerContext& s = state(ctx);
  l->list_pos = uint32_t(s.list.size());
  s.list.push_back(h);
  return h;
}

// Redrawing: the bounds as the union of the parts, moved by the position,
// clamped to the frame; the old and new areas are marked changed.
void layer_redraw(Layer& l) {
  if (!l.ctx) return;
  Interp& ctx = *l.ctx;
  LayerContext& s = state(ctx);
  Image* f = frame(ctx);
  if (!f) return;
  if (!image_of(s.composite)) make_composite(ctx, s);
  bool any = false;
  Rect u{};
  if (vm::is_text(l.text)) {
    int32_t w = l.text_w, h = l.text_h;
    Image* showing = shown_image(ctx);
    if (w < 0) w = showing ? showing->width() : 0;
    if (h < 0) h = showing ? showing->height() : 0;
    if (w > 0 && h > 0) extend(any, u, l.text_off_x, l.text_off_y, int64_t(l.text_off_x) + w - 1, int64_t(l.text_off_y) + h - 1);
  }
  if (l.shown) {
    std::vector<Image*> imgs = images_of(l.image);
    if (!imgs.empty() && imgs[0]->width() > 0 && imgs[0]->height() > 0)
      extend(any, u, imgs[0]->st.off_x, imgs[0]->st.off_y, int64_t(imgs[0]->st.off_x) + imgs[0]->width() - 1,
             int64_t(imgs[0]->st.off_y) + imgs[0]->height() - 1);
  }
  for (const LayerShape* p : {&l.rect, &l.rect_round, &l.box, &l.box_round}) {
    if (!p->enabled) continue;
    int64_t grow = p == &l.box || p == &l.box_round ? std::max<int64_t>(0, -int64_t(p->thickness)) : 0;
    extend(any, u, int64_t(std::min(p->x1, p->x2)) - grow, int64_t(std::min(p->y1, p->y2)) - grow,
           int64_t(std::max(p->x1, p->x2)) + grow, int64_t(std::max(p->y1, p->y2)) + grow);
  }
  if (any && l.width < 0) l.width = u.x2 - u.x1 + 1, l.height = u.y2 - u.y1 + 1;
  int32_t nx1 = -1, ny1 = -1, nx2 = -1, ny2 = -1;
  if (any) {
    int64_t x1 = int64_t(u.x1) + l.x, y1 = int64_t(u.y1) + l.y, x2 = int64_t(u.x2) + l.x, y2 = int64_t(u.y2) + l.y;
    x1 = std::max<int64_t>(x1, 0), y1 = std::max<int64_t>(y1, 0);
    x2 = std::min<int64_t>(x2, f->width() - 1), y2 = std::min<int64_t>(y2, f->height() - 1);
    if (x1 <= x2 && y1 <= y2) nx1 = int32_t(x1), ny1 = int32_t(y1), nx2 = int32_t(x2), ny2 = int32_t(y2);
  }
  if (l.bx1 >= 0) mark_changed(ctx, *f, l.bx1, l.by1, l.bx2, l.by2, false);
  l.bx1 = nx1, l.by1 = ny1, l.bx2 = nx2, l.by2 = ny2;
  if (!l.changed) {
    l.changed = 1;
    s.changed_count++;
  }
  if (l.bx1 >= 0) mark_changed(ctx, *f, l.bx1, l.by1, l.bx2, l.by2, false);
}

void layer_capture_text_state(Layer& l) {
  if (!g_text.capture || !l.ctx) return;
  void* fresh = g_text.capture(*l.ctx);
  if (l.text_state && g_text.release) g_text.release(l.text_state);
  l.text_state = fresh;
}

void layers_clear_changed(Interp& ctx, const std::vector<Layer*>& layers) {
  LayerContext* s = state_if_any(ctx);
  if (!s) return;
  auto clear = [&](Layer& l) {
    if (l.changed) l.changed = 0, s->changed_count--;
  };
  if (!layers.empty()) {
    for (Layer* l : layers) clear(*l);
    return;
  }
  for (uint32_t h : s->list)
    if (Layer* l = static_cast<Layer*>(vm::element_lookup(h, vm::kTypeLayer))) clear(*l);
}

void layer_restack(Layer& l, bool above) {
  if (!l.ctx) return;
  LayerContext& s = state(*l.ctx);
  remove_from_list(s, l);
  if (above) s.list.push_back(l.self);
  else s.list.insert(s.list.begin(), l.self);
  for (size_t i = 0; i < s.list.size(); i++)
    if (auto* o = static_cast<Layer*>(vm::element_lookup(s.list[i], vm::kTypeLayer))) o->list_pos = uint32_t(i);
  layer_redraw(l);
}

void layer_set_separate(Layer& l) {
  layer_stop_timers(l);
  if (l.separate || !l.ctx) return;
  // Shown in the composite until now: that area is drawn anew without it.
  layer_redraw(l);
  l.separate = 1;
  state(*l.ctx).separate_count++;
  layer_redraw(l);
}

void layer_start_timers(Layer& l) {
  {
    std::lock_guard<std::mutex> g(g_reg.lock);
    if (!l.registered) {
      for (Layer*& e : g_reg.ring)
        if (!e) {
          e = &l;
          g_reg.count++;
          l.registered = 1;
          break;
        }
    }
  }
  if (l.registered) ensure_worker();
}

void layer_pause_timers(Layer& l) {
  std::lock_guard<std::mutex> g(g_reg.lock);
  unregister_locked(l);
}

void layer_stop_timers(Layer& l) {
  std::lock_guard<std::mutex> g(g_reg.lock);
  unregister_locked(l);
  l.ms_per_step = 0;
  l.motion_pending = l.motion_done = 0;
  l.anim_active = l.anim_pending = 0;
  l.anim_next = 0;
  l.pano_active = l.pano_pending = 0;
  l.expiry = 0;
  l.expiry_pending = 0;
  l.busy = 0;
}

// One timer step (registry lock held, or the script thread with a fixed clock).
void layer_tick(Layer& l, uint64_t now) {
  if (l.expiry && now >= l.expiry) l.expiry_pending = 1;
  if (l.ms_per_step > 0 && l.steps > 0) {
    const double elapsed = elapsed_ms(now, l.motion_start);
    if (elapsed >= double(l.step + 1) * l.ms_per_step || l.step < 0) {
      int64_t k = int64_t(std::floor(elapsed / l.ms_per_step));
      if (k >= l.steps) {
        const int64_t passes = k / l.steps;
        if (l.motion_repeat < 0 || passes < l.motion_repeat) {
          k %= l.steps;
        } else {
          k = l.steps - 1;
          l.ms_per_step = 0;
          l.motion_done = 1;
        }
      }
      if (k != l.step || l.motion_done) {
        l.step = int32_t(k);
        l.motion_pending = 1;
      }
    }
  }
  if (l.anim_active && l.anim_next && now >= l.anim_next && l.frame_count > 0) {
    int32_t next = l.frame + 1;
    bool ended = false;
    if (l.frame < 0) {
      next = l.first_frame;
    } else if (next >= l.frame_count) {
      l.anim_passes++;
      if (l.anim_repeat < 0 || l.anim_passes < l.anim_repeat) {
        next = 0;
      } else {
        next = l.frame_count - 1;
        ended = true;
      }
    }
    if (ended) {
      l.anim_active = 0;
      l.anim_next = 0;
      l.anim_pending = 1;
    } else {
      l.frame = next;
      l.anim_ticks++;
      const uint64_t d = l.frame_delays ? l.frame_delays[next] : 0;
      l.anim_next = now + (d ? d : 0x872B000);
      l.anim_pending = 1;
    }
  }
  if (l.pano_active && l.pano_ms > 0 && l.pano_steps > 0) {
    const double elapsed = elapsed_ms(now, l.pano_start);
    int64_t k = std::min<int64_t>(int64_t(std::floor(elapsed / l.pano_ms)), l.pano_steps);
    if (k > l.pano_step) {
      l.pano_step = int32_t(k);
      l.pano_pending = 1;
      if (k >= l.pano_steps) l.pano_active = 0;
    }
  }
  if (l.registered) maybe_unregister_locked(l);
}

void motion_straight(int32_t sx, int32_t sy, int32_t ex, int32_t ey, int32_t k, int32_t n, int32_t& x, int32_t& y) {
  if (n <= 1 || k >= n - 1) {
    x = ex, y = ey;
    return;
  }
  k = std::max(k, 0);
  x = int32_t((int64_t(sx) * (n - k - 1) + int64_t(k) * ex) / (n - 1));
  y = int32_t((int64_t(sy) * (n - k - 1) + int64_t(k) * ey) / (n - 1));
}

void motion_curve(int32_t sx, int32_t sy, int32_t cx, int32_t cy, int32_t ex, int32_t ey, int32_t k, int32_t n,
                  int32_t& x, int32_t& y) {
  if (n <= 1 || k >= n - 1) {
    x = ex, y = ey;
    return;
  }
  k = std::max(k, 0);
  const double theta = k * 1.570796327 / (n - 1);
  const double h = std::sin(0.7853981635);
  auto axis = [&](int32_t s, int32_t q, int32_t e) {
    const double d = double(e) - s;
    const double L = (double(q) - s) - h * d;
    const double L2 = L + 2 * h * L;
    return int32_t(std::clamp<double>(s + std::trunc(std::sin(theta) * (d + L2) + L2 * (std::cos(theta) - 1)),
                                      -2147483647.0, 2147483647.0));
  };
  x = axis(sx, cx, ex);
  y = axis(sy, cy, ey);
}

int32_t motion_steps(double d, double step) {
  if (step < 0) return int32_t(std::clamp(std::floor(-step), 1.0, 1e6));
  if (step == 0) step = 1;
  return int32_t(std::clamp(std::ceil(d / step), 1.0, 1e6));
}

void layers_handle_pending(Interp& ctx) {
  LayerContext* s = state_if_any(ctx);
  if (!s || s->handling) return;
  s->handling = true;
  if (vm::clock_fixed()) {
    const uint64_t now = vm::clock_now();
    std::lock_guard<std::mutex> g(g_reg.lock);
    for (Layer* l : g_reg.ring)
      if (l && l->ctx == &ctx) layer_tick(*l, now);
  }
  const std::vector<uint32_t> list = s->list;
  std::vector<uint32_t> expired;
  for (uint32_t h : list) {
    Layer* l = static_cast<Layer*>(vm::element_lookup(h, vm::kTypeLayer));
    if (!l) continue;
    bool motion, anim, pano, expiry, done;
    int32_t step;
    int64_t ticks;
    {
      std::lock_guard<std::mutex> g(g_reg.lock);
      motion = l->motion_pending, anim = l->anim_pending, pano = l->pano_pending, expiry = l->expiry_pending;
      done = l->motion_done;
      step = l->step;
      ticks = l->anim_ticks;
      l->motion_pending = l->anim_pending = l->pano_pending = l->expiry_pending = 0;
      l->motion_done = 0;
      if (done || (anim && !l->anim_active) || (pano && !l->pano_active)) {
        const bool moving = l->ms_per_step > 0, animating = l->anim_active, panning = l->pano_active;
        l->busy = moving || animating || panning;
      }
    }
    bool redraw = false;
    if (motion) {
      int32_t x = l->x, y = l->y;
      if (l->motion == MotionKind::Straight) motion_straight(l->sx, l->sy, l->ex, l->ey, step, l->steps, x, y);
      else if (l->motion == MotionKind::Curve) motion_curve(l->sx, l->sy, l->cx, l->cy, l->ex, l->ey, step, l->steps, x, y);
      else if (l->motion == MotionKind::Path) {
        int32_t px, py;
        if (path_pair(l->path, std::min<int64_t>(step, l->steps - 1), px, py))
          x = int32_t(std::clamp<int64_t>(int64_t(l->sx) + px, INT32_MIN, INT32_MAX)),
          y = int32_t(std::clamp<int64_t>(int64_t(l->sy) + py, INT32_MIN, INT32_MAX));
      }
      l->x = x, l->y = y;
      redraw = true;
    }
    if (anim && l->frame_count > 0) {
      // Every frame since the last one shown is put, so that none is skipped
      // (at most one round of the list).
      Image* own = image_of(l->image.is_element() ? l->image.handle() : 0);
      const int64_t from = std::max(l->shown_ticks, ticks - l->frame_count);
      for (int64_t t = from; t < ticks; t++) {
        const int64_t k = ((l->first_frame + t) % l->frame_count + l->frame_count) % l->frame_count;
        Image* fr = frame_image(l->frames, k);
        if (own && fr && fr->pixels && own->pixels) put_image(*own, *fr, fr->st.off_x, fr->st.off_y, false);
      }
      l->shown_ticks = ticks;
      l->shown_frame = l->frame;
      redraw = true;
    }
    if (pano) {
      panorama_render(*l);
      redraw = true;
    }
    if (redraw) layer_redraw(*l);
    if (expiry) expired.push_back(h);
  }
  for (uint32_t h : expired) {
    Layer* l = static_cast<Layer*>(vm::element_lookup(h, vm::kTypeLayer));
    if (!l || !l->name) continue;
    layer_stop_timers(*l);
    Value name = Value::from_handle(l->name);
    vm::value_ref(name);
    if (Value* cell = vm::var_find(ctx, name); cell && cell->is_element() && cell->handle() == h)
      vm::var_delete(ctx, name);
    vm::value_release(name);
  }
  s = state_if_any(ctx);
  if (s) s->handling = false;
}

// --- panorama ---------------------------------------------------------------------------------

// Cylindrical projection: the source strip covers 360 degrees of pan
// across its width and, vertically, as many degrees as its aspect gives on
// a cylinder of the same radius. Each view column looks along pan + atan
// of its offset on a flat screen of field of view `fov`; each row along
// the screen's vertical offset, scaled back to the cylinder. Samples are
// bilinear; columns wrap around the strip's seam, rows stop at its edges.
void panorama_project(const Image& src, Image& view, double pan, double tilt, double fov) {
  const int32_t sw = src.width(), sh = src.height(), vw = view.width(), vh = view.height();
  if (sw <= 0 || sh <= 0 || vw <= 0 || vh <= 0 || !src.pixels || !view.pixels) return;
  constexpr double kPi = 3.14159265358979323846;
  fov = std::clamp(fov, 1.0, 179.0);
  const double radius = sw / (2 * kPi);                       // strip pixels per radian
  const double focal = (vw / 2.0) / std::tan(fov * kPi / 360);  // view pixels to the screen
  const double tilt_px = std::tan(std::clamp(tilt, -89.0, 89.0) * kPi / 180) * radius;
  std::vector<double> col_u(static_cast<size_t>(vw)), col_scale(static_cast<size_t>(vw));
  for (int32_t x = 0; x < vw; x++) {
    const double dx = x + 0.5 - vw / 2.0;
    const double a = std::atan2(dx, focal);
    col_u[size_t(x)] = (pan * kPi / 180 + a) * radius;
    col_scale[size_t(x)] = radius / std::sqrt(dx * dx + focal * focal);
  }
  const bool src32 = src.bits >= 24, dst32 = view.bits >= 24;
  auto sample = [&](int64_t x, int64_t y) -> uint32_t {
    x = ((x % sw) + sw) % sw;
    y = std::clamp<int64_t>(y, 0, sh - 1);
    if (src32) {
      const uint8_t* p = src.row(int32_t(y)) + x * src.bytes_pp;
      return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
    return get_pixel(src, x, y);
  };
  for (int32_t y = 0; y < vh; y++) {
    const double dy = y + 0.5 - vh / 2.0;
    uint8_t* row = view.row(y);
    for (int32_t x = 0; x < vw; x++) {
      double u = col_u[size_t(x)] - 0.5;
      double v = sh / 2.0 + tilt_px + dy * col_scale[size_t(x)] - 0.5;
      const double fu = std::floor(u), fv = std::floor(v);
      const int64_t x0 = int64_t(fu), y0 = int64_t(fv);
      const double ax = u - fu, ay = v - fv;
      const uint32_t c00 = sample(x0, y0), c10 = sample(x0 + 1, y0), c01 = sample(x0, y0 + 1), c11 = sample(x0 + 1, y0 + 1);
      uint32_t out = 0;
      for (int sh8 = 0; sh8 <= 16; sh8 += 8) {
        const double top = ((c00 >> sh8) & 255) * (1 - ax) + ((c10 >> sh8) & 255) * ax;
        const double bot = ((c01 >> sh8) & 255) * (1 - ax) + ((c11 >> sh8) & 255) * ax;
        out |= uint32_t(std::clamp(top * (1 - ay) + bot * ay + 0.5, 0.0, 255.0)) << sh8;
      }
      if (dst32) {
        uint8_t* p = row + int64_t(x) * view.bytes_pp;
        p[0] = uint8_t(out), p[1] = uint8_t(out >> 8), p[2] = uint8_t(out >> 16);
        if (view.bytes_pp == 4) p[3] = 255;
      } else {
        set_pixel(view, x, y, out);
      }
    }
  }
}

void panorama_render(Layer& l) {
  if (l.pano_steps > 0) {
    const double t = std::min(1.0, double(l.pano_step) / l.pano_steps);
    for (int i = 0; i < 3; i++) l.view_cur[i] = l.view_from[i] + (l.view_target[i] - l.view_from[i]) * t;
  }
  Image* src = image_of(l.pano_source.is_element() ? l.pano_source.handle() : 0);
  Image* view = image_of(l.image.is_element() ? l.image.handle() : 0);
  if (src && view) panorama_project(*src, *view, l.view_cur[0], l.view_cur[1], l.view_cur[2]);
}

}  // namespace gfx
