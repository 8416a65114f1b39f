// Text input fields: INPUTFIELD elements (type 26) that edit a text typed
// into the window while the script goes on.
//
// A field remembers where it was opened (the drawing target, the pen, the
// colours and the text settings), the area under it (to redraw its text on
// a clean background and to give it back at the end), its type or mask,
// its text and how it ended. The active fields of a context form a ring;
// while the ring is not empty a per-token hook services its first field:
// key events are taken from the input queue, the cursor blinks on the
// engine clock, a timeout ends the field. `inputcheck` services a field
// once more and tells whether it is still active.
#include "host/input_fields.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "host/input.h"
#include "host/window.h"
#include "text/font.h"
#include "text/layout.h"
#include "vm/clock.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace host {

using vm::Interp;
using vm::Value;

namespace {

enum Exit : int32_t { kActive = 0, kAbort, kBackward, kDown, kReturn, kForward, kFull, kTimeout, kUp, kWhen };
constexpr const char* kExitWords[] = {"", "abort", "backward", "down", "return", "forward", "full", "timeout", "up", "when"};

enum Type : uint8_t {
  kAddress = 1, kFilename, kFloat, kInteger, kLetters, kLongFilename, kLowercase, kName, kPath, kPhone,
  kSignedFloat, kSignedInteger, kSLetters, kText, kUppercase,
};
constexpr const char* kTypeWords[] = {"",          "address",   "filename", "float",        "integer",
                                      "letters",   "longfilename", "lowercase", "name",     "path",
                                      "phone",     "signedfloat", "signedinteger", "sletters", "text",
                                      "uppercase"};
// Mask letters and the type each stands for.
constexpr struct {
  char letter;
  uint8_t type;
} kMaskLetters[] = {{'A', kAddress}, {'F', kFilename}, {'#', kFloat},   {'%', kInteger}, {'L', kLetters},
                    {'f', kLongFilename}, {'l', kLowercase}, {'N', kName}, {'P', kPath},  {'p', kPhone},
                    {'S', kSLetters}, {'T', kText},   {'U', kUppercase}};

constexpr int64_t kDefaultMaximum = 8192;
constexpr uint64_t kBlinkMs = 666;

struct Field {
  Interp* ctx = nullptr;
  uint32_t self = 0;
  int32_t exit = kActive;
  std::string text;
  std::vector<uint8_t> mask;   // per position: a type, or 0 for a literal
  std::string mask_template;   // the literals, spaces at the typed positions
  uint8_t type = kText;
  int64_t maximum = kDefaultMaximum;
  int64_t cursor = 0;
  Value text_var = Value::null();  // the variable name (one reference)
  bool wraps = false, one_line = false;
  // Where it was opened.
  uint32_t target = 0;  // IMAGE handle (one reference)
  gfx::DrawState st{};
  text::TextState ts{};
  int32_t x0 = 0, y0 = 0;          // pen at opening
  gfx::Rect area{0, 0, -1, -1};    // what it may cover
  std::vector<uint32_t> under;     // the pixels of `area` before the field
  // Timers (engine clock).
  uint64_t opened = 0, blink = 0;
  bool cursor_shown = false;
  int32_t goal_x = -1;  // the column Up and Down keep, -1 when not moving so
  bool linked = false;
  std::string seen;  // var_inputstring as last given to the script
};

// The payload of an INPUTFIELD element.
struct FieldPayload {
  Field* field;  // owned
};
static_assert(std::is_trivially_copyable_v<FieldPayload>);

struct Ring {
  std::vector<uint32_t> active;  // field handles (one reference each), the first is serviced
};

void (*g_prev_tick)(Interp&) = nullptr;
bool g_tick_installed = false;
int64_t g_linked = 0;  // fields in the rings of every context

// The per-token hook runs only while some field is active: other scripts
// keep their fast path.
void tick(Interp& ctx);

void uninstall_tick_when_idle() {
  if (g_linked > 0 || !g_tick_installed) return;
  // A hook installed after this one calls it: it stays in that chain (it
  // does nothing while no field is active).
  if (vm::g_host.tick != tick) return;
  vm::g_host.tick = g_prev_tick;
  g_prev_tick = nullptr;
  g_tick_installed = false;
}

Field* field_of(Value v) {
  auto* p = static_cast<FieldPayload*>(vm::element_lookup(v, vm::kTypeInputField));
  return p ? p->field : nullptr;
}
Field* field_of_handle(uint32_t h) { return field_of(Value::from_handle(h)); }

// A field argument: the field itself or the name of a variable holding one.
Field* field_arg(Interp& ctx, Value a) {
  if (Field* f = field_of(a)) return f;
  if (vm::is_text(a) || vm::element_type_of(a) == vm::kTypeArrayPath)
    if (Value* cell = vm::var_find(ctx, a)) return field_of(*cell);
  return nullptr;
}

void ring_closer(Interp& ctx);

Ring& ring(Interp& ctx) {
  void*& slot = ctx.slots[vm::kSlotInputFields];
  if (!slot) {
    slot = new Ring;
    vm::interp_add_closer(ring_closer);
  }
  return *static_cast<Ring*>(slot);
}

void unlink(Interp& ctx, Field& f) {
  if (!f.linked) return;
  f.linked = false;
  Ring& r = ring(ctx);
  auto it = std::find(r.active.begin(), r.active.end(), f.self);
  if (it != r.active.end()) {
    r.active.erase(it);
    g_linked--;
    uninstall_tick_when_idle();
    vm::element_release(f.self);
  }
}

void ring_closer(Interp& ctx) {
  auto* r = static_cast<Ring*>(ctx.slots[vm::kSlotInputFields]);
  if (!r) return;
  ctx.slots[vm::kSlotInputFields] = nullptr;
  for (uint32_t h : r->active) {
    if (Field* f = field_of_handle(h)) f->linked = false;
    g_linked--;
    vm::element_release(h);
  }
  delete r;
  uninstall_tick_when_idle();
}

// --- characters ---

bool is_letter(uint8_t c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  if (c == 162 || c == 163 || c == 165 || c == 171 || c == 186 || c == 187 || c == 255) return true;
  if ((c >= 191 && c <= 221) || (c >= 223 && c <= 253)) return true;
  // Letters of the code page outside those ranges.
  return c == 0x8A || c == 0x8C || c == 0x8E || c == 0x9A || c == 0x9C || c == 0x9E || c == 0x9F;
}
bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

uint8_t upper(uint8_t c) {
  if (c >= 'a' && c <= 'z') return uint8_t(c - 32);
  if (c >= 224 && c <= 254 && c != 247) return uint8_t(c - 32);
  if (c == 0x9A || c == 0x9C || c == 0x9E) return uint8_t(c - 16);
  if (c == 255) return 0x9F;
  return c;
}
uint8_t lower(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return uint8_t(c + 32);
  if (c >= 192 && c <= 222 && c != 215) return uint8_t(c + 32);
  if (c == 0x8A || c == 0x8C || c == 0x8E) return uint8_t(c + 16);
  if (c == 0x9F) return 255;
  return c;
}

// The character as a field of `type` takes it at `pos` of `text`, or 0
// when the type refuses it.
uint8_t accept(Interp& ctx, uint8_t type, uint8_t c, const std::string& text, int64_t pos) {
  if (c == '\n') return c;
  if (c < 32) return 0;
  auto in = [c](const char* set) { return std::strchr(set, c) != nullptr; };
  const char sep = vm::sysvar_int(ctx, vm::SV_var_floateuropean) ? ',' : '.';
  switch (type) {
    case kAddress: return is_letter(c) || is_digit(c) || in(",. '-") ? c : 0;
    case kFilename: return is_letter(c) || is_digit(c) || in("._") ? upper(c) : 0;
    case kFloat:
    case kSignedFloat:
      if (is_digit(c)) return c;
      if (c == uint8_t(sep) && text.find(sep) == std::string::npos) return c;
      if (type == kSignedFloat && c == '-' && pos == 0) return c;
      return 0;
    case kInteger: return is_digit(c) ? c : 0;
    case kSignedInteger: return is_digit(c) || (c == '-' && pos == 0) ? c : 0;
    case kLetters: return is_letter(c) ? c : 0;
    case kLongFilename: return is_letter(c) || is_digit(c) || in("_ .\\:") ? c : 0;
    case kLowercase: return is_letter(c) ? lower(c) : 0;
    case kName: return is_letter(c) || in(",. '-") ? c : 0;
    case kPath: return is_letter(c) || is_digit(c) || in("._:\\") ? upper(c) : 0;
    case kPhone: return is_digit(c) || in("+-.() ") ? c : 0;
    case kSLetters: return is_letter(c) || c == ' ' ? c : 0;
    case kUppercase: return is_letter(c) ? upper(c) : 0;
    default: return c;
  }
}

// The clipboard holds UTF-8; fields hold code page bytes.
void clipboard_set(const std::string& s) { platform_get().set_clipboard(code_page_to_utf8(s)); }
std::string clipboard_get() { return utf8_to_code_page(platform_get().clipboard()); }

// --- drawing ---

gfx::Image* field_image(const Field& f) { return gfx::image_of(f.target); }

std::string shown_text(const Field& f, Interp& ctx) {
  if (!vm::sysvar_int(ctx, vm::SV_var_inputpassword)) return f.text;
  std::string s = f.text;
  for (char& c : s)
    if (c != '\n' && c != '\r') c = '*';
  return s;
}

// Runs fn with the target's drawing state and the context's text settings
// as they were when the field was opened, then puts both back.
template <typename Fn>
void with_field_state(Interp& ctx, Field& f, gfx::Image& img, Fn fn) {
  gfx::DrawState saved = img.st;
  text::TextState& ts = text::text_state(ctx);
  text::TextState saved_ts = ts;
  img.st.font = saved.font;
  img.st.color = f.st.color, img.st.back = f.st.back, img.st.filter = f.st.filter;
  img.st.minx = int16_t(f.area.x1), img.st.miny = int16_t(f.area.y1);
  img.st.maxx = int16_t(f.area.x2), img.st.maxy = int16_t(f.area.y2);
  img.st.text_x = f.x0, img.st.text_y = f.y0;
  ts = f.ts;
  fn(img, ts);
  ts = saved_ts;
  img.st = saved;
}

// The text settings a field draws with: left aligned, no codes, wrapping
// only when the field wraps.
text::TextState field_text_state(const text::TextState& now, bool wraps) {
  text::TextState ts = now;
  ts.center = ts.justified = ts.right = 0;
  ts.left = 1;
  ts.colorcodes = ts.fontcodes = ts.html = ts.rtf = 0;
  ts.scroll = 0;
  ts.draw = 1;
  ts.wrap = 0;  // line breaks stay line breaks
  ts.clip = wraps ? 0 : 1;
  return ts;
}

struct Measure {
  int32_t width = 0, height = 0;  // of the whole text
  int32_t cursor_x = 0, cursor_y = 0, cursor_h = 0;
};

// Lays the text out as drawing would and finds the pen before byte `pos`.
Measure measure(Interp& ctx, Field& f, const std::string& s, int64_t pos) {
  Measure m;
  gfx::Image* img = field_image(f);
  if (!img) return m;
  with_field_state(ctx, f, *img, [&](gfx::Image& im, text::TextState& ts) {
    const text::Font* font = text::current_font(ctx);
    if (!font) return;
    text::Decoded d = text::decode_text(&ctx, s, *font, im.st.color, ts);
    text::LayoutBox box{f.area.x1, f.area.x2 - f.area.x1 + 1, f.x0, false};
    text::Layout l = text::layout_text(&ctx, d, ts, box);
    const int32_t cell = font->h.cell_height;
    m.cursor_x = f.x0, m.cursor_y = f.y0, m.cursor_h = cell;
    int32_t y = f.y0;
    bool placed = false;
    for (const text::Line& line : l.lines) {
      m.width = std::max(m.width, line.pen_x - f.x0);
      const int32_t h = std::max(line.height, cell);
      // The items of the line and the line break or wrapping spaces after it.
      for (size_t k = line.begin; k < line.next && k < d.items.size() && !placed; k++)
        if (int64_t(d.items[k].src) >= pos) {
          m.cursor_x = k < line.end ? l.x[k] : line.pen_x;
          m.cursor_y = y, m.cursor_h = std::max(line.cell, cell), placed = true;
        }
      if (!placed) m.cursor_x = line.pen_x, m.cursor_y = y, m.cursor_h = std::max(line.cell, cell);
      y += h;
    }
    // A text ending in a line break puts the cursor at the start of the next line.
    if (!placed && !s.empty() && s.back() == '\n' && !l.lines.empty() && l.lines.back().end > l.lines.back().begin)
      m.cursor_x = f.area.x1, m.cursor_y = y;
    m.height = std::max(y - f.y0, cell);
  });
  return m;
}

// Where the cursor can stand on each screen line of the laid-out text: the
// byte positions with their pen x, in order. Wrapped lines are lines of
// their own, so Up and Down move over what the user sees.
struct Stop {
  int64_t pos;
  int32_t x;
};
std::vector<std::vector<Stop>> cursor_rows(Interp& ctx, Field& f, const std::string& s) {
  std::vector<std::vector<Stop>> rows;
  int32_t last_pen_x = f.x0;
  gfx::Image* img = field_image(f);
  if (img)
    with_field_state(ctx, f, *img, [&](gfx::Image& im, text::TextState& ts) {
      const text::Font* font = text::current_font(ctx);
      if (!font) return;
      text::Decoded d = text::decode_text(&ctx, s, *font, im.st.color, ts);
      text::LayoutBox box{f.area.x1, f.area.x2 - f.area.x1 + 1, f.x0, false};
      text::Layout l = text::layout_text(&ctx, d, ts, box);
      for (const text::Line& line : l.lines) {
        rows.emplace_back();
        for (size_t k = line.begin; k < line.next && k < d.items.size(); k++)
          rows.back().push_back({int64_t(d.items[k].src), k < line.end ? l.x[k] : line.pen_x});
        if (rows.back().empty()) rows.back().push_back({int64_t(s.size()), line.pen_x});
        last_pen_x = line.pen_x;
      }
    });
  const int64_t end = int64_t(s.size());
  bool has_end = false;
  for (const auto& row : rows)
    for (const Stop& st : row) has_end |= st.pos >= end;
  if (!has_end) {
    // The end of the text: after the last line, or on a line of its own
    // after a final line break.
    if (rows.empty() || (!s.empty() && s.back() == '\n'))
      rows.push_back({{end, rows.empty() ? f.x0 : f.area.x1}});
    else
      rows.back().push_back({end, last_pen_x});
  }
  return rows;
}

// The position on the screen line above (-1) or below (+1) the cursor
// nearest to the column the cursor keeps while it moves up and down.
void cursor_line_move(Interp& ctx, Field& f, int dir) {
  const auto rows = cursor_rows(ctx, f, shown_text(f, ctx));
  size_t r = rows.size() - 1, k = rows.back().size() - 1;
  bool found = false;
  for (size_t i = 0; i < rows.size() && !found; i++)
    for (size_t j = 0; j < rows[i].size() && !found; j++)
      if (rows[i][j].pos >= f.cursor) r = i, k = j, found = true;
  if (f.goal_x < 0) f.goal_x = rows[r][k].x;
  if (dir < 0 && r == 0) {
    f.cursor = 0;
    return;
  }
  if (dir > 0 && r + 1 == rows.size()) return;
  const auto& row = rows[dir < 0 ? r - 1 : r + 1];
  const Stop* best = &row.front();
  for (const Stop& st : row)
    if (std::abs(st.x - f.goal_x) < std::abs(best->x - f.goal_x)) best = &st;
  f.cursor = best->pos;
}

void put_back_area(Field& f, gfx::Image& img) {
  if (f.area.x2 < f.area.x1 || f.under.empty()) return;
  size_t k = 0;
  for (int32_t y = f.area.y1; y <= f.area.y2; y++)
    for (int32_t x = f.area.x1; x <= f.area.x2; x++) gfx::set_pixel(img, x, y, f.under[k++]);
}

void draw_cursor(Interp& ctx, Field& f, gfx::Image& img) {
  Measure m = measure(ctx, f, shown_text(f, ctx), f.cursor);
  const int32_t x = std::min(m.cursor_x, int32_t(f.area.x2));
  for (int32_t y = m.cursor_y; y < m.cursor_y + m.cursor_h && y <= f.area.y2; y++)
    for (int32_t dx = 0; dx < 2 && x + dx <= f.area.x2; dx++) gfx::set_pixel(img, x + dx, y, f.st.color);
  gfx::mark_changed(ctx, img, x, m.cursor_y, x + 1, m.cursor_y + m.cursor_h - 1, true);
  // The input method shows its candidates next to the cursor.
  if (gfx::frame(ctx) == &img) platform_get().set_text_input_rect(x, m.cursor_y, 2, m.cursor_h);
}

// Draws the field on its background: the text and, while shown, the cursor.
void redraw(Interp& ctx, Field& f) {
  gfx::Image* img = field_image(f);
  if (!img || !img->pixels) return;
  put_back_area(f, *img);
  const std::string s = shown_text(f, ctx);
  with_field_state(ctx, f, *img, [&](gfx::Image&, text::TextState&) { text::draw_text(ctx, s, &f.area); });
  if (f.cursor_shown) draw_cursor(ctx, f, *img);
  gfx::mark_changed(ctx, *img, f.area.x1, f.area.y1, f.area.x2, f.area.y2, true);
  ctx.frame_changed = true;
}

// --- editing ---

bool is_literal(const Field& f, int64_t pos) {
  return !f.mask.empty() && pos >= 0 && pos < int64_t(f.mask.size()) && f.mask[size_t(pos)] == 0;
}

// Whether the text fits the field: its maximum, its room.
bool fits(Interp& ctx, Field& f, const std::string& s) {
  if (int64_t(s.size()) > f.maximum) return false;
  if (f.one_line && s.find('\n') != std::string::npos) return false;
  Measure m = measure(ctx, f, s, 0);
  const int32_t room_w = f.area.x2 - f.x0 + 1, room_h = f.area.y2 - f.y0 + 1;
  if (!f.wraps && m.width > room_w && s.find('\n') == std::string::npos) return false;
  if (!f.one_line && m.height > room_h) return false;
  return true;
}

void set_input_string(Interp& ctx, Field& f) {
  const uint32_t t = vm::text_intern(f.text);
  vm::value_store(ctx.sysvars[vm::SV_var_inputstring], Value::from_handle(t));
  vm::element_release(t);
  vm::sysvar_set_int(ctx, vm::SV_var_inputposition, f.cursor);
  f.seen = f.text;
}

void changed_text(Interp& ctx, Field& f) {
  vm::sysvar_set_int(ctx, vm::SV_var_inputchange, 1);
  set_input_string(ctx, f);
  redraw(ctx, f);
}

// Puts one typed character at the cursor; kept only when the result fits.
void type_char(Interp& ctx, Field& f, uint8_t c) {
  int64_t pos = f.cursor;
  while (is_literal(f, pos)) pos++;
  if (!f.mask.empty()) {
    if (pos >= int64_t(f.mask.size())) return;
    uint8_t t = accept(ctx, f.mask[size_t(pos)], c, f.text, pos);
    if (!t || t == '\n') return;
    std::string s = f.text;
    if (int64_t(s.size()) <= pos) s.resize(size_t(pos) + 1, ' ');
    s[size_t(pos)] = char(t);
    int64_t next = pos + 1;
    while (is_literal(f, next)) next++;
    if (!fits(ctx, f, s)) return;
    f.text = s;
    f.cursor = std::min<int64_t>(next, int64_t(f.text.size()));
    changed_text(ctx, f);
    return;
  }
  const uint8_t t = accept(ctx, f.type, c, f.text, pos);
  if (!t) return;
  std::string s = f.text;
  const bool insert = vm::sysvar_int(ctx, vm::SV_var_inputinsert) != 0;
  if (insert || pos >= int64_t(s.size()) || s[size_t(pos)] == '\n' || t == '\n')
    s.insert(size_t(pos), 1, char(t));
  else
    s[size_t(pos)] = char(t);
  if (!fits(ctx, f, s)) return;
  f.text = s;
  f.cursor = pos + 1;
  changed_text(ctx, f);
}

void key(Interp& ctx, Field& f, int32_t code) {
  const int64_t n = int64_t(f.text.size());
  auto crlf_before = [&](int64_t p) { return p >= 2 && f.text[size_t(p - 1)] == '\n' && f.text[size_t(p - 2)] == '\r'; };
  auto crlf_at = [&](int64_t p) { return p + 1 < n && f.text[size_t(p)] == '\r' && f.text[size_t(p + 1)] == '\n'; };
  // Up and Down keep the column they started from over shorter lines.
  if (code != 328 && code != 336) f.goal_x = -1;
  switch (code) {
    case 9: f.exit = kForward; return;
    case 271: f.exit = kBackward; return;
    case 27: f.exit = kAbort; return;
    case 10:
    case 13:
      if (f.one_line) f.exit = kReturn;
      else type_char(ctx, f, '\n');
      return;
    case 328:
    case 336:
      if (f.one_line) {
        f.exit = code == 328 ? kUp : kDown;
        break;
      }
      cursor_line_move(ctx, f, code == 328 ? -1 : 1);
      break;
    case 327: f.cursor = 0; break;
    case 335: f.cursor = n; break;
    case 331:
      if (f.cursor > 0) f.cursor -= crlf_before(f.cursor) ? 2 : 1;
      while (f.cursor > 0 && is_literal(f, f.cursor)) f.cursor--;
      break;
    case 333:
      if (f.cursor < n) f.cursor += crlf_at(f.cursor) ? 2 : 1;
      while (f.cursor < n && is_literal(f, f.cursor)) f.cursor++;
      break;
    case 371:
      while (f.cursor > 0 && f.text[size_t(f.cursor - 1)] == ' ') f.cursor--;
      while (f.cursor > 0 && f.text[size_t(f.cursor - 1)] != ' ') f.cursor--;
      break;
    case 372:
      while (f.cursor < n && f.text[size_t(f.cursor)] != ' ') f.cursor++;
      while (f.cursor < n && f.text[size_t(f.cursor)] == ' ') f.cursor++;
      break;
    case 338:
      if (f.mask.empty()) vm::sysvar_set_int(ctx, vm::SV_var_inputinsert, !vm::sysvar_int(ctx, vm::SV_var_inputinsert));
      return;
    case 8:
      if (f.cursor == 0) return;
      if (!f.mask.empty()) {
        int64_t p = f.cursor - 1;
        while (p > 0 && is_literal(f, p)) p--;
        if (is_literal(f, p)) return;
        if (p < n) f.text[size_t(p)] = ' ';
        f.cursor = p;
      } else {
        const int64_t w = crlf_before(f.cursor) ? 2 : 1;
        f.text.erase(size_t(f.cursor - w), size_t(w));
        f.cursor -= w;
      }
      changed_text(ctx, f);
      return;
    case 339:
      if (f.cursor >= n) return;
      if (!f.mask.empty()) {
        if (is_literal(f, f.cursor)) return;
        f.text[size_t(f.cursor)] = ' ';
      } else {
        f.text.erase(size_t(f.cursor), size_t(crlf_at(f.cursor) ? 2 : 1));
      }
      changed_text(ctx, f);
      return;
    case 3:
    case 402: clipboard_set(f.text); return;
    case 22:
    case 850:
      for (char c : clipboard_get()) {
        if (f.exit) break;
        if (c == '\r') continue;
        type_char(ctx, f, uint8_t(c));
      }
      return;
    default:
      if (code >= 32 && code <= 255) type_char(ctx, f, uint8_t(code));
      return;
  }
  f.cursor = std::clamp<int64_t>(f.cursor, 0, n);
  set_input_string(ctx, f);
  redraw(ctx, f);
}

bool aborted(Interp& ctx) {
  Value v = ctx.sysvars[vm::SV_var_inputabort];
  return vm::is_text(v) && !vm::element_text(v).empty();
}

// One service of the active field: returns 1 while it goes on.
bool service(Interp& ctx, Field& f, bool take_key) {
  if (f.exit != kActive) return false;
  if (aborted(ctx)) return false;
  // The script's view of the text and the cursor.
  Value& sv = ctx.sysvars[vm::SV_var_inputstring];
  if (sv.is_null()) {
    set_input_string(ctx, f);
  } else {
    std::string now = vm::is_text(sv) ? std::string(vm::element_text(sv)) : vm::value_to_string(&ctx, sv);
    int64_t pos = vm::sysvar_int(ctx, vm::SV_var_inputposition);
    if (now != f.seen || pos != f.cursor) {
      if (int64_t(now.size()) > f.maximum) now.resize(size_t(f.maximum));
      if (f.one_line) std::replace(now.begin(), now.end(), '\n', ' ');
      f.text = now;
      f.cursor = std::clamp<int64_t>(pos, 0, int64_t(f.text.size()));
      set_input_string(ctx, f);
      redraw(ctx, f);
    }
  }
  const uint64_t now = vm::clock_now();
  const int64_t timeout = vm::sysvar_int(ctx, vm::SV_var_inputtimeout);
  if (timeout > 0 && vm::clock_to_ms(now - f.opened) >= uint64_t(timeout)) {
    f.exit = kTimeout;
    return false;
  }
  if (vm::clock_to_ms(now - f.blink) >= kBlinkMs) {
    f.blink = now;
    f.cursor_shown = !f.cursor_shown;
    redraw(ctx, f);
  }
  if (vm::sysvar_int(ctx, vm::SV_var_inputfullexit) && int64_t(f.text.size()) >= f.maximum &&
      f.cursor >= int64_t(f.text.size())) {
    f.exit = kFull;
    return false;
  }
  int32_t code = 0;
  if (take_key && input_take_key(ctx, code)) {
    key(ctx, f, code);
    if (f.exit == kActive && vm::sysvar_int(ctx, vm::SV_var_inputfullexit) &&
        int64_t(f.text.size()) >= f.maximum && f.cursor >= int64_t(f.text.size()))
      f.exit = kFull;
  }
  return f.exit == kActive && !aborted(ctx);
}

void tick(Interp& ctx) {
  if (g_prev_tick) g_prev_tick(ctx);
  auto* r = static_cast<Ring*>(ctx.slots[vm::kSlotInputFields]);
  if (!r || r->active.empty()) return;
  if (Field* f = field_of_handle(r->active.front())) {
    if (f->exit == kActive) {
      service(ctx, *f, true);
      return;
    }
    unlink(ctx, *f);
  }
}

void install_tick(Interp& ctx) {
  if (!g_tick_installed) {
    g_prev_tick = vm::g_host.tick;
    vm::g_host.tick = tick;
    g_tick_installed = true;
  }
  vm::interp_request_tick(ctx);
}

void field_cleanup(uint32_t, void* payload) {
  auto& p = *static_cast<FieldPayload*>(payload);
  if (!p.field) return;
  vm::value_release(p.field->text_var);
  if (p.field->target) vm::element_release(p.field->target);
  delete p.field;
  p.field = nullptr;
}

// --- opening ---

// The mask's per-position types; the escape character makes the next one a literal.
void set_mask(Field& f, std::string_view mask, char escape) {
  f.mask.clear();
  f.mask_template.clear();
  for (size_t k = 0; k < mask.size(); k++) {
    char c = mask[k];
    if (c == escape && k + 1 < mask.size()) {
      f.mask.push_back(0);
      f.mask_template.push_back(mask[++k]);
      continue;
    }
    uint8_t type = 0;
    for (const auto& m : kMaskLetters)
      if (m.letter == c) type = m.type;
    f.mask.push_back(type);
    f.mask_template.push_back(type ? ' ' : c);
  }
  f.maximum = int64_t(f.mask.size());
}

void open_field(Interp& ctx, bool one_line) {
  std::vector<Value> args = vm::take_args(ctx, vm::close_frame(ctx));
  if (args.empty()) return;
  gfx::Image* img = gfx::target(ctx);
  if (!img) {
    vm::release_all(args);
    return;
  }
  text::current_font(ctx);  // the font is made ready
  const uint32_t handle = vm::element_create(nullptr, sizeof(FieldPayload), vm::kTypeInputField);
  auto* p = static_cast<FieldPayload*>(vm::element_lookup(handle, vm::kTypeInputField));
  if (!p) {
    vm::release_all(args);
    return;
  }
  Field* f = p->field = new Field;
  f->ctx = &ctx;
  f->self = handle;
  f->one_line = one_line;
  f->wraps = !one_line && vm::sysvar_int(ctx, vm::SV_var_inputwrap) != 0;
  f->target = img->self;
  vm::element_ref(f->target);
  f->st = img->st;
  f->ts = field_text_state(text::text_state(ctx), f->wraps);
  f->x0 = img->st.text_x, f->y0 = img->st.text_y;
  gfx::Rect clip{0, 0, -1, -1};
  if (gfx::clip_rect(*img, clip)) {
    const text::Font* font = text::current_font(ctx);
    const int32_t cell = font ? font->h.cell_height : 16;
    int32_t y2 = one_line ? std::min(clip.y2, f->y0 + cell - 1) : clip.y2;
    f->area = {one_line ? std::max(clip.x1, f->x0) : clip.x1, std::max(clip.y1, f->y0), clip.x2, y2};
  }
  if (f->area.x2 >= f->area.x1 && f->area.y2 >= f->area.y1) {
    f->under.reserve(size_t(f->area.x2 - f->area.x1 + 1) * size_t(f->area.y2 - f->area.y1 + 1));
    for (int32_t y = f->area.y1; y <= f->area.y2; y++)
      for (int32_t x = f->area.x1; x <= f->area.x2; x++) f->under.push_back(gfx::get_pixel(*img, x, y));
  }
  f->opened = f->blink = vm::clock_now();
  vm::value_store(ctx.sysvars[vm::SV_var_inputabort], Value::null());

  bool has_text = false;
  if (args.size() >= 2) {
    f->text_var = args[1];
    vm::value_ref(f->text_var);
    if (Value* cell = vm::var_find(ctx, args[1]); cell && !cell->is_null()) {
      f->text = vm::value_to_string(&ctx, *cell);
      has_text = !f->text.empty();
    }
  }
  if (args.size() >= 3 && !args[2].is_null()) {
    const std::string word = vm::value_to_string(&ctx, args[2]);
    uint8_t type = 0;
    for (uint8_t k = 1; k < std::size(kTypeWords); k++)
      if (word.size() == std::strlen(kTypeWords[k]) &&
          std::equal(word.begin(), word.end(), kTypeWords[k], [](char a, char b) { return std::tolower(uint8_t(a)) == b; }))
        type = k;
    if (type) {
      f->type = type;
    } else {
      const char escape = text::text_state(ctx).colorcodes ? '^' : '\\';
      set_mask(*f, word, escape);
    }
  }
  if (args.size() >= 4) {
    const int64_t m = vm::value_to_integer(&ctx, args[3]);
    if (m > 0) f->maximum = f->mask.empty() ? m : std::min<int64_t>(m, int64_t(f->mask.size()));
  }
  if (f->one_line) std::replace(f->text.begin(), f->text.end(), '\n', ' ');
  // A text longer than the field holds is cut to its maximum.
  if (int64_t(f->text.size()) > f->maximum) f->text.resize(size_t(f->maximum));
  if (!f->mask.empty()) {
    std::string t = f->mask_template;
    for (size_t k = 0; k < t.size() && k < f->text.size(); k++)
      if (f->mask[k]) {
        uint8_t c = accept(ctx, f->mask[k], uint8_t(f->text[k]), f->text, int64_t(k));
        if (c && c != '\n') t[k] = char(c);
      }
    f->text = t;
  }
  f->cursor = has_text && vm::sysvar_int(ctx, vm::SV_var_inputbegin) == 0 ? int64_t(f->text.size()) : 0;
  if (!f->mask.empty() && !has_text) f->cursor = 0;
  while (is_literal(*f, f->cursor)) f->cursor++;
  f->cursor = std::min<int64_t>(f->cursor, int64_t(f->text.size()));

  Value v = Value::from_handle(handle);
  if (Value* cell = vm::var_for_set(ctx, args[0])) vm::value_store(*cell, v);
  ctx.vars_dirty = true;
  vm::element_release(handle);
  redraw(ctx, *f);
  vm::value_store(ctx.sysvars[vm::SV_var_inputstring], Value::null());
  vm::release_all(args);
}

// --- the inputbox dialog ---

// A modal form drawn over the middle of the frame: a title bar, the prompt,
// an edit line and OK and Cancel buttons, in the player's default font. The
// edit line is a one-line field of its own; the script does not run while
// the form is up.
struct InputBox {
  Interp& ctx;
  gfx::Image& img;
  const text::Font& font;
  gfx::Rect box{}, title{}, prompt{}, edit{}, ok{}, cancel{};
  std::string title_text, prompt_text;
};

constexpr uint32_t kBoxFace = 0xD4D0C8, kBoxLight = 0xFFFFFF, kBoxShadow = 0x808080, kBoxDark = 0x404040;
constexpr uint32_t kBoxTitle = 0x0A246A, kBoxTitleText = 0xFFFFFF, kBoxText = 0x000000, kBoxEdit = 0xFFFFFF;

// Draws `s` in `r` (wrapped at its right edge, clipped to it) in the
// default font, left aligned or centred.
void box_text(InputBox& b, const gfx::Rect& r, const std::string& s, uint32_t color, bool centre) {
  gfx::DrawState saved = b.img.st;
  text::TextState& ts = text::text_state(b.ctx);
  text::TextState saved_ts = ts;
  ts = field_text_state(text::TextState{}, true);
  int32_t x = r.x1;
  if (centre) {
    text::Decoded d = text::decode_text(&b.ctx, s, b.font, color, ts);
    x = std::max(r.x1, r.x1 + (r.x2 - r.x1 + 1 - text::text_width(d, ts, false)) / 2);
  }
  b.img.st.color = color, b.img.st.filter = 0;
  b.img.st.minx = int16_t(r.x1), b.img.st.miny = int16_t(r.y1), b.img.st.maxx = int16_t(r.x2), b.img.st.maxy = int16_t(r.y2);
  b.img.st.text_x = x, b.img.st.text_y = r.y1;
  text::draw_text(b.ctx, s, &r);
  ts = saved_ts;
  b.img.st = saved;
}

// A raised (button, form) or sunken (edit line) frame around `r`, filled.
void box_bevel(InputBox& b, const gfx::Rect& r, uint32_t fill, bool sunken) {
  const uint32_t hi = sunken ? kBoxShadow : kBoxLight, lo = sunken ? kBoxLight : kBoxDark;
  gfx::fill_rect(b.img, r.x1, r.y1, r.x2, r.y2, lo);
  gfx::fill_rect(b.img, r.x1, r.y1, r.x2 - 1, r.y2 - 1, hi);
  gfx::fill_rect(b.img, r.x1 + 1, r.y1 + 1, r.x2 - 1, r.y2 - 1, fill);
}

void box_draw(InputBox& b) {
  box_bevel(b, b.box, kBoxFace, false);
  gfx::fill_rect(b.img, b.title.x1, b.title.y1, b.title.x2, b.title.y2, kBoxTitle);
  box_text(b, {b.title.x1 + 4, b.title.y1 + 2, b.title.x2 - 4, b.title.y2}, b.title_text, kBoxTitleText, false);
  box_text(b, b.prompt, b.prompt_text, kBoxText, false);
  box_bevel(b, b.edit, kBoxEdit, true);
  box_bevel(b, b.ok, kBoxFace, false);
  box_bevel(b, b.cancel, kBoxFace, false);
  const int32_t h = b.font.h.cell_height;
  box_text(b, {b.ok.x1, b.ok.y1 + (b.ok.y2 - b.ok.y1 + 1 - h) / 2, b.ok.x2, b.ok.y2}, "OK", kBoxText, true);
  box_text(b, {b.cancel.x1, b.cancel.y1 + (b.cancel.y2 - b.cancel.y1 + 1 - h) / 2, b.cancel.x2, b.cancel.y2}, "Cancel",
           kBoxText, true);
  gfx::mark_changed(b.ctx, b.img, b.box.x1, b.box.y1, b.box.x2, b.box.y2, true);
}

// Places the parts of the form in the middle of the frame.
void box_layout(InputBox& b) {
  const int32_t fw = b.img.width(), fh = b.img.height(), h = b.font.h.cell_height, pad = 8;
  const int32_t w = std::max(std::min(fw - 16, 320), std::min(fw, 160));
  text::TextState ts = field_text_state(text::TextState{}, true);
  text::Decoded d = text::decode_text(&b.ctx, b.prompt_text, b.font, kBoxText, ts);
  const int32_t prompt_h =
      b.prompt_text.empty() ? 0 : std::clamp<int32_t>(int32_t(text::text_height(&b.ctx, d, ts, w - 2 * pad, 0)), h, 6 * h);
  const int32_t title_h = h + 4, edit_h = h + 6, button_h = h + 8, button_w = 72;
  const int32_t total = 2 + title_h + pad + prompt_h + pad + edit_h + pad + button_h + pad;
  const int32_t x = std::max(0, (fw - w) / 2), y = std::max(0, (fh - total) / 2);
  b.box = {x, y, x + w - 1, y + total - 1};
  b.title = {x + 2, y + 2, x + w - 3, y + 1 + title_h};
  int32_t at = b.title.y2 + 1 + pad;
  b.prompt = {x + pad, at, x + w - 1 - pad, at + prompt_h - 1};
  at += prompt_h + pad;
  b.edit = {x + pad, at, x + w - 1 - pad, at + edit_h - 1};
  at += edit_h + pad;
  b.cancel = {x + w - pad - button_w, at, x + w - 1 - pad, at + button_h - 1};
  b.ok = {b.cancel.x1 - pad - button_w, at, b.cancel.x1 - pad - 1, at + button_h - 1};
}

bool inside(const gfx::Rect& r, int32_t x, int32_t y) { return x >= r.x1 && x <= r.x2 && y >= r.y1 && y <= r.y2; }

// Runs the form until it is answered: true with OK or Enter, false with
// Cancel, Escape or the end of the script. `text` is the edited text.
bool box_run(InputBox& b, std::string& text) {
  Field f;
  f.ctx = &b.ctx;
  f.one_line = true;
  f.target = b.img.self;
  vm::element_ref(f.target);
  f.st = b.img.st;
  f.st.color = kBoxText, f.st.back = kBoxEdit, f.st.filter = 0;
  f.ts = field_text_state(text::TextState{}, false);
  f.x0 = b.edit.x1 + 3, f.y0 = b.edit.y1 + 3;
  f.area = {f.x0, f.y0, b.edit.x2 - 3, std::min(b.edit.y2 - 2, f.y0 + b.font.h.cell_height - 1)};
  for (int32_t y = f.area.y1; y <= f.area.y2; y++)
    for (int32_t x = f.area.x1; x <= f.area.x2; x++) f.under.push_back(gfx::get_pixel(b.img, x, y));
  f.text = text;
  f.cursor = int64_t(f.text.size());
  f.cursor_shown = true;
  f.opened = f.blink = vm::clock_now();
  redraw(b.ctx, f);
  bool answer = false, done = false;
  int32_t pressed = 0;  // the button the left button went down on: 1 OK, 2 Cancel
  while (!done && b.ctx.stop == 0) {
    gfx::finish_drawing(b.ctx);
    vm::idle_yield(b.ctx);
    const uint64_t now = vm::clock_now();
    if (vm::clock_to_ms(now - f.blink) >= kBlinkMs) {
      f.blink = now;
      f.cursor_shown = !f.cursor_shown;
      redraw(b.ctx, f);
    }
    int32_t type = 0, code = 0, x = 0, y = 0;
    while (!done && input_take_event(b.ctx, type, code, x, y)) {
      if (type == kInputKey) {
        key(b.ctx, f, code);
        if (f.exit == kReturn || f.exit == kAbort) answer = f.exit == kReturn, done = true;
        f.exit = kActive;  // Tab and the arrows leave the edit line where it is
      } else if (type == kInputLeftDown) {
        pressed = inside(b.ok, x, y) ? 1 : inside(b.cancel, x, y) ? 2 : 0;
      } else if (type == kInputLeftUp) {
        if (pressed == 1 && inside(b.ok, x, y)) answer = done = true;
        if (pressed == 2 && inside(b.cancel, x, y)) done = true;
        pressed = 0;
      }
    }
  }
  text = f.text;
  vm::element_release(f.target);
  return answer;
}

}  // namespace

void input_fields_register() { vm::element_set_cleanup(vm::kTypeInputField, field_cleanup); }

}  // namespace host

namespace vm {

void h_inputbegin(Interp& ctx) { host::open_field(ctx, false); }
void h_inputlinebegin(Interp& ctx) { host::open_field(ctx, true); }

void h_inputactive(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  if (!args.empty())
    if (host::Field* f = host::field_arg(ctx, args[0])) {
      value_store(ctx.sysvars[SV_var_inputstring], Value::null());
      f->exit = host::kActive;
      f->opened = f->blink = clock_now();
      f->cursor_shown = true;
      host::Ring& r = host::ring(ctx);
      // The new active field goes first.
      if (f->linked) {
        std::erase(r.active, f->self);
      } else {
        element_ref(f->self);
        f->linked = true;
        host::g_linked++;
      }
      r.active.insert(r.active.begin(), f->self);
      host::redraw(ctx, *f);
      host::install_tick(ctx);
    }
  release_all(args);
}

void h_inputcheck(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  host::Field* f = args.empty() ? nullptr : host::field_arg(ctx, args[0]);
  bool on = f && host::service(ctx, *f, true);
  if (f && !on && f->cursor_shown) {
    f->cursor_shown = false;
    host::redraw(ctx, *f);
  }
  release_all(args);
  push_int(ctx, on ? 1 : 0);
}

void h_inputend(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  std::vector<Value> words;
  for (Value a : args) {
    host::Field* f = host::field_arg(ctx, a);
    if (!f) {
      words.push_back(Value::null());
      continue;
    }
    if (f->exit == host::kActive && host::aborted(ctx)) f->exit = host::kAbort;
    if (f->exit == host::kActive && ctx.stop) f->exit = host::kWhen;
    host::unlink(ctx, *f);
    f->cursor_shown = false;
    if (gfx::Image* img = host::field_image(*f)) {
      if (sysvar_int(ctx, SV_var_inputrestore)) {
        host::put_back_area(*f, *img);
        gfx::mark_changed(ctx, *img, f->area.x1, f->area.y1, f->area.x2, f->area.y2, true);
        ctx.frame_changed = true;
      } else {
        host::redraw(ctx, *f);
      }
    }
    if (!f->mask.empty()) {
      while (!f->text.empty() && f->text.back() == ' ') f->text.pop_back();
    }
    if (f->exit != host::kAbort && !f->text_var.is_null()) {
      Value t = Value::from_handle(text_intern(f->text));
      if (Value* cell = var_for_set(ctx, f->text_var)) value_store(*cell, t);
      element_release(t.handle());
    }
    const int32_t kind = f->exit == host::kActive ? 0 : f->exit;
    words.push_back(Value::from_handle(text_intern(host::kExitWords[kind])));
  }
  value_store(ctx.sysvars[SV_var_inputabort], Value::null());
  value_store(ctx.sysvars[SV_var_inputstring], Value::null());
  sysvar_set_int(ctx, SV_var_inputposition, 0);
  release_all(args);
  for (Value w : words) push_owned(ctx, w);
}

// inputbox variable prompt title: asks for a line of text in a modal form;
// OK or Enter stores it into the variable, Cancel or Escape leaves the
// variable as it was.
void h_inputbox(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  gfx::Image* img = gfx::frame(ctx);
  Value font_value = text::default_font(ctx);
  text::Font* font = text::font_of(font_value);
  if (args.empty() || !img || !img->pixels || !font || ctx.stop != 0) {
    release_all(args);
    return;
  }
  host::InputBox b{ctx, *img, *font, {}, {}, {}, {}, {}, {}, {}, {}};
  if (args.size() >= 2) b.prompt_text = value_to_string(&ctx, args[1]);
  if (args.size() >= 3) b.title_text = value_to_string(&ctx, args[2]);
  std::string text;
  if (Value* cell = var_find(ctx, args[0]); cell && !cell->is_null()) text = value_to_string(&ctx, *cell);

  // The form draws on the frame in the default font; what it changes of
  // the drawing state, the input variables and the Escape key to end the
  // script is put back when it closes. The script's triggers do not see
  // what is typed or clicked in the form.
  gfx::Image* old_target = gfx::target(ctx);
  const uint32_t old_target_handle = old_target && old_target != img ? old_target->self : 0;
  if (old_target_handle) element_ref(old_target_handle);
  gfx::set_target(ctx, img->self);
  const gfx::DrawState saved_state = img->st;
  element_ref(font->self);
  img->st.font = font->self;
  // The whole frame, whatever region the script draws in.
  img->st.minx = img->st.miny = 0;
  img->st.maxx = int16_t(std::min(img->width() - 1, 32767)), img->st.maxy = int16_t(std::min(img->height() - 1, 32767));
  Value saved_vars[3];
  const SysVar kept[3] = {SV_var_inputstring, SV_var_inputposition, SV_var_inputchange};
  for (int k = 0; k < 3; k++) {
    saved_vars[k] = ctx.sysvars[kept[k]];
    value_ref(saved_vars[k]);
  }
  const int64_t esc = sysvar_int(ctx, SV_var_sysesc);
  sysvar_set_int(ctx, SV_var_sysesc, 0);
  host::input_set_modal(ctx, true);

  host::box_layout(b);
  std::vector<uint32_t> under;
  for (int32_t y = b.box.y1; y <= b.box.y2; y++)
    for (int32_t x = b.box.x1; x <= b.box.x2; x++) under.push_back(gfx::get_pixel(*img, x, y));
  host::box_draw(b);
  const bool ok = host::box_run(b, text);

  size_t k = 0;
  for (int32_t y = b.box.y1; y <= b.box.y2; y++)
    for (int32_t x = b.box.x1; x <= b.box.x2; x++) gfx::set_pixel(*img, x, y, under[k++]);
  gfx::mark_changed(ctx, *img, b.box.x1, b.box.y1, b.box.x2, b.box.y2, true);
  ctx.frame_changed = true;
  host::input_set_modal(ctx, false);
  sysvar_set_int(ctx, SV_var_sysesc, esc);
  for (int k2 = 0; k2 < 3; k2++) {
    value_store(ctx.sysvars[kept[k2]], saved_vars[k2]);
    value_release(saved_vars[k2]);
  }
  img->st = saved_state;
  element_release(font->self);
  gfx::set_target(ctx, old_target_handle);
  if (old_target_handle) element_release(old_target_handle);
  if (ok) {
    const uint32_t t = text_intern(text);
    if (Value* cell = var_for_set(ctx, args[0])) value_store(*cell, Value::from_handle(t));
    element_release(t);
  }
  release_all(args);
}

void h_inputfree(Interp& ctx) {
  // A freed field leaves the ring first, so that it takes no more keys,
  // and takes its cursor off the screen.
  for (Value* a = ctx.top; a < ctx.stack_base && !a->is_marker(); a++)
    if (host::Field* f = host::field_arg(ctx, *a)) {
      host::unlink(ctx, *f);
      if (f->cursor_shown) {
        f->cursor_shown = false;
        host::redraw(ctx, *f);
      }
    }
  free_variables(ctx, kTypeInputField);
}

}  // namespace vm
