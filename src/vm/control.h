// Control flow: the control tokens as they run from the main loop, and the
// names the player keeps for its own locals.
#pragma once

#include <cstdint>

namespace vm {

struct Interp;

void op_line(Interp& ctx);
// `_call`; with pop_after (`_CALL _POP`) the statement's results are
// discarded once the command returns, or once the label subroutine does.
void op_call(Interp& ctx, bool pop_after);
void op_goto(Interp& ctx);
void op_return(Interp& ctx);
void op_idlegoto(Interp& ctx);
// `_if` (jump_when true), `_ifnot` (false), with the idle yield for the idle forms.
void op_if(Interp& ctx, bool jump_when, bool idle);

// Binds every label of a token array: for each `_label` word naming a text,
// sets its target to the index of the next word. Returns false (and raises
// DUPLICATELABEL when a context is given) when a name is already bound.
bool bind_labels(Interp* ctx, const uint32_t* code, uint32_t length);
// Unbinds the labels of a token array (program unloading).
void unbind_labels(const uint32_t* code, uint32_t length);

// Library-function calls (a label whose target is a DLLFUNC handle).
using LibraryCall = void (*)(Interp&, uint32_t dllfunc_handle);
extern LibraryCall g_library_call;

// Handles of the player's own local names, interned at start-up.
struct OwnNames {
  uint32_t retpc, retsp, with;
};
extern OwnNames g_own_names;

}  // namespace vm
