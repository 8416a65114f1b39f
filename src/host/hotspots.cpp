#include "host/hotspots.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "graphics/image_load.h"
#include "graphics/layers.h"
#include "host/input.h"
#include "vm/ascii.h"
#include "vm/commands.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/triggers.h"
#include "vm/variables.h"

namespace host {

using vm::Interp;
using vm::Value;

namespace {

// A piece of code a hotspot runs: a label called or jumped to.
struct CodeTarget {
  bool present = false;
  Value label = Value::null();  // a name, or an ARRAY of a name and its argument (one reference)
  bool is_goto = false;         // "goto" or "scriptlink": jump instead of calling
};

enum Target { kRollIn, kRollOut, kCurIn, kCurOut, kClickDown, kMain, kClickOut, kTargetCount };

struct RollImage {
  Value image = Value::null();  // an image, an image list or a name for the loader (one reference)
  int32_t x = -1, y = -1;       // -1: at the area's corner
  bool placed = false;          // a position was given
};

constexpr int kMaxRolls = 8;
constexpr int kMaxWhens = 9;

// Everything a hotspot holds. The element's payload points at it.
struct HotspotData {
  Value name = Value::null();  // the name it was made under (one reference)
  std::array<uint32_t, kMaxWhens> whens{};  // its triggers (one reference each), 0: none
  std::array<CodeTarget, kTargetCount> targets;
  bool rolled_in = false, pressed = false, cursor_in = false;
  std::array<RollImage, kMaxRolls> rolls;
  int roll_count = 0;
  std::array<uint32_t, kMaxRolls> roll_layers{};  // LAYER handles while shown (one reference each)
  uint32_t pressed_layer = 0;
  Value roll_layer_names[kMaxRolls];  // NAME_rolllayer0..7 and NAME_hotlayer (one reference each)
  Value pressed_layer_name = Value::null();
  int32_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  Value pressed_image = Value::null();
  uint32_t mask_image = 0;  // IMAGE handle (one reference), 0: none
  uint32_t mask_value = 0;
  int32_t key = 0;
  uint32_t buttons = 7;

  HotspotData() {
    for (Value& v : roll_layer_names) v = Value::null();
  }
};

// The payload of a HOTSPOT element.
struct Hotspot {
  uint32_t self;
  Interp* ctx;
  HotspotData* data;  // owned
};
static_assert(std::is_trivially_copyable_v<Hotspot>);

// Per context: how many hotspots have set the hotspot cursor, the cursor
// to go back to when the last of them lets it go, and the cursor that
// mousecursorhot or mousecustomhot chose.
struct HotContext {
  int cursor_holders = 0;
  Cursor before;
  bool hot_cursor_set = false;
  Cursor hot_cursor;
};

void hot_closer(Interp& ctx) {
  delete static_cast<HotContext*>(ctx.slots[vm::kSlotHotspots]);
  ctx.slots[vm::kSlotHotspots] = nullptr;
}

HotContext& hot_context(Interp& ctx) {
  void*& slot = ctx.slots[vm::kSlotHotspots];
  if (!slot) slot = new HotContext;
  return *static_cast<HotContext*>(slot);
}

Hotspot* hotspot_of(Value v) { return static_cast<Hotspot*>(vm::element_lookup(v, vm::kTypeHotspot)); }

void release_cell(Value& v) {
  Value old = v;
  v = Value::null();
  vm::value_release(old);
}

// --- layers and cursor ------------------------------------------------------------------------

// Frees the roll layers and the pressed layer; the areas they covered are
// shown again as the frame has them.
void free_layers(Interp& ctx, HotspotData& d) {
  bool any = false;
  for (uint32_t& h : d.roll_layers) {
    if (!h) continue;
    vm::element_release(std::exchange(h, 0u));
    any = true;
  }
  if (d.pressed_layer) {
    vm::element_release(std::exchange(d.pressed_layer, 0u));
    any = true;
  }
  if (any) gfx::finish_drawing(ctx);
}

// Shows `image` on the layer held in `slot` (made when there is none, under
// `name`) with the picture's corner at x, y, or at the layer position x, y
// when `exact`.
void show_on_layer(Interp& ctx, uint32_t& slot, Value name, Value image, int32_t x, int32_t y, bool exact) {
  Value img = gfx::image_arg(ctx, image);
  if (img.is_null() || ctx.stop) return;
  if (!slot) slot = gfx::layer_create(ctx, name);
  gfx::Layer* l = gfx::layer_of(Value::from_handle(slot));
  if (!l) return;
  std::vector<gfx::Image*> images = gfx::images_of(img);
  const int32_t ox = exact || images.empty() ? 0 : images[0]->st.off_x;
  const int32_t oy = exact || images.empty() ? 0 : images[0]->st.off_y;
  vm::value_store(l->image, img);
  l->x = x - ox, l->y = y - oy;
  gfx::layer_redraw(*l);
}

void show_changes(Interp& ctx) {
  gfx::layers_handle_pending(ctx);
  gfx::finish_drawing(ctx);
}

// The pointer came over a hotspot: the hotspot cursor, when one is chosen.
// Nested hotspots share it; the cursor from before comes back when the last
// one lets it go.
void take_cursor(Interp& ctx, HotspotData& d) {
  HotContext& hc = hot_context(ctx);
  if (d.cursor_in) return;
  d.cursor_in = true;
  if (hc.cursor_holders++ == 0) hc.before = cursor_current(ctx);
  if (hc.hot_cursor_set) cursor_set(ctx, hc.hot_cursor);
}

void give_back_cursor(Interp& ctx, HotspotData& d) {
  if (!d.cursor_in) return;
  d.cursor_in = false;
  HotContext& hc = hot_context(ctx);
  if (--hc.cursor_holders > 0) return;
  hc.cursor_holders = 0;
  if (hc.hot_cursor_set) cursor_set(ctx, hc.before);
}

// --- running code ----------------------------------------------------------------------------

// Runs a code target from an event command, which the trigger dispatcher
// called as a statement of its own (two frames: the statement's and the
// command's, which the command has closed). A call opens the same two
// frames again: the label's return closes the dispatcher's statement frame
// and the dispatcher's discard closes the one opened here. A jump drops the
// interrupted statement, as a goto trigger does, and leaves one empty frame
// for the dispatcher's discard.
void run_target(Interp& ctx, const HotspotData& d, Target which, bool with_area) {
  const CodeTarget& t = d.targets[which];
  if (!t.present || ctx.stop) return;
  if (t.is_goto) {
    vm::trigger_unwind_for_jump(ctx);
    // The hotspot's name is the first value of the scope jumped in.
    if (Value* scope = vm::scope_table(ctx, ctx.scope_depth, true))
      if (Value* cell = vm::table_get(*scope, Value::from_int(1))) vm::value_store(*cell, d.name);
    vm::open_frame(ctx);
    vm::push(ctx, t.label);
    vm::op_goto(ctx);
    return;
  }
  vm::open_frame(ctx);
  vm::open_frame(ctx);
  if (with_area && !vm::array_of(t.label)) {
    vm::push_int(ctx, d.y2);
    vm::push_int(ctx, d.x2);
    vm::push_int(ctx, d.y1);
    vm::push_int(ctx, d.x1);
    vm::push(ctx, d.name);
  }
  vm::push(ctx, t.label);
  vm::op_call(ctx, true);
}

// --- event commands --------------------------------------------------------------------------

// The hotspot an event command was called for (its handle as a number:
// the trigger's action holds no reference, so that the hotspot and its
// triggers do not keep each other alive).
HotspotData* event_hotspot(Interp& ctx) {
  uint32_t n = vm::close_frame(ctx);
  const int64_t handle = n ? vm::value_to_integer(&ctx, ctx.top[0]) : 0;
  vm::pop_n(ctx, n);
  Hotspot* h = handle > 0 && handle <= int64_t(UINT32_MAX)
                   ? static_cast<Hotspot*>(vm::element_lookup(uint32_t(handle), vm::kTypeHotspot))
                   : nullptr;
  return h && h->ctx == &ctx ? h->data : nullptr;
}

void cmd_rollin(Interp& ctx) {
  HotspotData* d = event_hotspot(ctx);
  if (!d) return;
  take_cursor(ctx, *d);
  d->rolled_in = true;
  for (int k = 0; k < d->roll_count && !ctx.stop; k++) {
    const RollImage& r = d->rolls[size_t(k)];
    show_on_layer(ctx, d->roll_layers[size_t(k)], d->roll_layer_names[k], r.image, r.placed ? r.x : d->x1,
                  r.placed ? r.y : d->y1, r.placed);
  }
  show_changes(ctx);
  run_target(ctx, *d, kRollIn, false);
}

// Leaving: only after coming in (the roll-out trigger sees the pointer
// outside before it ever came in).
void leave(Interp& ctx, Target target) {
  HotspotData* d = event_hotspot(ctx);
  if (!d || !d->rolled_in) return;
  d->rolled_in = false;
  free_layers(ctx, *d);
  give_back_cursor(ctx, *d);
  run_target(ctx, *d, target, false);
}

void cmd_rollout(Interp& ctx) { leave(ctx, kRollOut); }

void cmd_curin(Interp& ctx) {
  HotspotData* d = event_hotspot(ctx);
  if (!d) return;
  take_cursor(ctx, *d);
  d->rolled_in = true;
  run_target(ctx, *d, kCurIn, true);
}

void cmd_curout(Interp& ctx) { leave(ctx, kCurOut); }

void cmd_hotdown(Interp& ctx) {
  HotspotData* d = event_hotspot(ctx);
  if (!d) return;
  d->pressed = true;
  if (!d->pressed_image.is_null()) {
    show_on_layer(ctx, d->pressed_layer, d->pressed_layer_name, d->pressed_image, d->x1, d->y1, false);
    show_changes(ctx);
  }
  run_target(ctx, *d, kClickDown, true);
}

// The release after a press on the hotspot: inside runs the main code,
// outside the click-out code. A release without a press does nothing.
void release(Interp& ctx, Target which) {
  HotspotData* d = event_hotspot(ctx);
  if (!d || !d->pressed) return;
  d->pressed = false;
  free_layers(ctx, *d);
  give_back_cursor(ctx, *d);
  run_target(ctx, *d, which, which == kMain);
}

void cmd_hotup(Interp& ctx) { release(ctx, kMain); }
void cmd_hotout(Interp& ctx) { release(ctx, kClickOut); }

struct EventCommand {
  const char* name;
  vm::CommandHandler handler;
  uint32_t handle;  // the interned name, set at registration
};
EventCommand g_events[] = {
    {"cmd_rollin", cmd_rollin, 0},   {"cmd_rollout", cmd_rollout, 0}, {"cmd_curin", cmd_curin, 0},
    {"cmd_curout", cmd_curout, 0},   {"cmd_hotdown", cmd_hotdown, 0}, {"cmd_hotup", cmd_hotup, 0},
    {"cmd_hotout", cmd_hotout, 0},
};
enum EventIndex { kEvRollIn, kEvRollOut, kEvCurIn, kEvCurOut, kEvHotDown, kEvHotUp, kEvHotOut };

// --- the record ---------------------------------------------------------------------------------

// Frees what a hotspot holds and leaves it empty (its name stays).
void clear(Interp* ctx, HotspotData& d) {
  for (uint32_t& h : d.whens) {
    if (!h) continue;
    if (vm::When* w = vm::when_of(h)) vm::when_retire(*w);
    vm::element_release(std::exchange(h, 0u));
  }
  if (ctx) {
    free_layers(*ctx, d);
    give_back_cursor(*ctx, d);
  } else {
    for (uint32_t& h : d.roll_layers)
      if (h) vm::element_release(std::exchange(h, 0u));
    if (d.pressed_layer) vm::element_release(std::exchange(d.pressed_layer, 0u));
  }
  for (CodeTarget& t : d.targets) {
    release_cell(t.label);
    t = CodeTarget{};
  }
  for (RollImage& r : d.rolls) {
    release_cell(r.image);
    r = RollImage{};
  }
  for (Value& v : d.roll_layer_names) release_cell(v);
  release_cell(d.pressed_layer_name);
  release_cell(d.pressed_image);
  if (d.mask_image) vm::element_release(std::exchange(d.mask_image, 0u));
  d.roll_count = 0;
  d.rolled_in = d.pressed = false;
  d.x1 = d.y1 = d.x2 = d.y2 = 0;
  d.mask_value = 0;
  d.key = 0;
  d.buttons = 7;
}

std::vector<uint32_t>& live_hotspots();

void hotspot_cleanup(uint32_t, void* payload) {
  Hotspot& h = *static_cast<Hotspot*>(payload);
  std::erase(live_hotspots(), h.self);
  if (!h.data) return;
  clear(h.ctx, *h.data);
  release_cell(h.data->name);
  delete h.data;
  h.data = nullptr;
}

// Every hotspot, so that those that outlive their context (held by values
// elsewhere) stop naming it when it closes.
std::vector<uint32_t>& live_hotspots() {
  static std::vector<uint32_t> list;
  return list;
}

// --- making ---------------------------------------------------------------------------------

bool is_number(Value v) { return v.is_int() || v.is_float(); }

std::string lower_word(Value v) {
  if (!vm::is_text(v)) return {};
  std::string s(vm::element_text(v));
  for (char& c : s) c = vm::ascii_lower(c);
  return s;
}

constexpr std::string_view kKeywords[] = {"label", "position", "mask",    "image",    "rollimage",
                                          "key",   "rollin",   "rollout", "clickdown", "clickout"};

bool is_keyword(Value v) {
  const std::string w = lower_word(v);
  return std::find(std::begin(kKeywords), std::end(kKeywords), w) != std::end(kKeywords);
}

// An image that is already there (a value, or a variable holding one),
// never loaded by name: for optional image arguments.
gfx::Image* existing_image(Interp& ctx, Value v) {
  if (gfx::Image* img = static_cast<gfx::Image*>(vm::element_lookup(v, vm::kTypeImage))) return img;
  if (vm::is_text(v) || vm::element_type_of(v) == vm::kTypeArrayPath)
    if (Value* cell = vm::var_find(ctx, v)) return static_cast<gfx::Image*>(vm::element_lookup(*cell, vm::kTypeImage));
  return nullptr;
}

// The first image of an image argument (loaded by name when needed).
gfx::Image* first_image(Interp& ctx, Value v) {
  std::vector<gfx::Image*> images = gfx::images_of(gfx::image_arg(ctx, v));
  return images.empty() ? nullptr : images[0];
}

struct Reader {
  Interp& ctx;
  const std::vector<Value>& args;
  size_t i = 0;

  bool more() const { return i < args.size(); }
  Value peek() const { return args[i]; }
  bool number_next() const { return more() && is_number(args[i]); }
  int32_t number() {
    int64_t v = vm::value_to_integer(&ctx, args[i++]);
    return int32_t(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
  }

  // A code target: a label, "gosub"/"scriptcall" label, "goto"/"scriptlink"
  // label, or a label with its argument. False (INVALIDLABEL raised) for a
  // jump without a label.
  bool target(CodeTarget& t) {
    if (!more()) return true;
    Value v = args[i];
    if (vm::array_of(v)) {
      i++;
      set(t, v, false);
      return true;
    }
    const std::string w = lower_word(v);
    const bool jump = w == "goto" || w == "scriptlink";
    if (jump || w == "gosub" || w == "scriptcall") {
      i++;
      if (!more() || is_number(args[i]) || !(vm::is_text(args[i]) || vm::array_of(args[i]))) {
        if (jump) {
          vm::raise(ctx, vm::kErrInvalidLabel);
          return false;
        }
        return true;
      }
      set(t, args[i++], jump);
      return true;
    }
    if (vm::is_text(v)) {
      i++;
      set(t, v, false);
    }
    return true;
  }

  static void set(CodeTarget& t, Value label, bool is_goto) {
    vm::value_store(t.label, label);
    t.present = true;
    t.is_goto = is_goto;
  }
};

Value joined_name(Value name, std::string_view suffix) {
  std::string s(vm::element_text(name));
  s += suffix;
  return Value::from_handle(vm::text_intern(s));
}

// Makes one trigger of the hotspot with the event command as its action.
vm::When* add_when(Interp& ctx, Hotspot& h, EventIndex ev) {
  HotspotData& d = *h.data;
  auto slot = std::find(d.whens.begin(), d.whens.end(), 0u);
  if (slot == d.whens.end()) return nullptr;
  uint32_t action_handle = vm::array_new();
  Value action = Value::from_handle(action_handle);
  vm::array_append(action, Value::from_int(h.self));
  if (vm::ArrayRecord* a = vm::array_of(action)) {
    vm::element_ref(g_events[ev].handle);
    a->label = Value::from_handle(g_events[ev].handle);
  }
  uint32_t w = vm::when_make(ctx, action);
  vm::value_release(action);
  vm::When* rec = vm::when_of(w);
  if (!rec) return nullptr;
  *slot = w;
  return rec;
}

// The area and mask of a mouse trigger.
void set_region(vm::When& w, const HotspotData& d, bool negated) {
  w.inside = {d.x1, d.y1, d.x2, d.y2};
  w.negated = negated;
  if (d.mask_image) {
    vm::element_ref(d.mask_image);
    w.has_mask = true;
    w.mask_image = d.mask_image;
    w.mask_value = d.mask_value;
    w.mask_x = d.x1;
    w.mask_y = d.y1;
  }
}

// hotspot [buttons] name target x1 y1 x2 y2 keyword values...
void make(Interp& ctx, Hotspot& h, Reader& r, uint32_t buttons) {
  HotspotData& d = *h.data;
  d.buttons = buttons;
  int32_t pos[4];
  int given = 0;
  bool pressed_given = false;
  bool mask_value_given = false;
  int64_t mask_value = 1;
  auto read_numbers = [&] {
    while (given < 4 && r.number_next()) pos[given++] = r.number();
  };
  if (r.more() && !is_number(r.peek()) && !is_keyword(r.peek()))
    if (!r.target(d.targets[kMain])) return;
  while (r.more() && !ctx.stop) {
    if (given < 4 && r.number_next()) {
      read_numbers();
      continue;
    }
    const std::string w = lower_word(r.peek());
    r.i++;
    if (w == "label") {
      if (!r.target(d.targets[kMain])) return;
    } else if (w == "rollin") {
      if (!r.target(d.targets[kRollIn])) return;
    } else if (w == "rollout") {
      if (!r.target(d.targets[kRollOut])) return;
    } else if (w == "clickdown") {
      if (!r.target(d.targets[kClickDown])) return;
    } else if (w == "clickout") {
      if (!r.target(d.targets[kClickOut])) return;
    } else if (w == "position") {
      given = 0;
      read_numbers();
    } else if (w == "mask") {
      if (r.number_next()) {
        mask_value = vm::value_to_integer(&ctx, r.peek());
        mask_value_given = true;
        r.i++;
      }
      if (r.more())
        if (gfx::Image* m = first_image(ctx, r.args[r.i++])) {
          if (d.mask_image) vm::element_release(d.mask_image);
          vm::element_ref(m->self);
          d.mask_image = m->self;
        }
    } else if (w == "image") {
      if (!r.more()) continue;
      Value first = r.args[r.i++];
      gfx::Image* img = first_image(ctx, first);
      if (!img) continue;
      Value pressed = first;
      if (img->bits == 1 && !pressed_given) {
        // A 1-bit image first is the mask; the pressed image follows.
        if (d.mask_image) vm::element_release(d.mask_image);
        vm::element_ref(img->self);
        d.mask_image = img->self;
        if (!r.more() || is_keyword(r.peek()) || is_number(r.peek())) continue;
        pressed = r.args[r.i++];
      } else if (r.more() && !is_keyword(r.peek())) {
        if (gfx::Image* m = existing_image(ctx, r.peek()); m && m->bits == 1) {
          r.i++;
          if (d.mask_image) vm::element_release(d.mask_image);
          vm::element_ref(m->self);
          d.mask_image = m->self;
        }
      }
      vm::value_store(d.pressed_image, gfx::image_arg(ctx, pressed));
      pressed_given = !d.pressed_image.is_null();
    } else if (w == "rollimage") {
      RollImage roll;
      if (r.number_next()) {
        roll.x = r.number();
        roll.y = r.number_next() ? r.number() : 0;
        roll.placed = true;
      }
      if (!r.more()) continue;
      Value img = gfx::image_arg(ctx, r.args[r.i++]);
      if (img.is_null() || d.roll_count >= kMaxRolls) continue;  // a ninth is ignored
      vm::value_store(roll.image, img);
      d.rolls[size_t(d.roll_count++)] = roll;
    } else if (w == "key") {
      if (!r.more()) continue;
      Value k = r.args[r.i++];
      d.key = k.is_int() ? int32_t(k.as_int()) : key_code_from_name(vm::element_text(k));
    }
    // Anything else is skipped.
  }
  if (ctx.stop) return;

  // The area: numbers, else the pressed image, the first roll image or the
  // mask gives the corner (the image's origin offset) and the size.
  gfx::Image* sizer = nullptr;
  if (!d.pressed_image.is_null()) sizer = first_image(ctx, d.pressed_image);
  if (!sizer && d.roll_count) sizer = first_image(ctx, d.rolls[0].image);
  if (!sizer && d.mask_image) sizer = gfx::image_of(d.mask_image);
  int32_t x1 = given >= 2 ? pos[0] : sizer ? sizer->st.off_x : 0;
  int32_t y1 = given >= 2 ? pos[1] : sizer ? sizer->st.off_y : 0;
  int32_t x2 = given >= 4 ? pos[2] : sizer ? x1 + sizer->width() - 1 : x1;
  int32_t y2 = given >= 4 ? pos[3] : sizer ? y1 + sizer->height() - 1 : y1;
  d.x1 = std::min(x1, x2), d.x2 = std::max(x1, x2);
  d.y1 = std::min(y1, y2), d.y2 = std::max(y1, y2);

  if (d.mask_image) {
    // The value is a palette index for an indexed mask and a colour for a
    // true-colour one; without one, index 1 or white.
    const gfx::Image* m = gfx::image_of(d.mask_image);
    if (m && m->bits <= 8)
      d.mask_value = m->palette[std::clamp<int64_t>(mask_value, 0, 255)];
    else
      d.mask_value = mask_value_given ? uint32_t(mask_value) & 0xFFFFFF : 0xFFFFFF;
  }

  for (int k = 0; k < kMaxRolls; k++)
    d.roll_layer_names[k] = joined_name(d.name, "_rolllayer" + std::to_string(k));
  d.pressed_layer_name = joined_name(d.name, "_hotlayer");

  // Rolling over: with roll images their own events; otherwise, when there
  // is roll code or a hotspot cursor, the cursor events, which run the roll
  // code as the cursor code.
  const bool cursor_events = d.targets[kRollIn].present || d.targets[kRollOut].present ||
                             hot_context(ctx).hot_cursor_set;
  if (d.roll_count || cursor_events) {
    if (!d.roll_count) {
      std::swap(d.targets[kCurIn], d.targets[kRollIn]);
      std::swap(d.targets[kCurOut], d.targets[kRollOut]);
    }
    if (vm::When* in = add_when(ctx, h, d.roll_count ? kEvRollIn : kEvCurIn)) {
      set_region(*in, d, false);
      in->region_only = true;
    }
    if (vm::When* out = add_when(ctx, h, d.roll_count ? kEvRollOut : kEvCurOut)) {
      set_region(*out, d, true);
      out->region_only = true;
      out->pointer_in = true;  // nothing to leave before the pointer came in
    }
  }
  const uint32_t down = buttons == 1 ? vm::kWhenMouseDown1
                        : buttons == 2 ? vm::kWhenMouseDown2
                        : buttons == 4 ? vm::kWhenMouseDown3
                                       : vm::kWhenMouseDown;
  const uint32_t up = buttons == 1 ? vm::kWhenMouseUp1
                      : buttons == 2 ? vm::kWhenMouseUp2
                      : buttons == 4 ? vm::kWhenMouseUp3
                                     : vm::kWhenMouseUp;
  if (vm::When* w = add_when(ctx, h, kEvHotDown)) {
    w->flags = down;
    set_region(*w, d, false);
  }
  if (vm::When* w = add_when(ctx, h, kEvHotUp)) {
    w->flags = up;
    set_region(*w, d, false);
  }
  if (vm::When* w = add_when(ctx, h, kEvHotOut)) {
    w->flags = up;
    set_region(*w, d, true);
  }
  // A key presses and releases the hotspot: typed keys come as one event,
  // which fires the press and then the release.
  if (d.key) {
    if (vm::When* w = add_when(ctx, h, kEvHotDown)) w->key = d.key;
    if (vm::When* w = add_when(ctx, h, kEvHotUp)) w->key = d.key;
  }
}

// The hotspot held in the variable `name`, or a new one stored there.
Hotspot* hotspot_for_name(Interp& ctx, Value name) {
  if (Value* cell = vm::var_find(ctx, name))
    if (Hotspot* h = hotspot_of(*cell)) return h;
  const uint32_t handle = vm::element_create(nullptr, sizeof(Hotspot), vm::kTypeHotspot);
  Hotspot* h = hotspot_of(Value::from_handle(handle));
  if (!h) return nullptr;
  h->self = handle;
  h->ctx = &ctx;
  h->data = new HotspotData;
  live_hotspots().push_back(handle);
  Value v = Value::from_handle(handle);
  if (Value* cell = vm::var_for_set(ctx, name)) vm::value_store(*cell, v);
  ctx.vars_dirty = true;
  vm::element_release(handle);
  return hotspot_of(v);
}

// Calls fn(HotspotData&) for each hotspot an argument names.
template <typename Fn>
void for_hotspots(Interp& ctx, Fn fn) {
  std::vector<Value> args = vm::take_args(ctx, vm::close_frame(ctx));
  for (Value a : args) {
    Hotspot* h = hotspot_of(a);
    if (!h && (vm::is_text(a) || vm::element_type_of(a) == vm::kTypeArrayPath))
      if (Value* cell = vm::var_find(ctx, a)) h = hotspot_of(*cell);
    if (h && h->data) fn(*h->data);
  }
  vm::release_all(args);
}

void hotspots_closer(Interp& ctx) {
  for (uint32_t handle : live_hotspots())
    if (Hotspot* h = static_cast<Hotspot*>(vm::element_lookup(handle, vm::kTypeHotspot)); h && h->ctx == &ctx)
      h->ctx = nullptr;
  hot_closer(ctx);
}

// The cursor of mousecursorhot and mousecustomhot.
void set_hot_cursor(Interp& ctx, const Cursor& c) {
  HotContext& hc = hot_context(ctx);
  hc.hot_cursor = c;
  hc.hot_cursor_set = true;
  if (hc.cursor_holders > 0) cursor_set(ctx, c);
}

}  // namespace

void hotspots_register() {
  vm::element_set_cleanup(vm::kTypeHotspot, hotspot_cleanup);
  for (EventCommand& e : g_events) {
    e.handle = vm::static_name_intern(e.name, int64_t(std::char_traits<char>::length(e.name)));
    if (vm::ElementEntry* entry = vm::element_entry(e.handle)) {
      entry->handler = e.handler;
      entry->flags |= vm::kFlagHasCommand;
    }
  }
  vm::interp_add_closer(hotspots_closer);
}

}  // namespace host

namespace vm {

// hotspot [buttons] name [target] [x1 y1 [x2 y2]] keyword values...: makes
// or remakes the hotspot held in the variable `name` (made where a layer
// name would be). No result.
void h_hotspot(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  host::Reader r{ctx, args};
  uint32_t buttons = 7;
  if (r.number_next()) {
    const int64_t b = value_to_integer(&ctx, args[r.i++]);
    buttons = b == 1 || b == 2 || b == 4 ? uint32_t(b) : 7;
  }
  const bool named = r.more() && ((is_text(r.peek()) && !element_text(r.peek()).empty()) ||
                                  element_type_of(r.peek()) == kTypeArrayPath);
  if (named) {
    Value name = r.args[r.i++];
    if (host::Hotspot* h = host::hotspot_for_name(ctx, name)) {
      // The hotspot's code may free its variable: it lives until made.
      const uint32_t self = h->self;
      element_ref(self);
      host::clear(&ctx, *h->data);
      Value text = is_text(name) ? name : Value::from_handle(text_intern(value_to_string(&ctx, name)));
      if (is_text(name)) value_ref(text);
      value_store(h->data->name, text);
      value_release(text);
      host::make(ctx, *h, r, buttons);
      element_release(self);
    }
  }
  release_all(args);
}

// hotenable hotspot ...: its triggers fire again. No result.
void h_hotenable(Interp& ctx) {
  host::for_hotspots(ctx, [](host::HotspotData& d) {
    for (uint32_t w : d.whens)
      if (When* rec = when_of(w)) when_set_enabled(*rec, true);
  });
}

// hotdisable hotspot ...: its triggers stop firing; the hotspot stays. A
// hotspot the pointer is over lets its images and the cursor go, as if the
// pointer had left without running code: no roll-out could come while it
// is disabled, and once enabled again it takes the pointer afresh. No result.
void h_hotdisable(Interp& ctx) {
  host::for_hotspots(ctx, [&ctx](host::HotspotData& d) {
    for (uint32_t w : d.whens)
      if (When* rec = when_of(w)) {
        when_set_enabled(*rec, false);
        rec->pointer_in = rec->negated;  // roll-in: outside; roll-out: not yet in
      }
    d.rolled_in = d.pressed = false;
    host::free_layers(ctx, d);
    host::give_back_cursor(ctx, d);
  });
}

// hotfree name or pattern ...: deletes the variables; a hotspot whose last
// reference goes frees its triggers and layers.
void h_hotfree(Interp& ctx) { free_variables(ctx, kTypeHotspot); }

// mousecursorhot name: the system cursor shown over hotspots.
void h_mousecursorhot(Interp& ctx) {
  host::Cursor c;
  if (host::cursor_arguments(ctx, false, c)) host::set_hot_cursor(ctx, c);
}

// mousecustomhot image [hot x, hot y]: a custom cursor shown over hotspots.
void h_mousecustomhot(Interp& ctx) {
  host::Cursor c;
  if (host::cursor_arguments(ctx, true, c)) host::set_hot_cursor(ctx, c);
}

}  // namespace vm
