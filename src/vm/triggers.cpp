// Timers (TIMER elements), event triggers (WHEN elements), the per-context
// queue of trigger events and its dispatcher, and their commands.
#include "vm/triggers.h"

#include <memory>
#include <string>
#include <utility>

#include "vm/clock.h"
#include "vm/commands.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"
#include "vm/wildcard.h"

namespace vm {

int32_t (*g_key_from_name)(std::string_view name) = nullptr;
TriggerDrawing g_trigger_drawing;

namespace {

// --- timers ------------------------------------------------------------------------

// Milliseconds to clock units, whole seconds apart so that nothing
// overflows; negative gives 0, and more than about 31 years is cut there.
uint64_t units_of_ms(int64_t ms) {
  constexpr int64_t kMaxMs = 1000000000000;
  if (ms <= 0) return 0;
  if (ms > kMaxMs) ms = kMaxMs;
  uint64_t m = uint64_t(ms);
  return ((m / 1000) << 32) + (((m % 1000) << 32) / 1000);
}

// The record of a TIMER handle, or null (also for a TIMER element too
// small to be one of ours).
Timer* timer_of(uint32_t handle) {
  ElementEntry* e = element_entry(handle);
  if (!e || e->type != kTypeTimer || size_t(e->size) < sizeof(Timer)) return nullptr;
  return static_cast<Timer*>(e->payload);
}
Timer* timer_of(Value v) { return v.is_element() ? timer_of(v.handle()) : nullptr; }

int64_t timer_to_integer(uint32_t handle, void*) {
  Timer* t = timer_of(handle);
  return t ? timer_ms(*t) : 0;
}

void timer_describe(uint32_t handle, void*, std::string& out) {
  if (const Timer* t = timer_of(handle)) {
    out += std::to_string(timer_ms(*t));
    out += t->running ? " ms running" : " ms paused";
  }
}

// The reading of var_timer and var_timeraw: a timer set to 0 when the
// engine starts (vm_init).
Timer g_engine_timer{};

void get_var_timer(Interp& ctx) { push_int(ctx, timer_ms(g_engine_timer)); }
void get_var_timeraw(Interp& ctx) { push_int(ctx, int64_t(timer_units(g_engine_timer) & uint64_t(kIntMax))); }
// Both readings are the engine's; setting them changes nothing.
void set_ignored(Interp&, Value) {}

}  // namespace

// --- the per-context state -------------------------------------------------------------

// Outside the unnamed namespace: the context names the state.
struct TriggerEvent {
  uint32_t when;    // WHEN handle (the queue holds no reference: freeing removes the events)
  uint32_t value1;
  uint32_t value2;
  uint64_t due;     // clock time from which it may fire (timed triggers)
};

// A ring of events, oldest at `head`. The script thread is the only one
// that queues, picks and removes events (input arrives through the message
// pump on that thread), so nothing here is locked.
struct TriggerState {
  std::vector<uint32_t> list;  // WHEN handles, oldest first
  TriggerEvent ring[kTriggerQueueSize];
  uint32_t head = 0;
  uint32_t count = 0;

  TriggerEvent& at(uint32_t i) { return ring[(head + i) % kTriggerQueueSize]; }
};

namespace {

TriggerState* find_state(const Interp& ctx) { return ctx.triggers; }

// Made at the first use, deleted by the context closer.
TriggerState& state(Interp& ctx) {
  if (!ctx.triggers) ctx.triggers = new TriggerState;
  return *ctx.triggers;
}

// Removes event i, keeping the order of the others; the trigger's count
// and the context's pending count fall with it.
void remove_event(Interp& ctx, TriggerState& s, uint32_t i) {
  if (When* w = when_of(s.at(i).when))
    if (w->queued > 0) w->queued--;
  if (i == 0) {  // the oldest, the usual case: the ring's start moves on
    s.head = (s.head + 1) % kTriggerQueueSize;
  } else {
    for (uint32_t j = i; j + 1 < s.count; j++) s.at(j) = s.at(j + 1);
  }
  s.count--;
  ctx.pending_triggers = s.count;
}

// Removes the trigger's events from position `from` on, in one pass.
void remove_events_of(Interp& ctx, TriggerState& s, uint32_t handle, uint32_t from) {
  uint32_t kept = from;
  for (uint32_t i = from; i < s.count; i++) {
    if (s.at(i).when != handle) s.at(kept++) = s.at(i);
  }
  uint32_t removed = s.count - kept;
  if (removed == 0) return;
  if (When* w = when_of(handle)) w->queued = w->queued > removed ? w->queued - removed : 0;
  s.count = kept;
  ctx.pending_triggers = s.count;
}

// Takes a trigger out of its context: no more events, not in the list.
// The record itself lives on while references to it remain.
void retire(When& w) {
  Interp* owner = w.owner;
  w.owner = nullptr;
  w.enabled = false;
  if (!owner) return;
  TriggerState* s = find_state(*owner);
  if (!s) return;
  remove_events_of(*owner, *s, w.self, 0);
  w.queued = 0;
  for (size_t i = 0; i < s->list.size(); i++) {
    if (s->list[i] == w.self) {
      s->list.erase(s->list.begin() + long(i));
      break;
    }
  }
}

void release_when_refs(When& w) {
  Value label = w.label;
  w.label = Value::null();
  Value file = w.file;
  w.file = Value::null();
  value_release(file);
  uint32_t mask = w.has_mask ? w.mask_image : 0;
  w.has_mask = false;
  w.mask_image = 0;
  value_release(label);
  if (mask) element_release(mask);
}

void when_cleanup(uint32_t handle, void*) {
  When* w = when_of(handle);
  if (!w) return;
  retire(*w);
  release_when_refs(*w);
}

// The context ends: its queue and list go; triggers that outlive it (held
// by values elsewhere) no longer name it.
void triggers_closer(Interp& ctx) {
  std::unique_ptr<TriggerState> s(ctx.triggers);
  if (!s) return;
  ctx.triggers = nullptr;
  for (uint32_t handle : s->list)
    if (When* w = when_of(handle)) {
      w->owner = nullptr;
      w->queued = 0;
    }
  ctx.pending_triggers = 0;
}

// --- firing --------------------------------------------------------------------------

// Where a jump from between two tokens leaves the stack: at the depth at
// which the current subroutine started (its _retsp), or empty at script
// level. The cells of the interrupted statement above it are dropped and
// the frame chain is followed down to the innermost marker that stays.
void unwind_for_jump(Interp& ctx) {
  uint32_t keep = 0;
  if (ctx.scope_depth >= 2) {
    Value* scope = scope_table(ctx, ctx.scope_depth, false);
    Value* retsp = scope ? table_find(*scope, Value::from_handle(g_own_names.retsp)) : nullptr;
    if (!retsp) return;  // no subroutine record: leave the stack as it is
    int64_t d = value_to_integer(&ctx, *retsp);
    keep = d < 0 ? 0 : uint32_t(d);
  }
  unwind_stack_to(ctx, keep);
}

// Picks the event to fire: first the events of untimed triggers, oldest
// first, then those of timed triggers that are due. An event waits while
// the script is deeper in subroutines than where its trigger was made,
// unless var_wheninsub is set. Events of a disabled trigger are dropped,
// except that a repeating trigger keeps its event: its due time moves on
// by whole periods, so that enabling it again resumes the beat.
// Returns the position, or -1.
int64_t pick_event(Interp& ctx, TriggerState& s, uint64_t now) {
  bool insub = sysvar_int(ctx, SV_var_wheninsub) != 0;
  for (int pass = 0; pass < 2; pass++) {
    for (uint32_t i = 0; i < s.count;) {
      TriggerEvent& ev = s.at(i);
      When* w = when_of(ev.when);
      if (!w || w->owner != &ctx) {  // cannot happen: freeing removes the events
        remove_event(ctx, s, i);
        continue;
      }
      if (w->timed != (pass == 1)) {
        i++;
        continue;
      }
      if (!w->enabled) {
        if (!w->repeat) {
          remove_event(ctx, s, i);
          continue;
        }
        if (ev.due <= now && w->period > 0) ev.due += ((now - ev.due) / w->period + 1) * w->period;
        i++;
        continue;
      }
      if ((pass == 1 && ev.due > now) || (w->depth < ctx.scope_depth && !insub)) {
        i++;
        continue;
      }
      return i;
    }
  }
  return -1;
}

bool fire_trigger(Interp& ctx) {
  TriggerState* s = find_state(ctx);
  if (!s || s->count == 0) {
    ctx.pending_triggers = 0;
    return false;
  }
  if (ctx.stop) return false;
  uint64_t now = clock_now();
  int64_t picked = pick_event(ctx, *s, now);
  if (picked < 0) return false;
  uint32_t i = uint32_t(picked);
  TriggerEvent& ev = s->at(i);
  When* w = when_of(ev.when);
  // The queue is settled before the label runs: the code it runs may free
  // the trigger, queue events or replace the program.
  Value label = w->label;
  value_ref(label);
  bool is_goto = w->is_goto;
  uint32_t handle = w->self;
  if (w->repeat) {
    // The next beat; beats missed while the script was busy are skipped
    // rather than fired in a burst.
    ev.due += w->period;
    if (ev.due <= now) ev.due = now + w->period;
    if (w->flags & kWhenUnique) remove_events_of(ctx, *s, handle, i + 1);
  } else {
    remove_event(ctx, *s, i);
    if (w->flags & kWhenUnique) remove_events_of(ctx, *s, handle, i);
  }
  if (is_goto) {
    unwind_for_jump(ctx);
    push_owned(ctx, label);
    op_goto(ctx);
    return true;
  }
  // A call as a statement: the statement frame and the argument frame,
  // the label, then `_CALL _POP`. A label subroutine closes the statement
  // frame when it returns; a command's results are discarded at once,
  // unless the command replaced the program (scriptlink), which leaves no
  // frame to close.
  // A command as the action runs as part of the statement that defined the
  // trigger: its errors name that line, and the interrupted statement's
  // position comes back afterwards. (A label's own statements set theirs,
  // and its return restores the interrupted one.)
  uint32_t line = ctx.current_line;
  Value file = ctx.current_file;
  value_ref(file);
  if (!w->file.is_null()) {
    ctx.current_line = w->line;
    value_store(ctx.current_file, w->file);
  }
  uint32_t scope_depth = ctx.scope_depth;
  open_frame(ctx);
  open_frame(ctx);
  push_owned(ctx, label);
  op_call(ctx, true);
  if (ctx.scope_depth > scope_depth) {
    // The level remembers the trigger that entered it (error traces name it).
    Value* scope = scope_table(ctx, ctx.scope_depth, true);
    if (Value* cell = scope ? table_get(*scope, Value::from_handle(g_own_names.trigger)) : nullptr)
      value_store(*cell, Value::from_int(handle));
  }
  if (ctx.scope_depth == scope_depth && ctx.stop == 0) {
    ctx.current_line = line;
    value_store(ctx.current_file, file);
  }
  value_release(file);
  return true;
}

// --- arguments -----------------------------------------------------------------------------

bool is_number(Value v) { return v.is_int() || v.is_float(); }

bool is_pattern(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// The cell of a common variable of that name, or null.
Value* common_cell(Value name) {
  ElementEntry* e = element_entry(name);
  return e && e->type == kTypeString && (e->flags & kFlagGlobalValue) ? &e->global : nullptr;
}

// Every variable whose name matches the pattern and whose value is an
// element of `type`, innermost scope first.
std::vector<Value> matching_names(Interp& ctx, const std::string& pattern, uint32_t type) {
  std::vector<Value> out;
  for (int64_t d = ctx.scope_depth; d >= 0; d--) {
    Value* scope = scope_table(ctx, uint32_t(d), false);
    ArrayRecord* a = scope ? array_of(*scope) : nullptr;
    for (uint32_t i = 0; a && i < a->count; i++) {
      Value key = a->items[i].key;
      if (element_type_of(key) != kTypeString || element_type_of(a->items[i].value) != type) continue;
      if (!wildcard_match(pattern, element_text(key))) continue;
      value_ref(key);
      out.push_back(key);
    }
  }
  return out;
}

// Deletes the innermost variable of that name that holds an element of
// `type` (a common one included). Returns whether one was found.
bool delete_typed(Interp& ctx, Value name, uint32_t type) {
  if (Value* cell = common_cell(name)) {
    if (element_type_of(*cell) != type) return false;
    Value old = *cell;
    *cell = Value::null();
    value_release(old);
    ctx.vars_dirty = true;
    return true;
  }
  for (int64_t d = ctx.scope_depth; d >= 0; d--) {
    Value* scope = scope_table(ctx, uint32_t(d), false);
    Value* cell = scope ? table_find(*scope, name) : nullptr;
    if (!cell || element_type_of(*cell) != type) continue;
    table_remove(&ctx, *scope, name);
    ctx.vars_dirty = true;
    return true;
  }
  return false;
}

// Calls fn(When&) for each trigger an argument names: a name (its variable
// holds the WHEN, or an ARRAY whose items are names of triggers) or a
// wildcard pattern over the variables that hold triggers.
template <typename Fn>
void for_named_triggers(Interp& ctx, const std::vector<Value>& args, Fn fn) {
  auto one = [&](Value name) {
    Value* cell = var_find(ctx, name);
    if (!cell) return;
    if (When* w = when_of(cell->is_element() ? cell->handle() : 0)) {
      fn(*w, name);
      return;
    }
    if (ArrayRecord* a = array_of(*cell)) {
      std::vector<Value> items;
      for (uint32_t i = 0; i < a->count; i++) {
        value_ref(a->items[i].value);
        items.push_back(a->items[i].value);
      }
      for (Value item : items) {
        Value* c = var_find(ctx, item);
        if (When* w = c && c->is_element() ? when_of(c->handle()) : nullptr) fn(*w, item);
      }
      release_all(items);
    }
  };
  for (Value a : args) {
    std::string s = value_to_string(&ctx, a);
    if (!is_pattern(s)) {
      one(a);
      continue;
    }
    std::vector<Value> names = matching_names(ctx, s, kTypeWhen);
    for (Value name : names) one(name);
    release_all(names);
  }
}

// --- whennew -------------------------------------------------------------------------

constexpr uint32_t kEventFlags = kWhenAnything | kWhenKey | kWhenMouseDown | kWhenMouseDown1 | kWhenMouseDown2 |
                                 kWhenMouseDown3 | kWhenMouseMove | kWhenMouseUp | kWhenMouseUp1 |
                                 kWhenMouseUp2 | kWhenMouseUp3 | kWhenSound;

// A repeating trigger without a period comes due about once a second.
constexpr uint64_t kDefaultPeriod = 4294912;

struct Keyword {
  const char* word;
  uint32_t flag;
};
constexpr Keyword kFlagWords[] = {
    {"anything", kWhenAnything},   {"key", kWhenKey},             {"mousedown", kWhenMouseDown},
    {"mousedown1", kWhenMouseDown1}, {"mousedown2", kWhenMouseDown2}, {"mousedown3", kWhenMouseDown3},
    {"mousemove", kWhenMouseMove}, {"mouseup", kWhenMouseUp},     {"mouseup1", kWhenMouseUp1},
    {"mouseup2", kWhenMouseUp2},   {"mouseup3", kWhenMouseUp3},   {"sound", kWhenSound},
    {"unique", kWhenUnique},
};

// The rectangle after "inside"/"outside": four numbers when the next
// argument is a number, else the clip rectangle of the drawing target.
void read_rect(Interp& ctx, uint32_t end, uint32_t& i, WhenRect& r) {
  if (i < end && is_number(ctx.top[i])) {
    int32_t v[4] = {0, 0, 0, 0};
    for (int k = 0; k < 4 && i < end && is_number(ctx.top[i]); k++, i++) {
      int64_t x = value_to_integer(&ctx, ctx.top[i]);
      v[k] = int32_t(x < -1000000000 ? -1000000000 : x > 1000000000 ? 1000000000 : x);
    }
    r = {v[0], v[1], v[2], v[3]};
    return;
  }
  WhenRect clip;
  if (g_trigger_drawing.target_clip && g_trigger_drawing.target_clip(ctx, clip)) r = clip;
}

// An IMAGE given as a value, or by the name of a variable or the path of an
// array item holding one; 0 when none.
uint32_t image_arg(Interp& ctx, Value v) {
  if (element_type_of(v) == kTypeImage) return v.handle();
  if (element_type_of(v) == kTypeString || element_type_of(v) == kTypeArrayPath)
    if (Value* cell = var_find(ctx, v))
      if (element_type_of(*cell) == kTypeImage) return cell->handle();
  return 0;
}

// Sets a trigger from the arguments (on the stack: 0 the name, 1..end-1
// the keywords, then the transfer word and the label at `label_at`).
void define_when(Interp& ctx, When& w, uint32_t end, uint32_t label_at, bool is_goto) {
  retire(w);
  release_when_refs(w);
  uint32_t self = w.self;
  w = When{};
  w.self = self;
  w.label = Value::null();
  w.line = ctx.current_line;
  w.file = Value::null();
  value_store(w.file, ctx.current_file);
  w.owner = &ctx;
  w.enabled = true;
  w.depth = ctx.scope_depth;
  w.mask_value = 0xFFFFFF;
  w.is_goto = is_goto;
  timer_set_ms(w.clock, 0);
  state(ctx).list.push_back(self);

  Value label = ctx.top[label_at];
  value_ref(label);
  w.label = label;
  // An action that is a command rather than a label of the program.
  Value target_name = label;
  if (ArrayRecord* a = array_of(label)) target_name = a->label;
  ElementEntry* e = element_entry(target_name);
  w.keep_results = e && e->type == kTypeString && !(e->flags & kFlagHasLabel) && (e->flags & kFlagHasCommand);

  bool region = false;
  for (uint32_t i = 1; i < end;) {
    Value a = ctx.top[i++];
    if (a.is_int()) {  // a key code given as a number
      w.key = int32_t(a.as_int());
      continue;
    }
    if (element_type_of(a) != kTypeString) continue;
    std::string_view word = element_text(a);
    bool known = false;
    for (const Keyword& k : kFlagWords) {
      if (word == k.word) {
        w.flags |= k.flag;
        known = true;
        break;
      }
    }
    if (known) continue;
    if (word == "after") {
      if (i < end) {
        w.period = units_of_ms(value_to_integer(&ctx, ctx.top[i++]));
        w.timed = true;
      }
    } else if (word == "always") {
      w.repeat = true;
      w.timed = true;
    } else if (word == "inside" || word == "outside") {
      read_rect(ctx, end, i, word == "inside" ? w.inside : w.outside);
      region = true;
    } else if (word == "mask") {
      if (i < end && !image_arg(ctx, ctx.top[i]))
        w.mask_value = g_trigger_drawing.read_color ? g_trigger_drawing.read_color(ctx, end, i)
                                                    : uint32_t(value_to_integer(&ctx, ctx.top[i++]));
      uint32_t image = i < end ? image_arg(ctx, ctx.top[i]) : 0;
      if (image) {
        i++;
        element_ref(image);
        w.mask_image = image;
        w.has_mask = true;
      }
      region = true;
    } else if (g_key_from_name) {
      if (int32_t code = g_key_from_name(word)) w.key = code;
    }
  }
  bool has_event = (w.flags & kEventFlags) || w.key != 0;
  w.region_only = region && !has_event;
  if (w.repeat && w.period == 0) w.period = kDefaultPeriod;
  // A repeating trigger comes due after its first period; so does a timed
  // one with nothing else to wait for (no event, key or region), once.
  if (w.repeat || (w.timed && !has_event && !region)) queue_trigger_event(ctx, w, 0, 0);
}

// Makes or remakes the trigger held in the variable `name`: a variable that
// holds something else is given the trigger instead; a new one is global.
void when_for_name(Interp& ctx, Value name, uint32_t end, uint32_t label_at, bool is_goto) {
  uint32_t type = element_type_of(name);
  if (type != kTypeString && type != kTypeArrayPath) return;
  Value* cell = var_find(ctx, name);
  if (!cell) cell = var_in_global(ctx, name);
  if (!cell) return;
  if (element_type_of(*cell) != kTypeWhen) {
    uint32_t h = element_create(nullptr, sizeof(When), kTypeWhen);
    When* w = when_of(h);
    if (!w) return;
    *w = When{};
    w->self = h;
    w->label = Value::null();
    w->file = Value::null();
    // The cell may have moved while the element was made: find it again.
    cell = var_find(ctx, name);
    if (!cell) cell = var_in_global(ctx, name);
    if (!cell) {
      element_release(h);
      return;
    }
    Value old = *cell;
    *cell = Value::from_handle(h);
    value_release(old);
    ctx.vars_dirty = true;
  }
  if (When* w = when_of(cell->handle())) define_when(ctx, *w, end, label_at, is_goto);
}

// Makes or refreshes a TIMER in the variable (the current scope's when new)
// and returns it.
Timer* timer_in(Interp& ctx, Value name, bool fresh_one) {
  uint32_t type = element_type_of(name);
  if (type != kTypeString && type != kTypeArrayPath) return nullptr;
  Value* cell = var_find(ctx, name);
  if (!fresh_one && cell)
    if (Timer* t = timer_of(*cell)) return t;
  uint32_t h = timer_create(0);
  if (!timer_of(h)) return nullptr;
  cell = var_find(ctx, name);
  if (!cell) cell = var_in_local(ctx, name);
  if (!cell) {
    element_release(h);
    return nullptr;
  }
  Value old = *cell;
  *cell = Value::from_handle(h);
  value_release(old);
  ctx.vars_dirty = true;
  return timer_of(h);
}

}  // namespace

// --- timers ------------------------------------------------------------------------------

uint64_t timer_units(const Timer& t) {
  uint64_t end = t.running ? clock_now() : t.paused_at;
  return (end - t.start) + t.offset;
}

int64_t timer_ms(const Timer& t) {
  uint64_t units = timer_units(t);
  return int64_t(clock_to_ms(units + 1));
}

void timer_set_ms(Timer& t, int64_t ms) {
  uint64_t now = clock_now();
  uint64_t d = units_of_ms(ms);
  // A clock that has not yet run as long as the reading asks for: the
  // start is its beginning and the rest is the offset.
  t.start = d <= now ? now - d : 0;
  t.offset = d <= now ? 0 : d - now;
  t.paused_at = 0;
  t.running = 1;
  t.fresh = 1;
}

void timer_pause(Timer& t) {
  if (!t.running) return;
  t.paused_at = clock_now();
  t.running = 0;
}

void timer_resume(Timer& t) {
  if (t.running) return;
  // The start moves on by the time spent paused, which therefore does not
  // count.
  t.start += clock_now() - t.paused_at;
  t.paused_at = 0;
  t.running = 1;
}

uint32_t timer_create(int64_t ms) {
  uint32_t h = element_create(nullptr, sizeof(Timer), kTypeTimer);
  if (Timer* t = timer_of(h)) {
    *t = Timer{};
    timer_set_ms(*t, ms);
  }
  return h;
}

// --- triggers ------------------------------------------------------------------------------

When* when_of(uint32_t handle) {
  ElementEntry* e = element_entry(handle);
  if (!e || e->type != kTypeWhen || size_t(e->size) < sizeof(When)) return nullptr;
  return static_cast<When*>(e->payload);
}

const std::vector<uint32_t>& trigger_list(Interp& ctx) {
  static const std::vector<uint32_t> kNone;
  TriggerState* s = find_state(ctx);
  return s ? s->list : kNone;
}

bool queue_trigger_event(Interp& ctx, When& when, uint32_t value1, uint32_t value2) {
  if (when.owner != &ctx) return false;
  TriggerState& s = state(ctx);
  if ((when.flags & kWhenUnique) && when.queued > 0) {
    for (uint32_t i = 0; i < s.count; i++) {
      TriggerEvent& ev = s.at(i);
      if (ev.when != when.self) continue;
      ev.value1 = value1;
      ev.value2 = value2;
      return true;
    }
  }
  if (s.count >= kTriggerQueueSize) return false;
  s.at(s.count) = TriggerEvent{when.self, value1, value2, clock_now() + when.period};
  s.count++;
  when.queued++;
  ctx.pending_triggers = s.count;
  interp_request_tick(ctx);
  return true;
}

uint32_t when_make(Interp& ctx, Value action) {
  uint32_t h = element_create(nullptr, sizeof(When), kTypeWhen);
  When* w = when_of(h);
  if (!w) return 0;
  *w = When{};
  w->self = h;
  w->owner = &ctx;
  w->enabled = true;
  w->depth = ctx.scope_depth;
  w->mask_value = 0xFFFFFF;
  value_ref(action);
  w->label = action;
  Value target_name = action;
  if (ArrayRecord* a = array_of(action)) target_name = a->label;
  ElementEntry* e = element_entry(target_name);
  w->keep_results = e && e->type == kTypeString && !(e->flags & kFlagHasLabel) && (e->flags & kFlagHasCommand);
  w->line = ctx.current_line;
  w->file = Value::null();
  value_store(w->file, ctx.current_file);
  timer_set_ms(w->clock, 0);
  state(ctx).list.push_back(h);
  return h;
}

void when_set_enabled(When& w, bool enabled) {
  w.enabled = enabled && w.owner != nullptr;
  TriggerState* s = !enabled && w.owner && !w.repeat ? find_state(*w.owner) : nullptr;
  if (s) remove_events_of(*w.owner, *s, w.self, 0);
}

void when_retire(When& w) { retire(w); }

void trigger_unwind_for_jump(Interp& ctx) { unwind_for_jump(ctx); }

uint32_t queued_trigger_events(Interp& ctx) {
  TriggerState* s = find_state(ctx);
  return s ? s->count : 0;
}

void triggers_register() {
  element_set_cleanup(kTypeWhen, when_cleanup);
  ElementConversions timer_conv;
  timer_conv.to_integer = timer_to_integer;
  timer_conv.describe = timer_describe;
  element_set_conversions(kTypeTimer, timer_conv);
  g_engine_timer = Timer{};
  timer_set_ms(g_engine_timer, 0);
  sysvar_register(SV_var_timer, {get_var_timer, set_ignored});
  sysvar_register(SV_var_timeraw, {get_var_timeraw, set_ignored});
  g_host.fire_trigger = fire_trigger;
  interp_add_closer(triggers_closer);
}

// --- commands -------------------------------------------------------------------------------

// whennew NAME KEYWORD... gosub|goto LABEL: makes the trigger NAME (a
// global variable when new; when NAME holds an ARRAY, each item names a
// trigger). A trigger already there is redefined in place: its keywords,
// label and depth are replaced, it is enabled again and its queued events
// are dropped. Fewer than four arguments do nothing. No result.
void h_whennew(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n < 4) {
    pop_n(ctx, n);
    return;
  }
  uint32_t label_at = n - 1;
  uint32_t end = n - 2;
  std::string_view transfer = element_text(ctx.top[end]);
  bool is_goto = transfer == "goto";
  if (transfer != "goto" && transfer != "gosub") end = n - 1;  // no transfer word: a call
  Value name = ctx.top[0];
  value_ref(name);
  if (Value* cell = var_find(ctx, name); cell && array_of(*cell)) {
    ArrayRecord* a = array_of(*cell);
    std::vector<Value> items;
    for (uint32_t i = 0; i < a->count; i++) {
      value_ref(a->items[i].value);
      items.push_back(a->items[i].value);
    }
    for (Value item : items) when_for_name(ctx, item, end, label_at, is_goto);
    release_all(items);
  } else {
    when_for_name(ctx, name, end, label_at, is_goto);
  }
  value_release(name);
  pop_n(ctx, n);
}

// whenenable NAME|PATTERN...: lets the named triggers fire. No result.
void h_whenenable(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  for_named_triggers(ctx, args, [](When& w, Value) { w.enabled = w.owner != nullptr; });
  release_all(args);
}

// whendisable NAME|PATTERN...: the named triggers stop firing; their
// queued events are dropped (a repeating trigger keeps its beat). No result.
void h_whendisable(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  for_named_triggers(ctx, args, [](When& w, Value) { when_set_enabled(w, false); });
  release_all(args);
}

// whenfree NAME|PATTERN...: deletes the variables of the named triggers.
// Each trigger is also taken out of the list and the queue at once, so
// that a copy of its value held elsewhere cannot keep it firing. No result.
void h_whenfree(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  std::vector<Value> doomed;
  for_named_triggers(ctx, args, [&](When& w, Value name) {
    retire(w);
    value_ref(name);
    doomed.push_back(name);
  });
  for (Value name : doomed) delete_typed(ctx, name, kTypeWhen);
  release_all(doomed);
  release_all(args);
}

// timerinit NAME...: a new TIMER reading 0 in each variable (made in the
// current scope when new). No result.
void h_timerinit(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  for (Value name : args) timer_in(ctx, name, true);
  release_all(args);
}

// timerset NAME [VALUE]: makes the variable hold a TIMER (a new one when it
// holds none) and sets it: no value, to 0 ms; a number, or a text that
// starts like one, to that many ms; "on" resumes and "off" pauses it; any
// other value resumes it when true and pauses it when false. No result.
void h_timerset(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  Timer* t = args.empty() ? nullptr : timer_in(ctx, args[0], false);
  if (t) {
    Value v = args.size() > 1 ? args[1] : Value::from_int(0);
    std::string s = element_type_of(v) == kTypeString ? std::string(element_text(v)) : std::string();
    size_t b = s.find_first_not_of(" \t");
    bool numeric_text = b != std::string::npos &&
                        ((s[b] >= '0' && s[b] <= '9') || (s[b] == '-' && b + 1 < s.size() && s[b + 1] >= '0' &&
                                                          s[b + 1] <= '9'));
    for (char& c : s) c = ascii_lower(c);
    if (is_number(v) || numeric_text)
      timer_set_ms(*t, value_to_integer(&ctx, v));
    else if (s == "on")
      timer_resume(*t);
    else if (s == "off")
      timer_pause(*t);
    else if (value_to_integer(&ctx, v) != 0)
      timer_resume(*t);
    else
      timer_pause(*t);
  }
  release_all(args);
}

// timerfree NAME|PATTERN...: deletes the variables that hold TIMERs among
// those named; other variables are left alone. No result.
void h_timerfree(Interp& ctx) {
  std::vector<Value> args = take_args(ctx, close_frame(ctx));
  for (Value a : args) {
    std::string s = value_to_string(&ctx, a);
    if (!is_pattern(s)) {
      delete_typed(ctx, a, kTypeTimer);
      continue;
    }
    std::vector<Value> names = matching_names(ctx, s, kTypeTimer);
    for (Value name : names) delete_typed(ctx, name, kTypeTimer);
    release_all(names);
  }
  release_all(args);
}

}  // namespace vm
