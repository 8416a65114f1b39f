// The window glue between the engine and the platform layer.
#include "host/window.h"

#include "host/debugger.h"
#include "host/event_script.h"
#include "host/input.h"
#include "host/saver.h"
#include "host/startup.h"
#include "host/window_state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "base/pixel_rows.h"
#include "graphics/draw.h"
#include "graphics/image.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace host {

using vm::Interp;

namespace {

std::unique_ptr<platform::Platform> g_platform;
bool g_headless = true;
platform::Desktop g_headless_desktop;
// The contexts whose window slot holds a state, so that window_shutdown
// can close their windows before the platform goes.
std::vector<Interp*> g_window_contexts;

WindowState* window_state_if_any(Interp& ctx) { return static_cast<WindowState*>(ctx.slots[vm::kSlotWindow]); }

void free_window_state(Interp& ctx) {
  WindowState* ws = window_state_if_any(ctx);
  if (!ws) return;
  ctx.slots[vm::kSlotWindow] = nullptr;
  std::erase(g_window_contexts, &ctx);
  delete ws;
}

// Copies rectangle r (inclusive, inside the frame) of the frame into the
// BGRA picture. 24- and 32-bit rows are read directly (a 32-bit row is the
// picture's own layout but for the fourth byte); indexed depths go through
// the palette. A transition step sends hundreds of narrow rectangles, so the
// row addresses are stepped, not recomputed.
void convert_rect(const gfx::Image& img, const gfx::Rect& r, std::vector<uint8_t>& bgra) {
  const int64_t w = img.width(), n = int64_t(r.x2) - r.x1 + 1;
  uint8_t* dst = bgra.data() + (int64_t(r.y1) * w + r.x1) * 4;
  if (img.bits == 32) {
    const uint8_t* src = img.row(r.y1) + int64_t(r.x1) * 4;
    if (size_t(n) * size_t(r.y2 - r.y1 + 1) * 4 >= base::kStreamingCopyBytes) {
      for (int32_t y = r.y1; y <= r.y2; y++, src -= img.stride, dst += w * 4)
        base::copy_opaque32_streaming(dst, src, size_t(n));
      base::stream_fence();
    } else {
      for (int32_t y = r.y1; y <= r.y2; y++, src -= img.stride, dst += w * 4) base::copy_opaque32(dst, src, size_t(n));
    }
    return;
  }
  for (int32_t y = r.y1; y <= r.y2; y++, dst += w * 4) {
    uint8_t* d = dst;
    if (img.bits == 24) {
      const uint8_t* src = img.row(y) + int64_t(r.x1) * 3;
      for (int64_t x = 0; x < n; x++, src += 3, d += 4) {
        d[0] = src[0];
        d[1] = src[1];
        d[2] = src[2];
        d[3] = 0xFF;
      }
    } else {
      for (int32_t x = r.x1; x <= r.x2; x++, d += 4) {
        uint32_t c = gfx::get_pixel(img, x, y);
        d[0] = uint8_t(c);
        d[1] = uint8_t(c >> 8);
        d[2] = uint8_t(c >> 16);
        d[3] = 0xFF;
      }
    }
  }
}

// Brings the BGRA copy to the frame's size (a new size starts black).
void fit_copy(WindowState& mw, const gfx::Image& img) {
  if (mw.frame_w == img.width() && mw.frame_h == img.height()) return;
  mw.frame_w = img.width();
  mw.frame_h = img.height();
  mw.bgra.assign(size_t(mw.frame_w) * size_t(mw.frame_h) * 4, 0);
}

// The flush hook: the first drawing opens the window; while
// var_windowupdate is off the changed areas are not shown (windowupdate
// shows the whole frame later).
void present_rects(Interp& ctx, gfx::Image& shown, const gfx::Rect* rects, size_t count) {
  if (!window_state(ctx).window) {
    if (!open_main_window(ctx)) return;
    // Opening may have made the frame anew at the window's size, which
    // freed `shown`: then the new window shows the whole new frame.
    if (gfx::shown_image(ctx) != &shown) {
      gfx::mark_all_changed(ctx);
      gfx::finish_drawing(ctx);
      return;
    }
  }
  WindowState& mw = window_state(ctx);
  if (vm::sysvar_int(ctx, vm::SV_var_windowupdate) == 0 && !mw.force_present) return;
  fit_copy(mw, shown);
  std::vector<platform::Window::Area>& areas = mw.areas;
  areas.clear();
  for (size_t k = 0; k < count; k++) {
    gfx::Rect r = rects[k];
    r.x1 = std::max(r.x1, 0);
    r.y1 = std::max(r.y1, 0);
    r.x2 = std::min(r.x2, mw.frame_w - 1);
    r.y2 = std::min(r.y2, mw.frame_h - 1);
    if (r.x1 > r.x2 || r.y1 > r.y2) continue;
    convert_rect(shown, r, mw.bgra);
    areas.push_back({r.x1, r.y1, r.x2 - r.x1 + 1, r.y2 - r.y1 + 1});
  }
  if (areas.size() == 1)
    mw.window->present(mw.bgra.data(), mw.frame_w * 4, mw.frame_w, mw.frame_h, areas[0].x, areas[0].y, areas[0].w,
                       areas[0].h);
  else if (!areas.empty())
    mw.window->present_areas(mw.bgra.data(), mw.frame_w * 4, mw.frame_w, mw.frame_h, areas.data(), areas.size());
}

// The main window's menu commands have keys: "?" or "/" (typed) for About,
// Ctrl+Shift+X for Exit (Ctrl+Shift+D for the debug view and Ctrl+Shift+V
// for the variables view are the debugger's, host/debugger.h). True when
// the event was one of them.
bool menu_key(Interp& ctx, const platform::Event& e) {
  if (e.kind == platform::EventKind::Text && (e.text == "?" || e.text == "/")) {
    show_about(ctx);
    return true;
  }
  constexpr uint16_t kChord = platform::kModCtrl | platform::kModShift;
  if (e.kind != platform::EventKind::KeyDown || (e.mods & kChord) != kChord) return false;
  if (e.code != 'x') return false;
  vm::raise(ctx, vm::kStopNormal);
  close_main_window(ctx);
  return true;
}

// One event of the window system, or of the scripted input that stands in
// for it. Closing either window ends the script normally, unless a running
// screen saver holds the window open.
void handle_event(Interp& ctx, const platform::Event& e) {
  if (debugger_event(ctx, e)) return;
  if (e.kind == platform::EventKind::Close) {
    if (saver_holds_window()) return;
    vm::raise(ctx, vm::kStopNormal);
    close_main_window(ctx);
    return;
  }
  if (menu_key(ctx, e)) return;
  const WindowState& ws = window_state(ctx);
  const bool background = ws.background && e.window != 0 && e.window == ws.background->id();
  input_event(ctx, e, background);
}

// Serves up to 32 waiting events: the scripted ones that are due first,
// then the window system's; --record writes each one. A button press ends
// the round: the script must see the button down before its release is
// served, or a quick click (both in one batch) would set var_mousekey and
// clear it again before a waiting loop could read it.
bool pump(Interp& ctx) {
  // A script's loops ask between every few words: without scripted input
  // left or a window system to ask, the answer comes at once.
  if (!scripted_events_left() && (!g_platform || g_platform->headless())) return false;
  platform::Event e;
  int served = 0;
  auto serve = [&] {
    served++;
    record_event(e);
    handle_event(ctx, e);
    return e.kind != platform::EventKind::MouseDown;
  };
  while (served < 32 && next_scripted_event(e))
    if (!serve()) return true;
  if (!g_platform) return served > 0;
  while (served < 32 && g_platform->poll_event(e))
    if (!serve()) return true;
  return served > 0;
}

// Before the script idles: what the windows held back is shown.
void present_held_hook(Interp&) { present_held(); }

void show_message(Interp&, const char* caption, const char* text) {
  // The text is on standard error already; a window system also shows it.
  platform::Platform& p = platform_get();
  if (!p.headless()) p.message_box(caption, text);
}

void window_closer(Interp& ctx) {
  free_window_state(ctx);
  saver_reset();
}

void register_desktop_variables() {
  using vm::SysVar;
  auto size_x = [](Interp& c) { vm::push_int(c, script_desktop().width); };
  auto size_y = [](Interp& c) { vm::push_int(c, script_desktop().height); };
  vm::sysvar_register(vm::SV_var_desktopsizex, {size_x, nullptr});
  vm::sysvar_register(vm::SV_var_desktopsizexreal, {size_x, nullptr});
  vm::sysvar_register(vm::SV_var_desktopsizey, {size_y, nullptr});
  vm::sysvar_register(vm::SV_var_desktopsizeyreal, {size_y, nullptr});
  vm::sysvar_register(vm::SV_var_desktopbits,
                      {[](Interp& c) { vm::push_int(c, std::min(platform_get().desktop().bits, 24)); }, nullptr});
  vm::sysvar_register(vm::SV_var_desktopbitsreal,
                      {[](Interp& c) { vm::push_int(c, platform_get().desktop().bits); }, nullptr});
}

}  // namespace

// The context's window state, in its window slot, made at its first use.
// Registering the closer again does nothing after window_init; it covers a
// context that meets the window commands before window_init ran.
WindowState& window_state(Interp& ctx) {
  if (WindowState* ws = window_state_if_any(ctx)) return *ws;
  auto* ws = new WindowState;
  ctx.slots[vm::kSlotWindow] = ws;
  g_window_contexts.push_back(&ctx);
  vm::interp_add_closer(window_closer);
  return *ws;
}

// The desktop as the script sees it: 640 x 480 in the small (preview) mode.
platform::Desktop script_desktop() {
  platform::Desktop d = platform_get().desktop();
  if (startup_flags().small) d.width = 640, d.height = 480;
  return d;
}


void centred_position(int64_t w, int64_t h, int64_t& x, int64_t& y) {
  platform::Desktop d = script_desktop();
  x = std::max<int64_t>((d.width - w) / 2, 0);
  y = std::max<int64_t>((d.height - h) / 2, 0);
}

void show_about(Interp&) {
  platform_get().message_box("About Quillon", "Quillon " QUILLON_VERSION "\nA multimedia script player.");
}

void window_init(bool headless, const platform::Desktop& headless_desktop) {
  g_headless = headless;
  g_headless_desktop = headless_desktop;
  gfx::set_flush_hook(present_rects);
  gfx::set_frame_hook(settle_window_size);
  // Headless, nothing comes through the pump but scripted input, which
  // installs it when it is given: a script's loops then skip the call
  // they would make between every few words.
  vm::g_host.pump = headless ? nullptr : pump;
  vm::g_host.present_held = present_held_hook;
  vm::g_host.message_box = show_message;
  vm::interp_add_closer(window_closer);
  input_init();
  register_desktop_variables();
}

void window_shutdown() {
  while (!g_window_contexts.empty()) free_window_state(*g_window_contexts.back());
  g_platform.reset();
}

// The platform is chosen at its first use, so that a script that never
// draws does not need a display.
platform::Platform& platform_get() {
  if (!g_platform && !g_headless) {
    std::string why;
    g_platform = platform::make_sdl(&why);
    if (!g_platform) std::fprintf(stderr, "quillon: no display (%s); running headless\n", why.c_str());
  }
  if (!g_platform) g_platform = platform::make_headless(g_headless_desktop);
  return *g_platform;
}

void present_held() {
  if (g_platform) g_platform->present_held();
}

void want_pump() {
  if (!vm::g_host.pump) vm::g_host.pump = pump;
}

platform::Window* main_window(Interp& ctx) {
  WindowState* ws = window_state_if_any(ctx);
  return ws ? ws->window.get() : nullptr;
}

// The window's size as it opens: sides below 32 become 640 x 480, a depth
// of 0 or less (but -32) becomes 32, and an unscaled window takes the
// frame's size. The frame is made with these (the frame hook), so an image
// made before the window does not give the frame another size.
void settle_window_size(Interp& ctx) {
  if (vm::sysvar_int(ctx, vm::SV_var_windowsizex) < 32) vm::sysvar_set_int(ctx, vm::SV_var_windowsizex, 640);
  if (vm::sysvar_int(ctx, vm::SV_var_windowsizey) < 32) vm::sysvar_set_int(ctx, vm::SV_var_windowsizey, 480);
  int64_t bits = vm::sysvar_int(ctx, vm::SV_var_windowbitdepth);
  if (bits <= 0 && bits != -32) vm::sysvar_set_int(ctx, vm::SV_var_windowbitdepth, 32);
  if (!vm::sysvar_int(ctx, vm::SV_var_windowscaled)) {
    vm::sysvar_set_int(ctx, vm::SV_var_windowscaledx, vm::sysvar_int(ctx, vm::SV_var_windowsizex));
    vm::sysvar_set_int(ctx, vm::SV_var_windowscaledy, vm::sysvar_int(ctx, vm::SV_var_windowsizey));
  }
}

// Opening: the background window first when one is wanted, sizes below
// 32 become 640 x 480, the window takes the scaled size and is centred on
// the desktop unless a position was set, and the frame is made.
bool open_main_window(Interp& ctx) {
  WindowState& mw = window_state(ctx);
  if (mw.window) return true;
  const bool small = startup_flags().small;
  if (small) mw.style = 0;
  open_background_window(ctx);
  if (ctx.sysvars[vm::SV_var_windowupdate].is_null()) vm::sysvar_set_int(ctx, vm::SV_var_windowupdate, 1);
  settle_window_size(ctx);
  // A frame made before the window (an image made or loaded first takes
  // its drawing state from it) follows a size set after it.
  gfx::fit_frame(ctx);
  gfx::Image* f = gfx::frame(ctx);
  if (!f) return false;
  platform::Platform& p = platform_get();
  platform::WindowSpec spec;
  spec.title = mw.title;
  spec.style = mw.style;
  spec.topmost = mw.topmost;
  spec.width = int32_t(std::clamp<int64_t>(vm::sysvar_int(ctx, vm::SV_var_windowscaledx), 1, gfx::kMaxSide));
  spec.height = int32_t(std::clamp<int64_t>(vm::sysvar_int(ctx, vm::SV_var_windowscaledy), 1, gfx::kMaxSide));
  int64_t px = vm::sysvar_int(ctx, vm::SV_var_windowposx), py = vm::sysvar_int(ctx, vm::SV_var_windowposy);
  if (small) {
    // A preview without a parent window to draw into opens at the corner.
    px = py = 0;
  } else if (px == 0 && py == 0) {
    centred_position(spec.width, spec.height, px, py);
  }
  spec.x = int32_t(px);
  spec.y = int32_t(py);
  spec.embed_in = startup_flags().embed_in;
  mw.window = p.create_window(spec);
  if (!mw.window) return false;
  fit_copy(mw, *f);
  vm::sysvar_set_int(ctx, vm::SV_var_winhandle, mw.window->id());
  return true;
}

void close_main_window(Interp& ctx) {
  if (WindowState* ws = window_state_if_any(ctx)) ws->window.reset();
}

// The snapshot is what the window shows (with any changes held back for
// the next present shown first): its copy of the picture once it
// has presented something (so a script that ends in the middle of a
// transition leaves the part revealed so far), else the composite once
// layers exist, else the frame.
bool write_snapshot(Interp& ctx, const std::string& path, std::string* error) {
  gfx::present_deferred(ctx);
  WindowState* ws = window_state_if_any(ctx);
  if (ws && ws->window && ws->frame_w > 0 && ws->frame_h > 0 &&
      ws->bgra.size() == size_t(ws->frame_w) * size_t(ws->frame_h) * 4) {
    const uint32_t h = gfx::image_create(ws->frame_w, ws->frame_h, 24, nullptr, error);
    gfx::Image* copy = gfx::image_of(h);
    if (!copy) return false;
    for (int32_t y = 0; y < ws->frame_h; y++) {
      const uint8_t* src = ws->bgra.data() + size_t(y) * size_t(ws->frame_w) * 4;
      uint8_t* dst = copy->row(y);
      for (int32_t x = 0; x < ws->frame_w; x++, src += 4, dst += 3) dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
    }
    const bool ok = gfx::write_png(*copy, path, error);
    vm::element_release(h);
    return ok;
  }
  gfx::Image* f = gfx::shown_image(ctx);
  if (!f) {
    if (error) *error = "no frame";
    return false;
  }
  return gfx::write_png(*f, path, error);
}

// Marks the whole frame changed and presents it at once, whatever
// var_windowupdate says.
void present_all(Interp& ctx) {
  gfx::mark_all_changed(ctx);
  WindowState& mw = window_state(ctx);
  mw.force_present = true;
  gfx::finish_drawing(ctx);
  mw.force_present = false;
  present_held();
}

}  // namespace host
