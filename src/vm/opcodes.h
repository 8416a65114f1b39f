// The opcodes of token words, written once: the enum, the code view names,
// the interpreter's dispatch table, the assembler's names, the compiler's
// operators and the fused command table all come from QUILLON_OPCODES.
// Opcodes 1 to 61 first push their operand (an immediate integer when bit 23
// is set, an element handle when bits 22..0 are not 0).
//
// The list holds every opcode 0..63 once, in ascending order, in three
// shapes of line:
//   X(number, identifier, code view name, interpreter case)
//   OPERATOR(number, identifier, command, symbol, binding, run)
//     an opcode that runs a command: the identifier is the command in
//     capitals and the code view name is "IDENTIFIER _CALL"; `symbol` is the
//     operator scripts write for it ("" none) and `binding` how tightly it
//     binds (1 loosest .. 9 tightest between two operands, kPrefixBinding
//     written before one operand, 0 no operator); `run` is the interpreter's
//     case: `fused` calls the command's handler, `binary` folds the
//     arguments with the operator of that number (vm/operators.h).
//   UNUSED(first, last)  a range of numbers no opcode has.
// Adding an operator is one OPERATOR line (and, for a fused one, its
// command in vm/commands.def).
#pragma once

#include <cstdint>

namespace vm {

inline constexpr int kPrefixBinding = 10;

#define QUILLON_OPCODES(X, OPERATOR, UNUSED)                                                \
  X(0, PUSH, "", push)                                  /* -> handle; operand 0: end */    \
  X(1, LABEL, "_LABEL", label)                          /* name -> */                      \
  X(2, LINE, "_LINE", line)                             /* file line -> */                 \
  X(3, CALL, "_CALL", call)                             /* args marker callee -> results */ \
  X(4, POP, "_POP", pop)                                /* results marker -> */            \
  X(5, TAIL, "_TAIL", tail)                             /* -> marker */                    \
  X(6, CALL_POP, "_CALL _POP", call_pop)                /* args marker callee -> */        \
  X(7, GOTO, "_GOTO", goto)                             /* label -> */                     \
  X(8, IF, "_IF", if)                                   /* cond label -> */                \
  X(9, IFNOT, "_IFNOT", ifnot)                          /* cond label -> */                \
  X(10, RETURN, "_RETURN", return)                      /* -> */                           \
  X(11, TAIL_TAIL, "_TAIL _TAIL", tail_tail)            /* -> marker marker */             \
  X(12, LINE_TAIL, "_LINE _TAIL", line_tail)            /* file line -> marker */          \
  X(13, LINE_TAIL_TAIL, "_LINE _TAIL _TAIL", line_tail_tail) /* file line -> marker marker */ \
  X(14, IDLEGOTO, "_IDLEGOTO", idlegoto)                /* label -> */                     \
  X(15, IDLEIF, "", idleif)                             /* cond label -> */                \
  X(16, IDLEIFNOT, "", idleifnot)                       /* cond label -> */                \
  X(17, NULL_CALL, "NULL _CALL", null_call)             /* -> null */                      \
  OPERATOR(18, AT, at, "", 0, fused)                    /* args marker -> values */        \
  OPERATOR(19, ARRAY, array, "", 0, fused)                                                 \
  OPERATOR(20, SET, set, "", 0, fused)                                                     \
  OPERATOR(21, LOCAL, local, "", 0, fused)                                                 \
  OPERATOR(22, GLOBAL, global, "", 0, fused)                                               \
  OPERATOR(23, STRCAT, strcat, "$", 6, fused)                                              \
  OPERATOR(24, NOT, not, "", 0, fused)                                                     \
  OPERATOR(25, LOGNOT, lognot, "!", kPrefixBinding, fused)                                 \
  OPERATOR(26, NEGATE, negate, "-", kPrefixBinding, fused)                                 \
  OPERATOR(27, POSITIVE, positive, "+", kPrefixBinding, fused)                             \
  OPERATOR(28, ADD, add, "+", 8, binary)                /* a b -> a+b (and so on) */       \
  OPERATOR(29, SUBTRACT, subtract, "-", 8, binary)                                         \
  OPERATOR(30, MULTIPLY, multiply, "*", 9, binary)                                         \
  OPERATOR(31, DIVIDE, divide, "/", 9, binary)                                             \
  OPERATOR(32, MODULUS, modulus, "%", 9, binary)                                           \
  OPERATOR(33, EQUAL, equal, "==", 5, binary)                                              \
  OPERATOR(34, NOTEQUAL, notequal, "!=", 5, binary)                                        \
  OPERATOR(35, LESSTHAN, lessthan, "<", 5, binary)                                         \
  OPERATOR(36, GREATERTHAN, greaterthan, ">", 5, binary)                                   \
  OPERATOR(37, EQUALLESSTHAN, equallessthan, "<=", 5, binary)                              \
  OPERATOR(38, EQUALGREATERTHAN, equalgreaterthan, ">=", 5, binary)                        \
  OPERATOR(39, AND, and, "&", 4, binary)                                                   \
  OPERATOR(40, OR, or, "|", 3, binary)                                                     \
  OPERATOR(41, XOR, xor, "", 0, binary)                                                    \
  OPERATOR(42, LOGAND, logand, "&&", 2, binary)                                            \
  OPERATOR(43, LOGOR, logor, "||", 1, binary)                                              \
  OPERATOR(44, SHIFTLEFT, shiftleft, "<<", 7, binary)                                      \
  OPERATOR(45, SHIFTRIGHT, shiftright, ">>", 7, binary)                                    \
  UNUSED(46, 61)                                                                           \
  X(62, PUSH2BYTES, "PUSH2BYTES", push2)                /* -> b1 b0 */                     \
  X(63, PUSH3BYTES, "PUSH3BYTES", push3)                /* -> b2 b1 b0 */

// Expands to nothing: for the shapes of line a use of the list skips.
#define QUILLON_SKIP(...)

enum Opcode : uint8_t {
#define X(num, id, ...) OP_##id = num,
  QUILLON_OPCODES(X, X, QUILLON_SKIP)
#undef X
};

// How the interpreter runs an operator opcode.
enum class OperatorRun : uint8_t { fused, binary };

struct Operator {
  uint32_t opcode;
  const char* command;
  const char* symbol;  // "" when scripts write no operator for it
  int binding;         // 1 .. 9 between two operands, kPrefixBinding before one, 0 none
  OperatorRun run;
  bool infix() const { return binding > 0 && binding < kPrefixBinding; }
  bool prefix() const { return binding == kPrefixBinding; }
};

// The opcodes that run a command, in opcode order.
inline constexpr Operator kOperators[] = {
#define OPERATOR(num, id, command, symbol, binding, run) {num, #command, symbol, binding, OperatorRun::run},
    QUILLON_OPCODES(QUILLON_SKIP, OPERATOR, QUILLON_SKIP)
#undef OPERATOR
};

namespace opcode_checks {

constexpr bool is_lower_case_of(const char* upper, const char* lower) {
  for (; *upper && *lower; upper++, lower++)
    if (*lower != (*upper >= 'A' && *upper <= 'Z' ? char(*upper - 'A' + 'a') : *upper)) return false;
  return *upper == *lower;
}

// Every number 0..63 once, in ascending order: the dispatch table is laid
// out in list order.
constexpr bool in_order() {
  uint32_t next = 0;
  bool ok = true;
#define X(num, ...) ok = ok && num == next++;
#define UNUSED(first, last) ok = ok && first == next && last >= first, next = last + 1;
  QUILLON_OPCODES(X, X, UNUSED)
#undef UNUSED
#undef X
  return ok && next == 64;
}

// The first and last opcode run the way `run` says.
constexpr uint32_t first_run(OperatorRun run) {
  for (const Operator& o : kOperators)
    if (o.run == run) return o.opcode;
  return 0;
}
constexpr uint32_t last_run(OperatorRun run) {
  uint32_t last = 0;
  for (const Operator& o : kOperators)
    if (o.run == run) last = o.opcode;
  return last;
}
// The opcodes run as `run` form one unbroken range.
constexpr bool contiguous(OperatorRun run) {
  uint32_t count = 0;
  for (const Operator& o : kOperators) count += o.run == run;
  return count == last_run(run) - first_run(run) + 1;
}

}  // namespace opcode_checks

static_assert(opcode_checks::in_order(), "QUILLON_OPCODES lists 0..63 once, in ascending order");
#define OPERATOR(num, id, command, ...)                                  \
  static_assert(opcode_checks::is_lower_case_of(#id, #command),          \
                "an operator's identifier is its command in capitals");
QUILLON_OPCODES(QUILLON_SKIP, OPERATOR, QUILLON_SKIP)
#undef OPERATOR

// The fused command opcodes and the binary operator opcodes. Compiled
// scripts hold these numbers.
inline constexpr uint32_t kFirstFusedCommand = opcode_checks::first_run(OperatorRun::fused);
inline constexpr uint32_t kLastFusedCommand = opcode_checks::last_run(OperatorRun::fused);
inline constexpr uint32_t kFirstBinaryOp = opcode_checks::first_run(OperatorRun::binary);
inline constexpr uint32_t kLastBinaryOp = opcode_checks::last_run(OperatorRun::binary);
static_assert(kFirstFusedCommand == 18 && kLastFusedCommand == 27 && kFirstBinaryOp == 28 && kLastBinaryOp == 45);
static_assert(opcode_checks::contiguous(OperatorRun::fused) && opcode_checks::contiguous(OperatorRun::binary));
static_assert(OP_NULL_CALL == 17 && OP_PUSH2BYTES == 62 && OP_PUSH3BYTES == 63);

// The code view's name of an opcode (empty for unnamed ones and 46..61).
const char* opcode_name(uint32_t opcode);

// Packs a double into a 32-bit float literal word: bit 29 the sign, bits
// 28..23 the single's biased exponent less 96, bits 22..0 its fraction.
// False when the value is 0 or not exactly a single in the literal's range
// (2^-31 up to, not including, 2^33).
bool pack_float_literal(double d, uint32_t& word);

// The number of a float literal word (top bits 10), a single widened.
inline double float_literal_value(uint32_t w) {
  uint32_t sign = (w >> 29) & 1, s = (w >> 23) & 0x3f, frac = w & 0x7fffff;
  uint32_t single = (sign << 31) | ((s + 96) << 23) | frac;
  float f;
  __builtin_memcpy(&f, &single, sizeof f);
  return double(f);
}

// Token word builders (tests, the compiler and the loader use them).
constexpr uint32_t word_op(uint32_t opcode, uint32_t operand = 0) {
  return 0x40000000u | (opcode << 24) | (operand & 0xffffffu);
}
constexpr uint32_t word_op_imm(uint32_t opcode, int32_t imm) {
  return 0x40000000u | (opcode << 24) | 0x800000u | (uint32_t(imm) & 0x7fffffu);
}
inline constexpr uint32_t kEndWord = 0x40000000u;

}  // namespace vm
