// The code view of the debug window: the counters, the top of the value
// stack, and the token words around the instruction position, each named
// as the compiler listing names them.
#pragma once

#include <cstdint>
#include <string>

namespace vm {
struct Interp;
}

namespace scripts {

inline constexpr int kCodeViewStackCells = 17;
inline constexpr int kCodeViewWords = 14;
// The line above and below the word at the instruction position.
inline constexpr const char kCodeViewFrame[] =
    "----------------      --------------------------------------------------------------------------";

// The stack depth in cells, the current line, the instruction position and
// the size of the element table, each "%3d", separated by blanks.
std::string code_view_counters(vm::Interp& ctx);

// The top `max_cells` cells (fewer when the stack is shallower), deepest
// first, one line each: "%2d  %08X%08X : " (index from the top, high word,
// low word) and the cell's display form, at most 255 characters a line.
std::string code_view_stack(vm::Interp& ctx, int max_cells = kCodeViewStackCells);

// One code word: "%08X      ", then (unless it is an operation without an
// operand) the literal's value or the operand's value as text ("" for the
// empty text; a number operand as its signed value) and a blank, then the
// opcode's display name and a blank when it has one.
std::string code_view_word(vm::Interp& ctx, uint32_t word);

// `max_words` code words from two before `pc` (never before the first
// word), one line each, stopping after the end word or at the end of the
// code; the word at `pc` is framed by kCodeViewFrame lines.
std::string code_view_code(vm::Interp& ctx, uint32_t pc, int max_words = kCodeViewWords);

// "FILE:LINE", then ": " and the source line when a listing names it, for
// the statement that holds code word `at`; "?" when the code has no line
// words there.
std::string source_line_at(vm::Interp& ctx, uint32_t at);

// The chain of calls that led to code word `at`, innermost first, one
// line each, indented by two blanks: "at " and the statement holding `at`,
// then for each label-call level "called from " and the calling statement,
// or for a level a trigger entered "called by the trigger made at FILE:LINE,
// interrupting " and the interrupted statement. Of a row of equal lines
// (a recursion) the first two are shown, then "(N more levels the same as
// the line above)".
std::string call_chain(vm::Interp& ctx, uint32_t at);

// The element list: one line per element that is not a text (texts include
// every name of the command table), "%5u  " (the index) and the element's
// description line.
std::string element_view(vm::Interp& ctx);

// The variables, scope by scope: "common:" (the common variables),
// "global:", "script:", then "level N:" for each label-call level, each
// variable on a line "  NAME = VALUE" (display forms, at most 255
// characters a line), and after a scope's variables its with-records,
// last pushed first: "  with N:" and their saved settings indented further.
std::string variables_view(vm::Interp& ctx);

}  // namespace scripts
