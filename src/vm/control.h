// Control flow: the control tokens as they run from the main loop, and the
// names the player keeps for its own locals.
#pragma once

#include <cstdint>

#include "vm/element.h"

namespace vm {

struct Interp;

// Calls a command's handler as every command call does: when the command
// changed the window frame, the finish-drawing step shows it.
void run_command(Interp& ctx, CommandHandler handler);

void op_line(Interp& ctx);
// `_call`; with pop_after (`_CALL _POP`) the statement's results are
// discarded once the command returns, or once the label subroutine does.
void op_call(Interp& ctx, bool pop_after);
// op_call of a name bound to the code index `target`, the name not on the
// stack, from a call word of the main loop's shortcuts: false, having done
// nothing, when the label is a library function's.
bool call_label(Interp& ctx, uint32_t target, bool pop_after);
void op_goto(Interp& ctx);
void op_return(Interp& ctx);
void op_idlegoto(Interp& ctx);
// `_if` (jump_when true), `_ifnot` (false), with the idle yield for the idle forms.
void op_if(Interp& ctx, bool jump_when, bool idle);

// Pops and releases cells until the stack is `keep` cells deep, and follows
// the frame chain down to the innermost marker that stays (0: none).
void unwind_stack_to(Interp& ctx, uint32_t keep);

// For the commands that take no argument frame (`null` and six `ele_`
// queries). The compiler calls them without one, pushing the command's name
// right before a `_CALL` without operand; older compiled files wrap them in
// a frame of their own, (x ele_adr), called by a `_CALL` that names them.
// Unless the running command was called the first way, a frame whose marker
// lies directly under the top `args` cells is taken as the command's own
// and closed. Returns true when it closed one.
bool close_own_frame(Interp& ctx, uint32_t args);

// Links a token array: up to the first end word, each `_LABEL` word binds
// its name to the index of the next word (the binding holds a reference
// and drops a common value of that name); line words set the context's
// file and line for error messages. A name already bound raises
// DUPLICATELABEL (when a context is given) and stops linking: false.
bool bind_labels(Interp* ctx, const uint32_t* code, uint32_t length);
// Unbinds the labels of a token array and drops their references.
void unbind_labels(const uint32_t* code, uint32_t length);

// Binds the name `handle` as a label with `target` (a code index or a
// DLLFUNC handle), as linking does: a common value and an earlier label of
// that name are dropped first; the binding holds a reference to the name.
void label_bind(uint32_t handle, uint32_t target);
// Drops the label of the name `handle` when it is bound to `target`.
void label_unbind(uint32_t handle, uint32_t target);

// Library-function calls (a label whose target is a DLLFUNC handle).
using LibraryCall = void (*)(Interp&, uint32_t dllfunc_handle);
extern LibraryCall g_library_call;

// Handles of the player's own local names, interned at start-up.
struct OwnNames {
  uint32_t retpc, retsp, with;
  uint32_t trigger;  // in a scope entered by a trigger: the WHEN handle as an integer
};
extern OwnNames g_own_names;

}  // namespace vm
