// Operators and math: the binary operators (shared by the fused opcodes and
// the commands), unary operators, math functions and random numbers.
#pragma once

#include <cstdint>

namespace vm {

struct Interp;
struct Value;

// Runs binary operator `number` (28 add ... 45 shiftright) on the innermost
// argument frame: closes the frame, folds the arguments pairwise from the
// top (deeper operand on the left) and leaves one result (none for no
// arguments).
void binary_op(Interp& ctx, uint32_t number);

// Binary operator `number` in integer mode on two integers (the caller
// squeezes the result into a value); what binary_op computes for them.
int64_t integer_op(uint32_t number, int64_t a, int64_t b);

// Binary operator `number` in float mode (comparisons give 1.0 or 0.0);
// the caller stores the result with value_from_float.
double float_op(uint32_t number, double a, double b);

// One application of binary operator `number` to a (left) and b (right), as
// binary_op folds them; the result is owned by the caller.
Value apply_op(Interp& ctx, uint32_t number, Value a, Value b);

// The random generator: a 32-bit LCG, state * 214013 + 2531011, each draw
// (state >> 16) & 0x7fff.
void random_seed(uint32_t seed);
uint32_t random_draw();

}  // namespace vm
