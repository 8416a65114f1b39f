#include <cstring>

#include "vm/opcodes.h"

namespace vm {

const char* opcode_name(uint32_t opcode) {
  switch (opcode) {
#define X(num, id, name, run) \
  case num:                   \
    return name;
#define OPERATOR(num, id, ...) \
  case num:                    \
    return #id " _CALL";
    QUILLON_OPCODES(X, OPERATOR, QUILLON_SKIP)
#undef OPERATOR
#undef X
    default:
      return "";
  }
}

bool pack_float_literal(double d, uint32_t& word) {
  float f = float(d);
  if (double(f) != d || f == 0) return false;
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  uint32_t sign = b >> 31, e = (b >> 23) & 0xff, frac = b & 0x7fffff;
  if (e < 96 || e > 96 + 63) return false;
  word = 0x80000000u | (sign << 29) | ((e - 96) << 23) | frac;
  return true;
}

}  // namespace vm
