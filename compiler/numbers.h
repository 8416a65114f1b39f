// Number words of the source: what kind of number a word is, and the
// literal words that integers and fractions pack into.
#pragma once

#include "vm/opcodes.h"

#include <cstdint>
#include <string_view>

namespace compiler {

enum class NumberKind { None, Integer, Fraction, Percent };

// Decimal integer ("42"), decimal fraction (".25", "640.", "0.48"), either
// followed by "pct", or no number at all (hexadecimal "0xff" is none).
NumberKind number_kind(std::string_view word);

// Parses decimal digits into `out`; false when the value passes `limit`.
bool parse_decimal(std::string_view digits, uint64_t limit, uint64_t& out);

using vm::pack_float_literal;  // the packing shared with the player (vm/opcodes.h)

// The float literal of a decimal fraction written in the source (digits
// with one '.'), when a single holds its value exactly and it lies in the
// literal's range; the comparison is made digit for digit, so no rounding
// can make an inexact fraction pass.
bool fraction_literal(std::string_view decimal, bool negative, uint32_t& word);

// The 30-bit literal range of integer words, and the 23-bit range of
// operands folded into operation words.
constexpr bool fits_literal(int64_t v) { return v >= -(int64_t(1) << 30) && v < (int64_t(1) << 30); }
constexpr bool fits_operand(int64_t v) { return v >= -(int64_t(1) << 22) && v < (int64_t(1) << 22); }

}  // namespace compiler
