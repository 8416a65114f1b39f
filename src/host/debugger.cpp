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
  std::vector<uint32_t> break_pcs;  // sorted
  std::vector<uint32_t> breakpoint_pcs;  // each breakpoint's position, kNoPc when none
  // The source view's cursor line: where F9 (or a click) sets or clears a
  // breakpoint. Each stop puts it on the statement about to run.
  std::string cursor_file;
  uint32_t cursor_line = 0;
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
  // Where the source view was drawn: its first row's top, the row height and
  // the source line of each row (0 for a row without one), for clicks.
  int32_t source_top = 0, row_height = 0;
  std::vector<uint32_t> source_rows;
};

constexpr uint32_t kNoPc = UINT32_MAX;
constexpr uint32_t kSourceContext = 3;  // source lines shown above and below the cursor

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

uint32_t statement_line(const Interp& ctx, uint32_t pc) { return ctx.code[pc + 1] & 0x7fffff; }

std::string_view statement_file(const Interp& ctx, uint32_t pc) {
  return vm::element_text(vm::Value::from_handle(vm::kHandleBase + (ctx.code[pc] & 0xffffff)));
}

// Where a breakpoint on a source line stops: the first statement of that
// line, or when the line holds none (a blank or comment line), of the
// nearest line below it in the same file; kNoPc when there is none.
uint32_t breakpoint_pc(const Interp& ctx, std::string_view file, uint32_t want_line) {
  std::string_view want = scripts::base_name(file);
  uint32_t best_line = UINT32_MAX, best_pc = kNoPc;
  for (uint32_t pc = 0; pc + 1 < ctx.code_length; pc++) {
    if (!statement_at(ctx, pc)) continue;
    // A label's line is never run: its calls go to the word after it.
    if (pc + 2 < ctx.code_length && (ctx.code[pc + 2] >> 30) == 1 && ((ctx.code[pc + 2] >> 24) & 0x3f) == vm::OP_LABEL)
      continue;
    uint32_t line = statement_line(ctx, pc);
    if (line < want_line || line >= best_line) continue;
    if (scripts::base_name(statement_file(ctx, pc)) != want) continue;
    best_line = line;
    best_pc = pc;
  }
  return best_pc;
}

void map_breakpoints(Interp& ctx) {
  g.mapped_code = ctx.code;
  g.mapped_length = ctx.code_length;
  g.break_pcs.clear();
  g.breakpoint_pcs.clear();
  for (Breakpoint& b : g.breakpoints) {
    uint32_t pc = breakpoint_pc(ctx, b.file, b.line);
    g.breakpoint_pcs.push_back(pc);
    if (pc == kNoPc) continue;
    g.break_pcs.push_back(pc);
    b.found = true;
  }
  std::sort(g.break_pcs.begin(), g.break_pcs.end());
}

void ensure_mapped(Interp& ctx) {
  if (ctx.code && (ctx.code != g.mapped_code || ctx.code_length != g.mapped_length)) map_breakpoints(ctx);
}

// Whether a breakpoint stops at a source line.
bool breakpoint_on(const Interp& ctx, std::string_view file, uint32_t line) {
  for (uint32_t pc : g.break_pcs)
    if (statement_line(ctx, pc) == line && scripts::base_name(statement_file(ctx, pc)) == scripts::base_name(file))
      return true;
  return false;
}

// Sets a breakpoint on a source line, or clears the one that stops there:
// the same as --break FILE:LINE, set from the debug window.
void toggle_breakpoint(Interp& ctx, const std::string& file, uint32_t line) {
  if (!ctx.code || file.empty() || line == 0) return;
  ensure_mapped(ctx);
  uint32_t pc = breakpoint_pc(ctx, file, line);
  if (pc == kNoPc) return;
  if (std::binary_search(g.break_pcs.begin(), g.break_pcs.end(), pc)) {
    std::vector<Breakpoint> kept;
    for (size_t i = 0; i < g.breakpoints.size(); i++)
      if (g.breakpoint_pcs[i] != pc) kept.push_back(g.breakpoints[i]);
    g.breakpoints = std::move(kept);
  } else {
    g.breakpoints.push_back({file, line, true});
  }
  map_breakpoints(ctx);
}

// Puts the source view's cursor on the line of a code position.
void cursor_to(Interp& ctx, uint32_t at) {
  vm::SourcePosition pos = vm::interp_line_at(ctx, statement_at(ctx, at) ? at + 1 : at);
  if (pos.file.is_null() || pos.line == 0) return;
  g.cursor_file = std::string(vm::element_text(pos.file));
  g.cursor_line = pos.line;
}

// The lines around the cursor that the listing has statements for.
std::vector<uint32_t> source_lines(const Interp& ctx) {
  std::vector<uint32_t> lines;
  if (g.cursor_file.empty() || g.cursor_line == 0) return lines;
  uint32_t l = g.cursor_line;
  for (uint32_t i = 0; i < kSourceContext && (l = scripts::listing_neighbour(g.cursor_file, l, -1, ctx.code)) != 0; i++)
    lines.insert(lines.begin(), l);
  lines.push_back(g.cursor_line);
  l = g.cursor_line;
  for (uint32_t i = 0; i < kSourceContext && (l = scripts::listing_neighbour(g.cursor_file, l, 1, ctx.code)) != 0; i++)
    lines.push_back(l);
  return lines;
}

// The source view: a marker column ('*' a breakpoint, '=' the statement
// about to run or that failed, '>' the cursor), the line number and the
// source line from the listing.
std::string source_view(Interp& ctx, uint32_t framed) {
  ensure_mapped(ctx);
  vm::SourcePosition cur = vm::interp_line_at(ctx, statement_at(ctx, framed) ? framed + 1 : framed);
  std::string cur_file = cur.file.is_null() ? "" : std::string(vm::element_text(cur.file));
  std::string out;
  for (uint32_t line : source_lines(ctx)) {
    char head[24];
    std::snprintf(head, sizeof head, "%c%c%c%5u  ", breakpoint_on(ctx, g.cursor_file, line) ? '*' : ' ',
                  line == cur.line && cur_file == g.cursor_file ? '=' : ' ', line == g.cursor_line ? '>' : ' ',
                  unsigned(line));
    out += head + scripts::listing_source(g.cursor_file, line, ctx.code) + "\n";
  }
  return out;
}

// --- the views as text ------------------------------------------------------------

std::string views_text(Interp& ctx, uint32_t framed, uint32_t mask) {
  std::string out;
  if (mask & kViewCode) {
    // At a stop the framed word begins a statement: the chain starts there.
    out += "-- calls --\n" + scripts::call_chain(ctx, statement_at(ctx, framed) ? framed + 1 : framed);
    if (g.cursor_line == 0) cursor_to(ctx, framed);
    out += "-- source --\n" + source_view(ctx, framed);
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
  body += g.page == Page::Code ? "F10/space: step  F5: continue  Esc: stop  Up/Down F9 or click: breakpoint  Tab: vars\n"
                               : "F10/space: step  F5: continue  Esc: stop  Tab: code\n";
  body += views_text(ctx, framed, g.page == Page::Code ? kViewCode | kViewElements : kViewVariables);
  const int32_t line_height = f->h.cell_height + std::max(0, f->h.gap_line);
  g.row_height = line_height;
  g.source_rows.clear();
  g.source_top = 0;
  bool in_source = false;
  int32_t y = 4;
  size_t pos = 0;
  for (int row = 0; pos < body.size() && y < kWindowHeight; row++) {
    size_t end = body.find('\n', pos);
    if (end == std::string::npos) end = body.size();
    std::string_view text = std::string_view(body).substr(pos, end - pos);
    uint32_t colour = row == 0 ? 0xB00000 : 0x000000;
    if (g.page == Page::Code && text.rfind("-- ", 0) == 0) {
      in_source = text == "-- source --";
      if (in_source) g.source_top = y + line_height;
    } else if (in_source) {
      uint32_t line = 0;
      for (char c : text.substr(3, 5)) line = c >= '0' && c <= '9' ? line * 10 + uint32_t(c - '0') : line;
      g.source_rows.push_back(line);
      if (line == g.cursor_line) {  // the cursor line on a pale bar
        for (int32_t yy = std::max(0, y); yy < std::min(kWindowHeight, y + line_height); yy++)
          for (int32_t xx = 0; xx < kWindowWidth; xx++) {
            uint8_t* p = g.pixels.data() + (size_t(yy) * kWindowWidth + size_t(xx)) * 4;
            p[0] = 0xFF, p[1] = 0xE8, p[2] = 0xD8, p[3] = 0xFF;
          }
      }
      if (!text.empty() && text[0] == '*') colour = 0xC00000;
    }
    draw_line(*f, text, 6, y, colour);
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
  cursor_to(ctx, pc);
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
    ensure_mapped(ctx);
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
      first_words(scripts::listing_source(vm::element_text(pos.file), pos.line, ctx.code), word, target);
      if (word == "gosub") code = vm::kErrLabelNotFound;
    }
  }
  if (ctx.scope_depth >= 2) trace = scripts::call_chain(ctx, at);
  cursor_to(ctx, at);
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
      } else if (e.code == platform::kKeyUp || e.code == platform::kKeyDown || e.code == platform::kKeyF9) {
        // The source view's cursor, and a breakpoint set or cleared at it.
        if (g.cursor_line == 0) cursor_to(ctx, g.framed_valid ? g.framed_pc : ctx.pc);
        if (e.code == platform::kKeyF9) {
          toggle_breakpoint(ctx, g.cursor_file, g.cursor_line);
          install_tick(ctx);
        } else if (uint32_t l = scripts::listing_neighbour(g.cursor_file, g.cursor_line,
                                                           e.code == platform::kKeyUp ? -1 : 1, ctx.code)) {
          g.cursor_line = l;
        }
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
  if (in_window && e.kind == platform::EventKind::MouseDown && e.code == 1 && g.page == Page::Code &&
      g.row_height > 0 && e.y >= g.source_top) {
    // A click on a line of the source view sets or clears its breakpoint.
    size_t row = size_t((e.y - g.source_top) / g.row_height);
    if (row < g.source_rows.size() && g.source_rows[row] != 0) {
      g.cursor_line = g.source_rows[row];
      toggle_breakpoint(ctx, g.cursor_file, g.cursor_line);
      install_tick(ctx);
      refresh_window(ctx);
    }
  }
  if (in_window) return true;
  if (!g.paused) return false;
  if (e.kind == platform::EventKind::Text) return e.text == " ";
  return e.kind == platform::EventKind::KeyUp &&
         (e.code == platform::kKeyF10 || e.code == ' ' || e.code == platform::kKeyF5 || e.code == platform::kKeyEscape ||
          e.code == platform::kKeyUp || e.code == platform::kKeyDown || e.code == platform::kKeyF9);
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
