// The window glue between the engine and the platform layer.
#include "host/window.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unordered_map>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace host {

using vm::Interp;

namespace {

constexpr uint32_t kDefaultStyle = 0x02CF0000;  // overlapped window with clip-children

struct MainWindow {
  std::unique_ptr<platform::Window> window;
  std::vector<uint8_t> bgra;  // the frame as top-down BGRA, what the window shows
  int32_t frame_w = 0, frame_h = 0;
  std::string title = "Quillon";
  uint32_t style = kDefaultStyle;
  bool centred = true;        // placed by centring until windowposition sets a place
  bool force_present = false;  // present even while var_windowupdate is off
};

std::unique_ptr<platform::Platform> g_platform;
bool g_headless = true;
platform::Desktop g_headless_desktop;
std::unordered_map<Interp*, MainWindow> g_windows;

// Copies rectangle r (inclusive, inside the frame) of the frame into the
// BGRA picture. 24- and 32-bit rows are read directly; indexed depths go
// through the palette.
void convert_rect(const gfx::Image& img, const gfx::Rect& r, std::vector<uint8_t>& bgra) {
  const int32_t w = img.width();
  for (int32_t y = r.y1; y <= r.y2; y++) {
    uint8_t* dst = bgra.data() + (int64_t(y) * w + r.x1) * 4;
    if (img.bits == 24 || img.bits == 32) {
      const uint8_t* src = img.row(y) + int64_t(r.x1) * img.bytes_pp;
      for (int32_t x = r.x1; x <= r.x2; x++, src += img.bytes_pp, dst += 4) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
        dst[3] = 0xFF;
      }
    } else {
      for (int32_t x = r.x1; x <= r.x2; x++, dst += 4) {
        uint32_t c = gfx::get_pixel(img, x, y);
        dst[0] = uint8_t(c);
        dst[1] = uint8_t(c >> 8);
        dst[2] = uint8_t(c >> 16);
        dst[3] = 0xFF;
      }
    }
  }
}

// Brings the BGRA copy to the frame's size (a new size starts black).
void fit_copy(MainWindow& mw, const gfx::Image& img) {
  if (mw.frame_w == img.width() && mw.frame_h == img.height()) return;
  mw.frame_w = img.width();
  mw.frame_h = img.height();
  mw.bgra.assign(size_t(mw.frame_w) * size_t(mw.frame_h) * 4, 0);
}

// The flush hook: the first drawing opens the window; while
// var_windowupdate is off the changed areas are not shown (windowupdate
// shows the whole frame later).
void present_rects(Interp& ctx, gfx::Image& shown, const gfx::Rect* rects, size_t count) {
  if (!open_main_window(ctx)) return;
  MainWindow& mw = g_windows[&ctx];
  if (vm::sysvar_int(ctx, vm::SV_var_windowupdate) == 0 && !mw.force_present) return;
  fit_copy(mw, shown);
  for (size_t k = 0; k < count; k++) {
    gfx::Rect r = rects[k];
    r.x1 = std::max(r.x1, 0);
    r.y1 = std::max(r.y1, 0);
    r.x2 = std::min(r.x2, mw.frame_w - 1);
    r.y2 = std::min(r.y2, mw.frame_h - 1);
    if (r.x1 > r.x2 || r.y1 > r.y2) continue;
    convert_rect(shown, r, mw.bgra);
    mw.window->present(mw.bgra.data(), mw.frame_w * 4, mw.frame_w, mw.frame_h, r.x1, r.y1, r.x2 - r.x1 + 1,
                       r.y2 - r.y1 + 1);
  }
}

// Serves up to 32 waiting events. Closing the window ends the script
// normally. Nothing waits before the platform is in use.
bool pump(Interp& ctx) {
  if (!g_platform) return false;
  platform::Platform& p = *g_platform;
  platform::Event e;
  int served = 0;
  while (served < 32 && p.poll_event(e)) {
    served++;
    if (e.kind == platform::EventKind::Close) {
      vm::raise(ctx, vm::kStopNormal);
      close_main_window(ctx);
    }
  }
  return served > 0;
}

void show_message(Interp&, const char* caption, const char* text) {
  // The text is on standard error already; a window system also shows it.
  platform::Platform& p = platform_get();
  if (!p.headless()) p.message_box(caption, text);
}

void centred_position(platform::Platform& p, int64_t w, int64_t h, int64_t& x, int64_t& y) {
  platform::Desktop d = p.desktop();
  x = std::max<int64_t>((d.width - w) / 2, 0);
  y = std::max<int64_t>((d.height - h) / 2, 0);
}

void window_closer(Interp& ctx) { g_windows.erase(&ctx); }

void register_desktop_variables() {
  using vm::SysVar;
  auto size_x = [](Interp& c) { vm::push_int(c, platform_get().desktop().width); };
  auto size_y = [](Interp& c) { vm::push_int(c, platform_get().desktop().height); };
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

void window_init(bool headless, const platform::Desktop& headless_desktop) {
  g_headless = headless;
  g_headless_desktop = headless_desktop;
  gfx::set_flush_hook(present_rects);
  vm::g_host.pump = pump;
  vm::g_host.message_box = show_message;
  vm::interp_add_closer(window_closer);
  register_desktop_variables();
}

void window_shutdown() {
  g_windows.clear();
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

platform::Window* main_window(Interp& ctx) {
  auto it = g_windows.find(&ctx);
  return it == g_windows.end() ? nullptr : it->second.window.get();
}

// Opening: sizes below 32 become 640 x 480, the window takes the scaled
// size and is centred on the desktop unless a position was set, and the
// frame is made.
bool open_main_window(Interp& ctx) {
  MainWindow& mw = g_windows[&ctx];
  if (mw.window) return true;
  if (vm::sysvar_int(ctx, vm::SV_var_windowsizex) < 32) vm::sysvar_set_int(ctx, vm::SV_var_windowsizex, 640);
  if (vm::sysvar_int(ctx, vm::SV_var_windowsizey) < 32) vm::sysvar_set_int(ctx, vm::SV_var_windowsizey, 480);
  int64_t bits = vm::sysvar_int(ctx, vm::SV_var_windowbitdepth);
  if (bits <= 0 && bits != -32) vm::sysvar_set_int(ctx, vm::SV_var_windowbitdepth, 32);
  if (!vm::sysvar_int(ctx, vm::SV_var_windowscaled)) {
    vm::sysvar_set_int(ctx, vm::SV_var_windowscaledx, vm::sysvar_int(ctx, vm::SV_var_windowsizex));
    vm::sysvar_set_int(ctx, vm::SV_var_windowscaledy, vm::sysvar_int(ctx, vm::SV_var_windowsizey));
  }
  gfx::Image* f = gfx::frame(ctx);
  if (!f) return false;
  platform::Platform& p = platform_get();
  platform::WindowSpec spec;
  spec.title = mw.title;
  spec.style = mw.style;
  spec.width = int32_t(vm::sysvar_int(ctx, vm::SV_var_windowscaledx));
  spec.height = int32_t(vm::sysvar_int(ctx, vm::SV_var_windowscaledy));
  int64_t px = vm::sysvar_int(ctx, vm::SV_var_windowposx), py = vm::sysvar_int(ctx, vm::SV_var_windowposy);
  if (px == 0 && py == 0) centred_position(p, spec.width, spec.height, px, py);
  spec.x = int32_t(px);
  spec.y = int32_t(py);
  mw.window = p.create_window(spec);
  if (!mw.window) return false;
  fit_copy(mw, *f);
  vm::sysvar_set_int(ctx, vm::SV_var_winhandle, 1);
  return true;
}

void close_main_window(Interp& ctx) {
  auto it = g_windows.find(&ctx);
  if (it != g_windows.end()) it->second.window.reset();
}

bool write_snapshot(Interp& ctx, const std::string& path, std::string* error) {
  gfx::Image* f = gfx::frame(ctx);
  if (!f) {
    if (error) *error = "no frame";
    return false;
  }
  return gfx::write_png(*f, path, error);
}

namespace {

// Marks the whole frame changed and presents it, whatever var_windowupdate says.
void present_all(Interp& ctx) {
  gfx::mark_all_changed(ctx);
  MainWindow& mw = g_windows[&ctx];
  mw.force_present = true;
  gfx::finish_drawing(ctx);
  mw.force_present = false;
}

}  // namespace
}  // namespace host

// --- window commands ------------------------------------------------------------------------

namespace vm {

namespace {

int64_t arg_int(Interp& ctx, uint32_t k) { return value_to_integer(&ctx, ctx.top[k]); }

std::string arg_text(Interp& ctx, uint32_t k) {
  Value t = value_to_text(&ctx, ctx.top[k]);
  std::string s(element_text(t));
  value_release(t);
  return s;
}

}  // namespace

// windowtitle text: the title of the main window, now and when it opens.
void h_windowtitle(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string title = n ? arg_text(ctx, 0) : std::string();
  pop_n(ctx, n);
  host::MainWindow& mw = host::g_windows[&ctx];
  mw.title = title;
  if (mw.window) mw.window->set_title(title);
}

// windowsize width height [depth]: the frame size (and depth) used when the
// window opens; an unscaled window's size follows it.
// Note: an open window takes the new size, but its frame keeps the size it
// was made with.
void h_windowsize(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    sysvar_set_int(ctx, SV_var_windowsizex, arg_int(ctx, 0));
    sysvar_set_int(ctx, SV_var_windowsizey, arg_int(ctx, 1));
    if (n >= 3) sysvar_set_int(ctx, SV_var_windowbitdepth, arg_int(ctx, 2));
    if (!sysvar_int(ctx, SV_var_windowscaled)) {
      sysvar_set_int(ctx, SV_var_windowscaledx, sysvar_int(ctx, SV_var_windowsizex));
      sysvar_set_int(ctx, SV_var_windowscaledy, sysvar_int(ctx, SV_var_windowsizey));
    }
    if (platform::Window* w = host::main_window(ctx))
      w->resize(int32_t(sysvar_int(ctx, SV_var_windowscaledx)), int32_t(sysvar_int(ctx, SV_var_windowscaledy)));
  }
  pop_n(ctx, n);
}

// windowposition [x y]: with a place, sets var_windowposx/y and ends the
// centring; an open window is then placed (centred while it still is),
// sized, and shown anew when var_windowupdate is on.
void h_windowposition(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  host::MainWindow& mw = host::g_windows[&ctx];
  if (n >= 2) {
    sysvar_set_int(ctx, SV_var_windowposx, arg_int(ctx, 0));
    sysvar_set_int(ctx, SV_var_windowposy, arg_int(ctx, 1));
    mw.centred = false;
  }
  pop_n(ctx, n);
  if (!mw.window) return;
  int64_t w = sysvar_int(ctx, SV_var_windowscaledx), h = sysvar_int(ctx, SV_var_windowscaledy);
  int64_t x = sysvar_int(ctx, SV_var_windowposx), y = sysvar_int(ctx, SV_var_windowposy);
  if (mw.centred) host::centred_position(host::platform_get(), w, h, x, y);
  mw.window->move(int32_t(x), int32_t(y));
  mw.window->resize(int32_t(w), int32_t(h));
  mw.window->show(true);
  if (sysvar_int(ctx, SV_var_windowupdate)) host::present_all(ctx);
}

// windowupdate [on|off]: with a setting, turns automatic presentation after
// drawing on or off; either way the whole frame is then shown.
void h_windowupdate(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n) sysvar_set_int(ctx, SV_var_windowupdate, arg_int(ctx, 0) != 0);
  pop_n(ctx, n);
  host::present_all(ctx);
}

// windowclose: shows the frame, closes the main window and forgets its
// place. The next drawing opens it again.
void h_windowclose(Interp& ctx) {
  pop_n(ctx, close_frame(ctx));
  if (!host::main_window(ctx)) return;
  host::present_all(ctx);
  host::close_main_window(ctx);
  sysvar_set_int(ctx, SV_var_windowposx, 0);
  sysvar_set_int(ctx, SV_var_windowposy, 0);
}

// windowshowstyle keyword: hide hides the window, every other show command
// shows it.
void h_windowshowstyle(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string word = n ? arg_text(ctx, 0) : std::string();
  pop_n(ctx, n);
  if (platform::Window* w = host::main_window(ctx)) w->show(word != "hide");
}

}  // namespace vm
