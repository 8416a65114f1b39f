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
// The small helpers are forced inline: interp_run is too large for the
// compiler's own inlining limits.
//
// QUILLON_NO_FAST_PATHS=1 in the environment turns every shortcut off (read
// by vm_init); the test `script_tests_without_fast_paths` runs the script
// tests that way and compares their output with the same expected files.
#pragma once

#include <cstdint>
#include <string_view>

#include "vm/call_frames.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/opcodes.h"
#include "vm/operators.h"
#include "vm/variables.h"

namespace vm {

// False when QUILLON_NO_FAST_PATHS asked for the generic cases only.
extern bool g_fast_paths;

void h_arrayref(Interp& ctx);
void h_inc(Interp& ctx);
void h_dec(Interp& ctx);
void h_declare(Interp& ctx);

namespace fast {

constexpr uint32_t kNoLabel = 0xffffffffu;

[[gnu::always_inline]] inline bool has_imm(uint32_t w) { return (w & 0x800000) != 0; }
[[gnu::always_inline]] inline bool has_handle(uint32_t w) { return !has_imm(w) && (w & 0xffffff) != 0; }
[[gnu::always_inline]] inline Value operand_handle(uint32_t w) { return Value::from_handle(kHandleBase + (w & 0xffffff)); }
[[gnu::always_inline]] inline int64_t operand_imm(uint32_t w) { return int64_t(int32_t(w << 9) >> 9); }

// Room for `cells` more cells: where the generic case would push and find
// the stack full, the shortcut leaves the overflow to it.
[[gnu::always_inline]] inline bool room(const Interp& ctx, uint32_t cells) { return ctx.top > ctx.stack_limit + cells; }

// The top `args` cells are the arguments of the innermost frame, whose
// marker lies just under them.
[[gnu::always_inline]] inline bool frame_holds(const Interp& ctx, uint32_t args) {
  return ctx.frame_depth != 0 && stack_depth(ctx) == ctx.frame_depth + args &&
         ctx.top[args].is_marker();
}

// The name entry of a handle operand when it is a text.
[[gnu::always_inline]] inline ElementEntry* name_entry(uint32_t w) {
  if (!has_handle(w)) return nullptr;
  ElementEntry* e = element_entry(operand_handle(w));
  return e && e->type == kTypeString ? e : nullptr;
}

// The label target of a jump operand that names a label, or kNoLabel.
[[gnu::always_inline]] inline uint32_t label_target(uint32_t w) {
  ElementEntry* e = name_entry(w);
  return e && (e->flags & kFlagHasLabel) ? e->target : kNoLabel;
}

// var_find of a plain name (entry `e`, a text): a common variable's cell,
// the cell cached in the entry while it is valid, a local of the current
// call frame, or the innermost local the entry last found
// (cached_innermost); else var_find.
[[gnu::always_inline]] inline Value* find(Interp& ctx, ElementEntry* e, Value name) {
  if (e->flags & kFlagGlobalValue) return &e->global;
  if (e->cache_generation == g_shape_generation && e->cache_ctx == &ctx && e->cache_depth == ctx.scope_depth)
      [[likely]]
    return e->cache_cell;
  if (CallFrame* frame = call_frame(ctx, ctx.scope_depth))
    if (Value* cell = frame_find(frame, name)) return cell;
  if (Value* cell = cached_innermost(&ctx, ctx.scopes, ctx.scope_depth, e, name)) return cell;
  return var_find(ctx, name);
}

// A file name push followed by a line word with an immediate line (how
// every compiled statement starts): both words at once, as `_LINE` takes
// them, without the file name passing through the stack. The line word is
// counted as a token of its own: it is taken only when the host tick would
// not have run before it.
[[gnu::always_inline]] inline bool line(Interp& ctx, uint32_t w) {
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

// The value a read of `cell` gives, with a reference taken for the reader;
// false for an array or a timer, which `at` expands (the slow path's work).
[[gnu::always_inline]] inline bool plain_value(const Value& cell, Value& out) {
  if (cell.is_element()) {
    uint32_t type = element_type_of(cell);
    if (type == kTypeArray || type == kTypeTimer) return false;
    value_ref(cell);
  }
  out = cell;
  return true;
}

// `AT:name` on an empty frame: the variable's value (not an array or a
// timer, which `at` expands) takes the marker's place.
[[gnu::always_inline]] inline bool at(Interp& ctx, uint32_t w) {
  ElementEntry* e = name_entry(w);
  if (!e || !room(ctx, 1) || !frame_holds(ctx, 0)) return false;
  Value* cell = find(ctx, e, operand_handle(w));
  if (!cell) return false;
  Value v;
  if (!plain_value(*cell, v)) return false;
  ctx.frame_depth = ctx.top->lo();
  *ctx.top = v;
  return true;
}

// `_TAIL` or `_TAIL _TAIL` followed by `AT:name` (how a variable is read
// inside an expression): the frames opened and the value put where `at`
// would leave it, the marker of the inner frame never pushed. The `AT`
// word is counted as a token of its own, as in `line`.
[[gnu::always_inline]] inline bool tail_at(Interp& ctx, uint32_t w, uint32_t frames) {
  if ((w & 0xffffff) != 0 || ctx.pc >= ctx.code_length || ctx.tick_countdown < 1 || !room(ctx, frames + 2)) return false;
  uint32_t next = ctx.code[ctx.pc];
  if ((next >> 24) != (0x40 | OP_AT)) return false;
  ElementEntry* e = name_entry(next);
  if (!e) return false;
  Value* cell = find(ctx, e, operand_handle(next));
  if (!cell) return false;
  Value v;
  if (!plain_value(*cell, v)) return false;
  ctx.pc++;
  ctx.tick_countdown--;
  if (frames == 2) open_frame(ctx);
  *--ctx.top = v;
  return true;
}

// tail_at, then once more when the next word is a `_TAIL` that opens
// another read (`@a*@b`): both reads in one pass of the main loop.
[[gnu::always_inline]] inline bool tail_reads(Interp& ctx, uint32_t w, uint32_t frames) {
  if (!tail_at(ctx, w, frames)) return false;
  if (ctx.pc < ctx.code_length && ctx.tick_countdown >= 1 && ctx.code[ctx.pc] == word_op(OP_TAIL)) {
    ctx.pc++;
    ctx.tick_countdown--;
    if (!tail_at(ctx, word_op(OP_TAIL), 1)) {
      ctx.pc--;
      ctx.tick_countdown++;
    }
  }
  return true;
}

// `inc name [amount]` / `dec name [amount]` (the frame holds the name and
// the amount) of a variable that holds an integer, by an integer amount:
// the new value is stored in the variable's cell, as inc_dec stores it.
[[gnu::always_inline]] inline bool step_cell(Interp& ctx, ElementEntry* e, Value name, Value amount, bool increment) {
  if (!amount.is_int()) return false;
  Value* cell = find(ctx, e, name);
  if (!cell || !cell->is_int()) return false;
  uint64_t x = uint64_t(cell->as_int()), d = uint64_t(amount.as_int());
  *cell = Value::from_int(int64_t(increment ? x + d : x - d));
  return true;
}
inline bool step_variable(Interp& ctx, bool increment) {
  uint32_t n = frame_holds(ctx, 1) ? 1 : frame_holds(ctx, 2) ? 2 : 0;
  if (n == 0) return false;
  Value name = ctx.top[0];
  ElementEntry* e = element_entry(name);
  if (!e || e->type != kTypeString) return false;
  if (!step_cell(ctx, e, name, n == 2 ? ctx.top[1] : Value::from_int(1), increment)) return false;
  ctx.frame_depth = ctx.top[n].lo();
  ctx.top += n + 1;
  value_release(name);
  return true;
}

// `_CALL:name` / `_CALL _POP:name` of a built-in command (a name with a
// handler and no label) or of a label in the code: the handler runs, or the
// subroutine is entered, without the name passing through the stack, as
// op_call does it.
[[gnu::always_inline]] inline bool call(Interp& ctx, uint32_t w, bool pop_after) {
  ElementEntry* e = name_entry(w);
  if (!e || !room(ctx, 1)) return false;
  if (e->flags & kFlagHasLabel) return call_label(ctx, e->target, pop_after);
  if (!(e->flags & kFlagHasCommand) || !e->handler) return false;
  const uint32_t* code = ctx.code;
  if ((e->handler == h_inc || e->handler == h_dec) && step_variable(ctx, e->handler == h_inc)) {
    // What run_command does after the handler.
    if (ctx.frame_changed && g_host.finish_drawing) g_host.finish_drawing(ctx);
  } else {
    run_command(ctx, e->handler);
  }
  // A command that replaced the program (scriptlink) left no frames to pop.
  if (pop_after && ctx.stop == 0 && ctx.code == code) discard_to_frame(ctx);
  return true;
}

// `name`, `_CALL:arrayref`, then a bare `AT` or `SET` (how `@name[i]` and
// `name[i] = v` compile) for an integer index and a variable that holds an
// array: the item read or stored directly, without making the ARRAYPATH
// element that `arrayref` passes to `at` or `set`. A read of a missing item
// and a store into a variable that does not exist yet take the generic way.
// The three words count as three tokens, as in `line`.
bool array_item(Interp& ctx, uint32_t w);

// `name` then `_CALL:inc` or `_CALL:dec` (how `inc name [amount]` compiles,
// the amount already in the frame): both words at once, as step_variable
// runs the call, the name never pushed. The call word is counted as a token
// of its own, as in `line`.
inline bool step_name(Interp& ctx, uint32_t w, bool increment) {
  if (ctx.tick_countdown < 1 || !room(ctx, 2)) return false;
  uint32_t n = frame_holds(ctx, 0) ? 0 : frame_holds(ctx, 1) ? 1 : 2;
  if (n == 2) return false;
  ElementEntry* e = name_entry(w);
  if (!e || !step_cell(ctx, e, operand_handle(w), n == 1 ? ctx.top[0] : Value::from_int(1), increment))
    return false;
  ctx.frame_depth = ctx.top[n].lo();
  ctx.top += n + 1;
  ctx.pc++;
  ctx.tick_countdown--;
  // What run_command does after the handler.
  if (ctx.frame_changed && g_host.finish_drawing) g_host.finish_drawing(ctx);
  return true;
}

// A name followed by a call of `arrayref`, `inc` or `dec`: the shortcuts
// above and below, both words (or all three) at once.
[[gnu::always_inline]] inline bool name_call(Interp& ctx, uint32_t w) {
  if (ctx.pc >= ctx.code_length) return false;
  uint32_t call = ctx.code[ctx.pc];
  if ((call >> 24) != (0x40 | OP_CALL)) return false;
  ElementEntry* callee = name_entry(call);
  if (!callee || (callee->flags & (kFlagHasCommand | kFlagHasLabel)) != kFlagHasCommand) return false;
  if (callee->handler == h_arrayref) return array_item(ctx, w);
  if (callee->handler == h_inc || callee->handler == h_dec) return step_name(ctx, w, callee->handler == h_inc);
  return false;
}

inline bool array_item(Interp& ctx, uint32_t w) {
  ElementEntry* e = name_entry(w);
  if (!e || ctx.pc + 1 >= ctx.code_length || ctx.tick_countdown < 2 || !room(ctx, 4) ||
      !frame_holds(ctx, 1) || !ctx.top[0].is_int())
    return false;
  uint32_t call = ctx.code[ctx.pc], then = ctx.code[ctx.pc + 1];
  ElementEntry* callee = (call >> 24) == (0x40 | OP_CALL) ? name_entry(call) : nullptr;
  if (!callee || (callee->flags & (kFlagHasCommand | kFlagHasLabel)) != kFlagHasCommand ||
      callee->handler != h_arrayref)
    return false;
  bool read = then == word_op(OP_AT), store = then == word_op(OP_SET);
  // The enclosing frame holds the inner one (and, for a store, the value under it).
  uint32_t outer = read ? 2 : 3;
  if ((!read && !store) || !ctx.top[outer].is_marker() || stack_depth(ctx) - outer != ctx.top[1].lo())
    return false;
  Value* cell = find(ctx, e, operand_handle(w));
  if (!cell || !array_of(*cell)) return false;
  Value index = ctx.top[0];
  if (read) {
    Value* item = table_find(*cell, index);
    if (!item) return false;
    Value v;
    if (!plain_value(*item, v)) return false;
    ctx.frame_depth = ctx.top[2].lo();
    ctx.top[2] = v;
    ctx.top += 2;
  } else {
    Value* item = table_get(*cell, index);
    if (!item || element_type_of(*item) == kTypeMemBuf) return false;
    Value v = ctx.top[2];
    ctx.frame_depth = ctx.top[3].lo();
    ctx.top += 4;
    Value old = *item;
    *item = v;
    value_release(old);
  }
  ctx.pc += 2;
  ctx.tick_countdown -= 2;
  return true;
}

// `SET:name` with one value in the frame, for a name that is no system
// variable or command and a variable that holds no memory buffer: the
// value moves from the stack into the variable.
[[gnu::always_inline]] inline bool set(Interp& ctx, uint32_t w) {
  ElementEntry* e = name_entry(w);
  if (!e || (e->flags & kFlagHasCommand) || !room(ctx, 1) || !frame_holds(ctx, 1)) return false;
  // An existing variable through its cached cell, as var_for_set finds it.
  Value* cell = find(ctx, e, operand_handle(w));
  if (!cell) cell = var_for_set(ctx, operand_handle(w));
  if (!cell || element_type_of(*cell) == kTypeMemBuf) return false;
  Value v = ctx.top[0];
  ctx.frame_depth = ctx.top[1].lo();
  ctx.top += 2;
  Value old = *cell;
  *cell = v;
  value_release(old);
  return true;
}

// `_IF:label` / `_IFNOT:label` on an integer condition.
[[gnu::always_inline]] inline bool branch(Interp& ctx, uint32_t w, bool jump_when) {
  uint32_t target = label_target(w);
  if (target == kNoLabel || !room(ctx, 1) || ctx.top >= ctx.stack_base || !ctx.top->is_int()) return false;
  bool truth = ctx.top->as_int() != 0;
  ctx.top++;
  if (truth == jump_when) ctx.pc = target;
  return true;
}

// After an operator: when the next word tests its result (`_IF:label` or
// `_IFNOT:label`, how every condition compiles) or stores it (`SET:name`,
// how `name = expression` ends), that word runs at once as `branch` or
// `set` runs it. It is counted as a token of its own, as in `line`.
[[gnu::always_inline]] inline void then_use(Interp& ctx) {
  if (ctx.pc >= ctx.code_length || ctx.tick_countdown < 1) return;
  uint32_t next = ctx.code[ctx.pc];
  uint32_t op = (next >> 24) ^ 0x40;
  if (op != OP_IF && op != OP_IFNOT && op != OP_SET) return;
  ctx.pc++;  // past the word, where a jump not taken leaves it
  if (op == OP_SET ? set(ctx, next) : branch(ctx, next, op == OP_IF))
    ctx.tick_countdown--;
  else
    ctx.pc--;
}

// value_from_float for the context, inline while var_floatround is 0 (it
// holds the integer 0, whose cell is all zero bits).
[[gnu::always_inline]] inline Value float_result(Interp& ctx, double d) {
  if (ctx.sysvars[SV_var_floatround].bits == 0) return Value::from_double(d);
  return value_from_float(&ctx, d);
}

// float_op, the four most frequent operators inline.
[[gnu::always_inline]] inline double float_arith(uint32_t number, double x, double y) {
  switch (number) {
    case OP_ADD: return x + y;
    case OP_SUBTRACT: return x - y;
    case OP_MULTIPLY: return x * y;
    default: return float_op(number, x, y);
  }
}

// An operand of arithmetic in float mode: a number, or a text (read as
// value_to_float reads it; a float literal such as "0.5" is a text);
// `floaty` is set for a float or a text that reads as one, as apply_op's
// is_floaty sees them.
[[gnu::always_inline]] inline bool float_operand(Value v, double& d, bool& floaty) {
  if (v.is_int()) {
    d = double(v.as_int());
    return true;
  }
  if (v.is_float()) {
    d = v.as_double();
    floaty = true;
    return true;
  }
  ElementEntry* e = element_entry(v);
  if (!e || e->type != kTypeString) return false;
  std::string_view s(static_cast<const char*>(e->payload), size_t(e->size));
  d = parse_float(s);
  floaty = floaty || looks_like_float(s);
  return true;
}

// Operator `number` on a and b when fast::binary's shapes cover them: two
// numbers, or arithmetic (no comparison, which compares texts as texts) on
// numbers and texts with a float or a text that reads as one among them.
// False for anything else, which apply_op computes.
[[gnu::always_inline]] inline bool compute(Interp& ctx, uint32_t number, Value a, Value b, Value& result) {
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
    return true;
  }
  if ((a.is_int() || a.is_float()) && (b.is_int() || b.is_float())) {
    if (a == b && number >= OP_EQUAL && number <= OP_EQUALGREATERTHAN) {
      // The same number on both sides compares as equal, to an integer.
      result = Value::from_int(number == OP_EQUAL || number == OP_EQUALLESSTHAN || number == OP_EQUALGREATERTHAN);
      return true;
    }
    // Float mode, as apply_op computes it for two numbers.
    double x = a.is_int() ? double(a.as_int()) : a.as_double();
    double y = b.is_int() ? double(b.as_int()) : b.as_double();
    result = float_result(ctx, float_arith(number, x, y));
    return true;
  }
  if (number >= OP_EQUAL && number <= OP_EQUALGREATERTHAN) return false;
  double x, y;
  bool floaty = false;
  if (!float_operand(a, x, floaty) || !float_operand(b, y, floaty) || !floaty) return false;
  result = float_result(ctx, float_arith(number, x, y));
  return true;
}

// A binary operator on two integers or two numbers: `a OP#imm` with one
// value in the frame, or `a b OP` with two; and an arithmetic operator (no
// comparison, which compares texts as texts) on a number and a float
// literal: `a OP:"0.5"` with one value, or `a b OP` with two.
[[gnu::always_inline]] inline bool binary(Interp& ctx, uint32_t w) {
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
    if (!room(ctx, 1) || !frame_holds(ctx, 1)) return false;
    a = ctx.top[0];
    b = operand_handle(w);  // borrowed from the code: never on the stack
    args = 1;
  }
  Value result;
  if (!compute(ctx, number, a, b, result)) return false;
  // Texts that were arguments leave the stack (numbers hold no reference).
  value_release(a);
  if (args == 2) value_release(b);
  ctx.frame_depth = ctx.top[args].lo();
  ctx.top[args] = result;
  ctx.top += args;
  then_use(ctx);
  return true;
}

// `_GOTO:label`.
[[gnu::always_inline]] inline bool jump(Interp& ctx, uint32_t w) {
  uint32_t target = label_target(w);
  if (target == kNoLabel || !room(ctx, 1)) return false;
  ctx.pc = target;
  return true;
}

}  // namespace fast
}  // namespace vm
