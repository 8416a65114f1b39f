#include "vm/interp.h"

#include <cstdlib>
#include <cstring>

#include "vm/clock.h"
#include "vm/commands.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/fast_paths.h"
#include "vm/heap.h"
#include "vm/measure.h"
#include "vm/opcodes.h"
#include "vm/operators.h"
#include "vm/runs.h"
#include "vm/triggers.h"
#include "vm/variables.h"

namespace vm {

HostHooks g_host;
Interp* interp_current = nullptr;
bool g_fast_paths = true;

namespace {

constexpr int kMaxClosers = 16;
void (*g_closers[kMaxClosers])(Interp&);
int g_closer_count = 0;

void instance_cleanup(uint32_t, void* payload) {
  auto* ctx = static_cast<Interp*>(payload);
  ctx->tearing_down = true;
  if (interp_current == ctx) interp_current = nullptr;
  if (g_host.instance_closing) g_host.instance_closing(*ctx);
  for (int i = g_closer_count; i-- > 0;) g_closers[i](*ctx);
  // Pop every cell, then drop the scopes, the file name and the variables.
  while (ctx->top < ctx->stack_base) value_release(*ctx->top++);
  frames_free(*ctx);
  Value scopes = ctx->scopes;
  ctx->scopes = Value::null();
  value_release(scopes);
  while (ctx->spare_scope_count > 0) element_release(ctx->spare_scopes[--ctx->spare_scope_count]);
  Value file = ctx->current_file;
  ctx->current_file = Value::null();
  value_release(file);
  for (Value& cell : ctx->sysvars) {
    Value v = cell;
    cell = Value::null();
    value_release(v);
  }
  runs_forget(*ctx);
  element_release(ctx->stack_handle);
}

// Handlers of the fused command opcodes, looked up once by name.
CommandHandler g_fused[kLastFusedCommand - kFirstFusedCommand + 1];

}  // namespace

void interp_add_closer(void (*closer)(Interp&)) {
  for (int i = 0; i < g_closer_count; i++)
    if (g_closers[i] == closer) return;
  if (g_closer_count < kMaxClosers) g_closers[g_closer_count++] = closer;
}

void vm_init(const CommandInfo* table) {
  const char* no_fast = std::getenv("QUILLON_NO_FAST_PATHS");
  g_fast_paths = !(no_fast && *no_fast && std::strcmp(no_fast, "0") != 0);
  commands_register(table);
  measure_register();
  g_own_names.retpc = static_name_intern("_retpc", 6);
  g_own_names.retsp = static_name_intern("_retsp", 6);
  g_own_names.with = static_name_intern("_with", 5);
  g_own_names.trigger = static_name_intern("_trigger", 8);
  element_set_cleanup(kTypeInstance, instance_cleanup);
  variables_register_cleanup();
  triggers_register();
  for (const Operator& o : kOperators) {
    if (o.run != OperatorRun::fused) continue;
    uint32_t c = command_find(o.command);
    g_fused[o.opcode - kFirstFusedCommand] = c ? table[c].handler : not_present;
  }
}

Interp* interp_create() {
  uint32_t inst = element_create(nullptr, sizeof(Interp), kTypeInstance);
  auto* ctx = static_cast<Interp*>(element_lookup(inst, kTypeInstance));
  if (!ctx) return nullptr;
  uint32_t stack = element_create(nullptr, size_t(kStackCells) * sizeof(Value), kTypeStack);
  ctx = static_cast<Interp*>(element_lookup(inst, kTypeInstance));
  auto* cells = static_cast<Value*>(element_lookup(stack, kTypeStack));
  if (!cells) {
    element_release(inst);
    return nullptr;
  }
  ctx->instance = inst;
  ctx->stack_handle = stack;
  ctx->stack_limit = cells;
  ctx->stack_base = cells + kStackCells;
  ctx->top = ctx->stack_base;
  ctx->scopes = Value::null();
  ctx->current_file = Value::null();
  ctx->scope_depth = 1;
  // The global and the script-level scope tables exist from the start, so
  // the scope keys form the dense run that lookups expect.
  scope_table(*ctx, 0, true);
  scope_table(*ctx, 1, true);
  for (Value& cell : ctx->sysvars) cell = Value::null();
  sysvars_init(*ctx);
  ctx->tick_countdown = 0;
  return ctx;
}

void interp_destroy(Interp* ctx) {
  if (ctx) element_release(ctx->instance);
}

void interp_attach_code(Interp& ctx, const uint32_t* code, uint32_t length) {
  runs_forget(ctx);
  ctx.code = code;
  ctx.code_length = length;
  ctx.pc = 0;
}

void discard_to_frame(Interp& ctx) {
  while (ctx.top < ctx.stack_base && !ctx.top->is_marker()) value_release(*ctx.top++);
  if (ctx.top >= ctx.stack_base || stack_depth(ctx) != ctx.frame_depth) {
    raise(ctx, kErrStackCorrupt);
    return;
  }
  ctx.frame_depth = ctx.top->lo();
  ctx.top++;
}

void show_held_drawing(Interp& ctx) {
  if (g_host.present_held) g_host.present_held(ctx);
}

// A fixed clock moves on by 1 ms instead of sleeping.
void idle_yield(Interp& ctx) {
  show_held_drawing(ctx);
  bool had = g_host.pump && g_host.pump(ctx);
  if (clock_fixed()) {
    clock_advance_ms(1);
  } else if (!had && g_host.sleep_1ms) {
    g_host.sleep_1ms(ctx);
  }
  if (g_host.idle) g_host.idle(ctx);
}

namespace {

// The slow part of the host tick, run when `tick_countdown` runs out: the
// message pump every var_sysmessageskip + 1 tokens, the per-token hook, the
// stop check and the trigger dispatch. Returns true when the loop must
// return. Between slow passes the loop only counts down: anything that needs
// attention sooner (an error, a queued trigger, a per-token hook) sets the
// countdown to 0 through interp_request_tick.
// Counts the tokens run since the countdown was last set: a fixed clock
// moves on by them.
void count_work(Interp& ctx) {
  if (!clock_fixed()) return;
  const int64_t ran = int64_t(ctx.tick_budget) - ctx.tick_countdown;
  ctx.tick_budget = 0;
  if (ran <= 0) return;
  uint64_t work = ctx.fixed_work + uint64_t(ran);
  if (work >= kFixedClockTokensPerMs) clock_advance_ms(work / kFixedClockTokensPerMs);
  ctx.fixed_work = uint32_t(work % kFixedClockTokensPerMs);
}

constexpr int32_t kUnpumpedStretch = 1 << 16;

bool slow_tick_of(Interp& ctx) {
  count_work(ctx);
  for (;;) {
    if (ctx.stop) return true;
    if (ctx.pump_countdown > 0) {
      ctx.pump_countdown--;
    } else {
      if (g_host.pump) g_host.pump(ctx);
      const Value cell = ctx.sysvars[SV_var_sysmessageskip];
      int64_t skip = cell.is_int() ? cell.as_int() : sysvar_int(ctx, SV_var_sysmessageskip);
      ctx.pump_countdown = skip < 0 ? 0 : (skip > 0x7fffffff ? 0x7fffffff : int32_t(skip));
    }
    if (g_host.tick) g_host.tick(ctx);
    if (ctx.stop) return true;
    bool per_token = g_host.tick || ctx.pending_triggers > 0;
    if (per_token) {
      ctx.tick_countdown = 0;
    } else if (!g_host.pump && !clock_fixed()) {
      // With no message pump, nothing waits for a slow pass but what asks
      // for one (an error, a trigger, a hook) through interp_request_tick:
      // the loop goes on for a long stretch, still well under a millisecond.
      ctx.tick_countdown = kUnpumpedStretch;
    } else {
      // The tokens until the next pump run without a slow pass.
      ctx.tick_countdown = ctx.pump_countdown;
      ctx.pump_countdown = 0;
    }
    ctx.tick_budget = ctx.tick_countdown;
    if (ctx.pending_triggers > 0 && g_host.fire_trigger && g_host.fire_trigger(ctx)) continue;
    return false;
  }
}

Value packed_float(Interp& ctx, uint32_t w) { return value_from_float(&ctx, float_literal_value(w)); }

}  // namespace

bool interp_slow_tick(Interp& ctx) { return slow_tick_of(ctx); }

CommandHandler fused_handler(uint32_t op) {
  return op >= kFirstFusedCommand && op <= kLastFusedCommand ? g_fused[op - kFirstFusedCommand] : nullptr;
}

void interp_request_tick(Interp& ctx) {
  count_work(ctx);
  ctx.tick_countdown = 0;
}

// The main loop. Each token word is dispatched through a table indexed by
// its top byte (the word class, or 0x40 + the opcode), and every case ends
// with its own fetch and dispatch, so the processor predicts each case's
// successor separately. The opcode part of the table comes from
// QUILLON_OPCODES, in list order: opcode n runs the case op_<its case>.
// A few cases first try a shortcut of vm/fast_paths.h (FAST), which does
// what the case does for the word's most frequent shape.
void interp_run(Interp& ctx) {
  interp_current = &ctx;
  if (ctx.stop) return;
  uint32_t w;
  int64_t imm;
  const bool fast_paths = g_fast_paths;

#define R4(x) x, x, x, x
#define R16(x) R4(x), R4(x), R4(x), R4(x)
#define R64(x) R16(x), R16(x), R16(x), R16(x)
#define X(num, id, name, run) &&op_##run,
#define OPERATOR(num, id, command, symbol, binding, run) &&op_##run,
#define UNUSED(first, last) R16(&&op_bad),
  static const void* const kDispatch[] = {
      R64(&&int_word),
      QUILLON_OPCODES(X, OPERATOR, UNUSED)
      R64(&&float_word),
      R64(&&negative_word)};
#undef UNUSED
  // Unused ranges are filled 16 at a time.
#define UNUSED(first, last) static_assert((last) - (first) + 1 == 16);
  QUILLON_OPCODES(QUILLON_SKIP, QUILLON_SKIP, UNUSED)
#undef UNUSED
#undef OPERATOR
#undef X
  static_assert(sizeof kDispatch / sizeof kDispatch[0] == 256);
#undef R64
#undef R16
#undef R4

// Fetches the next word and jumps to its case.
#define NEXT()                                     \
  do {                                             \
    if (--ctx.tick_countdown < 0) goto slow;       \
    if (ctx.pc >= ctx.code_length) return;         \
    w = ctx.code[ctx.pc++];                        \
    goto* kDispatch[w >> 24];                      \
  } while (0)
// Runs a shortcut of vm/fast_paths.h when it applies to this shape.
#define FAST(call)                    \
  do {                                \
    if (fast_paths && (call)) NEXT(); \
  } while (0)
// Pushes the operand of an opcode word (an immediate or an element handle)
// before the opcode runs; a push that overflows the stack ends the loop.
#define OPERAND()                                                   \
  do {                                                              \
    if (w & 0x800000) {                                             \
      imm = int64_t(int32_t(w << 9) >> 9);                          \
      if (ctx.top <= ctx.stack_limit) goto overflow;                \
      *--ctx.top = Value::from_int(imm);                            \
    } else if (w & 0xffffff) {                                      \
      if (ctx.top <= ctx.stack_limit) goto overflow;                \
      Value h = Value::from_handle(kHandleBase + (w & 0xffffff));   \
      value_ref(h);                                                 \
      *--ctx.top = h;                                               \
    }                                                               \
  } while (0)

  NEXT();

slow:
  if (slow_tick_of(ctx)) return;
  if (ctx.pc >= ctx.code_length) return;
  w = ctx.code[ctx.pc++];
  goto* kDispatch[w >> 24];

overflow:
  raise(ctx, kErrStackOverflow);
  return;

int_word:
  push_int(ctx, int64_t(w));
  NEXT();
negative_word:
  push_int(ctx, int64_t(int32_t(w)));
  NEXT();
float_word:
  push_owned(ctx, packed_float(ctx, w));
  NEXT();
op_push:
  if ((w & 0xffffff) == 0) return;  // the end word
  FAST(try_run(ctx, ctx.runs, ctx.code, ctx.pc));
  FAST(fast::line(ctx, w));
  FAST(fast::name_call(ctx, w));
  push(ctx, Value::from_handle(kHandleBase + (w & 0xffffff)));
  NEXT();
op_push2:
  push_int(ctx, (w >> 8) & 0xff);
  push_int(ctx, w & 0xff);
  NEXT();
op_push3:
  push_int(ctx, (w >> 16) & 0xff);
  push_int(ctx, (w >> 8) & 0xff);
  push_int(ctx, w & 0xff);
  NEXT();
op_label:
  FAST(try_run(ctx, ctx.runs, ctx.code, ctx.pc));
  OPERAND();
  pop(ctx);
  NEXT();
op_line:
  OPERAND();
  op_line(ctx);
  NEXT();
op_call:
  FAST(fast::call(ctx, w, false));
  OPERAND();
  op_call(ctx, false);
  NEXT();
op_pop:
  OPERAND();
  discard_to_frame(ctx);
  NEXT();
op_tail:
  FAST(try_run(ctx, ctx.runs, ctx.code, ctx.pc));
  FAST(fast::tail_reads(ctx, w, 1));
  OPERAND();
  open_frame(ctx);
  NEXT();
op_call_pop:
  FAST(fast::call(ctx, w, true));
  OPERAND();
  op_call(ctx, true);
  NEXT();
op_goto:
  FAST(fast::jump(ctx, w));
  OPERAND();
  op_goto(ctx);
  NEXT();
op_if:
  FAST(fast::branch(ctx, w, true));
  OPERAND();
  op_if(ctx, true, false);
  NEXT();
op_ifnot:
  FAST(fast::branch(ctx, w, false));
  OPERAND();
  op_if(ctx, false, false);
  NEXT();
op_return:
  OPERAND();
  op_return(ctx);
  NEXT();
op_tail_tail:
  FAST(try_run(ctx, ctx.runs, ctx.code, ctx.pc));
  FAST(fast::tail_reads(ctx, w, 2));
  OPERAND();
  open_frame(ctx);
  open_frame(ctx);
  NEXT();
op_line_tail:
  OPERAND();
  op_line(ctx);
  open_frame(ctx);
  NEXT();
op_line_tail_tail:
  OPERAND();
  op_line(ctx);
  open_frame(ctx);
  open_frame(ctx);
  NEXT();
op_idlegoto:
  OPERAND();
  op_idlegoto(ctx);
  NEXT();
op_idleif:
  OPERAND();
  op_if(ctx, true, true);
  NEXT();
op_idleifnot:
  OPERAND();
  op_if(ctx, false, true);
  NEXT();
op_null_call:
  OPERAND();
  push(ctx, Value::null());
  NEXT();
op_fused:
  FAST(((w >> 24) & 0x3f) == OP_AT && fast::at(ctx, w));
  FAST(((w >> 24) & 0x3f) == OP_SET && fast::set(ctx, w));
  OPERAND();
  g_fused[((w >> 24) & 0x3f) - kFirstFusedCommand](ctx);
  NEXT();
op_binary:
  FAST(fast::binary(ctx, w));
  OPERAND();
  binary_op(ctx, (w >> 24) & 0x3f);
  NEXT();
op_bad:
  OPERAND();
  raise(ctx, kErrBadCommandToken);
  NEXT();

#undef OPERAND
#undef FAST
#undef NEXT
}


}  // namespace vm
