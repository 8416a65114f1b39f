// Runs: straight stretches of statements that the main loop runs as one
// step.
//
// The statements of a script's inner loops are mostly expressions over
// variables and numbers that end in a store, a test, a step of a counter or
// a jump: `sum = @sum+@i`, `while @k<64 && @x*@x<=4.0`, `inc i`, the `goto`
// back to a loop's head. Word by word, each opens and closes argument
// frames, pushes values that the next word pops again, and passes through
// the main loop's dispatch once a word. A run is a stretch of such
// statements, translated the first time the main loop reaches its first
// word into steps on a small stack of values: the frames are checked once,
// while translating, and never built on the value stack.
//
// A run does exactly what its words do one by one, for the cases it
// covers. Before it commits a statement it checks what the words would
// find at that moment (variables that exist and hold plain values, numbers
// for the operators, bound labels, room on the value stack, the host tick
// not yet due); when a check fails it hands that statement, unchanged, to
// the word-by-word loop. A statement commits all at once (its line, then its
// store, test, counter step or jump), and only statements that cannot fail
// once checked are translated, so no error ever starts inside a run.
//
// A statement may also end in a call of a label or a return, which ends the
// run: its frames and values go on the value stack as its words would have
// left them, and the call or return runs as its word does (an error it
// raises, a recursion too deep or a return without a call, comes from that
// word as it would word by word).
//
// QUILLON_NO_FAST_PATHS=1 turns runs off with the other shortcuts.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "vm/element.h"
#include "vm/value.h"

namespace vm {

struct Interp;

enum class RunStepKind : uint8_t {
  push,    // a constant: an integer, or a text of the code (borrowed)
  number,  // a float word's number, rounded by var_floatround when pushed
  read,    // `AT:name` on an empty frame: the variable's value
  binary,  // an operator on the two topmost values
  binary_constant,  // an operator on the topmost value and a constant
  read_constant,    // read, then binary_constant
  read_read_binary, // two reads, then binary
  item,    // `name _CALL:arrayref AT`: the item of the array at the topmost value
  system_read,  // `_CALL:var_name` on an empty frame: a system variable's value
  call,    // `_CALL:name` of a command that computes from its arguments alone
           // (commands.def), on a frame of `number` values: its one result
  // The steps that end a statement: they commit it (its line first).
  set,     // `SET:name`: the topmost value into the variable
  system_set,  // `_CALL:var_name` on a frame of one value: stored by its command
  item_set,  // `name _CALL:arrayref SET`: the value under the index into the item
  branch,  // `_IF:label` / `_IFNOT:label` on the topmost value
  jump,    // `_GOTO:label`
  step,    // `name` `_CALL:inc` / `_CALL:dec`, with or without an amount
  local,   // `LOCAL:name` on a frame of one value, with the scope's table made
  // The steps that end a run by leaving the statement's frames and values
  // on the value stack, as its words would have left them at its last word:
  gosub,   // `_CALL:name` / `_CALL _POP:name` of a label in the code
  ret,     // `_RETURN`
};

// What a step last found for a name. A variable's cell, kept while
// g_shape_generation is unchanged, in the same context at the same call
// depth; a local of the current call frame also by its place there, kept
// while g_binding_generation is unchanged (calls and returns change the
// shape, and the next call's frame has the local at the same place):
struct StepCache {
  Value* cell = nullptr;
  const Interp* ctx = nullptr;
  uint32_t generation = 0;
  uint32_t depth = 0;
  uint32_t item = 0;   // 1 + the index of the frame item that held the cell; 0: none
  uint32_t bound = 0;  // g_binding_generation when it was found there
};
// A label's target, kept while g_binding_generation is unchanged, and the
// run there while t.at still holds `at` for it:
struct JumpCache {
  uint32_t generation = 0;  // when `label` was looked up
  uint32_t label = 0;       // the label's target, or fast::kNoLabel
  uint32_t at = 0;          // t.at of the target when the run there was found (0: not yet)
  uint32_t first_step = 0, cells = 0, words = 0;  // that run's first statement
};

struct RunStep {
  RunStepKind kind;
  uint8_t number;    // binary: the operator; branch: 1 for _IF; step: 1 with an
                     // amount on the stack, 2 with a constant amount; gosub: 1
                     // for `_CALL _POP`
  bool has_line;     // commit: the statement starts with a line word
  bool last;         // commit: the run's last statement ends here
  uint32_t layout;   // gosub, ret: how many values the statement left
                     // before its first frame (bits 0-3), in each frame it
                     // left open, outermost first (4 bits each from bit 4,
                     // up to 6 frames), and how many frames (bits 28-31)
  uint32_t word;     // the token word of a name or label operand (read_read_binary: the first)
  uint32_t second;   // read_read_binary: the token word of the second name;
                     // system_read: the system variable's number
  uint32_t line;     // commit: the statement's line
  uint32_t words;    // commit: the statement's words, each counted as a token
  uint32_t next_cells;  // commit: the next statement's `cells`
  uint32_t next_words;  // commit: the next statement's `words`
  Value value;       // push: the constant; step, item, call: the callee's name
  Value operand;     // binary_constant: the right operand; step: a constant amount
  Value file;        // commit: the statement's file name
  union {
    double real;              // number: the float word's value
    CommandHandler handler;   // call, system_set: the command's handler
  };
  // Found again only when names or arrays changed since.
  mutable StepCache cell;         // the variable of `word`
  mutable StepCache second_cell;  // read_read_binary: the variable of `second`
  mutable JumpCache jump;         // branch, jump: the label of `word`
  mutable uint32_t bound = 0;     // item, item_set, call, system_*, step: the
                                  // g_binding_generation at which the callee
                                  // was last seen bound as translated
};

struct RunStatement {
  uint32_t start;       // index of its first word
  uint32_t first_step;  // the steps of a run's statements follow each other
  uint32_t cells;       // the most value-stack cells its words use at once
  uint32_t words;       // its words
};

// The statement at a subroutine's label when it is a `declare` of plain
// names (how subroutines name their arguments): a call can then make its
// scope with the arguments under those names and go on after it (gosub).
struct CallPrologue {
  static constexpr uint32_t kMaxNames = 8;
  uint32_t generation = 0;  // g_binding_generation when it was read (0: not yet)
  uint32_t names = 0;       // the names declared; 0 when the statement is no such declare
  uint32_t words = 0;       // the statement's words
  uint32_t line = 0;        // its line, and the file its line word names
  Value file;
  Value name[kMaxNames];    // the names, in argument order (the first takes argument 1)
  // The names and the call's own locals in key order: j < names is name[j],
  // names + 0 is _retpc and names + 1 is _retsp.
  uint8_t order[kMaxNames + 2];
};

// The runs of one program, found as the main loop first reaches each word
// that can start one.
struct RunTable {
  const uint32_t* code = nullptr;
  uint32_t length = 0;
  uint32_t program = 0;
  // Per word: 0 not looked at yet, 1 no run starts here, k + 2 run k.
  std::vector<uint32_t> at;
  // Run k starts with statements[run_first[k]]; its last step is marked.
  std::vector<uint32_t> run_first;
  std::vector<uint32_t> refusals;  // per run: times its first statement was refused
  std::vector<RunStatement> statements;
  std::vector<RunStep> steps;
  // Per word, for the return position: the index of the line word of the
  // statement that holds it (see restore_position), made at first use.
  std::vector<uint32_t> positions;
  // Per label target reached by a call: its CallPrologue, and the ones
  // found last, by target modulo 16, to spare the map's hashing on calls
  // (the map's elements stay where they are).
  std::unordered_map<uint32_t, CallPrologue> prologues;
  struct RecentPrologue {
    uint32_t target = 0;
    CallPrologue* prologue = nullptr;
  };
  RecentPrologue recent_prologues[16];
};

// Runs the run that starts at the word just fetched (ctx.pc - 1),
// translating it at the first visit. Returns false, having changed nothing,
// when no run starts there or its first statement cannot run now (the word
// then runs word by word); true when at least one statement ran, with
// ctx.pc at the next word to run.
bool run_from_here(Interp& ctx);

// The kept index of the line word before word `at` of the context's code
// (kPositionUnknown until it is looked for, kNoPosition when there is
// none), or nullptr when nothing can be kept.
constexpr uint32_t kPositionUnknown = 0xffffffffu, kNoPosition = 0xfffffffeu;
uint32_t* runs_position_memo(Interp& ctx, uint32_t at);

// The CallPrologue of the code at `target`, read again when names were
// bound or unbound since; nullptr when nothing can be kept.
const CallPrologue* runs_prologue(Interp& ctx, uint32_t target);

// Drops the runs of the context's code: call when its code changes.
void runs_forget(Interp& ctx);

// The inline front of run_from_here, for the main loop: a word where no run
// starts costs a load and a compare.
[[gnu::always_inline]] inline bool try_run(Interp& ctx, const RunTable* t, const uint32_t* code, uint32_t pc) {
  if (t && t->code == code && t->at[pc - 1] == 1) return false;
  return run_from_here(ctx);
}

}  // namespace vm
