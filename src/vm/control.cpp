#include "vm/control.h"

#include <utility>

#include "vm/call_frames.h"
#include "vm/command_names.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/fast_paths.h"
#include "vm/interp.h"
#include "vm/opcodes.h"
#include "vm/runs.h"
#include "vm/variables.h"

namespace vm {

LibraryCall g_library_call = nullptr;
OwnNames g_own_names;

namespace {

constexpr uint32_t kNoTarget = 0xffffffffu;

struct Callee {
  uint32_t target = kNoTarget;
  CommandHandler handler = nullptr;
};

Callee callee_of_name(Value name) {
  Callee c;
  ElementEntry* e = element_entry(name);
  if (!e || e->type != kTypeString) return c;
  if (e->flags & kFlagHasLabel) c.target = e->target;
  if (e->flags & kFlagHasCommand) c.handler = e->handler;
  return c;
}

// The label target of a jump operand: a name with a label, or an array
// whose label name has one.
bool jump_target(Value v, uint32_t& target) {
  Value name = v;
  if (ArrayRecord* a = array_of(v)) name = a->label;
  Callee c = callee_of_name(name);
  target = c.target;
  return c.target != kNoTarget;
}

bool is_dllfunc(uint32_t target) {
  return (target >> 30) == 1 && element_lookup(target, kTypeDllFunc) != nullptr;
}

void jump(Interp& ctx, uint32_t target) { ctx.pc = target; }

// After a return, errors name the caller's statement again: the one that
// holds code word `at`, found by its line word (the nearest at or before
// it; the word before a line word pushes the file name). Opcode words
// cannot be mistaken for literals, so the look back is exact; code without
// line words leaves the position as it is.
void restore_position(Interp& ctx, uint32_t at) {
  constexpr uint32_t kMaxLookBack = 4096;  // far longer than any compiled statement
  if (!ctx.code || at >= ctx.code_length) return;
  // What the look back found for this word is kept with the code's runs:
  // a subroutine returns to the same few call sites again and again.
  uint32_t* memo = runs_position_memo(ctx, at);
  uint32_t found = memo ? *memo : kPositionUnknown;
  if (found == kPositionUnknown) {
    found = kNoPosition;
    uint32_t first = at > kMaxLookBack ? at - kMaxLookBack : 0;
    for (uint32_t i = at + 1; i-- > first;) {
      uint32_t w = ctx.code[i];
      uint32_t op = (w >> 24) & 0x3f;
      if ((w >> 30) != 1 || (op != OP_LINE && op != OP_LINE_TAIL && op != OP_LINE_TAIL_TAIL)) continue;
      if (w & 0x800000) found = i;  // else the line was computed: not known here
      break;
    }
    if (memo) *memo = found;
  }
  if (found == kNoPosition) return;
  ctx.current_line = ctx.code[found] & 0x7fffff;
  uint32_t previous = found > 0 ? ctx.code[found - 1] : 0;
  Value file = Value::from_handle(kHandleBase + (previous & 0xffffff));
  if ((previous >> 24) == 0x40 && previous != kEndWord && element_type_of(file) == kTypeString)
    value_store(ctx.current_file, file);
}

// Stores `v` (reference handed over) into the local `key` of the scope cell.
void put_local(Value& scope, Value key, Value v) {
  Value* cell = table_get(scope, key);
  if (!cell) {
    value_release(v);
    return;
  }
  Value old = *cell;
  *cell = v;
  value_release(old);
}

// Bit 32 of a stored return position: the call was `_CALL _POP`, whose
// discarding pop runs when the subroutine returns (what it left on the stack
// is the call's result, and the pop discards it).
constexpr int64_t kPopOnReturn = int64_t(1) << 32;

// The value of _retpc for a call whose word was just fetched.
Value return_position(const Interp& ctx, bool pop_after) {
  return Value::from_int(int64_t(ctx.pc) | (pop_after ? kPopOnReturn : 0));
}

// The arguments of a call: the cells above the innermost marker, which must
// be the top frame's. Their count, or -1 for a malformed frame (gosub's
// stores one by one report it).
int64_t call_arguments(const Interp& ctx) {
  uint32_t n = 0;
  while (ctx.top + n < ctx.stack_base && !ctx.top[n].is_marker()) n++;
  if (ctx.top + n >= ctx.stack_base || stack_depth(ctx) - n != ctx.frame_depth) return -1;
  return n;
}

// Pops a call's frame of `n` arguments (call_arguments): the arguments,
// first on top, stay readable where they were until the next push, and
// their references go with them.
const Value* take_call_frame(Interp& ctx, uint32_t n) {
  const Value* args = ctx.top;
  ctx.frame_depth = args[n].lo();
  ctx.top += n + 1;
  return args;
}

// gosub's stores into a new, empty scope, all at once: the items are
// written into `items`, which has room for `room`, in key order (the
// argument count 0, the arguments 1..n, then the names _retpc and _retsp in
// the order of their handles) instead of being inserted one by one.
// Returns how many, for a well-formed call frame whose items fit; 0
// (nothing changed) for anything else, which gosub's stores one by one
// handle, errors included. The keys are not referenced (see
// keep_new_scope).
uint32_t fill_new_scope(Interp& ctx, ArrayItem* items, uint32_t room, bool pop_after) {
  const int64_t count = call_arguments(ctx);
  const uint32_t n = uint32_t(count);
  if (count < 0 || n + 3 > room) return 0;
  Value retpc = Value::from_handle(g_own_names.retpc), retsp = Value::from_handle(g_own_names.retsp);
  Value first = retpc, second = retsp;
  if (int64_t(second.bits) < int64_t(first.bits)) std::swap(first, second);
  const Value* args = take_call_frame(ctx, n);
  Value pc = return_position(ctx, pop_after);
  Value depth = Value::from_int(stack_depth(ctx));
  items[0] = {Value::from_int(n), Value::from_int(0)};
  for (uint32_t i = 0; i < n; i++) items[i + 1] = {args[i], Value::from_int(int64_t(i) + 1)};
  items[n + 1] = {first == retpc ? pc : depth, first};
  items[n + 2] = {first == retpc ? depth : pc, second};
  g_shape_generation++;
  ctx.vars_dirty = true;
  return n + 3;
}

// fill_new_scope for a subroutine that starts with a `declare` of plain
// names (runs_prologue), with that statement run at once: the arguments
// go into the table under those names, as `declare` leaves the scope (the
// count, the arguments no name took, then the names, _retpc and _retsp in
// key order), and the call goes on after the statement, its line and file
// set and its words counted. Left to fill_new_scope and the word-by-word
// loop (false, nothing changed) when the slow pass falls within the
// statement (or runs before every word), when the stack lacks the room its
// pushes take, when a drawing waits to be shown after the next command,
// when `room` is too small, or for a malformed call frame. Returns the
// items written, as fill_new_scope does.
uint32_t enter_declared(Interp& ctx, ArrayItem* items, uint32_t room, uint32_t target, bool pop_after) {
  const CallPrologue* p = runs_prologue(ctx, target);
  if (!p || p->names == 0 || ctx.tick_countdown < int32_t(p->words) || ctx.frame_changed ||
      !fast::room(ctx, p->words))
    return 0;
  const uint32_t m = p->names;
  const int64_t count = call_arguments(ctx);
  const uint32_t n = uint32_t(count), unnamed = n > m ? n - m : 0;
  if (count < 0 || 1 + unnamed + m + 2 > room) return 0;
  const Value* args = take_call_frame(ctx, n);
  const Value own[2] = {return_position(ctx, pop_after), Value::from_int(stack_depth(ctx))};
  const Value own_name[2] = {Value::from_handle(g_own_names.retpc), Value::from_handle(g_own_names.retsp)};
  ArrayItem* out = items;
  *out++ = {Value::from_int(n), Value::from_int(0)};
  for (uint32_t i = m; i < n; i++) *out++ = {args[i], Value::from_int(int64_t(i) + 1)};
  for (uint32_t k = 0; k < m + 2; k++) {
    const uint32_t j = p->order[k];
    const Value key = j < m ? p->name[j] : own_name[j - m];
    *out++ = {j < m ? (j < n ? args[j] : Value::null()) : own[j - m], key};
  }
  g_shape_generation++;
  ctx.vars_dirty = true;
  ctx.pc = target + p->words;
  ctx.tick_countdown -= int32_t(p->words);
  ctx.current_line = p->line;
  if (!(p->file == ctx.current_file)) value_store(ctx.current_file, p->file);
  return uint32_t(out - items);
}

// Counts the `count` items that fill_new_scope or enter_declared wrote into
// an empty scope table, with the references to their keys that a table's
// items hold (a call frame's keys hold none: they are names of the running
// code or the player's own). False when they wrote none.
bool keep_new_scope(ArrayRecord* a, uint32_t count) {
  a->count = count;
  for (uint32_t i = 0; i < count; i++) value_ref(a->items[i].key);
  return count != 0;
}

// The deepest label-call level. A compiled call leaves at least its
// statement frame on the value stack, so the stack's size bounds recursion;
// a call without one (hand-made token code) would otherwise grow scope
// tables until memory runs out. Each level costs a scope table, and the
// table of scopes grows by a few slots at a time: a quarter of the stack's
// cells is deeper than scripts recurse and still quick to reach.
constexpr uint32_t kMaxScopeDepth = kStackCells / 4;

// A label call: a new scope holding the arguments, the return position and
// the stack depth to return to. Too deep a recursion raises STACKOVERFLOW
// and leaves the stack as it is. A call word of the main loop (`from_loop`)
// may run the subroutine's declare at once (enter_declared); calls made by
// trigger and event dispatch leave it to the loop.
void gosub(Interp& ctx, uint32_t target, bool pop_after, bool from_loop = false) {
  if (ctx.scope_depth >= kMaxScopeDepth) {
    raise(ctx, kErrStackOverflow);
    return;
  }
  ctx.scope_depth++;
  // The usual call's scope is a call frame (vm/call_frames.h), when the
  // table of scopes has nothing for the new depth.
  if (const ArrayRecord* s = array_of(ctx.scopes);
      s && s->count > 0 && int64_t(s->items[s->count - 1].key.bits) < int64_t(Value::from_int(ctx.scope_depth).bits))
    if (CallFrame* frame = frame_for_call(ctx, ctx.scope_depth)) {
      if (from_loop && (frame->count = enter_declared(ctx, frame->items, kFrameItems, target, pop_after))) return;
      if ((frame->count = fill_new_scope(ctx, frame->items, kFrameItems, pop_after))) {
        jump(ctx, target);
        return;
      }
    }
  Value* scope = scope_table(ctx, ctx.scope_depth, true);
  if (!scope) return;
  // Else the scope's table is made with room for the return position, the
  // arguments and their count, the stack depth and a few locals, so that
  // a call does not grow it.
  if (!array_of(*scope)) {
    uint32_t table = scope_table_new(ctx);
    if (element_entry(table)) {
      Value old = *scope;
      *scope = Value::from_handle(table);
      value_release(old);
    }
  }
  if (ArrayRecord* a = array_of(*scope); a && a->count == 0 && a->restore == 0) {
    const uint32_t room = a->slots - 3;
    if (from_loop && keep_new_scope(a, enter_declared(ctx, a->items, room, target, pop_after))) return;
    if (keep_new_scope(a, fill_new_scope(ctx, a->items, room, pop_after))) {
      jump(ctx, target);
      return;
    }
  }
  put_local(*scope, Value::from_handle(g_own_names.retpc), return_position(ctx, pop_after));
  int64_t n = 0;
  while (ctx.top < ctx.stack_base && !ctx.top->is_marker()) {
    Value v = *ctx.top++;  // moved: its reference goes with it
    scope = scope_table(ctx, ctx.scope_depth, true);
    put_local(*scope, Value::from_int(++n), v);
  }
  scope = scope_table(ctx, ctx.scope_depth, true);
  put_local(*scope, Value::from_int(0), Value::from_int(n));
  if (ctx.top >= ctx.stack_base || stack_depth(ctx) != ctx.frame_depth) {
    raise(ctx, kErrStackCorrupt);
    return;
  }
  ctx.frame_depth = ctx.top->lo();
  ctx.top++;
  jump(ctx, target);
  scope = scope_table(ctx, ctx.scope_depth, true);
  put_local(*scope, Value::from_handle(g_own_names.retsp), Value::from_int(stack_depth(ctx)));
  ctx.vars_dirty = true;
}

}  // namespace

void unwind_stack_to(Interp& ctx, uint32_t keep) {
  if (keep >= stack_depth(ctx)) return;
  uint32_t fd = ctx.frame_depth;
  while (fd > keep) {
    Value* marker = ctx.stack_base - fd;
    if (fd > stack_depth(ctx) || !marker->is_marker()) {
      fd = 0;
      break;
    }
    fd = marker->lo();
  }
  while (stack_depth(ctx) > keep) value_release(*ctx.top++);
  ctx.frame_depth = fd;
}

bool close_own_frame(Interp& ctx, uint32_t args) {
  if (ctx.code && ctx.pc >= 2 && ctx.pc <= ctx.code_length) {
    uint32_t call = ctx.code[ctx.pc - 1], callee = ctx.code[ctx.pc - 2];
    uint32_t op = (call >> 24) & 0x3f;
    bool bare_call = (call >> 30) == 1 && (op == OP_CALL || op == OP_CALL_POP) && (call & 0xffffff) == 0;
    if (bare_call && (callee >> 24) == 0x40 && callee != kEndWord) {
      std::string_view name = element_text(Value::from_handle(kHandleBase + (callee & 0xffffff)));
      uint32_t k = command_name_find(name);
      if (k && kCommandNames[k].frameless) return false;
    }
  }
  uint32_t fd = ctx.frame_depth;
  if (fd == 0 || fd + args != stack_depth(ctx) || !(ctx.stack_base - fd)->is_marker()) return false;
  close_frame(ctx);
  return true;
}

void run_command(Interp& ctx, CommandHandler handler) {
  handler(ctx);
  // The one place where drawing reaches the window: after any command that
  // changed the frame, whatever the command was.
  if (ctx.frame_changed && g_host.finish_drawing) g_host.finish_drawing(ctx);
}

void op_line(Interp& ctx) {
  if (stack_depth(ctx) < 2) {
    raise(ctx, kErrStackUnderflow);
    return;
  }
  Value line = take(ctx);
  Value file = take(ctx);
  ctx.current_line = line.lo();
  value_release(line);
  if (file == ctx.current_file) {
    value_release(file);
  } else {
    Value old = ctx.current_file;
    ctx.current_file = file;
    value_release(old);
  }
}

void op_call(Interp& ctx, bool pop_after) {
  if (ctx.top >= ctx.stack_base) {
    raise(ctx, kErrStackUnderflow);
    return;
  }
  Value top = *ctx.top;
  Callee c;
  if (element_type_of(top) == kTypeString) {
    c = callee_of_name(top);
    if (c.target == kNoTarget && !c.handler) raise_about(ctx, kErrUnknownCommand, top);
    pop(ctx);
  } else if (ArrayRecord* a = array_of(top)) {
    c = callee_of_name(a->label);
    if (c.target == kNoTarget && !c.handler) raise_about(ctx, kErrUnknownCommand, a->label);
    ctx.top++;  // the array cell is removed without releasing it
    uint32_t handle = top.handle();
    for (uint32_t i = a->count; i-- > 0;) {
      a = static_cast<ArrayRecord*>(element_lookup(handle, kTypeArray));
      if (!a || i >= a->count) break;
      push(ctx, a->items[i].value);
    }
    element_release(handle);
  } else {
    raise_about(ctx, kErrInvalidLabel, top);
    return;
  }
  if (c.target != kNoTarget && is_dllfunc(c.target)) {
    show_held_drawing(ctx);  // the function may take long
    if (g_library_call)
      g_library_call(ctx, c.target);
    else
      not_present(ctx);
    if (pop_after) discard_to_frame(ctx);
    return;
  }
  if (c.target == kNoTarget) {
    const uint32_t* code = ctx.code;
    if (c.handler) run_command(ctx, c.handler);
    // A command that replaced the program (scriptlink) left no frames to pop.
    if (pop_after && ctx.stop == 0 && ctx.code == code) discard_to_frame(ctx);
    return;
  }
  gosub(ctx, c.target, pop_after);
}

bool call_label(Interp& ctx, uint32_t target, bool pop_after) {
  if (is_dllfunc(target)) return false;
  gosub(ctx, target, pop_after, true);
  return true;
}

void op_goto(Interp& ctx) {
  if (ctx.top >= ctx.stack_base) {
    raise(ctx, kErrStackUnderflow);
    return;
  }
  Value top = *ctx.top;
  uint32_t type = element_type_of(top);
  if (type != kTypeString && type != kTypeArray) {
    raise_about(ctx, kErrInvalidLabel, top);
    return;
  }
  uint32_t target;
  if (!jump_target(top, target)) {
    ArrayRecord* a = array_of(top);
    raise_about(ctx, kErrLabelNotFound, a ? a->label : top);
    return;
  }
  if (ArrayRecord* a = array_of(top)) {
    // Items become locals 1..n of the current scope; local 0 is left alone.
    uint32_t handle = top.handle();
    for (uint32_t i = 0;; i++) {
      a = static_cast<ArrayRecord*>(element_lookup(handle, kTypeArray));
      if (!a || i >= a->count) break;
      Value v = a->items[i].value;
      Value* scope = scope_table(ctx, ctx.scope_depth, true);
      Value* cell = scope ? table_get(*scope, Value::from_int(int64_t(i) + 1)) : nullptr;
      if (cell) value_store(*cell, v);
    }
    ctx.vars_dirty = true;
  }
  pop(ctx);
  jump(ctx, target);
}

void op_return(Interp& ctx) {
  uint32_t pc;
  bool pop_after;
  if (int64_t at; scope_leave_plain(ctx, at)) {  // the common case, in one pass
    pc = uint32_t(at);
    pop_after = at & kPopOnReturn;
  } else {
    // The return position is the current scope's own local, unless the name
    // was made common or the local is gone: var_find then finds what it names.
    Value name = Value::from_handle(g_own_names.retpc);
    Value* retpc = nullptr;
    if (ElementEntry* e = element_entry(name); e && !(e->flags & kFlagGlobalValue))
      if (Value* scope = scope_table(ctx, ctx.scope_depth, false)) retpc = table_find(*scope, name);
    if (!retpc) retpc = var_find(ctx, name);
    if (!retpc || ctx.scope_depth < 2) {
      raise(ctx, kErrReturnWithoutGosub);
      return;
    }
    pc = retpc->lo();
    pop_after = retpc->is_int() && (retpc->as_int() & kPopOnReturn);
    scope_delete(ctx, ctx.scope_depth);
    ctx.scope_depth--;
    ctx.vars_dirty = true;
  }
  jump(ctx, pc);
  if (pc > 0) restore_position(ctx, pc - 1);
  if (pop_after) discard_to_frame(ctx);
}

void op_idlegoto(Interp& ctx) {
  if (ctx.top >= ctx.stack_base) return;
  uint32_t target;
  if (element_type_of(*ctx.top) != kTypeString || !jump_target(*ctx.top, target)) {
    raise_about(ctx, kErrLabelNotFound, *ctx.top);
    return;
  }
  pop(ctx);
  idle_yield(ctx);
  jump(ctx, target);
}

void op_if(Interp& ctx, bool jump_when, bool idle) {
  if (stack_depth(ctx) < 2) {
    raise(ctx, kErrStackUnderflow);
    return;
  }
  uint32_t target;
  if (element_type_of(ctx.top[0]) != kTypeString || !jump_target(ctx.top[0], target)) {
    raise_about(ctx, kErrLabelNotFound, ctx.top[0]);
    return;
  }
  Value cond = ctx.top[1];
  bool truth = cond.is_int() ? cond.as_int() != 0 : value_to_integer(&ctx, cond) != 0;
  pop_n(ctx, 2);
  if (truth == jump_when) {
    if (idle) idle_yield(ctx);
    jump(ctx, target);
  }
}

namespace {

// Drops the reference that a label binding or a common value held.
void drop_binding_ref(uint32_t handle) {
  ElementEntry* e = element_entry(handle);
  if (e && --e->refs < 1 && (e->holds & kHoldMask) == 0) element_free(handle);
}

bool is_label_word(uint32_t w) {
  return (w >> 30) == 1 && ((w >> 24) & 0x3f) == OP_LABEL && (w & 0xffffff) != 0 && !(w & 0x800000);
}

}  // namespace

bool bind_labels(Interp* ctx, const uint32_t* code, uint32_t length) {
  uint32_t previous = 0;
  for (uint32_t i = 0; i < length; previous = code[i], i++) {
    uint32_t w = code[i];
    if (w == kEndWord) break;
    if ((w >> 30) != 1) continue;
    uint32_t op = (w >> 24) & 0x3f;
    if (ctx && (op == OP_LINE || op == OP_LINE_TAIL || op == OP_LINE_TAIL_TAIL)) {
      // Line words place the file name before them: errors while linking
      // name the right file and line.
      Value file = Value::from_handle(previous & ~0x3f000000u);
      if (element_type_of(file) == kTypeString) value_store(ctx->current_file, file);
      if (w & 0x800000) ctx->current_line = w & 0x7fffff;
      continue;
    }
    if (!is_label_word(w)) continue;
    uint32_t handle = kHandleBase + (w & 0xffffff);
    ElementEntry* e = element_entry(handle);
    if (!e || e->type != kTypeString) continue;
    if ((e->flags & kFlagHasLabel) && e->target != 0) {
      if (ctx) raise(*ctx, kErrDuplicateLabel);
      return false;
    }
    label_bind(handle, i + 1);
  }
  return true;
}

void label_bind(uint32_t handle, uint32_t target) {
  ElementEntry* e = element_entry(handle);
  if (!e || e->type != kTypeString) return;
  e->refs++;  // the binding's own reference, taken first so the drops below cannot free it
  if (e->flags & kFlagGlobalValue) {
    Value old = e->global;
    e->global = Value::null();
    e->flags &= ~kFlagGlobalValue;
    value_release(old);
    drop_binding_ref(handle);
  }
  e = element_entry(handle);
  if (e->flags & kFlagHasLabel) {
    e->flags &= ~kFlagHasLabel;
    drop_binding_ref(handle);
  }
  e = element_entry(handle);
  e->flags |= kFlagHasLabel;
  e->target = target;
  names_rebound();
}

void label_unbind(uint32_t handle, uint32_t target) {
  ElementEntry* e = element_entry(handle);
  if (!e || e->type != kTypeString || !(e->flags & kFlagHasLabel) || e->target != target) return;
  e->flags &= ~kFlagHasLabel;
  e->target = 0;
  names_rebound();
  drop_binding_ref(handle);
}

void unbind_labels(const uint32_t* code, uint32_t length) {
  for (uint32_t i = 0; i < length; i++) {
    uint32_t w = code[i];
    if (w == kEndWord) break;
    if (!is_label_word(w)) continue;
    uint32_t handle = kHandleBase + (w & 0xffffff);
    ElementEntry* e = element_entry(handle);
    if (!e || !(e->flags & kFlagHasLabel)) continue;
    e->flags &= ~kFlagHasLabel;
    e->target = 0;
    names_rebound();
    drop_binding_ref(handle);
  }
}

// --- the control tokens as commands -----------------------------------------

void ctl_call(Interp& ctx) { op_call(ctx, false); }
void ctl_goto(Interp& ctx) { op_goto(ctx); }
void ctl_idlegoto(Interp& ctx) { op_idlegoto(ctx); }
void ctl_idleif(Interp& ctx) { op_if(ctx, true, true); }
void ctl_idleifnot(Interp& ctx) { op_if(ctx, false, true); }
void ctl_if(Interp& ctx) { op_if(ctx, true, false); }
void ctl_ifnot(Interp& ctx) { op_if(ctx, false, false); }
void ctl_label(Interp& ctx) { pop(ctx); }
void ctl_line(Interp& ctx) { op_line(ctx); }
void ctl_pop(Interp& ctx) { discard_to_frame(ctx); }
void ctl_return(Interp& ctx) { op_return(ctx); }
void ctl_tail(Interp& ctx) { open_frame(ctx); }

// `pop [count] ["all"] [label]`: leaves label-call levels without returning.
void h_pop(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  bool all = false;
  int64_t count = 1;
  Value label = Value::null();
  for (uint32_t i = 0; i < n; i++) {
    Value a = ctx.top[i];
    std::string_view word = element_text(a);
    if (element_type_of(a) == kTypeString && word == "all")
      all = true;
    else if (element_type_of(a) == kTypeString && (word == "call" || word == "same"))
      continue;
    else if (a.is_int() || a.is_float())
      count = value_to_integer(&ctx, a);
    else
      label = a;
  }
  value_ref(label);
  pop_n(ctx, n);
  int64_t left = 0;
  while (ctx.scope_depth > 1 && (all || left < count) && ctx.stop == 0) {
    // The level's cells go, and with them the frame its call statement
    // opened (the `_CALL _POP` that its return would have closed), so that
    // the stack is as the level's caller had it before the call.
    Value* retsp = var_find(ctx, Value::from_handle(g_own_names.retsp));
    int64_t depth = retsp ? value_to_integer(&ctx, *retsp) : int64_t(stack_depth(ctx));
    Value* retpc = var_find(ctx, Value::from_handle(g_own_names.retpc));
    bool pop_after = retpc && retpc->is_int() && (retpc->as_int() & kPopOnReturn);
    unwind_stack_to(ctx, depth < 0 ? 0 : uint32_t(depth));
    if (pop_after) discard_to_frame(ctx);
    scope_delete(ctx, ctx.scope_depth);  // its with-stack goes with it
    ctx.scope_depth--;
    left++;
  }
  ctx.vars_dirty = true;
  if (!label.is_null() && left > 0) {
    uint32_t target;
    if (jump_target(label, target))
      jump(ctx, target);
    else
      raise_about(ctx, kErrLabelNotFound, label);
  }
  value_release(label);
}

void h_exit(Interp& ctx) { raise(ctx, kStopNormal); }
void h_exitnow(Interp& ctx) { raise(ctx, kStopNormal); }

void h_null(Interp& ctx) {
  close_own_frame(ctx, 0);
  push(ctx, Value::null());
}

}  // namespace vm
