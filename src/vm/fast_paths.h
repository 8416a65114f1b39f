// Shortcuts of the main loop for the most frequent shapes of token words.
//
// Each shortcut does exactly what the generic case of its word does for one
// shape (the same stack, variables, references, line and file, the same
// count of tokens run) and returns true; for any other shape it changes
// nothing and returns false, and the generic case runs. The generic cases in
// interp_run stay the meaning of every word: a shortcut only saves the work
// the generic case spends on pushing an operand it pops again, closing a
// frame by moving cells, and finding a handler by name.
//
// QUILLON_NO_FAST_PATHS=1 in the environment turns every shortcut off (read
// by vm_init); the test `script_tests_without_fast_paths` runs the script
// tests that way and compares their output with the same expected files.
#pragma once

#include <cstdint>

#include "vm/control.h"
#include "vm/interp.h"
#include "vm/opcodes.h"
#include "vm/operators.h"
#include "vm/variables.h"

namespace vm {

// False when QUILLON_NO_FAST_PATHS asked for the generic cases only.
extern bool g_fast_paths;

namespace fast {

constexpr uint32_t kNoLabel = 0xffffffffu;

inline bool has_imm(uint32_t w) { return (w & 0x800000) != 0; }
inline bool has_handle(uint32_t w) { return !has_imm(w) && (w & 0xffffff) != 0; }
inline Value operand_handle(uint32_t w) { return Value::from_handle(kHandleBase + (w & 0xffffff)); }
inline int64_t operand_imm(uint32_t w) { return int64_t(int32_t(w << 9) >> 9); }

// Room for `cells` more cells: where the generic case would push and find
// the stack full, the shortcut leaves the overflow to it.
inline bool room(const Interp& ctx, uint32_t cells) { return ctx.top > ctx.stack_limit + cells; }

// The top `args` cells are the arguments of the innermost frame, whose
// marker lies just under them.
inline bool frame_holds(const Interp& ctx, uint32_t args) {
  return ctx.frame_depth != 0 && stack_depth(ctx) == ctx.frame_depth + args &&
         ctx.top[args].is_marker();
}

// The name entry of a handle operand when it is a text.
inline ElementEntry* name_entry(uint32_t w) {
  if (!has_handle(w)) return nullptr;
  ElementEntry* e = element_entry(operand_handle(w));
  return e && e->type == kTypeString ? e : nullptr;
}

// The label target of a jump operand that names a label, or kNoLabel.
inline uint32_t label_target(uint32_t w) {
  ElementEntry* e = name_entry(w);
  return e && (e->flags & kFlagHasLabel) ? e->target : kNoLabel;
}

// A file name push followed by a line word with an immediate line (how
// every compiled statement starts): both words at once, as `_LINE` takes
// them, without the file name passing through the stack. The line word is
// counted as a token of its own: it is taken only when the host tick would
// not have run before it.
inline bool line(Interp& ctx, uint32_t w) {
  if (ctx.pc >= ctx.code_length || ctx.tick_countdown < 1 || !room(ctx, 4)) return false;
  uint32_t next = ctx.code[ctx.pc];
  uint32_t op = (next >> 24) ^ 0x40;
  if ((op != OP_LINE && op != OP_LINE_TAIL && op != OP_LINE_TAIL_TAIL) || !has_imm(next)) return false;
  ctx.pc++;
  ctx.tick_countdown--;
  ctx.current_line = uint32_t(operand_imm(next));
  Value file = operand_handle(w);
  if (!(file == ctx.current_file)) value_store(ctx.current_file, file);
  if (op != OP_LINE) open_frame(ctx);
  if (op == OP_LINE_TAIL_TAIL) open_frame(ctx);
  return true;
}

// `AT:name` on an empty frame: the variable's value (not an array or a
// timer, which `at` expands) takes the marker's place.
inline bool at(Interp& ctx, uint32_t w) {
  ElementEntry* e = name_entry(w);
  if (!e || !room(ctx, 1) || !frame_holds(ctx, 0)) return false;
  Value* cell = var_find(ctx, operand_handle(w));
  if (!cell) return false;
  Value v = *cell;
  if (v.is_element()) {
    uint32_t type = element_type_of(v);
    if (type == kTypeArray || type == kTypeTimer) return false;
    value_ref(v);
  }
  ctx.frame_depth = ctx.top->lo();
  *ctx.top = v;
  return true;
}

// `_TAIL` or `_TAIL _TAIL` followed by `AT:name` (how a variable is read
// inside an expression): the frames opened and the value put where `at`
// would leave it, the marker of the inner frame never pushed. The `AT`
// word is counted as a token of its own, as in `line`.
inline bool tail_at(Interp& ctx, uint32_t w, uint32_t frames) {
  if ((w & 0xffffff) != 0 || ctx.pc >= ctx.code_length || ctx.tick_countdown < 1 || !room(ctx, frames + 2)) return false;
  uint32_t next = ctx.code[ctx.pc];
  if ((next >> 24) != (0x40 | OP_AT)) return false;
  ElementEntry* e = name_entry(next);
  if (!e) return false;
  Value* cell = var_find(ctx, operand_handle(next));
  if (!cell) return false;
  Value v = *cell;
  if (v.is_element()) {
    uint32_t type = element_type_of(v);
    if (type == kTypeArray || type == kTypeTimer) return false;
    value_ref(v);
  }
  ctx.pc++;
  ctx.tick_countdown--;
  if (frames == 2) open_frame(ctx);
  *--ctx.top = v;
  return true;
}

// `_CALL:name` / `_CALL _POP:name` of a built-in command (a name with a
// handler and no label): the handler runs without the name passing
// through the stack, as op_call runs it.
inline bool call(Interp& ctx, uint32_t w, bool pop_after) {
  ElementEntry* e = name_entry(w);
  if (!e || (e->flags & (kFlagHasCommand | kFlagHasLabel)) != kFlagHasCommand || !e->handler ||
      !room(ctx, 1))
    return false;
  const uint32_t* code = ctx.code;
  run_command(ctx, e->handler);
  // A command that replaced the program (scriptlink) left no frames to pop.
  if (pop_after && ctx.stop == 0 && ctx.code == code) discard_to_frame(ctx);
  return true;
}

// `SET:name` with one value in the frame, for a name that is no system
// variable or command and a variable that holds no memory buffer: the
// value moves from the stack into the variable.
inline bool set(Interp& ctx, uint32_t w) {
  ElementEntry* e = name_entry(w);
  if (!e || (e->flags & kFlagHasCommand) || !room(ctx, 1) || !frame_holds(ctx, 1)) return false;
  Value* cell = var_for_set(ctx, operand_handle(w));
  if (!cell || element_type_of(*cell) == kTypeMemBuf) return false;
  Value v = ctx.top[0];
  ctx.frame_depth = ctx.top[1].lo();
  ctx.top += 2;
  Value old = *cell;
  *cell = v;
  value_release(old);
  return true;
}

// A binary operator on two integers: `a OP#imm` with one value in the
// frame, or `a b OP` with two.
inline bool binary(Interp& ctx, uint32_t w) {
  uint32_t number = (w >> 24) & 0x3f;
  Value a, b;
  uint32_t args;
  if (has_imm(w)) {
    if (!room(ctx, 1) || !frame_holds(ctx, 1)) return false;
    a = ctx.top[0];
    b = Value::from_int(operand_imm(w));
    args = 1;
  } else if ((w & 0xffffff) == 0) {
    if (!frame_holds(ctx, 2)) return false;
    a = ctx.top[1];
    b = ctx.top[0];
    args = 2;
  } else {
    return false;
  }
  Value result;
  if (a.is_int() && b.is_int()) {
    int64_t x = a.as_int(), y = b.as_int(), r;
    switch (number) {
      case OP_ADD: r = int64_t(uint64_t(x) + uint64_t(y)); break;
      case OP_SUBTRACT: r = int64_t(uint64_t(x) - uint64_t(y)); break;
      case OP_LESSTHAN: r = x < y; break;
      case OP_GREATERTHAN: r = x > y; break;
      case OP_EQUAL: r = x == y; break;
      default: r = integer_op(number, x, y); break;
    }
    result = Value::from_int(r);
  } else if ((a.is_int() || a.is_float()) && (b.is_int() || b.is_float())) {
    result = apply_op(ctx, number, a, b);  // numbers only: no references
  } else {
    return false;
  }
  ctx.frame_depth = ctx.top[args].lo();
  ctx.top[args] = result;
  ctx.top += args;
  return true;
}

// `_IF:label` / `_IFNOT:label` on an integer condition.
inline bool branch(Interp& ctx, uint32_t w, bool jump_when) {
  uint32_t target = label_target(w);
  if (target == kNoLabel || !room(ctx, 1) || ctx.top >= ctx.stack_base || !ctx.top->is_int()) return false;
  bool truth = ctx.top->as_int() != 0;
  ctx.top++;
  if (truth == jump_when) ctx.pc = target;
  return true;
}

// `_GOTO:label`.
inline bool jump(Interp& ctx, uint32_t w) {
  uint32_t target = label_target(w);
  if (target == kNoLabel || !room(ctx, 1)) return false;
  ctx.pc = target;
  return true;
}

}  // namespace fast
}  // namespace vm
