#include "host/saver.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "host/startup.h"
#include "host/window.h"
#include "host/window_state.h"
#include "vm/clock.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace host {

namespace {

struct Saver {
  bool running = false;
  bool end_on_key = false, end_on_click = false, end_on_move = false;
  uint64_t started = 0;  // engine clock
  bool checking = false;
  bool accepted = false;
};

Saver g_saver;

// The folder of the running program (bound runtimes read their files from
// beside it).
std::string program_folder() {
  std::string path(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0) return {};
  path.resize(size_t(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

bool saver_holds_window() { return g_saver.running; }

void saver_reset() { g_saver = Saver{}; }

bool password_check(vm::Interp& ctx) {
  if (g_saver.checking || g_saver.accepted) return g_saver.accepted;
  if (g_saver.running && vm::clock_now() - g_saver.started < vm::ms_to_clock(1500)) return false;
  g_saver.checking = true;
  vm::raise(ctx, vm::kStopNormal);
  g_saver.accepted = true;
  g_saver.checking = false;
  return true;
}

bool saver_input(vm::Interp& ctx, SaverInput kind) {
  if (!g_saver.running) return false;
  const bool ends = kind == SaverInput::Key     ? g_saver.end_on_key
                    : kind == SaverInput::Click ? g_saver.end_on_click
                                                : g_saver.end_on_move;
  if (ends) password_check(ctx);
  return ends;
}

}  // namespace host

namespace vm {

// screensaver [interactive|keypress|mouseclick|mousemove ...] [width height]
// [depth]: makes the script a screen saver covering the screen (or the
// given size) in a borderless window. In a bound runtime outside the
// preview the saver runs: input of the chosen kinds ends it after a grace
// of 1.5 s, and the window no longer closes on request.
void h_screensaver(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  const host::StartupFlags& flags = host::startup_flags();
  if (flags.settings) {
    pop_n(ctx, n);
    raise(ctx, kStopNormal);
    return;
  }
  const bool running = flags.bound_runtime && !flags.small;
  if (flags.bound_runtime) {
    sysvar_set_int(ctx, SV_var_sysesc, 0);
    std::string folder = host::program_folder();
    if (!folder.empty() && chdir(folder.c_str()) != 0)
      std::fprintf(stderr, "quillon: cannot change to the folder %s\n", folder.c_str());
  }
  const platform::Desktop desktop = host::script_desktop();
  int64_t width = desktop.width, height = desktop.height;
  int64_t bits = desktop.bits > 0 ? std::min(desktop.bits, 24) : 32;
  bool key = false, click = false, move = false, any_word = false;
  uint32_t k = 0;
  for (; k < n && element_type_of(ctx.top[k]) == kTypeString; k++) {
    Value t = value_to_text(&ctx, ctx.top[k]);
    std::string word(element_text(t));
    value_release(t);
    if (!word.empty() && (std::isdigit(uint8_t(word[0])) || word[0] == '-')) break;  // the numbers begin
    if (word == "keypress") key = true;
    else if (word == "mouseclick") click = true;
    else if (word == "mousemove") move = true;
    else if (word != "interactive") {
      pop_n(ctx, n);
      raise_error(ctx, kErrSyntaxError,
                  (" \"" + word + "\" (argument " + std::to_string(k + 1) + " of screensaver)").c_str());
      return;
    }
    any_word = true;
  }
  if (!any_word) key = click = move = true;
  const uint32_t numbers = n - k;
  if (numbers == 1) {
    bits = value_to_integer(&ctx, ctx.top[k]);
  } else if (numbers >= 2) {
    width = value_to_integer(&ctx, ctx.top[k]);
    height = value_to_integer(&ctx, ctx.top[k + 1]);
    if (numbers >= 3) bits = value_to_integer(&ctx, ctx.top[k + 2]);
  }
  pop_n(ctx, n);

  if (!flags.small) {
    const bool desktop_size = width == desktop.width && height == desktop.height;
    if (!host::window_state(ctx).has_background && !desktop_size) {
      uint32_t black = 0;
      host::set_window_background(ctx, &black);
    }
    if (desktop_size) {
      int64_t zero = 0;
      host::set_window_position(ctx, &zero, &zero);
    }
    host::set_window_style(ctx, host::kPopupStyle);
  }
  host::set_window_size(ctx, width, height, &bits);
  if (!flags.small) {
    host::platform_get().show_cursor(!flags.bound_runtime);
    if (flags.bound_runtime) host::set_window_topmost(ctx, true);
  }
  host::g_saver.running = running;
  host::g_saver.end_on_key = key;
  host::g_saver.end_on_click = click;
  host::g_saver.end_on_move = move;
  host::g_saver.started = clock_now();
}

}  // namespace vm
