#include "vm/interp.h"

#include <cstring>

#include "commands/time.h"
#include "vm/commands.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/heap.h"
#include "vm/opcodes.h"
#include "vm/operators.h"
#include "vm/variables.h"

namespace vm {

HostHooks g_host;
Interp* interp_current = nullptr;

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
  Value scopes = ctx->scopes;
  ctx->scopes = Value::null();
  value_release(scopes);
  Value file = ctx->current_file;
  ctx->current_file = Value::null();
  value_release(file);
  for (Value& cell : ctx->sysvars) {
    Value v = cell;
    cell = Value::null();
    value_release(v);
  }
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

void vm_init() {
  commands_register();
  time_register();
  g_own_names.retpc = static_name_intern("_retpc", 6);
  g_own_names.retsp = static_name_intern("_retsp", 6);
  g_own_names.with = static_name_intern("_with", 5);
  element_set_cleanup(kTypeInstance, instance_cleanup);
  variables_register_cleanup();
  for (uint32_t i = 0; i <= kLastFusedCommand - kFirstFusedCommand; i++) {
    uint32_t c = command_find(kFusedCommandNames[i]);
    g_fused[i] = c ? kCommands[c].handler : not_present;
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
  ctx->stack_cells = kStackCells;
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
  ctx.code = code;
  ctx.code_length = length;
  ctx.pc = 0;
}

uint32_t close_frame(Interp& ctx) {
  uint32_t depth = stack_depth(ctx);
  uint32_t fd = ctx.frame_depth;
  if (fd == 0 || fd > depth) {
    raise(ctx, kErrStackCorrupt);
    return 0;
  }
  Value* marker = ctx.stack_base - fd;
  if (!marker->is_marker()) {
    raise(ctx, kErrStackCorrupt);
    return 0;
  }
  uint32_t n = depth - fd;
  ctx.frame_depth = marker->lo();
  if (n == 1) {
    ctx.top[1] = ctx.top[0];
  } else if (n == 2) {
    ctx.top[2] = ctx.top[1];
    ctx.top[1] = ctx.top[0];
  } else if (n) {
    std::memmove(ctx.top + 1, ctx.top, size_t(n) * sizeof(Value));
  }
  ctx.top++;
  return n;
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

void idle_yield(Interp& ctx) {
  bool had = g_host.pump && g_host.pump(ctx);
  if (!had && g_host.sleep_1ms) g_host.sleep_1ms(ctx);
}

namespace {

// Host tick, before every token: the message pump every
// var_sysmessageskip + 1 tokens, then the per-token hooks.
inline bool host_tick(Interp& ctx) {
  if (ctx.tick_countdown > 0) {
    ctx.tick_countdown--;
  } else {
    if (g_host.pump) g_host.pump(ctx);
    int64_t skip = sysvar_int(ctx, SV_var_sysmessageskip);
    ctx.tick_countdown = skip < 0 ? 0 : (skip > 0x7fffffff ? 0x7fffffff : int32_t(skip));
  }
  if (g_host.tick) g_host.tick(ctx);
  return ctx.stop != 0;
}

Value packed_float(Interp& ctx, uint32_t w) {
  uint32_t sign = (w >> 29) & 1, s = (w >> 23) & 0x3f, frac = w & 0x7fffff;
  uint32_t single = (sign << 31) | ((s + 96) << 23) | frac;
  float f;
  std::memcpy(&f, &single, sizeof f);
  return value_from_float(&ctx, double(f));
}

}  // namespace

void interp_run(Interp& ctx) {
  interp_current = &ctx;
  while (ctx.stop == 0) {
    if (host_tick(ctx)) return;
    if (ctx.pending_triggers > 0 && g_host.fire_trigger && g_host.fire_trigger(ctx)) continue;
    if (ctx.pc >= ctx.code_length) return;  // ran off the end: the loader always ends with 0x40000000
    uint32_t w = ctx.code[ctx.pc++];
    switch (w >> 30) {
      case 0:
        push_int(ctx, int64_t(w));
        continue;
      case 3:
        push_int(ctx, int64_t(int32_t(w)));
        continue;
      case 2:
        push_owned(ctx, packed_float(ctx, w));
        continue;
      default:
        break;
    }
    uint32_t op = (w >> 24) & 0x3f;
    uint32_t operand = w & 0xffffff;
    if (op == 0) {
      if (operand == 0) return;  // end of program
      push(ctx, Value::from_handle(kHandleBase + operand));
      continue;
    }
    if (op >= OP_PUSH2BYTES) {
      if (op == OP_PUSH3BYTES) push_int(ctx, (operand >> 16) & 0xff);
      push_int(ctx, (operand >> 8) & 0xff);
      push_int(ctx, operand & 0xff);
      continue;
    }
    if (operand & 0x800000) {
      push_int(ctx, int64_t(int32_t(operand << 9) >> 9));
    } else if (operand) {
      push(ctx, Value::from_handle(kHandleBase + operand));
    }
    if (ctx.stop) return;
    if (op >= kFirstBinaryOp && op <= kLastBinaryOp) {
      binary_op(ctx, op);
      continue;
    }
    if (op >= kFirstFusedCommand && op <= kLastFusedCommand) {
      g_fused[op - kFirstFusedCommand](ctx);
      continue;
    }
    switch (op) {
      case OP_LABEL: pop(ctx); break;
      case OP_LINE: op_line(ctx); break;
      case OP_CALL: op_call(ctx, false); break;
      case OP_POP: discard_to_frame(ctx); break;
      case OP_TAIL: open_frame(ctx); break;
      case OP_CALL_POP: op_call(ctx, true); break;
      case OP_GOTO: op_goto(ctx); break;
      case OP_IF: op_if(ctx, true, false); break;
      case OP_IFNOT: op_if(ctx, false, false); break;
      case OP_RETURN: op_return(ctx); break;
      case OP_TAIL_TAIL:
        open_frame(ctx);
        open_frame(ctx);
        break;
      case OP_LINE_TAIL:
        op_line(ctx);
        open_frame(ctx);
        break;
      case OP_LINE_TAIL_TAIL:
        op_line(ctx);
        open_frame(ctx);
        open_frame(ctx);
        break;
      case OP_IDLEGOTO: op_idlegoto(ctx); break;
      case OP_IDLEIF: op_if(ctx, true, true); break;
      case OP_IDLEIFNOT: op_if(ctx, false, true); break;
      case OP_NULL_CALL: push(ctx, Value::null()); break;
      default: raise(ctx, kErrBadCommandToken); break;
    }
  }
}

const char* opcode_name(uint32_t opcode) {
  switch (opcode) {
#define X(num, id, name) \
  case num:              \
    return name;
    QUILLON_OPCODES(X)
#undef X
    default:
      return "";
  }
}

}  // namespace vm
