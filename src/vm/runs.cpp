#include "vm/runs.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "vm/call_frames.h"
#include "vm/clock.h"
#include "vm/command_names.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/fast_paths.h"
#include "vm/interp.h"
#include "vm/opcodes.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace vm {

namespace {

constexpr uint32_t kNotLooked = 0, kNoRun = 1;
constexpr uint32_t kMaxValues = 16;  // values (and frames) a statement holds at once
constexpr uint32_t kMaxStatementWords = 1024;
constexpr uint32_t kMaxRunStatements = 64;
// A run whose first statement was refused this often in a row (a variable
// that holds an array, a text compared with a number) is left to the
// word-by-word loop.
constexpr uint32_t kMaxRefusals = 64;

bool is_opcode(uint32_t w, uint32_t op) { return (w >> 24) == (0x40 | op); }
bool has_imm(uint32_t w) { return (w & 0x800000) != 0; }
[[gnu::always_inline]] inline uint32_t operand(uint32_t w) { return w & 0xffffff; }
[[gnu::always_inline]] inline Value operand_handle(uint32_t w) { return Value::from_handle(kHandleBase + operand(w)); }

// The value a word's operand pushes: its immediate integer or its handle.
Value operand_value(uint32_t w) { return has_imm(w) ? Value::from_int(int32_t(w << 9) >> 9) : operand_handle(w); }

// A handle operand naming a text.
bool names_text(uint32_t w) {
  return !has_imm(w) && operand(w) != 0 && element_type_of(operand_handle(w)) == kTypeString;
}

// The handler a call of `name` reaches when the name is a command and no
// label; else null. Translating and running check callees through it.
[[gnu::always_inline]] inline CommandHandler command_of(Value name) {
  ElementEntry* e = element_entry(name);
  return e && e->type == kTypeString && (e->flags & (kFlagHasCommand | kFlagHasLabel)) == kFlagHasCommand
             ? e->handler
             : nullptr;
}

// A call word naming a text: the command it calls (command_of), or null.
CommandHandler called_command(uint32_t call) {
  return is_opcode(call, OP_CALL) && names_text(call) ? command_of(operand_handle(call)) : nullptr;
}

// A call of inc or dec by name: `name _CALL:inc`.
bool is_step_command(uint32_t call) {
  CommandHandler h = called_command(call);
  return h && (h == h_inc || h == h_dec);
}

// A call of arrayref by name followed by a bare AT or SET: `name _CALL:arrayref AT`.
bool is_item_call(uint32_t call, uint32_t then) {
  return (then == word_op(OP_AT) || then == word_op(OP_SET)) && called_command(call) == h_arrayref;
}

// A call of a system variable's command by name that only reads its value:
// its number, or kSysVarCount.
uint32_t plain_system_variable(uint32_t call) {
  CommandHandler h = called_command(call);
  if (!h) return kSysVarCount;
  std::string_view name = element_text(operand_handle(call));
  uint32_t index = sysvar_find(name.data(), uint32_t(name.size()));
  return index < kSysVarCount && h == sysvar_handler(index) ? index : kSysVarCount;
}

// A call by name of a command that computes its result from its arguments
// alone (kCommandNames' pure ones), as the name is bound now: its handler,
// or null.
CommandHandler pure_command(uint32_t call) {
  CommandHandler h = called_command(call);
  if (!h) return nullptr;
  uint32_t k = command_name_find(element_text(operand_handle(call)));
  return k && kCommandNames[k].pure ? h : nullptr;
}

// A fused command opcode whose command computes from its arguments alone
// (`$`): the handler its word calls, or null.
CommandHandler pure_fused(uint32_t op) {
  for (const Operator& o : kOperators) {
    if (o.opcode != op || o.run != OperatorRun::fused) continue;
    uint32_t k = command_name_find(o.command);
    return k && kCommandNames[k].pure ? fused_handler(op) : nullptr;
  }
  return nullptr;
}

RunStep make_step(RunStepKind kind, uint8_t number = 0, uint32_t word = 0, Value value = Value::null()) {
  RunStep s{};
  s.kind = kind;
  s.number = number;
  s.word = word;
  s.value = value;
  s.file = Value::null();
  s.operand = Value::null();
  return s;
}

// Packs how many values a statement left before its first frame and in
// each frame it left open into RunStep::layout; false when they do not fit.
bool frame_layout(uint32_t outside, const uint32_t* frames, uint32_t depth, uint32_t& layout) {
  if (depth > 6 || outside > 15) return false;
  layout = outside | depth << 28;
  for (uint32_t i = 0; i < depth; i++) {
    if (frames[i] > 15) return false;
    layout |= frames[i] << (4 * (i + 1));
  }
  return true;
}

// Translates the statements from word `start` on, as the words would run
// them one by one, into t.statements and t.steps; stops before the first
// word it does not cover. The frames are followed statically: `frames`
// holds the values in each frame the statement opened, `outside` those it
// left in the frame that was open before it; a statement ends at a store,
// test, counter step or jump that leaves both empty, which makes its
// effect on the value stack nil. Returns the run's entry for t.at.
uint32_t translate(RunTable& t, uint32_t start) {
  const uint32_t* code = t.code;
  const size_t first_statement = t.statements.size();
  uint32_t frames[kMaxValues];
  uint32_t depth = 0, outside = 0, values = 0, cells = 0, peak = 0;
  uint32_t calls = 0;  // call steps of the statement: each may own one text
  uint32_t at = start;
  RunStatement s{start, uint32_t(t.steps.size()), 0, 0};
  bool has_line = false, ended = false;
  uint32_t line = 0;
  Value file = Value::null();
  auto add = [&](RunStep step) { t.steps.push_back(step); };
  // A constant pushed by the statement's last step becomes the operand of
  // the step that takes it.
  auto fold_constant = [&](RunStep& step) {
    if (t.steps.size() <= s.first_step || t.steps.back().kind != RunStepKind::push) return false;
    step.operand = t.steps.back().value;
    t.steps.pop_back();
    return true;
  };
  // A value pushed into the innermost frame (or the one open before).
  auto push_value = [&]() {
    if (values >= kMaxValues) return false;
    values++;
    (depth ? frames[depth - 1] : outside)++;
    return true;
  };
  auto open = [&](uint32_t n) {
    if (depth + n > kMaxValues) return false;
    while (n--) frames[depth++] = 0;
    return true;
  };
  // The value-stack cells the words push for a moment, then keep.
  auto use = [&](uint32_t pushed, int32_t after) {
    peak = std::max(peak, cells + pushed);
    cells = uint32_t(int32_t(cells) + after);
  };
  while (!ended && at < t.length && t.statements.size() - first_statement < kMaxRunStatements &&
         at - s.start < kMaxStatementWords) {
    const uint32_t w = code[at];
    const uint32_t top = w >> 24;
    bool commits = false;
    uint32_t words = 1;
    if (top < 0x40 || top >= 0xc0) {  // an integer
      if (!push_value()) break;
      add(make_step(RunStepKind::push, 0, 0, Value::from_int(top < 0x40 ? int64_t(w) : int64_t(int32_t(w)))));
      use(1, 1);
    } else if (top >= 0x80) {  // a float
      if (!push_value()) break;
      RunStep step = make_step(RunStepKind::number);
      step.real = float_literal_value(w);
      add(step);
      use(1, 1);
    } else {
      const uint32_t op = top & 0x3f;
      const uint32_t next = at + 1 < t.length ? code[at + 1] : kEndWord;
      if (op == OP_PUSH && operand(w) != 0 && has_imm(next) &&
          (is_opcode(next, OP_LINE) || is_opcode(next, OP_LINE_TAIL) || is_opcode(next, OP_LINE_TAIL_TAIL))) {
        // The file name and the line that start a statement (labels
        // before them belong to it: they only pop their own name).
        if (at != s.start && (t.steps.size() != s.first_step || depth != 0 || outside != 0)) break;
        uint32_t opened = is_opcode(next, OP_LINE) ? 0 : is_opcode(next, OP_LINE_TAIL) ? 1 : 2;
        if (!open(opened)) break;
        has_line = true;
        line = uint32_t(int32_t(next << 9) >> 9);
        file = operand_handle(w);
        use(2, int32_t(opened));
        words = 2;
      } else if (op == OP_PUSH && names_text(w) && is_step_command(next)) {
        // `name _CALL:inc`, the frame holding nothing or the amount.
        if (depth == 0 || frames[depth - 1] > 1) break;
        uint32_t amount = frames[depth - 1];
        RunStep step = make_step(RunStepKind::step, uint8_t(amount), w, operand_handle(next));
        step.handler = called_command(next);
        if (amount && fold_constant(step)) step.number = 2;
        add(step);
        values -= amount;
        depth--;
        use(2, -int32_t(amount + 1));
        words = 2;
        commits = true;
      } else if (op == OP_PUSH && names_text(w) && at + 2 < t.length && is_item_call(next, code[at + 2])) {
        // `name _CALL:arrayref` with the index in its frame, then a bare
        // `AT` in a frame of its own (a read) or a bare `SET` in a frame
        // that holds the value (a store).
        const bool read = code[at + 2] == word_op(OP_AT);
        if (depth < 2 || frames[depth - 1] != 1 || frames[depth - 2] != (read ? 0 : 1)) break;
        depth -= 2;
        values -= read ? 1 : 2;
        if (read && !push_value()) break;
        RunStep step = make_step(read ? RunStepKind::item : RunStepKind::item_set, 0, w, operand_handle(next));
        step.handler = h_arrayref;
        add(step);
        use(2, read ? -2 : -4);
        words = 3;
        commits = !read;
      } else if (op == OP_PUSH && names_text(w)) {  // a text constant
        if (!push_value()) break;
        add(make_step(RunStepKind::push, 0, 0, operand_handle(w)));
        use(1, 1);
      } else if (op == OP_PUSH2BYTES || op == OP_PUSH3BYTES) {
        uint32_t n = op == OP_PUSH2BYTES ? 2 : 3;
        bool ok = true;
        for (uint32_t i = n; ok && i-- > 0;) {
          ok = push_value();
          if (ok) add(make_step(RunStepKind::push, 0, 0, Value::from_int((w >> (8 * i)) & 0xff)));
        }
        if (!ok) break;
        use(n, int32_t(n));
      } else if (op == OP_LABEL && names_text(w)) {
        use(1, 0);
      } else if ((op == OP_TAIL || op == OP_TAIL_TAIL) && (has_imm(w) || operand(w) == 0 || names_text(w))) {
        // The operand, when there is one, goes into the frame open before.
        uint32_t n = op == OP_TAIL ? 1 : 2, pushed = operand(w) != 0;
        if (pushed) {
          if (!push_value()) break;
          add(make_step(RunStepKind::push, 0, 0,
                        operand_value(w)));
        }
        if (!open(n)) break;
        use(n + pushed, int32_t(n + pushed));
      } else if (uint32_t index = plain_system_variable(w); index < kSysVarCount) {
        if (depth == 0 || frames[depth - 1] > 1) break;
        const bool store = frames[depth - 1] == 1;
        if (store && !sysvar_plain_store(index)) break;
        depth--;
        RunStep step =
            make_step(store ? RunStepKind::system_set : RunStepKind::system_read, 0, w, operand_handle(w));
        step.second = index;
        step.handler = sysvar_handler(index);
        if (store) {
          values--;
          use(0, -2);
          commits = true;
        } else {
          if (!push_value()) break;
          use(1, 0);
        }
        add(step);
      } else if (CommandHandler pure = is_opcode(w, OP_CALL) ? pure_command(w) : pure_fused(op)) {
        // A fused word pushes its operand first; a call word's operand is
        // the command's name, checked again when the step runs.
        const bool fused = !is_opcode(w, OP_CALL);
        if (fused && operand(w) != 0) {
          if (!has_imm(w) && !names_text(w)) break;
          if (!push_value()) break;
          add(make_step(RunStepKind::push, 0, 0, operand_value(w)));
          use(1, 1);
        }
        if (depth == 0 || frames[depth - 1] == 0 || ++calls > kMaxValues) break;
        const uint32_t args = frames[depth - 1];
        depth--;
        values -= args;
        push_value();
        RunStep step = make_step(RunStepKind::call, uint8_t(args), w, fused ? Value::null() : operand_handle(w));
        step.handler = pure;
        add(step);
        use(0, -int32_t(args));
      } else if (op == OP_AT && names_text(w)) {
        if (depth == 0 || frames[depth - 1] != 0) break;
        depth--;
        if (!push_value()) break;
        add(make_step(RunStepKind::read, 0, w));
        use(1, 0);
      } else if (op >= kFirstBinaryOp && op <= kLastBinaryOp && (has_imm(w) || operand(w) == 0 || names_text(w))) {
        if (operand(w) != 0) {
          if (!push_value()) break;
          add(make_step(RunStepKind::push, 0, 0,
                        operand_value(w)));
        }
        if (depth == 0 || frames[depth - 1] != 2) break;
        depth--;
        values -= 2;
        push_value();
        RunStep step = make_step(RunStepKind::binary, uint8_t(op));
        const size_t own = t.steps.size() - s.first_step;  // steps of this statement so far
        if (fold_constant(step)) {
          step.kind = RunStepKind::binary_constant;
          if (own >= 2 && t.steps.back().kind == RunStepKind::read) {  // `@x OP constant`
            step.kind = RunStepKind::read_constant;
            step.word = t.steps.back().word;
            t.steps.pop_back();
          }
        } else if (own >= 2 && t.steps.back().kind == RunStepKind::read &&
                   t.steps[t.steps.size() - 2].kind == RunStepKind::read) {  // `@x OP @y`
          step.kind = RunStepKind::read_read_binary;
          step.second = t.steps.back().word;
          t.steps.pop_back();
          step.word = t.steps.back().word;
          t.steps.pop_back();
        }
        add(step);
        use(1, operand(w) != 0 ? -1 : -2);
      } else if ((op == OP_SET || op == OP_LOCAL) && names_text(w)) {
        // `SET:name` / `LOCAL:name` on a frame of one value.
        if (depth == 0 || frames[depth - 1] != 1) break;
        depth--;
        values--;
        add(make_step(op == OP_SET ? RunStepKind::set : RunStepKind::local, 0, w));
        use(1, -2);
        commits = true;
      } else if ((op == OP_IF || op == OP_IFNOT) && (names_text(w) || operand(w) == 0)) {
        uint32_t& holder = depth ? frames[depth - 1] : outside;
        uint32_t label = w;
        if (operand(w) == 0) {  // the label pushed before as a text: `done _IFNOT`
          const RunStep* last = t.steps.size() > s.first_step ? &t.steps.back() : nullptr;
          if (!last || last->kind != RunStepKind::push || !last->value.is_element() || holder < 2) break;
          label = (w & 0xff000000u) | (last->value.handle() - kHandleBase);
          t.steps.pop_back();
          holder--;
          values--;
        }
        if (holder == 0) break;
        holder--;
        values--;
        add(make_step(RunStepKind::branch, uint8_t(op == OP_IF), label));
        use(1, operand(w) == 0 ? -2 : -1);
        commits = true;
      } else if (op == OP_GOTO && names_text(w)) {
        add(make_step(RunStepKind::jump, 0, w));
        use(1, 0);
        commits = ended = true;
      } else if (bool label_call = (op == OP_CALL || op == OP_CALL_POP) && names_text(w) &&
                                   fast::label_target(w) < kHandleBase;
                 label_call || (op == OP_RETURN && operand(w) == 0)) {
        // A call of a subroutine or a return: the statement ends the run
        // with its frames and values on the value stack. A call needs its
        // own frame, the innermost.
        uint32_t layout;
        if ((label_call && depth == 0) || !frame_layout(outside, frames, depth, layout)) break;
        RunStep step = make_step(label_call ? RunStepKind::gosub : RunStepKind::ret, op == OP_CALL_POP, w);
        step.layout = layout;
        add(step);
        use(1, 0);
        depth = outside = 0;
        commits = ended = true;
      } else {
        break;
      }
    }
    at += words;
    if (!commits) continue;
    if (depth != 0 || outside != 0) break;
    RunStep& commit = t.steps.back();
    commit.has_line = has_line;
    commit.line = line;
    commit.file = file;
    commit.words = at - s.start;
    s.cells = peak;
    s.words = at - s.start;
    // The statement before this one learns its successor's size.
    if (t.statements.size() > first_statement) {
      t.steps[s.first_step - 1].next_cells = s.cells;
      t.steps[s.first_step - 1].next_words = s.words;
    }
    t.statements.push_back(s);
    s = RunStatement{at, uint32_t(t.steps.size()), 0, 0};
    has_line = false;
    values = cells = peak = calls = 0;
  }
  t.steps.resize(s.first_step);  // the unfinished statement's steps
  if (t.statements.size() == first_statement) return kNoRun;
  t.steps.back().last = true;
  t.run_first.push_back(uint32_t(first_statement));
  t.refusals.push_back(0);
  return uint32_t(t.run_first.size() - 1) + 2;
}

[[gnu::always_inline]] inline void commit_line(Interp& ctx, const RunStep* step) {
  if (!step->has_line) return;
  ctx.current_line = step->line;
  if (!(step->file == ctx.current_file)) value_store(ctx.current_file, step->file);
}

// Commits a store: the statement's line, then `x` into `cell` (the steps'
// values hold no reference: the cell takes one).
[[gnu::always_inline]] inline void commit_store(Interp& ctx, const RunStep* step, Value* cell, Value x) {
  commit_line(ctx, step);
  value_ref(x);
  Value old = *cell;
  *cell = x;
  value_release(old);
}

// The run at word `at` (translated now if it was not yet), or null.
[[gnu::always_inline]] inline const RunStatement* run_at(RunTable& t, uint32_t at, uint32_t& run) {
  if (t.at[at] == kNotLooked) t.at[at] = translate(t, at);
  if (t.at[at] == kNoRun) return nullptr;
  run = t.at[at] - 2;
  return &t.statements[t.run_first[run]];
}

// The command name of step `step` is still bound to `handler` alone, the
// handler it was translated with (a fused word, without a name, always
// calls its handler).
[[gnu::always_inline]] inline bool bound_to(const RunStep* step, CommandHandler handler) {
  if (step->bound == g_binding_generation || step->value.is_null()) [[likely]]
    return true;
  if (command_of(step->value) != handler) return false;
  step->bound = g_binding_generation;
  return true;
}

// The label step `step` jumps to, or fast::kNoLabel.
[[gnu::always_inline]] inline uint32_t label_of(const RunStep* step) {
  JumpCache& j = step->jump;
  if (j.generation != g_binding_generation) [[unlikely]] {
    const uint32_t label = fast::label_target(step->word);
    if (label != j.label) j.at = 0;
    j = {g_binding_generation, label, j.at, j.first_step, j.cells, j.words};
  }
  return j.label;
}

// Keeps `cell`, found for a step's name, in the step's cache.
[[gnu::always_inline]] inline void keep_cell(Interp& ctx, StepCache& cache, Value* cell) {
  static_assert(offsetof(ArrayItem, value) == 0);
  uint32_t item = 0;
  if (const CallFrame* f = call_frame(ctx, ctx.scope_depth)) {
    const auto at = reinterpret_cast<uintptr_t>(cell), first = reinterpret_cast<uintptr_t>(f->items);
    if (at >= first && at < first + f->count * sizeof(ArrayItem)) item = uint32_t((at - first) / sizeof(ArrayItem)) + 1;
  }
  cache = {cell, &ctx, g_shape_generation, ctx.scope_depth, item, g_binding_generation};
}

// The cell that `cache` kept for the name of word `word`, while it is what
// a search would find, else null. The item at the same place of whichever
// call frame is current, when it has the name, is what a search finds
// while the name is no common variable and no command (bindings
// unchanged): no scope hides the innermost one. So a step in a subroutine
// finds its local again in the next call, at any depth.
[[gnu::always_inline]] inline Value* kept_cell(Interp& ctx, uint32_t word, StepCache& cache) {
  if (cache.ctx != &ctx) return nullptr;
  if (cache.generation == g_shape_generation && cache.depth == ctx.scope_depth) [[likely]]
    return cache.cell;
  if (!cache.item || cache.bound != g_binding_generation) return nullptr;
  CallFrame* f = call_frame(ctx, ctx.scope_depth);
  if (!f || cache.item > f->count || !(f->items[cache.item - 1].key == operand_handle(word))) return nullptr;
  cache.cell = &f->items[cache.item - 1].value;
  cache.generation = g_shape_generation;
  cache.depth = ctx.scope_depth;
  return cache.cell;
}

// The cell of the variable that word `word` names, as fast::find finds it
// (null when there is none), through what `cache` kept.
[[gnu::always_inline]] inline Value* variable_cell(Interp& ctx, uint32_t word, StepCache& cache) {
  if (Value* cell = kept_cell(ctx, word, cache)) [[likely]]
    return cell;
  ElementEntry* e = fast::name_entry(word);
  Value* cell = e ? fast::find(ctx, e, operand_handle(word)) : nullptr;
  if (cell) keep_cell(ctx, cache, cell);
  return cell;
}

// The value of the variable that `AT:name` word `word` reads, as fast::at
// finds it; false for one that does not exist, an array or a timer (which
// `at` expands).
[[gnu::always_inline]] inline bool read_variable(Interp& ctx, uint32_t word, StepCache& cache, Value& out) {
  Value* cell = variable_cell(ctx, word, cache);
  if (!cell) return false;
  Value x = *cell;
  if (x.is_element()) {
    uint32_t type = element_type_of(x);
    if (type == kTypeArray || type == kTypeTimer) return false;
  }
  out = x;
  return true;
}

// The item of the array in the variable named by `step` at an integer
// index, as `arrayref` then `AT` or `SET` would find it (a store makes a
// missing item), when the callee is still arrayref; else null.
[[gnu::always_inline]] inline Value* array_item(Interp& ctx, const RunStep* step, Value index, bool store) {
  if (!bound_to(step, h_arrayref) || !index.is_int()) return nullptr;
  Value* cell = variable_cell(ctx, step->word, step->cell);
  if (!cell || !array_of(*cell)) return nullptr;
  return store ? table_get(*cell, index) : table_find(*cell, index);
}

// A value a computing command takes as its call word would pass it: a
// number or a text.
[[gnu::always_inline]] inline bool storable(Value x) {
  return x.is_int() || x.is_float() || element_type_of(x) == kTypeString;
}

// Calls `handler` on a real argument frame of the `count` values `args`
// (pushed in order: the last is the first argument), as its call word
// would, and takes its one result into `result`: a number, or a text whose
// reference the caller then holds. With a null `result` the command must
// leave nothing. False, with the stack as it was, when an argument is not
// a number or a text, or the command left something else.
bool call_on_frame(Interp& ctx, CommandHandler handler, const Value* args, uint32_t count, Value* result) {
  for (uint32_t i = 0; i < count; i++)
    if (!storable(args[i])) return false;
  if (!fast::room(ctx, count + 1)) return false;
  Value* const top = ctx.top;
  const uint32_t frame_depth = ctx.frame_depth;
  *--ctx.top = Value::marker(frame_depth);
  ctx.frame_depth = stack_depth(ctx);
  for (uint32_t i = 0; i < count; i++) {
    value_ref(args[i]);
    *--ctx.top = args[i];
  }
  handler(ctx);
  bool ok = ctx.frame_depth == frame_depth && ctx.top == top - (result ? 1 : 0);
  if (ok && result) {
    ok = storable(*ctx.top);
    if (ok) *result = *ctx.top++;
  }
  while (ctx.top < top) value_release(*ctx.top++);
  ctx.frame_depth = frame_depth;
  return ok;
}

// Puts on the value stack what a gosub or ret step's statement leaves
// there at its last word, from the values `v` that its steps computed (the
// ones before its first frame first, then each frame's): the frames'
// markers and the values, the cells taking references. The statement's
// `cells` were checked to fit when it started.
void leave_frames(Interp& ctx, uint32_t layout, const Value* v) {
  auto push_values = [&](uint32_t count) {
    for (; count > 0; count--, v++) {
      value_ref(*v);
      *--ctx.top = *v;
    }
  };
  push_values(layout & 15);
  for (uint32_t f = 1, frames = layout >> 28; f <= frames; f++) {
    *--ctx.top = Value::marker(ctx.frame_depth);
    ctx.frame_depth = stack_depth(ctx);
    push_values((layout >> (4 * f)) & 15);
  }
}

RunTable* new_table(Interp& ctx);

// The context's table of runs, made anew when its code changed.
[[gnu::always_inline]] inline RunTable* table_for(Interp& ctx) {
  RunTable* t = ctx.runs;
  if (t && t->code == ctx.code && t->length == ctx.code_length && t->program == ctx.program) [[likely]]
    return t;
  return new_table(ctx);
}

RunTable* new_table(Interp& ctx) {
  runs_forget(ctx);
  if (!ctx.code || ctx.code_length == 0) return nullptr;
  auto* t = new RunTable;
  t->code = ctx.code;
  t->length = ctx.code_length;
  t->program = ctx.program;
  t->at.assign(ctx.code_length, kNotLooked);
  ctx.runs = t;
  return t;
}

}  // namespace

uint32_t* runs_position_memo(Interp& ctx, uint32_t at) {
  RunTable* t = table_for(ctx);
  if (!t || at >= t->length) return nullptr;
  if (t->positions.empty()) t->positions.assign(t->length, kPositionUnknown);
  return &t->positions[at];
}

namespace {

// Reads the statement at `at`: its file and line words, the pushes of its
// arguments, then `_CALL:declare` (the built-in command). The arguments are
// pushed last first, so that the first lies on top: an optional leading
// number (the first argument that the names take, 1 here) and texts.
void read_prologue(const RunTable& t, uint32_t at, CallPrologue& p) {
  p.names = 0;
  const uint32_t* code = t.code;
  if (at + 3 > t.length || (code[at] >> 24) != 0x40 || code[at] == kEndWord) return;
  uint32_t line = code[at + 1];
  if ((line >> 24) != (0x40 | OP_LINE_TAIL) || !fast::has_imm(line)) return;
  Value file = fast::operand_handle(code[at]);
  if (!is_text(file)) return;
  Value pushed[CallPrologue::kMaxNames + 1];
  uint32_t n = 0, i = at + 2;
  for (; i < t.length && (code[i] >> 24) != (0x40 | OP_CALL); i++) {
    uint32_t w = code[i];
    if (n > CallPrologue::kMaxNames) return;
    if ((w >> 24) == 0x40 && w != kEndWord && is_text(fast::operand_handle(w)))
      pushed[n++] = fast::operand_handle(w);
    else if (w == 1)  // the integer 1
      pushed[n++] = Value::from_int(1);
    else
      return;
  }
  if (i >= t.length || n == 0) return;
  ElementEntry* callee = fast::name_entry(code[i]);
  if (!callee || (callee->flags & (kFlagHasCommand | kFlagHasLabel)) != kFlagHasCommand ||
      callee->handler != h_declare)
    return;
  // The first argument is the last pushed.
  uint32_t first = pushed[n - 1].is_int() ? 1 : 0;
  uint32_t m = n - first;
  if (m == 0) return;
  for (uint32_t j = 0; j < m; j++) {
    Value name = pushed[n - 1 - first - j];
    if (!is_text(name) || name == Value::from_handle(g_own_names.retpc) ||
        name == Value::from_handle(g_own_names.retsp))
      return;
    for (uint32_t k = 0; k < j; k++)
      if (p.name[k] == name) return;
    p.name[j] = name;
  }
  const Value own[2] = {Value::from_handle(g_own_names.retpc), Value::from_handle(g_own_names.retsp)};
  auto key = [&](uint32_t j) { return int64_t((j < m ? p.name[j] : own[j - m]).bits); };
  for (uint32_t k = 0; k < m + 2; k++) {
    uint32_t j = k;
    for (; j > 0 && key(p.order[j - 1]) > key(k); j--) p.order[j] = p.order[j - 1];
    p.order[j] = uint8_t(k);
  }
  p.names = m;
  p.words = i + 1 - at;
  p.line = uint32_t(fast::operand_imm(line));
  p.file = file;
}

}  // namespace

const CallPrologue* runs_prologue(Interp& ctx, uint32_t target) {
  RunTable* t = table_for(ctx);
  if (!t || target >= t->length) return nullptr;
  RunTable::RecentPrologue& recent = t->recent_prologues[target % 16];
  if (!recent.prologue || recent.target != target) recent = {target, &t->prologues[target]};
  CallPrologue& p = *recent.prologue;
  if (p.generation != g_binding_generation) {
    read_prologue(*t, target, p);
    p.generation = g_binding_generation;
  }
  return &p;
}

void runs_forget(Interp& ctx) {
  delete ctx.runs;
  ctx.runs = nullptr;
}

// The steps compute on `v` and each statement's last step commits it. Each
// step ends with its own jump to the next step's case, as the main loop
// does, so that the processor predicts each case's successor apart. A jump
// to a label where another run starts goes on into that run.
bool run_from_here(Interp& ctx) {
  RunTable* t = table_for(ctx);
  const uint32_t start = ctx.pc - 1;
  if (!t || start >= t->length) return false;
  uint32_t run;
  const RunStatement* first = run_at(*t, start, run);
  // The run's first word was counted when it was fetched. A run may start
  // when the host tick's slow pass is due (it runs after the first
  // statement) unless it is due before every word (a per-token hook, a
  // queued trigger).
  if (!first || (ctx.tick_countdown < 1 && (g_host.tick || ctx.pending_triggers > 0)) ||
      !fast::room(ctx, first->cells))
    return false;
  static const void* const kCase[] = {&&push,     &&number,   &&read,          &&binary,           &&binary_constant,
                                      &&read_constant, &&read_read_binary, &&item, &&system_read, &&call,
                                      &&set,      &&system_set, &&item_set,  &&branch, &&jump, &&step,
                                      &&local,    &&gosub,    &&ret};
  static_assert(sizeof kCase / sizeof kCase[0] == size_t(RunStepKind::ret) + 1);
  const RunStep* step = t->steps.data() + first->first_step;
  uint32_t here = start;    // the running statement's first word
  // With a fixed clock the tokens move the clock, and the message pump
  // delivers scripted input by it: the slow pass must then come exactly
  // where the word-by-word loop has it, so a statement runs only when all
  // its words fit before it. Before a statement, the countdown holds its
  // first word as not yet counted (it was counted when fetched, or is free
  // after a slow pass), so a statement fits when the countdown covers all
  // its words.
  const bool exact = clock_fixed();
  auto fits = [&](uint32_t words) { return !exact || ctx.tick_countdown >= int32_t(words); };
  // The slow pass before word `here`, as the main loop runs it when its
  // countdown runs out; the word after it is not counted. False when the
  // run must end: the program stopped or moved (a trigger fired), or the
  // pass is now due before every word.
  auto slow_pass = [&]() {
    ctx.pc = here;
    const uint32_t* code = ctx.code;
    if (interp_slow_tick(ctx)) {
      ctx.tick_countdown = 0;  // the main loop's next slow pass ends it
      return false;
    }
    ctx.tick_countdown++;
    return ctx.pc == here && ctx.code == code && ctx.tick_countdown >= 2;
  };
  bool committed = false;   // a statement of this call committed
  Value v[kMaxValues];
  // The texts that call steps made for the running statement: the values
  // in `v` hold no reference, so these are held until it ends.
  Value made[kMaxValues];
  uint32_t made_count = 0;
  auto drop_made = [&]() {
    while (made_count > 0) value_release(made[--made_count]);
  };
  uint32_t n = 0;
  ctx.tick_countdown++;  // counted again with the whole statement
  if (!fits(first->words)) {
    ctx.tick_countdown--;
    return false;
  }
#define NEXT_STEP() goto* kCase[size_t((++step)->kind)]
  goto* kCase[size_t(step->kind)];

push:
  v[n++] = step->value;
  NEXT_STEP();
number:
  v[n++] = fast::float_result(ctx, step->real);
  NEXT_STEP();
read:
  if (!read_variable(ctx, step->word, step->cell, v[n])) goto refused;
  n++;
  NEXT_STEP();
read_constant: {
  Value x;
  if (!read_variable(ctx, step->word, step->cell, x) || !fast::compute(ctx, step->number, x, step->operand, v[n]))
    goto refused;
  n++;
  NEXT_STEP();
}
read_read_binary: {
  Value x, y;
  if (!read_variable(ctx, step->word, step->cell, x) || !read_variable(ctx, step->second, step->second_cell, y) ||
      !fast::compute(ctx, step->number, x, y, v[n]))
    goto refused;
  n++;
  NEXT_STEP();
}
binary: {
  Value r;
  if (!fast::compute(ctx, step->number, v[n - 2], v[n - 1], r)) goto refused;
  v[n - 2] = r;
  n--;
  NEXT_STEP();
}
binary_constant: {
  Value r;
  if (!fast::compute(ctx, step->number, v[n - 1], step->operand, r)) goto refused;
  v[n - 1] = r;
  NEXT_STEP();
}
item: {
  Value* item = array_item(ctx, step, v[n - 1], false);
  if (!item) goto refused;
  Value x = *item;
  if (x.is_element()) {
    uint32_t type = element_type_of(x);
    if (type == kTypeArray || type == kTypeTimer) goto refused;
  }
  v[n - 1] = x;
  NEXT_STEP();
}
system_read: {
  // What the variable's command does when its frame is empty, the value
  // pushed and then shown by run_command's drawing hook, which is left to
  // the word-by-word loop when it would run.
  Value* cell = nullptr;
  if (bound_to(step, sysvar_handler(step->second)) && !(ctx.frame_changed && g_host.finish_drawing))
    cell = sysvar_plain_cell(ctx, step->second);
  if (!cell) goto refused;
  v[n++] = *cell;
  NEXT_STEP();
}
call: {
  // The command runs on a real frame, as its call word would run it; it
  // changes nothing else, so a statement refused after it runs it again.
  Value r;
  if (!bound_to(step, step->handler) || !call_on_frame(ctx, step->handler, v + n - step->number, step->number, &r))
    goto refused;
  if (r.is_element()) made[made_count++] = r;
  n -= step->number;
  v[n++] = r;
  NEXT_STEP();
}
system_set: {
  if (!bound_to(step, sysvar_handler(step->second)) || (ctx.frame_changed && g_host.finish_drawing) ||
      !storable(v[n - 1]) || !fast::room(ctx, 2))
    goto refused;
  commit_line(ctx, step);
  call_on_frame(ctx, step->handler, v + n - 1, 1, nullptr);
  goto next_statement;
}
item_set: {
  Value* item = array_item(ctx, step, v[n - 1], true);
  if (!item || element_type_of(*item) == kTypeMemBuf) goto refused;
  commit_store(ctx, step, item, v[n - 2]);
  goto next_statement;
}
set: {
  // A cell kept since the name was last seen without a command.
  StepCache& cache = step->cell;
  Value* cell = kept_cell(ctx, step->word, cache);
  if (!cell) {
    ElementEntry* e = fast::name_entry(step->word);
    if (!e || (e->flags & kFlagHasCommand)) goto refused;
    Value name = operand_handle(step->word);
    cell = fast::find(ctx, e, name);
    if (!cell) cell = var_for_set(ctx, name);
    if (cell) keep_cell(ctx, cache, cell);
  }
  if (!cell || element_type_of(*cell) == kTypeMemBuf) goto refused;
  commit_store(ctx, step, cell, v[n - 1]);
  goto next_statement;
}
branch: {
  uint32_t target = label_of(step);
  Value x = v[n - 1];
  if (target == fast::kNoLabel || !(x.is_int() || x.is_float())) goto refused;
  bool truth = x.is_int() ? x.as_int() != 0 : value_to_integer(&ctx, x) != 0;
  commit_line(ctx, step);
  if (truth != (step->number != 0)) goto next_statement;
  ctx.pc = target;
  goto jumped;
}
jump: {
  uint32_t target = label_of(step);
  if (target == fast::kNoLabel) goto refused;
  commit_line(ctx, step);
  ctx.pc = target;
  goto jumped;
}
step: {
  if (!bound_to(step, step->handler)) goto refused;
  Value amount = step->number == 2 ? step->operand : step->number ? v[n - 1] : Value::from_int(1);
  Value* cell = variable_cell(ctx, step->word, step->cell);
  if (!amount.is_int() || !cell || !cell->is_int()) goto refused;
  commit_line(ctx, step);
  uint64_t x = uint64_t(cell->as_int()), d = uint64_t(amount.as_int());
  *cell = Value::from_int(int64_t(step->handler == h_inc ? x + d : x - d));
  // What run_command does after the handler. Drawing may change anything:
  // the run ends there.
  if (ctx.frame_changed && g_host.finish_drawing) {
    ctx.tick_countdown -= int32_t(step->words);
    ctx.pc = here + step->words;
    drop_made();
    g_host.finish_drawing(ctx);
    return true;
  }
  goto next_statement;
}
local: {
  // What `local name value` does when the scope is a call frame with room
  // or a table: the name found or put there.
  Value* cell;
  if (CallFrame* frame = call_frame(ctx, ctx.scope_depth)) {
    cell = frame_get(frame, operand_handle(step->word), false);
  } else {
    Value* scope = scope_table(ctx, ctx.scope_depth, false);
    cell = scope && array_of(*scope) ? table_get(*scope, operand_handle(step->word)) : nullptr;
  }
  if (!cell) goto refused;
  commit_store(ctx, step, cell, v[n - 1]);
  ctx.vars_dirty = true;
  goto next_statement;
}
gosub:
  if (label_of(step) >= kHandleBase) goto refused;  // no label, or a library function's
  goto leave_run;
ret:
leave_run:
  // The call or return word runs as the word-by-word loop runs it, on the
  // frames and values its statement left; the subroutine's words follow,
  // or the caller's.
  commit_line(ctx, step);
  leave_frames(ctx, step->layout, v);
  drop_made();
  if (!committed) t->refusals[run] = 0;
  ctx.tick_countdown -= int32_t(step->words);
  ctx.pc = here + step->words;
  {
    const uint32_t depth = ctx.scope_depth;
    if (step->kind == RunStepKind::ret)
      op_return(ctx);
    else if (!call_label(ctx, label_of(step), step->number != 0))
      return true;
    if (ctx.scope_depth == depth || ctx.stop != 0) return true;  // no call or return happened
  }
  // The subroutine's first statement, or the caller's statement after a
  // statement call, goes on in this call when the main loop found a run
  // there before, as after a jump.
  committed = true;
  n = 0;
  here = ctx.pc;
  if (here >= t->length || t->at[here] < 2) return true;
  first = run_at(*t, here, run);
  if (!first || !fast::room(ctx, first->cells)) return true;
  if (ctx.tick_countdown < 1 && !slow_pass()) return true;
  if (!fits(first->words)) return true;
  step = t->steps.data() + first->first_step;
  goto* kCase[size_t(step->kind)];

next_statement:
  drop_made();
  if (!committed) t->refusals[run] = 0;
  ctx.tick_countdown -= int32_t(step->words);
  here += step->words;
  committed = true;
  n = 0;
  ctx.pc = here;
  if (step->last || !fast::room(ctx, step->next_cells)) return true;
  // The slow pass when it is due before the next statement's first word.
  if (ctx.tick_countdown < 1 && !slow_pass()) return true;
  if (!fits(step->next_words)) return true;
  NEXT_STEP();

jumped:
  drop_made();
  if (!committed) t->refusals[run] = 0;
  ctx.tick_countdown -= int32_t(step->words);
  committed = true;
  n = 0;
  here = ctx.pc;
  if (here >= t->length) return true;
  {
    // The run at the label, as the jump last found it.
    const JumpCache* j = &step->jump;
    if (j->at < 2 || t->at[here] != j->at) [[unlikely]] {
      const size_t index = size_t(step - t->steps.data());
      first = run_at(*t, here, run);  // may translate: the steps may move
      if (!first) return true;
      JumpCache& found = t->steps[index].jump;
      found.at = t->at[here];
      found.first_step = first->first_step;
      found.cells = first->cells;
      found.words = first->words;
      j = &found;
    }
    run = j->at - 2;
    if (!fast::room(ctx, j->cells)) return true;
    if (ctx.tick_countdown < 1 && !slow_pass()) return true;
    if (!fits(j->words)) return true;
    step = t->steps.data() + j->first_step;
  }
  goto* kCase[size_t(step->kind)];

refused:
  drop_made();
  if (committed) {
    ctx.pc = here;  // the word-by-word loop takes it from here
    return true;
  }
  ctx.tick_countdown--;
  if (++t->refusals[run] >= kMaxRefusals) t->at[start] = kNoRun;
  return false;
#undef NEXT_STEP
}

}  // namespace vm
