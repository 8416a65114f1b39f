#include "host/debugger.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include "host/event_script.h"
#include "host/window.h"
#include "scripts/code_view.h"
#include "scripts/listing.h"
#include "storage/stream.h"
#include "text/font.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/opcodes.h"
#include "vm/sysvars.h"

namespace host {

using vm::Interp;

namespace {

// What a stop shows.
enum ViewMask : uint32_t { kViewCode = 1, kViewElements = 2, kViewVariables = 4, kViewAll = 7 };

// The debug window's pages: the code view (with the calls and the element
// list below it) and the variables.
enum class Page { Code, Variables };

// A control granted while the script waits at a stop.
enum class Grant { None, Step, Continue, Stop };

constexpr int32_t kWindowWidth = 720, kWindowHeight = 560;
constexpr uint64_t kRefreshMs = 200;  // a running script's open window is redrawn this often

struct Debugger {
  FILE* dump = nullptr;
  std::vector<Breakpoint> breakpoints;
  // The code positions of the breakpoints in the code they were mapped for.
  const uint32_t* mapped_code = nullptr;
  uint32_t mapped_length = 0;
  std::vector<uint32_t> break_pcs;
  bool stepping = false;  // single-step mode: stop at every statement
  bool paused = false;
  Grant grant = Grant::None;
  void (*prev_tick)(Interp&) = nullptr;
  bool tick_installed = false;
  // The debug window.
  std::unique_ptr<platform::Window> window;
  Page page = Page::Code;
  std::string status;   // what the window's first line says (where the script stands)
  uint32_t framed_pc = 0;
  bool framed_valid = false;
  uint64_t last_refresh = 0;
  uint32_t font = 0;    // the player's default font, decoded once for the window
  bool font_tried = false;
  std::vector<uint8_t> pixels;  // the window's picture, top-down BGRA
};

Debugger g;

// --- positions -----------------------------------------------------------------

bool is_line_word(uint32_t w) {
  uint32_t op = (w >> 24) & 0x3f;
  return (w >> 30) == 1 && (w & 0x800000) &&
         (op == vm::OP_LINE || op == vm::OP_LINE_TAIL || op == vm::OP_LINE_TAIL_TAIL);
}

// A statement begins with the word that pushes its file name, followed by
// its line word.
bool statement_at(const Interp& ctx, uint32_t pc) {
  return pc + 1 < ctx.code_length && (ctx.code[pc] >> 24) == 0x40 && ctx.code[pc] != vm::kEndWord &&
         is_line_word(ctx.code[pc + 1]);
}

// Each breakpoint stops at the first statement of its line, or when the
// line holds none (a blank or comment line), of the nearest line below it
// in the same file.
void map_breakpoints(Interp& ctx) {
  g.mapped_code = ctx.code;
  g.mapped_length = ctx.code_length;
  g.break_pcs.clear();
  for (Breakpoint& b : g.breakpoints) {
    std::string_view want = scripts::base_name(b.file);
    uint32_t best_line = UINT32_MAX, best_pc = 0;
    for (uint32_t pc = 0; pc + 1 < ctx.code_length; pc++) {
      if (!statement_at(ctx, pc)) continue;
      // A label's line is never run: its calls go to the word after it.
      if (pc + 2 < ctx.code_length && (ctx.code[pc + 2] >> 30) == 1 && ((ctx.code[pc + 2] >> 24) & 0x3f) == vm::OP_LABEL)
        continue;
      uint32_t line = ctx.code[pc + 1] & 0x7fffff;
      if (line < b.line || line >= best_line) continue;
      vm::Value file = vm::Value::from_handle(vm::kHandleBase + (ctx.code[pc] & 0xffffff));
      if (scripts::base_name(vm::element_text(file)) != want) continue;
      best_line = line;
      best_pc = pc;
    }
    if (best_line == UINT32_MAX) continue;
    g.break_pcs.push_back(best_pc);
    b.found = true;
  }
  std::sort(g.break_pcs.begin(), g.break_pcs.end());
}

// --- the views as text ------------------------------------------------------------

std::string views_text(Interp& ctx, uint32_t framed, uint32_t mask) {
  std::string out;
  if (mask & kViewCode) {
    // At a stop the framed word begins a statement: the chain starts there.
    out += "-- calls --\n" + scripts::call_chain(ctx, statement_at(ctx, framed) ? framed + 1 : framed);
    out += "-- code --\n";
    out += "counters: " + scripts::code_view_counters(ctx) + "\n";
    out += "stack:\n" + scripts::code_view_stack(ctx);
    out += "code:\n" + scripts::code_view_code(ctx, framed);
  }
  if (mask & kViewElements) out += "-- elements --\n" + scripts::element_view(ctx);
  if (mask & kViewVariables) out += "-- variables --\n" + scripts::variables_view(ctx);
  return out;
}

void write_dump(Interp& ctx, const std::string& title, uint32_t framed, uint32_t mask) {
  if (!g.dump) return;
  std::string text = "== " + title + " ==\n" + views_text(ctx, framed, mask);
  std::fwrite(text.data(), 1, text.size(), g.dump);
  std::fflush(g.dump);
}

// --- the debug window ---------------------------------------------------------------

text::Font* window_font(Interp& ctx) {
  if (!g.font_tried) {
    g.font_tried = true;
    if (uint32_t s = storage::stream_open_read_gz(&ctx, "resource::default.vkf")) {
      std::vector<uint8_t> data;
      uint8_t chunk[16384];
      int64_t got;
      while ((got = storage::stream_read(s, chunk, sizeof chunk)) > 0 && data.size() < (16u << 20))
        data.insert(data.end(), chunk, chunk + got);
      storage::stream_close(s);
      auto font = text::decode_font(data.data(), data.size());
      if (font) g.font = font.value();
    }
  }
  return text::font_of(g.font);
}

// Draws one line of text with the font's glyph cells, each at the pen
// moved by its offset, clipped to the picture.
void draw_line(const text::Font& f, std::string_view s, int32_t x0, int32_t y0, uint32_t rgb) {
  int32_t pen = x0;
  for (size_t i = 0; i < s.size() && pen < kWindowWidth; i++) {
    uint8_t c = uint8_t(s[i]);
    text::GlyphMetrics m = f.metrics(c);
    const uint8_t* cell = f.cell(c);
    int32_t cx = pen + m.x_offset;
    pen += (c == ' ' ? f.h.space_width : m.advance) + f.h.gap_char;
    if (!cell || c == ' ' || m.advance == 0) continue;
    for (int32_t y = 0; y < f.h.cell_height; y++) {
      int32_t py = y0 + y;
      if (py < 0 || py >= kWindowHeight) continue;
      for (int32_t x = 0; x < f.h.cell_width; x++) {
        int32_t px = cx + x;
        if (px < 0 || px >= kWindowWidth) continue;
        uint32_t cover = f.coverage(cell, x, y);
        if (cover < 128) continue;
        uint8_t* p = g.pixels.data() + (size_t(py) * kWindowWidth + size_t(px)) * 4;
        p[0] = uint8_t(rgb), p[1] = uint8_t(rgb >> 8), p[2] = uint8_t(rgb >> 16), p[3] = 0xFF;
      }
    }
  }
}

void refresh_window(Interp& ctx) {
  if (!g.window) return;
  g.last_refresh = platform_get().now_ms();
  g.pixels.assign(size_t(kWindowWidth) * kWindowHeight * 4, 0xFF);  // white
  text::Font* f = window_font(ctx);
  if (!f || f->h.cell_height <= 0) {
    g.window->present(g.pixels.data(), kWindowWidth * 4, kWindowWidth, kWindowHeight, 0, 0, kWindowWidth,
                      kWindowHeight);
    return;
  }
  uint32_t framed = g.framed_valid ? g.framed_pc : ctx.pc;
  std::string body = g.status + "\n";
  body += g.page == Page::Code ? "F10/space: step  F5: continue  Esc: stop  Tab: variables\n"
                               : "F10/space: step  F5: continue  Esc: stop  Tab: code\n";
  body += views_text(ctx, framed, g.page == Page::Code ? kViewCode | kViewElements : kViewVariables);
  const int32_t line_height = f->h.cell_height + std::max(0, f->h.gap_line);
  int32_t y = 4;
  size_t pos = 0;
  for (int row = 0; pos < body.size() && y < kWindowHeight; row++) {
    size_t end = body.find('\n', pos);
    if (end == std::string::npos) end = body.size();
    draw_line(*f, std::string_view(body).substr(pos, end - pos), 6, y, row == 0 ? 0xB00000 : 0x000000);
    pos = end + 1;
    y += line_height;
  }
  g.window->present(g.pixels.data(), kWindowWidth * 4, kWindowWidth, kWindowHeight, 0, 0, kWindowWidth,
                    kWindowHeight);
}

void install_tick(Interp& ctx);

// Opens the debug window beside the main window (to its right when there
// is room, else to its left, else at the desktop's right edge). Headless
// there is none.
void open_window(Interp& ctx, Page page) {
  g.page = page;
  platform::Platform& p = platform_get();
  if (p.headless()) return;
  if (!g.window) {
    platform::WindowSpec spec;
    spec.title = "Quillon Debug";
    spec.width = kWindowWidth;
    spec.height = kWindowHeight;
    spec.style = platform::kStyleBorder | platform::kStyleDialogFrame | platform::kStyleSysMenu;
    if (platform::Window* main = main_window(ctx)) {
      const platform::WindowSpec& m = main->spec();
      spec.x = m.x + m.width + 16;
      spec.y = m.y;
      if (spec.x + kWindowWidth > p.desktop().width)
        spec.x = m.x - 16 - kWindowWidth >= 0 ? m.x - 16 - kWindowWidth : std::max(0, p.desktop().width - kWindowWidth);
    }
    g.window = p.create_window(spec);
    if (!g.window) return;
  }
  install_tick(ctx);
  refresh_window(ctx);
}

void close_window() { g.window.reset(); }

// --- stops ---------------------------------------------------------------------------

// Waits at a stop until a control is granted: F10 or space steps to the
// next statement, F5 continues, Esc stops the script. Headless, the keys
// come from --events; when no scripted event is left to come, the script
// continues (so that a headless run never hangs).
void wait_for_grant(Interp& ctx) {
  g.paused = true;
  g.grant = Grant::None;
  bool headless = platform_get().headless();
  while (g.grant == Grant::None && ctx.stop == 0) {
    if (headless && !scripted_events_left()) {
      g.grant = Grant::Continue;
      break;
    }
    if (!headless && !g.window) {  // the window was closed: go on
      g.grant = Grant::Continue;
      break;
    }
    vm::idle_yield(ctx);
  }
  g.paused = false;
  switch (g.grant) {
    case Grant::Step: g.stepping = true; break;
    case Grant::Continue: g.stepping = false; break;
    case Grant::Stop: vm::raise(ctx, vm::kStopNormal); break;
    case Grant::None: break;
  }
  g.grant = Grant::None;
}

void stop_at(Interp& ctx, const char* kind, uint32_t pc) {
  g.framed_pc = pc;
  g.framed_valid = true;
  g.status = std::string(kind) + " at " + scripts::source_line_at(ctx, pc + 1);
  write_dump(ctx, g.status, pc, kViewAll);
  if (!platform_get().headless()) open_window(ctx, g.page);
  wait_for_grant(ctx);
  g.framed_valid = false;
  g.status = "running";
}

void debug_tick(Interp& ctx) {
  if (g.prev_tick) g.prev_tick(ctx);
  if (ctx.stop || !ctx.code || g.paused) return;
  const uint32_t pc = ctx.pc;
  if (statement_at(ctx, pc)) {
    if (ctx.code != g.mapped_code || ctx.code_length != g.mapped_length) map_breakpoints(ctx);
    if (std::binary_search(g.break_pcs.begin(), g.break_pcs.end(), pc))
      return stop_at(ctx, "break", pc);
    if (g.stepping) return stop_at(ctx, "step", pc);
  }
  if (g.window && platform_get().now_ms() - g.last_refresh >= kRefreshMs) refresh_window(ctx);
}

// The tick stays installed once needed: another hook may have chained
// behind it since.
void install_tick(Interp& ctx) {
  if (!g.tick_installed) {
    g.prev_tick = vm::g_host.tick;
    vm::g_host.tick = debug_tick;
    g.tick_installed = true;
  }
  vm::interp_request_tick(ctx);
}

// --- the error report ------------------------------------------------------------------

// The first two words of a source line, lower-cased.
void first_words(const std::string& source, std::string& a, std::string& b) {
  size_t i = 0;
  auto word = [&](std::string& out) {
    while (i < source.size() && (source[i] == ' ' || source[i] == '\t')) i++;
    while (i < source.size() && source[i] != ' ' && source[i] != '\t') out += char(std::tolower(uint8_t(source[i++])));
  };
  word(a);
  word(b);
}

void error_report(Interp& ctx, int32_t& code, std::string& extra, std::string& trace) {
  const uint32_t at = ctx.pc > 0 ? ctx.pc - 1 : 0;
  if (code == vm::kErrUnknownCommand) {
    // A gosub statement compiles to the same call as a command statement;
    // its listing line tells them apart. A label that is not there is a
    // missing label, not an unknown command.
    vm::SourcePosition pos = vm::interp_line_at(ctx, at);
    if (!pos.file.is_null()) {
      std::string word, target;
      first_words(scripts::listing_source(vm::element_text(pos.file), pos.line), word, target);
      if (word == "gosub") code = vm::kErrLabelNotFound;
    }
  }
  if (ctx.scope_depth >= 2) trace = scripts::call_chain(ctx, at);
  if (g.dump) {
    std::string title = "error: ";
    const char* name = vm::error_name(code);
    title += name ? name : std::to_string(code);
    title += extra;
    write_dump(ctx, title, at, kViewAll);
  }
  g.framed_pc = at;
  g.framed_valid = true;
  g.status = "stopped: " + std::string(vm::error_name(code) ? vm::error_name(code) : std::to_string(code)) + extra;
}

// --- var_debug ------------------------------------------------------------------------

void get_debug(Interp& ctx) { vm::push_int(ctx, g.stepping ? 1 : 0); }

void set_debug(Interp& ctx, vm::Value v) {
  g.stepping = vm::value_to_integer(&ctx, v) != 0;
  if (g.stepping) {
    install_tick(ctx);
    if (!platform_get().headless()) open_window(ctx, Page::Code);
  }
}

}  // namespace

bool parse_breakpoint(const std::string& text, Breakpoint& out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  uint32_t line = 0;
  for (size_t i = colon + 1; i < text.size(); i++) {
    if (text[i] < '0' || text[i] > '9' || line > 10000000) return false;
    line = line * 10 + uint32_t(text[i] - '0');
  }
  if (line == 0) return false;
  out.file = text.substr(0, colon);
  out.line = line;
  return true;
}

bool debugger_init(const DebugOptions& options, std::string* why) {
  g.breakpoints = options.breakpoints;
  if (!options.dump_path.empty()) {
    g.dump = std::fopen(options.dump_path.c_str(), "wb");
    if (!g.dump) {
      if (why) *why = "cannot write the debug dump " + options.dump_path;
      return false;
    }
  }
  vm::g_host.error_report = error_report;
  vm::sysvar_register(vm::SV_var_debug, {get_debug, set_debug});
  if (!g.breakpoints.empty()) {
    g.prev_tick = vm::g_host.tick;
    vm::g_host.tick = debug_tick;
    g.tick_installed = true;
  }
  return true;
}

void debugger_script_path(const std::string& compiled_path) { scripts::listing_add_compiled(compiled_path); }

bool debugger_event(Interp& ctx, const platform::Event& e) {
  const bool in_window = g.window && e.window != 0 && e.window == g.window->id();
  if (in_window && e.kind == platform::EventKind::Close) {
    close_window();
    return true;
  }
  if (e.kind == platform::EventKind::KeyDown) {
    constexpr uint16_t kChord = platform::kModCtrl | platform::kModShift;
    if ((e.mods & kChord) == kChord && (e.code == 'd' || e.code == 'v')) {
      Page page = e.code == 'd' ? Page::Code : Page::Variables;
      if (platform_get().headless()) {
        const uint32_t at = g.framed_valid ? g.framed_pc : ctx.pc;
        write_dump(ctx, std::string("key at ") + scripts::source_line_at(ctx, statement_at(ctx, at) ? at + 1 : at), at,
                   page == Page::Code ? kViewCode | kViewElements : kViewVariables);
      } else if (g.window && g.page == page && !g.paused) {
        close_window();
      } else {
        open_window(ctx, page);
      }
      return true;
    }
    if (g.paused || in_window) {
      Grant grant = Grant::None;
      if (e.code == platform::kKeyF10 || e.code == ' ') grant = Grant::Step;
      else if (e.code == platform::kKeyF5) grant = Grant::Continue;
      else if (e.code == platform::kKeyEscape) grant = Grant::Stop;
      else if (e.code == platform::kKeyTab && g.window) {
        g.page = g.page == Page::Code ? Page::Variables : Page::Code;
        refresh_window(ctx);
        return true;
      }
      if (grant != Grant::None) {
        if (g.paused) {
          g.grant = grant;
        } else if (grant == Grant::Step) {  // stop at the next statement
          g.stepping = true;
          install_tick(ctx);
        } else if (grant == Grant::Continue) {
          g.stepping = false;
        } else {
          vm::raise(ctx, vm::kStopNormal);
        }
        return true;
      }
    }
  }
  // The rest of what the window gets, and the release and typed text of a
  // control key while stopped, do not reach the script.
  if (in_window) return true;
  if (!g.paused) return false;
  if (e.kind == platform::EventKind::Text) return e.text == " ";
  return e.kind == platform::EventKind::KeyUp &&
         (e.code == platform::kKeyF10 || e.code == ' ' || e.code == platform::kKeyF5 || e.code == platform::kKeyEscape);
}

void debugger_finish(Interp& ctx) {
  for (const Breakpoint& b : g.breakpoints)
    if (!b.found)
      std::fprintf(stderr, "quillon: --break %s:%u: no script run had a statement at or below that line\n",
                   b.file.c_str(), unsigned(b.line));
  // An error wrote its own section, the last one.
  if (g.dump && ctx.stop >= 0) {
    g.framed_valid = false;
    write_dump(ctx, "end", ctx.pc > 0 ? ctx.pc - 1 : 0, kViewAll);
  }
  // In a real window an error keeps the debug window up, showing where the
  // script stopped, until the user closes it (or presses F5 or Esc).
  if (ctx.stop < 0 && !platform_get().headless() && (vm::sysvar_int(ctx, vm::SV_var_errormessage) & 0xffffffff)) {
    open_window(ctx, Page::Code);
    while (g.window) {
      platform::Event e;
      bool any = false;
      while (platform_get().poll_event(e)) {
        any = true;
        if (g.window && e.window == g.window->id() &&
            (e.kind == platform::EventKind::Close ||
             (e.kind == platform::EventKind::KeyDown &&
              (e.code == platform::kKeyEscape || e.code == platform::kKeyF5)))) {
          close_window();
          break;
        }
        if (g.window && e.window == g.window->id() && e.kind == platform::EventKind::KeyDown &&
            e.code == platform::kKeyTab) {
          g.page = g.page == Page::Code ? Page::Variables : Page::Code;
          refresh_window(ctx);
        }
        if (e.kind == platform::EventKind::Close) close_window();
      }
      if (!any) platform_get().sleep_ms(10);
    }
  }
}

void debugger_shutdown() {
  close_window();
  if (g.dump) std::fclose(g.dump);
  g.dump = nullptr;
}

}  // namespace host
