// The window commands: size, place, style, title, show state, scaling,
// top-most, the background window, presentation on and off, and closing.
#include <algorithm>
#include <string>
#include <unordered_map>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "host/startup.h"
#include "host/window.h"
#include "host/window_state.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace host {

using vm::Interp;
using vm::SysVar;

namespace {

int64_t var(Interp& ctx, SysVar v) { return vm::sysvar_int(ctx, v); }
void set_var(Interp& ctx, SysVar v, int64_t x) { vm::sysvar_set_int(ctx, v, x); }

// The window's size on the screen: the scaled size, within what a window
// can have.
int32_t scaled_side(Interp& ctx, SysVar v) { return int32_t(std::clamp<int64_t>(var(ctx, v), 1, gfx::kMaxSide)); }

}  // namespace

// Sets the frame size (and depth); an unscaled window follows it. An open
// window gets a new frame with the old picture in its corner.
void set_window_size(Interp& ctx, int64_t width, int64_t height, const int64_t* bits) {
  set_var(ctx, vm::SV_var_windowsizex, width);
  set_var(ctx, vm::SV_var_windowsizey, height);
  if (bits) set_var(ctx, vm::SV_var_windowbitdepth, *bits);
  if (!var(ctx, vm::SV_var_windowscaled)) {
    set_var(ctx, vm::SV_var_windowscaledx, width);
    set_var(ctx, vm::SV_var_windowscaledy, height);
  }
  WindowState& ws = window_state(ctx);
  if (!ws.window) return;
  gfx::remake_frame(ctx);
  ws.window->resize(scaled_side(ctx, vm::SV_var_windowscaledx), scaled_side(ctx, vm::SV_var_windowscaledy));
  if (var(ctx, vm::SV_var_windowupdate)) present_all(ctx);
}

// With a place, ends the centring. An open window is then placed (centred
// while it still is), sized to the scaled size, shown, and presented anew
// when var_windowupdate is on.
void set_window_position(Interp& ctx, const int64_t* x, const int64_t* y) {
  WindowState& ws = window_state(ctx);
  if (x && y) {
    set_var(ctx, vm::SV_var_windowposx, *x);
    set_var(ctx, vm::SV_var_windowposy, *y);
    ws.centred = false;
  }
  if (!ws.window) return;
  for (int k = 0; k < 3; k++) vm::idle_yield(ctx);
  if (!ws.window) return;  // closed while the messages were served
  int32_t w = scaled_side(ctx, vm::SV_var_windowscaledx), h = scaled_side(ctx, vm::SV_var_windowscaledy);
  int64_t px = var(ctx, vm::SV_var_windowposx), py = var(ctx, vm::SV_var_windowposy);
  if (ws.centred) centred_position(w, h, px, py);
  ws.window->move(int32_t(px), int32_t(py));
  ws.window->resize(w, h);
  ws.window->show(true);
  if (var(ctx, vm::SV_var_windowupdate)) present_all(ctx);
}

void set_window_style(Interp& ctx, uint32_t style) {
  WindowState& ws = window_state(ctx);
  ws.style = style;
  if (ws.window) ws.window->set_style(style);
}

void set_window_topmost(Interp& ctx, bool on) {
  WindowState& ws = window_state(ctx);
  ws.topmost = on;
  if (ws.window) ws.window->set_topmost(on);
}

// A borderless window of the desktop's size at 0, 0 in the background
// colour, behind the main window. Not in the preview mode.
void open_background_window(Interp& ctx) {
  WindowState& ws = window_state(ctx);
  if (!ws.has_background || ws.background || startup_flags().small) return;
  platform::Platform& p = platform_get();
  platform::Desktop d = p.desktop();
  platform::WindowSpec spec;
  spec.title = ws.title;
  spec.style = platform::kStylePopup | platform::kStyleVisible | platform::kStyleClipChildren |
               platform::kStyleSysMenu;
  spec.width = d.width;
  spec.height = d.height;
  ws.background = p.create_window(spec);
  if (!ws.background) return;
  ws.background->fill(ws.background_rgb);
  set_var(ctx, vm::SV_var_windowbacksizex, d.width);
  set_var(ctx, vm::SV_var_windowbacksizey, d.height);
}

void set_window_background(Interp& ctx, const uint32_t* rgb) {
  WindowState& ws = window_state(ctx);
  ws.has_background = rgb != nullptr;
  if (!rgb) {
    ws.background.reset();
    return;
  }
  ws.background_rgb = *rgb;
  if (!ws.window) return;
  if (ws.background) {
    ws.background->fill(*rgb);
  } else {
    open_background_window(ctx);
    ws.window->raise();
  }
}

}  // namespace host

// --- the commands -------------------------------------------------------------------------------

namespace vm {

namespace {

int64_t arg_int(Interp& ctx, uint32_t k) { return value_to_integer(&ctx, ctx.top[k]); }

std::string arg_text(Interp& ctx, uint32_t k) {
  Value t = value_to_text(&ctx, ctx.top[k]);
  std::string s(element_text(t));
  value_release(t);
  return s;
}

// "on" or no argument is true; off (0) is false.
bool optional_switch(Interp& ctx, uint32_t n) { return n == 0 || switch_argument(&ctx, ctx.top[0]); }

const std::unordered_map<std::string, uint32_t>& style_words() {
  static const std::unordered_map<std::string, uint32_t> words = {
      {"overlapped", 0x00000000},    {"popup", 0x80000000},         {"child", 0x40000000},
      {"minimize", 0x20000000},      {"visible", 0x10000000},       {"disabled", 0x08000000},
      {"clipsiblings", 0x04000000},  {"clipchildren", 0x02000000},  {"maximize", 0x01000000},
      {"border", 0x00800000},        {"dlgframe", 0x00400000},      {"vscroll", 0x00200000},
      {"hscroll", 0x00100000},       {"sysmenu", 0x00080000},       {"thickframe", 0x00040000},
      {"group", 0x00020000},         {"tabstop", 0x00010000},       {"minimizebox", 0x00020000},
      {"maximizebox", 0x00010000},   {"dlgmodalframe", 0x00000001}, {"noparentnotify", 0x00000004},
      {"topmost", 0x00000008},       {"acceptfiles", 0x00000010},   {"transparent", 0x00000020},
      {"mdichild", 0x00000040},      {"toolwindow", 0x00000080},    {"windowedge", 0x00000100},
      {"clientedge", 0x00000200},    {"contexthelp", 0x00000400},   {"right", 0x00001000},
      {"left", 0x00000000},          {"rtlreading", 0x00002000},    {"ltrreading", 0x00000000},
      {"leftscrollbar", 0x00004000}, {"rightscrollbar", 0x00000000}, {"controlparent", 0x00010000},
      {"staticedge", 0x00020000},    {"appwindow", 0x00040000},
  };
  return words;
}

// A style argument: a keyword's value, else the argument's number.
uint32_t style_value(Interp& ctx, uint32_t k) {
  if (is_text(ctx.top[k])) {
    auto it = style_words().find(arg_text(ctx, k));
    if (it != style_words().end()) return it->second;
  }
  return uint32_t(arg_int(ctx, k));
}

bool is_off(Interp& ctx, uint32_t k) {
  bool on = true;
  return value_to_switch(&ctx, ctx.top[k], on) && !on;
}

}  // namespace

// windowstyle word [off] ...: popup and child each replace the whole style
// with popup and clip-children; any other value is set, or cleared when
// off follows it. 0 is skipped.
void h_windowstyle(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t style = host::window_state(ctx).style;
  for (uint32_t k = 0; k < n; k++) {
    uint32_t v = style_value(ctx, k);
    if (v == 0) continue;
    if (v == platform::kStylePopup || v == platform::kStyleChild) {
      style = host::kPopupStyle;
    } else if (k + 1 < n && is_off(ctx, k + 1)) {
      style &= ~v;
      k++;
    } else {
      style |= v;
    }
  }
  pop_n(ctx, n);
  host::set_window_style(ctx, style);
}

// windowtitle text: the title of the main window, now and when it opens.
void h_windowtitle(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string title = n ? arg_text(ctx, 0) : std::string();
  pop_n(ctx, n);
  host::WindowState& ws = host::window_state(ctx);
  ws.title = title;
  if (ws.window) ws.window->set_title(title);
}

// windowsize width height [depth]
void h_windowsize(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    int64_t bits = n >= 3 ? arg_int(ctx, 2) : 0;
    int64_t w = arg_int(ctx, 0), h = arg_int(ctx, 1);
    pop_n(ctx, n);
    host::set_window_size(ctx, w, h, n >= 3 ? &bits : nullptr);
    return;
  }
  pop_n(ctx, n);
}

// windowposition [x y]
void h_windowposition(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t x = n >= 2 ? arg_int(ctx, 0) : 0, y = n >= 2 ? arg_int(ctx, 1) : 0;
  pop_n(ctx, n);
  host::set_window_position(ctx, n >= 2 ? &x : nullptr, n >= 2 ? &y : nullptr);
}

// windowscaled [width height]: the size on the screen the frame is
// stretched to; without a size the window shows the frame unstretched.
void h_windowscaled(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2) {
    sysvar_set_int(ctx, SV_var_windowscaledx, arg_int(ctx, 0));
    sysvar_set_int(ctx, SV_var_windowscaledy, arg_int(ctx, 1));
    sysvar_set_int(ctx, SV_var_windowscaled, 1);
  } else {
    sysvar_set_int(ctx, SV_var_windowscaledx, sysvar_int(ctx, SV_var_windowsizex));
    sysvar_set_int(ctx, SV_var_windowscaledy, sysvar_int(ctx, SV_var_windowsizey));
    sysvar_set_int(ctx, SV_var_windowscaled, 0);
  }
  pop_n(ctx, n);
  if (host::main_window(ctx) && sysvar_int(ctx, SV_var_windowupdate)) host::set_window_position(ctx, nullptr, nullptr);
}

// windowupdate [on|off]: with a setting, turns automatic presentation after
// drawing on or off; either way the whole frame is then shown.
void h_windowupdate(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n) sysvar_set_int(ctx, SV_var_windowupdate, switch_argument(&ctx, ctx.top[0]));
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

// windowshowstyle keyword: the show command for the background window and
// the main window. The size is fixed, so maximizing restores.
void h_windowshowstyle(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string word = n ? arg_text(ctx, 0) : std::string();
  pop_n(ctx, n);
  static const std::unordered_map<std::string, int> commands = {
      {"hide", 0},           {"minimize", 6},        {"restore", 9},         {"show", 5},
      {"showmaximized", 3},  {"showminimized", 2},   {"showminnoactive", 7}, {"showna", 8},
      {"shownoactivate", 4}, {"shownormal", 1},
  };
  auto it = commands.find(word);
  const int command = it == commands.end() ? 1 : it->second;
  host::WindowState& ws = host::window_state(ctx);
  for (platform::Window* w : {ws.background.get(), ws.window.get()}) {
    if (!w) continue;
    switch (command) {
      case 0: w->show(false); break;
      case 2: case 6: case 7: w->minimize(); break;
      case 3: case 9: w->restore(); break;
      default: w->show(true); break;
    }
  }
}

// windowmaximize: opens the main window if needed and restores it (and the
// background window).
void h_windowmaximize(Interp& ctx) {
  pop_n(ctx, close_frame(ctx));
  if (!host::open_main_window(ctx)) return;
  host::WindowState& ws = host::window_state(ctx);
  if (ws.background) ws.background->restore();
  ws.window->restore();
}

void h_windowminimize(Interp& ctx) {
  pop_n(ctx, close_frame(ctx));
  if (host::open_main_window(ctx)) host::window_state(ctx).window->minimize();
}

// windowforcetop [on|off]: on brings the background window and then the
// main window back from an icon, to the front with the focus, and keeps
// them on top; off lets other windows above them again.
void h_windowforcetop(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  bool on = optional_switch(ctx, n);
  pop_n(ctx, n);
  host::WindowState& ws = host::window_state(ctx);
  ws.topmost = on;
  // Serving messages may close a window, so each step looks it up anew.
  auto step = [&](bool background, void (*op)(platform::Window&, bool)) {
    platform::Window* w = background ? ws.background.get() : ws.window.get();
    if (w) op(*w, on);
    idle_yield(ctx);
  };
  for (bool background : {true, false}) {
    if (on) {
      step(background, [](platform::Window& w, bool) { w.restore(); });
      step(background, [](platform::Window& w, bool) { w.raise(); });
    }
    step(background, [](platform::Window& w, bool top) { w.set_topmost(top); });
  }
}

// windowfloattop [on|off]: keeps the main window above the others, or not.
void h_windowfloattop(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  bool on = optional_switch(ctx, n);
  pop_n(ctx, n);
  host::set_window_topmost(ctx, on);
}

// windowbackground [colour]: a window in that colour covering the desktop
// behind the main window; without a colour it goes.
void h_windowbackground(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  uint32_t rgb = n ? gfx::read_color(ctx, n, i) : 0;
  pop_n(ctx, n);
  host::set_window_background(ctx, n ? &rgb : nullptr);
}

}  // namespace vm
