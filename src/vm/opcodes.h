// The opcodes of token words, written once. Each line: number, identifier,
// the name printed by the code view and the listing, and the stack effect.
// Opcodes 1 to 61 first push their operand (an immediate integer when bit 23
// is set, an element handle when bits 22..0 are not 0).
#pragma once

#include <cstdint>

namespace vm {

#define QUILLON_OPCODES(X)                                                        \
  X(0, PUSH, "")                      /* -> handle; operand 0: end of program */ \
  X(1, LABEL, "_LABEL")               /* name -> */                              \
  X(2, LINE, "_LINE")                 /* file line -> */                         \
  X(3, CALL, "_CALL")                 /* args marker callee -> results */        \
  X(4, POP, "_POP")                   /* results marker -> */                    \
  X(5, TAIL, "_TAIL")                 /* -> marker */                            \
  X(6, CALL_POP, "_CALL _POP")        /* args marker callee -> */                \
  X(7, GOTO, "_GOTO")                 /* label -> */                             \
  X(8, IF, "_IF")                     /* cond label -> */                        \
  X(9, IFNOT, "_IFNOT")               /* cond label -> */                        \
  X(10, RETURN, "_RETURN")            /* -> */                                   \
  X(11, TAIL_TAIL, "_TAIL _TAIL")     /* -> marker marker */                     \
  X(12, LINE_TAIL, "_LINE _TAIL")     /* file line -> marker */                  \
  X(13, LINE_TAIL_TAIL, "_LINE _TAIL _TAIL") /* file line -> marker marker */    \
  X(14, IDLEGOTO, "_IDLEGOTO")        /* label -> */                             \
  X(15, IDLEIF, "")                   /* cond label -> */                        \
  X(16, IDLEIFNOT, "")                /* cond label -> */                        \
  X(17, NULL_CALL, "NULL _CALL")      /* -> null */                              \
  X(18, AT, "AT _CALL")               /* args marker -> values */                \
  X(19, ARRAY, "ARRAY _CALL")                                                    \
  X(20, SET, "SET _CALL")                                                        \
  X(21, LOCAL, "LOCAL _CALL")                                                    \
  X(22, GLOBAL, "GLOBAL _CALL")                                                  \
  X(23, STRCAT, "STRCAT _CALL")                                                  \
  X(24, NOT, "NOT _CALL")                                                        \
  X(25, LOGNOT, "LOGNOT _CALL")                                                  \
  X(26, NEGATE, "NEGATE _CALL")                                                  \
  X(27, POSITIVE, "POSITIVE _CALL")                                              \
  X(28, ADD, "ADD _CALL")             /* a b -> a+b (and every binary op below) */ \
  X(29, SUBTRACT, "SUBTRACT _CALL")                                              \
  X(30, MULTIPLY, "MULTIPLY _CALL")                                              \
  X(31, DIVIDE, "DIVIDE _CALL")                                                  \
  X(32, MODULUS, "MODULUS _CALL")                                                \
  X(33, EQUAL, "EQUAL _CALL")                                                    \
  X(34, NOTEQUAL, "NOTEQUAL _CALL")                                              \
  X(35, LESSTHAN, "LESSTHAN _CALL")                                              \
  X(36, GREATERTHAN, "GREATERTHAN _CALL")                                        \
  X(37, EQUALLESSTHAN, "EQUALLESSTHAN _CALL")                                    \
  X(38, EQUALGREATERTHAN, "EQUALGREATERTHAN _CALL")                              \
  X(39, AND, "AND _CALL")                                                        \
  X(40, OR, "OR _CALL")                                                          \
  X(41, XOR, "XOR _CALL")                                                        \
  X(42, LOGAND, "LOGAND _CALL")                                                  \
  X(43, LOGOR, "LOGOR _CALL")                                                    \
  X(44, SHIFTLEFT, "SHIFTLEFT _CALL")                                            \
  X(45, SHIFTRIGHT, "SHIFTRIGHT _CALL")                                          \
  X(62, PUSH2BYTES, "PUSH2BYTES")     /* -> b1 b0 */                             \
  X(63, PUSH3BYTES, "PUSH3BYTES")     /* -> b2 b1 b0 */

enum Opcode : uint8_t {
#define X(num, id, name) OP_##id = num,
  QUILLON_OPCODES(X)
#undef X
};

// The first fused command opcode and the commands they call, in order.
inline constexpr uint32_t kFirstFusedCommand = OP_AT;
inline constexpr uint32_t kLastFusedCommand = OP_POSITIVE;
inline constexpr const char* kFusedCommandNames[] = {"at",     "array", "set",    "local", "global",
                                                     "strcat", "not",   "lognot", "negate", "positive"};
inline constexpr uint32_t kFirstBinaryOp = OP_ADD;
inline constexpr uint32_t kLastBinaryOp = OP_SHIFTRIGHT;

// The code view's name of an opcode (empty for unnamed ones and 46..61).
const char* opcode_name(uint32_t opcode);

// Packs a double into a 32-bit float literal word: bit 29 the sign, bits
// 28..23 the single's biased exponent less 96, bits 22..0 its fraction.
// False when the value is 0 or not exactly a single in the literal's range
// (2^-31 up to, not including, 2^33).
bool pack_float_literal(double d, uint32_t& word);

// Token word builders (tests, the compiler and the loader use them).
constexpr uint32_t word_op(uint32_t opcode, uint32_t operand = 0) {
  return 0x40000000u | (opcode << 24) | (operand & 0xffffffu);
}
constexpr uint32_t word_op_imm(uint32_t opcode, int32_t imm) {
  return 0x40000000u | (opcode << 24) | 0x800000u | (uint32_t(imm) & 0x7fffffu);
}
inline constexpr uint32_t kEndWord = 0x40000000u;

}  // namespace vm
