#include "host/input.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <deque>

#include "graphics/image.h"
#include "graphics/image_load.h"
#include "host/saver.h"
#include "host/startup.h"
#include "host/window.h"
#include "host/window_state.h"
#include "text/sysfont.h"
#include "vm/clock.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/triggers.h"
#include "vm/variables.h"

namespace host {

using vm::Interp;

// --- key names --------------------------------------------------------------------------------

namespace {

constexpr int32_t kNone = -1;

// A named key: its codes alone and with shift, ctrl or alt (kNone: the
// plain code plus the modifier's flag), and the platform key that types it
// (kKeyNone when it comes as a character).
struct NamedKey {
  const char* name;
  int32_t plain, shift, ctrl, alt;
  platform::Key key;
};

// "return" stands before "enter" so that 13 is written as return.
constexpr NamedKey kNamedKeys[] = {
    {"backsp", 8, kNone, 127, kNone, platform::kKeyBackspace},
    {"del", 339, kNone, 403, 419, platform::kKeyDelete},
    {"down", 336, kNone, kNone, kNone, platform::kKeyDown},
    {"end", 335, kNone, 373, kNone, platform::kKeyEnd},
    {"return", 13, kNone, 10, kNone, platform::kKeyReturn},
    {"enter", 13, 13, 10, kNone, platform::kKeyPadEnter},
    {"esc", 27, kNone, kNone, kNone, platform::kKeyEscape},
    {"f1", 315, 340, 350, 360, platform::kKeyF1},
    {"f2", 316, 341, 351, 361, platform::kKeyF2},
    {"f3", 317, 342, 352, 362, platform::kKeyF3},
    {"f4", 318, 343, 353, 363, platform::kKeyF4},
    {"f5", 319, 344, 354, 364, platform::kKeyF5},
    {"f6", 320, 345, 355, 365, platform::kKeyF6},
    {"f7", 321, 346, 356, 366, platform::kKeyF7},
    {"f8", 322, 347, 357, 367, platform::kKeyF8},
    {"f9", 323, 348, 358, 368, platform::kKeyF9},
    {"f10", 324, 349, 359, 369, platform::kKeyF10},
    {"f11", 389, 391, 393, 395, platform::kKeyF11},
    {"f12", 390, 392, 394, 396, platform::kKeyF12},
    {"home", 327, kNone, 375, kNone, platform::kKeyHome},
    {"ins", 338, kNone, 402, 418, platform::kKeyInsert},
    {"left", 331, kNone, 371, kNone, platform::kKeyLeft},
    {"pgdn", 337, kNone, 374, kNone, platform::kKeyPageDown},
    {"pgup", 329, kNone, 388, kNone, platform::kKeyPageUp},
    {"right", 333, kNone, 372, kNone, platform::kKeyRight},
    {"space", 32, kNone, kNone, kNone, platform::kKeyNone},
    {"tab", 9, 271, kNone, kNone, platform::kKeyTab},
    {"up", 328, kNone, kNone, kNone, platform::kKeyUp},
};

// Keyboard scan codes of the letters a to z (alt with a letter is 256 plus it).
constexpr uint8_t kLetterScan[26] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                                     49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};

bool equal_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); k++)
    if (std::tolower(uint8_t(a[k])) != std::tolower(uint8_t(b[k]))) return false;
  return true;
}

bool is_letter(int32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

int32_t key_code_from_name(std::string_view name) {
  int32_t flags = 0;
  for (;;) {
    if (name.size() > 4 && equal_folded(name.substr(0, 4), "alt-")) {
      flags |= kKeyFlagAlt;
      name.remove_prefix(4);
    } else if (name.size() > 5 && equal_folded(name.substr(0, 5), "ctrl-")) {
      flags |= kKeyFlagCtrl;
      name.remove_prefix(5);
    } else if (name.size() > 6 && equal_folded(name.substr(0, 6), "shift-")) {
      flags |= kKeyFlagShift;
      name.remove_prefix(6);
    } else {
      break;
    }
  }
  if (name.size() == 1) {
    const int32_t c = uint8_t(name[0]);
    if (is_letter(c)) {
      const int32_t lower = std::tolower(c);
      if (flags == kKeyFlagShift) return std::toupper(c);
      if (flags == kKeyFlagCtrl) return lower - 'a' + 1;
      if (flags == kKeyFlagAlt) return 256 + kLetterScan[lower - 'a'];
    }
    return c + flags;
  }
  for (const NamedKey& k : kNamedKeys) {
    if (!equal_folded(name, k.name)) continue;
    const int32_t column = flags == kKeyFlagShift ? k.shift
                           : flags == kKeyFlagCtrl ? k.ctrl
                           : flags == kKeyFlagAlt  ? k.alt
                                                   : kNone;
    return column != kNone ? column : k.plain + flags;
  }
  return 0;
}

std::string key_name_from_code(int32_t code) {
  std::string prefix;
  if (code & kKeyFlagShift) prefix += "shift-";
  if (code & kKeyFlagCtrl) prefix += "ctrl-";
  if (code & kKeyFlagAlt) prefix += "alt-";
  const int32_t base = code & ~(kKeyFlagShift | kKeyFlagCtrl | kKeyFlagAlt);
  if (code < 0 || base > 0x1FF) return {};
  // Keys of the table first (8, 9, 13, 27 and 32 have names there), then
  // printable characters, then the codes that ctrl and alt give letters.
  for (const NamedKey& k : kNamedKeys) {
    if (base == k.plain) return prefix + k.name;
    if (!prefix.empty()) continue;
    if (base == k.shift) return std::string("shift-") + k.name;
    if (base == k.ctrl) return std::string("ctrl-") + k.name;
    if (base == k.alt) return std::string("alt-") + k.name;
  }
  if (base >= 33 && base <= 254 && base != 127) return prefix + char(base);
  if (prefix.empty() && base >= 1 && base <= 26) return std::string("ctrl-") + char('a' + base - 1);
  if (prefix.empty() && base > 256)
    for (int k = 0; k < 26; k++)
      if (base == 256 + kLetterScan[k]) return std::string("alt-") + char('a' + k);
  return {};
}

// --- per-context input state ------------------------------------------------------------------

namespace {

constexpr uint32_t kQueueSize = 2048;

struct Record {
  uint32_t state;     // key code, buttons, modifiers
  int32_t type;       // InputType
  uint32_t position;  // y << 16 | x
  uint32_t zero;
  uint64_t time;      // engine clock
};

struct InputState {
  std::deque<Record> queue;  // oldest first
  int32_t x = 0, y = 0;      // current pointer position (frame)
  int32_t down_x = 0, down_y = 0, up_x = 0, up_y = 0;
  int32_t move_x = -1, move_y = -1;  // the last move's position
  uint32_t buttons = 0;              // held now: left 1, right 2, middle 4
  uint32_t buttons_at_down = 0, buttons_at_up = 0;
  uint16_t mods = 0;                 // platform modifier bits held
  Cursor cursor;                     // the window's cursor as last set
  bool modal = false;                // a form of the player's own takes the input
};

void input_closer(Interp& ctx) {
  delete static_cast<InputState*>(ctx.slots[vm::kSlotInput]);
  ctx.slots[vm::kSlotInput] = nullptr;
}

// The context's input state, in its input slot, made at its first use.
// Registering the closer again does nothing after input_init; it covers a
// context that meets input before input_init ran.
InputState& state(Interp& ctx) {
  void*& slot = ctx.slots[vm::kSlotInput];
  if (!slot) {
    slot = new InputState;
    vm::interp_add_closer(input_closer);
  }
  return *static_cast<InputState*>(slot);
}

void set_var(Interp& ctx, vm::SysVar v, int64_t x) { vm::sysvar_set_int(ctx, v, x); }
int64_t var(Interp& ctx, vm::SysVar v) { return vm::sysvar_int(ctx, v); }

void refresh_modifiers(Interp& ctx, uint16_t mods) {
  state(ctx).mods = mods;
  const bool alt = mods & platform::kModAlt, ctrl = mods & platform::kModCtrl, shift = mods & platform::kModShift;
  set_var(ctx, vm::SV_var_keydownalt, alt);
  set_var(ctx, vm::SV_var_keydownctrl, ctrl);
  set_var(ctx, vm::SV_var_keydownshift, shift);
  set_var(ctx, vm::SV_var_keyupalt, !alt);
  set_var(ctx, vm::SV_var_keyupctrl, !ctrl);
  set_var(ctx, vm::SV_var_keyupshift, !shift);
}

// The button of a queue type (1 left, 2 right, 4 middle) and whether it went down.
uint32_t button_bit(int32_t type) { return type <= kInputLeftUp ? 1u : type <= kInputRightUp ? 2u : 4u; }

// --- triggers ---

bool inside_rect(const vm::WhenRect& r, int32_t x, int32_t y) {
  return x >= std::min(r.x1, r.x2) && x <= std::max(r.x1, r.x2) && y >= std::min(r.y1, r.y2) &&
         y <= std::max(r.y1, r.y2);
}

// Whether the trigger's rectangles and mask hold the point: inside its
// rectangle, not inside its outside rectangle, on a mask pixel equal to its
// value (the mask placed with its corner at mask_x, mask_y).
bool in_shape(const vm::When& w, int32_t x, int32_t y) {
  if (w.inside.set() && !inside_rect(w.inside, x, y)) return false;
  if (w.outside.set() && inside_rect(w.outside, x, y)) return false;
  if (w.has_mask) {
    const gfx::Image* mask = gfx::image_of(w.mask_image);
    const int64_t mx = int64_t(x) - w.mask_x, my = int64_t(y) - w.mask_y;
    if (!mask || mx < 0 || my < 0 || mx >= mask->width() || my >= mask->height()) return false;
    if (gfx::get_pixel(*mask, mx, my) != w.mask_value) return false;
  }
  return true;
}

// Whether the trigger's region holds the point: its shape, or everything
// else for a negated trigger. A trigger without a region holds every point.
bool in_region(const vm::When& w, int32_t x, int32_t y) { return in_shape(w, x, y) != w.negated; }

bool has_region(const vm::When& w) { return w.inside.set() || w.outside.set() || w.has_mask; }

// Whether the trigger's event words ask for this event.
bool wants(const vm::When& w, int32_t type, int32_t key) {
  if (w.flags & vm::kWhenAnything) return true;
  switch (type) {
    case kInputKey: return (w.flags & vm::kWhenKey) || (w.key != 0 && w.key == key);
    case kInputMove: return w.flags & vm::kWhenMouseMove;
    case kInputLeftDown: return w.flags & (vm::kWhenMouseDown | vm::kWhenMouseDown1);
    case kInputRightDown: return w.flags & (vm::kWhenMouseDown | vm::kWhenMouseDown2);
    case kInputMiddleDown: return w.flags & (vm::kWhenMouseDown | vm::kWhenMouseDown3);
    case kInputLeftUp: return w.flags & (vm::kWhenMouseUp | vm::kWhenMouseUp1);
    case kInputRightUp: return w.flags & (vm::kWhenMouseUp | vm::kWhenMouseUp2);
    case kInputMiddleUp: return w.flags & (vm::kWhenMouseUp | vm::kWhenMouseUp3);
    default: return false;
  }
}

// Offers the event to every enabled trigger. A region-only trigger fires
// when the pointer comes into its region and not again until it has left;
// the others fire on the events they ask for while the pointer is in their
// region. The event's values are its type and its key (or position).
void offer_to_triggers(Interp& ctx, int32_t type, int32_t x, int32_t y, int32_t key) {
  // Queueing cannot change the list, but copy it: a trigger's handle may be
  // freed by nothing here, yet the list is the triggers module's own.
  const std::vector<uint32_t> list = vm::trigger_list(ctx);
  const uint32_t position = uint32_t(uint16_t(y)) << 16 | uint16_t(x);
  for (uint32_t handle : list) {
    vm::When* w = vm::when_of(handle);
    if (!w || !w->enabled) continue;
    if (w->region_only) {
      if (type == kInputKey) continue;
      const bool in = in_region(*w, x, y);
      if (in && !w->pointer_in) vm::queue_trigger_event(ctx, *w, uint32_t(type), position);
      w->pointer_in = in;
      continue;
    }
    if (!wants(*w, type, key)) continue;
    if (has_region(*w) && !in_region(*w, x, y)) continue;
    vm::queue_trigger_event(ctx, *w, uint32_t(type), type == kInputKey ? uint32_t(key) : position);
  }
}

// Queues the event (not a move) when there is room, then offers it to the
// triggers. The variables are up to date whether or not it was queued.
void record(Interp& ctx, int32_t type, int32_t x, int32_t y, int32_t key) {
  InputState& in = state(ctx);
  if (in.queue.size() >= kQueueSize) return;
  if (type != kInputMove) {
    uint32_t st = uint32_t(key) & 0xFFFF;
    st |= in.buttons << 16;
    if (in.mods & platform::kModCtrl) st |= 1u << 19;
    if (in.mods & platform::kModAlt) st |= 1u << 20;
    if (in.mods & platform::kModShift) st |= 1u << 21;
    in.queue.push_back({st, type, uint32_t(uint16_t(y)) << 16 | uint16_t(x), 0, vm::clock_now()});
  }
  if (!in.modal) offer_to_triggers(ctx, type, x, y, key);
}

// A key code: normalised through its name, the end key checked, counted,
// queued and offered.
void key_code(Interp& ctx, int32_t code) {
  const std::string name = key_name_from_code(code);
  if (!name.empty()) {
    int32_t back = key_code_from_name(name);
    if (back != 0) code = back;
  }
  const int64_t esc = var(ctx, vm::SV_var_sysesc);
  if (esc != 0 && esc == code) vm::raise(ctx, vm::kStopNormal);
  const int64_t pressed = var(ctx, vm::SV_var_keypressed) + 1;
  set_var(ctx, vm::SV_var_keypressed, pressed);
  set_var(ctx, vm::SV_var_mousekey, pressed);
  if (startup_flags().small) return;
  InputState& in = state(ctx);
  record(ctx, kInputKey, in.x, in.y, code);
}

// The code a key-down gives, or 0 when its character comes as text.
int32_t key_down_code(int32_t key, uint16_t mods) {
  const bool shift = mods & platform::kModShift, ctrl = mods & platform::kModCtrl, alt = mods & platform::kModAlt;
  int32_t code = 0;
  const bool punct = key < 128 && std::strchr(";=,-./`['", key) != nullptr && key != 0;
  if ((ctrl || alt) && ((key >= '0' && key <= '9') || punct)) code = key;
  if (!code && (shift || ctrl || alt) && key >= platform::kKeyPad0 && key <= platform::kKeyPadDivide) {
    static const char kPad[] = "0123456789*+-./";
    code = kPad[key - platform::kKeyPad0];
  }
  if (!code && alt && ((key >= 'a' && key <= 'z') || key == ' ' || key == '\\' || key == ']'))
    code = (key >= 'a' && key <= 'z') ? key - 'a' + 'A' : key;
  if (!code && key != platform::kKeyNone) {
    for (const NamedKey& k : kNamedKeys) {
      if (k.key == key) {
        code = k.plain;
        break;
      }
    }
  }
  if (!code) return 0;
  if (shift) code += kKeyFlagShift;
  if (ctrl) code += kKeyFlagCtrl;
  if (alt) code += kKeyFlagAlt;
  return code;
}

// Decodes one UTF-8 character at s[k]; codes above 255 have no key code.
int32_t next_char(const std::string& s, size_t& k) {
  uint8_t c = uint8_t(s[k++]);
  if (c < 0x80) return c;
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  int32_t code = c & (0x3F >> extra);
  for (int n = 0; n < extra && k < s.size(); n++) code = code << 6 | (uint8_t(s[k++]) & 0x3F);
  return code;
}

void key_event(Interp& ctx, const platform::Event& e) {
  refresh_modifiers(ctx, e.mods);
  if (e.kind == platform::EventKind::KeyUp) return;
  if (e.kind == platform::EventKind::KeyDown) {
    if (saver_input(ctx, SaverInput::Key)) return;
    if (e.code == platform::kKeyAlt || e.code == platform::kKeyShift || e.code == platform::kKeyCtrl) return;
    const bool ctrl_only = (e.mods & (platform::kModCtrl | platform::kModAlt)) == platform::kModCtrl;
    // Ctrl with a letter types a control character (this window system
    // sends no text for it).
    if (ctrl_only && e.code >= 'a' && e.code <= 'z') {
      key_code(ctx, e.code - 'a' + 1);
      return;
    }
    if (int32_t code = key_down_code(e.code, e.mods)) key_code(ctx, code);
    return;
  }
  // Typed text: one key per character, except with alt held and the
  // control codes that came with their key-down.
  if (e.mods & platform::kModAlt) return;
  for (size_t k = 0; k < e.text.size();) {
    int32_t c = code_page_byte(next_char(e.text, k));
    if (c <= 0 || c == 8 || c == 9 || c == 10 || c == 13 || c == 27 || c == 127) continue;
    key_code(ctx, c);
  }
}

void mouse_event(Interp& ctx, const platform::Event& e, bool background) {
  if (startup_flags().small) return;
  InputState& in = state(ctx);
  int32_t x = e.x, y = e.y;
  if (background) {
    x = y = -1;
  } else if (vm::sysvar_int(ctx, vm::SV_var_windowscaled) && x > 0 && y > 0) {
    const WindowState& ws = window_state(ctx);
    if (ws.window && ws.frame_w > 0) {
      x = int32_t(int64_t(x) * ws.frame_w / std::max(ws.window->spec().width, 1));
      y = int32_t(int64_t(y) * ws.frame_h / std::max(ws.window->spec().height, 1));
    }
  }
  if (e.kind == platform::EventKind::MouseMove) {
    if (x == in.move_x && y == in.move_y) return;
    in.move_x = in.x = x;
    in.move_y = in.y = y;
    set_var(ctx, vm::SV_var_mousemoved, 1);
    if (saver_input(ctx, SaverInput::Move)) return;
    record(ctx, kInputMove, x, y, 0);
    return;
  }
  const bool down = e.kind == platform::EventKind::MouseDown;
  const int32_t button = std::clamp(e.code, 1, 3);
  const int32_t type = kInputLeftDown + (button - 1) * 2 + (down ? 0 : 1);
  const uint32_t bit = button_bit(type);
  in.x = x;
  in.y = y;
  if (down) {
    in.down_x = x, in.down_y = y;
    in.buttons |= bit;
    in.buttons_at_down = in.buttons;
  } else {
    in.up_x = x, in.up_y = y;
    in.buttons &= ~bit;
    in.buttons_at_up = in.buttons;
  }
  const int64_t pressed = var(ctx, vm::SV_var_mousepressed);
  set_var(ctx, vm::SV_var_mousepressed, down ? (pressed | bit) : (pressed & ~int64_t(bit)));
  set_var(ctx, vm::SV_var_mousedown, in.buttons);
  set_var(ctx, vm::SV_var_mousedown1, (in.buttons & 1) != 0);
  set_var(ctx, vm::SV_var_mousedown2, (in.buttons & 2) != 0);
  set_var(ctx, vm::SV_var_mousedown3, (in.buttons & 4) != 0);
  set_var(ctx, vm::SV_var_mouseup, in.buttons == 0);
  set_var(ctx, vm::SV_var_mouseup1, (in.buttons & 1) == 0);
  set_var(ctx, vm::SV_var_mouseup2, (in.buttons & 2) == 0);
  set_var(ctx, vm::SV_var_mouseup3, (in.buttons & 4) == 0);
  const int64_t keys = var(ctx, vm::SV_var_keypressed);
  set_var(ctx, vm::SV_var_mousekey, keys == 0 && in.buttons != 0 ? 1 : keys);
  if (type != kInputLeftDown && saver_input(ctx, SaverInput::Click)) return;
  record(ctx, type, x, y, 0);
}

int32_t key_from_name_hook(std::string_view name) { return key_code_from_name(name); }

}  // namespace

void input_event(Interp& ctx, const platform::Event& e, bool background) {
  switch (e.kind) {
    case platform::EventKind::KeyDown:
    case platform::EventKind::KeyUp:
    case platform::EventKind::Text:
      key_event(ctx, e);
      break;
    case platform::EventKind::MouseMove:
    case platform::EventKind::MouseDown:
    case platform::EventKind::MouseUp:
      mouse_event(ctx, e, background);
      break;
    case platform::EventKind::Close:
      break;
  }
}

bool cursor_named(std::string_view name, Cursor& out) {
  static const char* const kNames[] = {"appstarting", "arrow",  "cross",   "hand",    "help",     "ibeam",
                                       "icon",        "no",     "size",    "sizeall", "sizenesw", "sizens",
                                       "sizenwse",    "sizewe", "uparrow", "wait"};
  for (const char* known : kNames)
    if (name == known) {
      out = Cursor{};
      out.name = known;
      return true;
    }
  return false;
}

bool cursor_from_image(Interp& ctx, vm::Value image, int32_t hot_x, int32_t hot_y, Cursor& out) {
  std::vector<gfx::Image*> images = gfx::images_of(gfx::image_arg(ctx, image));
  const gfx::Image* img = images.empty() ? nullptr : images[0];
  if (!img || img->width() <= 0 || img->height() <= 0 || img->width() > 256 || img->height() > 256) return false;
  const int32_t w = img->width(), h = img->height();
  out = Cursor{};
  out.name.clear();
  out.argb.resize(size_t(w) * size_t(h));
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) {
      uint32_t c = gfx::get_pixel(*img, x, y);
      uint32_t a = 0xFF;
      if (img->has_alpha) a = img->row(y)[x * 4 + 3];
      else if (img->st.tran && c == (img->st.color_tran & 0xFFFFFF)) a = 0;
      out.argb[size_t(y) * size_t(w) + size_t(x)] = a << 24 | c;
    }
  out.w = w, out.h = h, out.hot_x = hot_x, out.hot_y = hot_y;
  return true;
}

const Cursor& cursor_current(Interp& ctx) { return state(ctx).cursor; }

void cursor_set(Interp& ctx, const Cursor& c) {
  state(ctx).cursor = c;
  if (!c.name.empty())
    platform_get().set_cursor(c.name);
  else
    platform_get().set_custom_cursor(c.argb.data(), c.w, c.h, c.hot_x, c.hot_y);
}

uint32_t input_queue_size(Interp& ctx) { return uint32_t(state(ctx).queue.size()); }

bool input_take_key(Interp& ctx, int32_t& code) {
  auto& queue = state(ctx).queue;
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (it->type != kInputKey) continue;
    code = int32_t(it->state & 0xFFFF);
    queue.erase(it);
    return true;
  }
  return false;
}

void input_set_modal(Interp& ctx, bool on) { state(ctx).modal = on; }

bool input_take_event(Interp& ctx, int32_t& type, int32_t& code, int32_t& x, int32_t& y) {
  auto& queue = state(ctx).queue;
  if (queue.empty()) return false;
  const Record r = queue.front();
  queue.pop_front();
  type = r.type;
  code = int32_t(r.state & 0xFFFF);
  x = int32_t(int16_t(r.position & 0xFFFF)), y = int32_t(int16_t(r.position >> 16));
  return true;
}

int32_t code_page_byte(int32_t code_point) {
  if (code_point < 0) return 0;
  if (code_point < 128) return code_point;
  for (int c = 128; c < 256; c++)
    if (text::system_code_point(uint8_t(c), 0) == uint32_t(code_point)) return c;
  return 0;
}

std::string code_page_to_utf8(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    uint32_t cp = uint8_t(ch) < 128 ? uint8_t(ch) : text::system_code_point(uint8_t(ch), 0);
    if (cp == 0) continue;
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | cp >> 6);
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xE0 | cp >> 12);
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::string utf8_to_code_page(const std::string& utf8) {
  std::string out;
  for (size_t k = 0; k < utf8.size();) {
    const int32_t c = code_page_byte(next_char(utf8, k));
    if (c > 0) out += char(c);
  }
  return out;
}

void input_init() {
  vm::g_key_from_name = key_from_name_hook;
  vm::interp_add_closer(input_closer);
}

bool cursor_arguments(vm::Interp& ctx, bool custom, Cursor& out) {
  using namespace vm;
  uint32_t n = close_frame(ctx);
  if (!custom) {
    Value t = n ? value_to_text(&ctx, ctx.top[0]) : Value::null();
    std::string name = n ? std::string(element_text(t)) : std::string("arrow");
    value_release(t);
    pop_n(ctx, n);
    return cursor_named(name, out);
  }
  std::vector<Value> args = take_args(ctx, n);
  bool made = false;
  if (n >= 1) {
    const int32_t hx = n >= 3 ? int32_t(value_to_integer(&ctx, args[1])) : 0;
    const int32_t hy = n >= 3 ? int32_t(value_to_integer(&ctx, args[2])) : 0;
    made = cursor_from_image(ctx, args[0], hx, hy, out);
  }
  release_all(args);
  return made;
}

}  // namespace host

// --- the input commands -----------------------------------------------------------------------

namespace vm {

namespace {

// The key as the text keyget gives: its low byte, then its high byte when not 0.
Value key_text(int32_t code) {
  char bytes[2] = {char(code & 0xFF), char((code >> 8) & 0xFF)};
  return Value::from_handle(text_intern(std::string_view(bytes, bytes[1] ? 2 : 1)));
}

// Takes the oldest key event out of the queue; false when none waits.
bool take_key(Interp& ctx, int32_t& code) { return host::input_take_key(ctx, code); }

}  // namespace

// keyget: every waiting key as a text, oldest first (the newest on top);
// keyget v: the oldest key into v as a text (none: the empty text);
// keyget v anything: the oldest key's name into v (no name: null).
void h_keyget(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n == 0) {
    int32_t code;
    while (take_key(ctx, code)) push_owned(ctx, key_text(code));
    return;
  }
  Value name = ctx.top[0];
  value_ref(name);
  const bool as_name = n >= 2;
  pop_n(ctx, n);
  int32_t code = 0;
  Value v = Value::from_handle(text_intern(""));
  if (take_key(ctx, code)) {
    value_release(v);
    if (as_name) {
      std::string key = host::key_name_from_code(code);
      v = key.empty() ? Value::null() : Value::from_handle(text_intern(key));
    } else {
      v = key_text(code);
    }
  } else if (as_name) {
    value_release(v);
    v = Value::null();
  }
  var_set(ctx, name, v);
  value_release(v);
  value_release(name);
}

void h_keyflush(Interp& ctx) {
  pop_n(ctx, close_frame(ctx));
  auto& queue = host::state(ctx).queue;
  std::erase_if(queue, [](const host::Record& r) { return r.type == host::kInputKey; });
}

void h_mouseflushclicks(Interp& ctx) {
  pop_n(ctx, close_frame(ctx));
  auto& queue = host::state(ctx).queue;
  std::erase_if(queue, [](const host::Record& r) { return r.type >= host::kInputLeftDown && r.type <= host::kInputMiddleUp; });
}

// mouseget buttons [x y [which]]: which -1 (the default) the state now, 0 at
// the last button down, 1 at the last button up.
void h_mouseget(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Value names[3] = {Value::null(), Value::null(), Value::null()};
  for (uint32_t k = 0; k < 3 && k < n; k++) {
    names[k] = ctx.top[k];
    value_ref(names[k]);
  }
  const int64_t which = n >= 4 ? value_to_integer(&ctx, ctx.top[3]) : -1;
  pop_n(ctx, n);
  const host::InputState& in = host::state(ctx);
  int64_t buttons = 0, x = in.x, y = in.y;
  if (which == -1) {
    buttons = in.buttons;
  } else if (which == 0) {
    buttons = in.buttons_at_down;
    x = in.down_x, y = in.down_y;
  } else if (which == 1) {
    buttons = ~in.buttons_at_up & 7;
    x = in.up_x, y = in.up_y;
  }
  if (n >= 1) var_set(ctx, names[0], Value::from_int(buttons));
  if (n >= 3) {
    var_set(ctx, names[1], Value::from_int(x));
    var_set(ctx, names[2], Value::from_int(y));
  }
  for (Value& v : names) value_release(v);
}

// mouseposition x y: moves the pointer to that point of the frame.
void h_mouseposition(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t x = n >= 1 ? value_to_integer(&ctx, ctx.top[0]) : 0, y = n >= 2 ? value_to_integer(&ctx, ctx.top[1]) : 0;
  pop_n(ctx, n);
  host::WindowState& ws = host::window_state(ctx);
  if (!ws.window) return;
  if (ws.frame_w > 0 && ws.frame_h > 0) {
    x = x * ws.window->spec().width / ws.frame_w;
    y = y * ws.window->spec().height / ws.frame_h;
  }
  ws.window->warp_pointer(int32_t(x), int32_t(y));
}

// mousecursor name: one of the system cursors.
void h_mousecursor(Interp& ctx) {
  host::Cursor c;
  if (host::cursor_arguments(ctx, false, c)) host::cursor_set(ctx, c);
}

// mousecustom image [hot x, hot y]: a cursor made from the image (its
// first one, for a list). An alpha image keeps its alpha; otherwise the
// transparent colour, when the image has one set, is see-through.
void h_mousecustom(Interp& ctx) {
  host::Cursor c;
  if (host::cursor_arguments(ctx, true, c)) host::cursor_set(ctx, c);
}

// mousedisplay [on|off]: shows or hides the pointer.
void h_mousedisplay(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  const bool shown = n == 0 || switch_argument(&ctx, ctx.top[0]);
  pop_n(ctx, n);
  host::platform_get().show_cursor(shown);
}

}  // namespace vm
