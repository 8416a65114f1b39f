// The interpreter context, the value stack with its argument frames, and the
// main loop over token words.
//
// Every command, operators included, is called the same way: its arguments
// are pushed above an argument frame marker, its handler closes the frame,
// converts the arguments and leaves its results on the stack.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "vm/check.h"
#include "vm/element.h"
#include "vm/sysvars.h"
#include "vm/value.h"

namespace vm {

inline constexpr uint32_t kStackCells = 65536;

// Error codes (the stop code of a context holds one of them, or 1 for a
// normal end, or 0 while running).
enum ErrorCode : int32_t {
  kStopNormal = 1,
  kErrStackUnderflow = -1,
  kErrUnknownCommand = -2,
  kErrBadCommandToken = -3,
  kErrInvalidLabel = -4,
  kErrLabelNotFound = -5,
  kErrUndefinedVariable = -6,
  kErrReturnWithoutGosub = -7,
  kErrStackCorrupt = -8,
  kErrStackOverflow = -9,
  kErrThreadBusyCorrupt = -10,
  kErrDuplicateLabel = -11,
  kErrSyntaxError = -12,
  kErrMissingFile = -13,
};

// What the subsystems above the machine (drawing, text, input, window,
// layers, hotspots) keep per context. The context holds one opaque pointer
// for each, as Lua hangs
// everything off its state, so that the machine knows none of their types:
// each subsystem casts its own slot, makes its state at first use and
// deletes it in its context closer (interp_add_closer). A context starts
// with every slot null (its record is made zeroed).
struct TriggerState;
struct RunTable;
struct CallFrames;

enum ContextSlot : uint32_t {
  kSlotGraphics,
  kSlotText,
  kSlotInput,
  kSlotWindow,
  kSlotLayers,
  kSlotHotspots,
  kSlotTransitions,
  kSlotInputFields,
  kSlotSound,
  kSlotNet,
  kSlotCount,
};

struct Interp {
  Value* top;              // topmost cell; the stack grows toward lower addresses
  Value current_file;      // source file of the running statement (set by _line)
  const uint32_t* code;    // token array of the running program
  uint32_t code_length;    // words in `code` (the loader guarantees an end word)
  uint32_t pc;             // index of the next word to fetch
  uint32_t instance;       // the INSTANCE element of this context
  bool vars_dirty;         // variables or elements were removed
  Value* stack_limit;      // lowest cell of the stack memory
  Value* stack_base;       // one past the highest cell: empty when top == base
  uint32_t stack_handle;   // STACK element owning the cells
  uint32_t frame_depth;    // depth (cells from base) of the innermost marker, 0: none
  Value scopes;            // ARRAY of scope tables keyed by depth
  uint32_t scope_depth;    // 1 at creation
  int32_t stop;            // 0 running, 1 normal end, < 0 error code
  uint32_t current_line;
  uint32_t pending_triggers;
  bool frame_changed;      // the frame has changed areas that are not shown yet
  int32_t tick_countdown;  // tokens until the next slow pass of the host tick
  int32_t pump_countdown;  // slow passes until the next message pump
  int32_t tick_budget;     // what tick_countdown was last set to
  uint32_t fixed_work;     // tokens run since a fixed clock last moved for work
  bool tearing_down;       // the context is being destroyed: with-records do not restore
  uint32_t program;        // PROGRAM element of the loaded script, 0 when none
  uint32_t* symbols;       // handles of the program's names, 1..symbol_count (heap block)
  uint32_t symbol_count;
  TriggerState* triggers;  // the machine's own: triggers and their queue (vm/triggers.cpp), made at first use
  uint32_t spare_scopes[16];   // emptied scope tables kept for the next calls (vm/variables.cpp)
  uint32_t spare_scope_count;
  CallFrames* call_frames;  // scopes kept without a table (vm/call_frames.h), made at first use
  RunTable* runs;          // the code's runs (vm/runs.h), made at first use
  void* slots[kSlotCount];  // per-subsystem state, see ContextSlot
  Value sysvars[kSysVarCount];  // system variable cells
};
// The context record is made by clearing bytes (element_create).
static_assert(std::is_trivially_copyable_v<Interp>);

// What the interpreter needs of its host (window, clock, message box). The
// defaults do nothing, sleep 1 ms, and write messages to standard error.
struct HostHooks {
  // Processes pending window messages; returns true when there were any.
  bool (*pump)(Interp&) = nullptr;
  // Sleeps about 1 ms (a fixed clock advances instead).
  void (*sleep_1ms)(Interp&) = nullptr;
  // Shows at once what the windows held back of the last drawing; every
  // idle step runs it first, so a script never waits with its last drawing
  // unseen.
  void (*present_held)(Interp&) = nullptr;
  // Runs at every idle step, after the clock moved (layer timers).
  void (*idle)(Interp&) = nullptr;
  // Runs before every token when set (layer update, debug trace).
  void (*tick)(Interp&) = nullptr;
  // Shows what the last command changed in the frame; every command call
  // runs it when the command left `frame_changed` set.
  void (*finish_drawing)(Interp&) = nullptr;
  // Fires one pending trigger; true when one fired (it moved `pc`).
  bool (*fire_trigger)(Interp&) = nullptr;
  // The context is being destroyed (close its windows, files, devices).
  void (*instance_closing)(Interp&) = nullptr;
  // Shows an error message to the user; the text is also on standard error.
  void (*message_box)(Interp&, const char* caption, const char* text) = nullptr;
  // Tells an open script editor where the script stopped.
  void (*notify_editor)(Interp&, uint32_t data, const char* file) = nullptr;
  // Completes an error's report before it is shown: may name the error
  // more exactly (`code`, `extra`), and puts what led there in `trace`
  // (lines shown after the message). Also where a debugger stops at errors.
  void (*error_report)(Interp&, int32_t& code, std::string& extra, std::string& trace) = nullptr;
};
extern HostHooks g_host;

// The context being run (read by window procedures and timers).
extern Interp* interp_current;

struct CommandInfo;

// Prepares the machine's process-wide tables: the command names of `table`
// (the command table, vm/commands.def, with the handlers the families
// define) in the symbol table, the element clean-ups, the fused opcodes.
// The machine knows no family: the engine start (host/engine.h) passes the
// table and then lets each family register itself. Call once before the
// first context (and again after element_free_all()).
void vm_init(const CommandInfo* table);

// Registers a routine that closes what a context owns (its program, files,
// sounds, windows) when the context is destroyed; they run last first.
void interp_add_closer(void (*closer)(Interp&));

// Creates a context with its INSTANCE and STACK elements and every system
// variable at its default. Returns null when memory runs out. The caller
// owns the INSTANCE element; releasing it frees the context.
Interp* interp_create();
void interp_destroy(Interp* ctx);

// Attaches a token array (not owned) and resets `pc` to 0.
void interp_attach_code(Interp& ctx, const uint32_t* code, uint32_t length);

// Runs until the end word, a stop code, or the host tick asks to stop.
void interp_run(Interp& ctx);

// The slow part of the host tick (message pump, per-token hook, stop check,
// triggers), as the main loop runs it when `tick_countdown` runs out; true
// when the loop must return. For the shortcuts that run many words at once.
bool interp_slow_tick(Interp& ctx);

// The handler that fused command opcode `op` calls (null for other opcodes).
CommandHandler fused_handler(uint32_t op);

// Makes the main loop run the slow part of the host tick before the next
// token: call it after queueing a trigger or installing a per-token hook.
void interp_request_tick(Interp& ctx);

// With a fixed clock, the clock moves on 1 ms for every this many tokens
// run, so that a busy script meets its timed events as a waiting one does,
// at the same token on every run.
inline constexpr uint32_t kFixedClockTokensPerMs = 10000;

// Shows what the windows held back, processes pending messages; sleeps 1 ms
// when there were none.
void idle_yield(Interp& ctx);

// Shows at once what the windows held back of the last drawing. Work that
// may keep the script away from its window for long, without serving it,
// runs this first (a picture, sound or font read, a library function):
// the window would otherwise show its held drawing only after that work.
// Network waits serve the window, through idle_yield, as they go.
void show_held_drawing(Interp& ctx);

// --- errors ------------------------------------------------------------------

void raise_error(Interp& ctx, int32_t code, const char* extra_text);
inline void raise(Interp& ctx, int32_t code) { raise_error(ctx, code, nullptr); }
// Raises `code` naming its subject (a variable, command or label name, or
// the refused value): a blank and the value's display form in double
// quotes (null as NULLT), cut to 200 bytes. Out of line: errors are rare.
void raise_about(Interp& ctx, int32_t code, Value subject);
const char* error_name(int32_t code);
// The source position of the statement that holds code word `at`: its line
// and its file name (a borrowed text, null when the code has no line words
// there). Everything that maps code positions to lines goes through here.
struct SourcePosition {
  uint32_t line = 0;
  Value file = Value::null();
};
SourcePosition interp_line_at(const Interp& ctx, uint32_t at);
// The editor notification word: current line OR (code << 20), as 32 bits.
constexpr uint32_t error_notify_data(uint32_t line, int32_t code) {
  return line | (uint32_t(code) << 20);
}

// --- stack primitives (inline on the hot path) --------------------------------

inline uint32_t stack_depth(const Interp& ctx) { return uint32_t(ctx.stack_base - ctx.top); }

// Pushes without taking a reference (the caller hands its own over).
inline void push_owned(Interp& ctx, Value v) {
  if (ctx.top <= ctx.stack_limit) {
    raise(ctx, kErrStackOverflow);
    value_release(v);
    return;
  }
  *--ctx.top = v;
}

inline void push(Interp& ctx, Value v) {
  if (ctx.top <= ctx.stack_limit) {
    raise(ctx, kErrStackOverflow);
    return;
  }
  value_ref(v);
  *--ctx.top = v;
}

inline void push_int(Interp& ctx, int64_t i) { push_owned(ctx, Value::from_int(i)); }

inline void pop(Interp& ctx) {
  if (ctx.top >= ctx.stack_base) {
    raise(ctx, kErrStackUnderflow);
    return;
  }
  Value v = *ctx.top++;
  value_release(v);
}

inline void pop_n(Interp& ctx, uint32_t n) {
  while (n--) pop(ctx);
}

// Removes the top cell without releasing it; the caller takes its reference.
// An empty stack raises STACKUNDERFLOW and gives null.
inline Value take(Interp& ctx) {
  if (ctx.top >= ctx.stack_base) {
    raise(ctx, kErrStackUnderflow);
    return Value::null();
  }
  return *ctx.top++;
}

// The top cell (null on an empty stack).
inline Value peek(const Interp& ctx) {
  return ctx.top < ctx.stack_base ? *ctx.top : Value::null();
}

// `_tail`: push a marker holding `frame_depth`, then point `frame_depth` at it.
inline void open_frame(Interp& ctx) {
  if (ctx.top <= ctx.stack_limit) {
    raise(ctx, kErrStackOverflow);
    return;
  }
  *--ctx.top = Value::marker(ctx.frame_depth);
  ctx.frame_depth = stack_depth(ctx);
}

// Closes the innermost argument frame the way every handler starts: removes
// the marker under the arguments and returns their count. The arguments are
// then the n topmost cells, the first script argument on top. A missing
// marker raises STACKCORRUPT and gives 0.
inline uint32_t close_frame(Interp& ctx) {
  // The arguments are moved up over the marker: the top must lie in the stack.
  QASSERT(ctx.top >= ctx.stack_limit && ctx.top <= ctx.stack_base);
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
  if (n <= 4) {
    for (uint32_t i = n; i-- > 0;) ctx.top[i + 1] = ctx.top[i];
  } else {
    std::memmove(ctx.top + 1, ctx.top, size_t(n) * sizeof(Value));
  }
  ctx.top++;
  return n;
}


// Argument i (0 = first script argument, on top) of n; null when i >= n.
inline Value arg(const Interp& ctx, uint32_t n, uint32_t i) {
  return i < n ? ctx.top[i] : Value::null();
}

// `_pop`: pops values until the top is the marker at `frame_depth`, then
// removes the marker (restoring the enclosing frame). STACKCORRUPT when the
// marker is not where `frame_depth` says.
void discard_to_frame(Interp& ctx);

// Pops n cells, then pushes the integer 0.
inline void discard_args_push_zero(Interp& ctx, uint32_t n) {
  pop_n(ctx, n);
  push_int(ctx, 0);
}

// Replaces argument i (of the n topmost cells) by `v`, whose reference the
// caller hands over.
inline void set_arg_owned(Interp& ctx, uint32_t i, Value v) {
  Value old = ctx.top[i];
  ctx.top[i] = v;
  value_release(old);
}

}  // namespace vm
