// Conversions between value kinds, the display form, and the float text form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vm/value.h"

namespace vm {

struct Interp;

// Text parsing to an integer: leading blanks (space, tab, CR, LF), one
// optional "-", "0x" + hex digits when at least three characters remain,
// else decimal digits; stops at the first other character; wraps in 64 bits.
int64_t parse_integer(std::string_view s);
// Text parsing to a double: as above, then an optional "." fraction and an
// exponent suffix.
double parse_float(std::string_view s);
// Whether a text looks like a float (digits and at least one "." after
// blanks, followed by the end, a non-letter, or an exponent).
bool looks_like_float(std::string_view s);

int64_t value_to_integer(Interp* ctx, Value v);
double value_to_float(Interp* ctx, Value v);
// A text value the caller owns (one reference), or null for null.
Value value_to_text(Interp* ctx, Value v);
// The text of a value as a string (argument readers).
std::string value_to_string(Interp* ctx, Value v);
// A switch argument: the words on, off, true and false in any case, or the
// value's number (0 is off, anything else on). False for any other word,
// which leaves `on` alone, so that a command can tell a switch from a
// keyword or an image name.
bool value_to_switch(Interp* ctx, Value v, bool& on);
// As value_to_switch, for commands whose argument can only be a switch:
// any other word reads as its number, as every argument does.
bool switch_argument(Interp* ctx, Value v);
// Rounds to var_floatround places when set, then encodes.
Value value_from_float(Interp* ctx, double d);

// Writes the display form (at most limit - 1 bytes and a NUL); returns its length.
size_t value_display(Interp* ctx, Value v, char* buffer, size_t limit);
std::string value_display(Interp* ctx, Value v);

// The float text form with `digits` fraction digits (negative: as many as
// needed, up to 14). With a context, var_floatdigits and var_floateuropean
// govern it.
std::string float_to_text(Interp* ctx, double x, int digits);

// The element description line of the debug element list (at most 255 bytes).
std::string element_description(Interp* ctx, uint32_t handle);

// Element-type hooks for conversions of types whose Parts come later.
struct ElementConversions {
  // Integer conversion (TIMER: its reading in ms); null: the default rule.
  int64_t (*to_integer)(uint32_t handle, void* payload) = nullptr;
  // Display form into `out`; null: the default rule.
  void (*display)(Interp* ctx, uint32_t handle, void* payload, std::string& out) = nullptr;
  // Details after the type label in the description line.
  void (*describe)(uint32_t handle, void* payload, std::string& out) = nullptr;
};
void element_set_conversions(uint32_t type, ElementConversions conv);

}  // namespace vm
