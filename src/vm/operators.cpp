// Operators and math: the binary operators shared by the fused opcodes and
// the operator commands, the unary operators, the math functions, the text
// forms `str` and `hex`, `inc`/`dec`, and the random generator.
#include "vm/operators.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/opcodes.h"
#include "vm/sysvars.h"
#include "vm/measure.h"
#include "vm/value.h"
#include "vm/variables.h"

namespace vm {

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;
constexpr double kPi = 3.14159265358979323846;

bool is_comparison(uint32_t op) { return op >= OP_EQUAL && op <= OP_EQUALGREATERTHAN; }

// The truth of a comparison given the ordering of a and b (-1, 0, 1).
bool compare_holds(uint32_t op, int order) {
  switch (op) {
    case OP_EQUAL: return order == 0;
    case OP_NOTEQUAL: return order != 0;
    case OP_LESSTHAN: return order < 0;
    case OP_GREATERTHAN: return order > 0;
    case OP_EQUALLESSTHAN: return order <= 0;
    default: return order >= 0;  // OP_EQUALGREATERTHAN
  }
}

// A float cell, or a text that reads as a float ("1.5", "2.", ".5e3").
bool is_floaty(Value v) {
  if (v.is_float()) return true;
  if (!v.is_element()) return false;
  return is_text(v) && looks_like_float(element_text(v));
}

// Truncates toward zero; out-of-range values saturate and NaN gives 0.
int64_t truncate_to_int64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return INT64_MAX;
  if (d <= -9223372036854775808.0) return INT64_MIN;
  return int64_t(d);
}

int64_t shift_left(int64_t a, int64_t b) {
  uint32_t count = uint32_t(b) & 0xff;
  return count >= 64 ? 0 : int64_t(uint64_t(a) << count);
}

int64_t shift_right(int64_t a, int64_t b) {
  uint32_t count = uint32_t(b) & 0xff;
  if (count >= 64) return a < 0 ? -1 : 0;
  return a >> count;  // arithmetic on signed operands
}

}  // namespace

double float_op(uint32_t op, double a, double b) {
  switch (op) {
    case OP_ADD: return a + b;
    case OP_SUBTRACT: return a - b;
    case OP_MULTIPLY: return a * b;
    case OP_DIVIDE: return (a == 0 || b == 0) ? 0.0 : a / b;
    case OP_MODULUS: return b == 0 ? 0.0 : std::fmod(a, b);
    case OP_EQUAL: return a == b ? 1.0 : 0.0;
    case OP_NOTEQUAL: return a != b ? 1.0 : 0.0;
    case OP_LESSTHAN: return a < b ? 1.0 : 0.0;
    case OP_GREATERTHAN: return a > b ? 1.0 : 0.0;
    case OP_EQUALLESSTHAN: return a <= b ? 1.0 : 0.0;
    case OP_EQUALGREATERTHAN: return a >= b ? 1.0 : 0.0;
    case OP_LOGAND: return (a != 0 && b != 0) ? 1.0 : 0.0;
    case OP_LOGOR: return (a != 0 || b != 0) ? 1.0 : 0.0;
    case OP_AND:
    case OP_OR:
    case OP_XOR:
    case OP_SHIFTLEFT:
    case OP_SHIFTRIGHT:
      return double(integer_op(op, truncate_to_int64(a), truncate_to_int64(b)));
    default: return 0.0;
  }
}

namespace {

// Byte-wise unsigned comparison over the shorter length; when those bytes
// agree, the shorter text is the greater one.
int compare_texts(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; i++) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    unsigned char cb = static_cast<unsigned char>(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? 1 : -1;
}

// A text operand compares by its own bytes; anything else by its text form
// (which the caller releases through `owned`).
std::string_view text_operand(Interp& ctx, Value v, Value& owned) {
  if (is_text(v)) return element_text(v);
  owned = value_to_text(&ctx, v);
  return element_text(owned);
}

}  // namespace

// One application of operator `op` to a (left) and b (right); the result is
// owned by the caller.
Value apply_op(Interp& ctx, uint32_t op, Value a, Value b) {
  if (a.is_int() && b.is_int()) return Value::from_int(integer_op(op, a.as_int(), b.as_int()));

  if (is_comparison(op) && a == b) return Value::from_int(compare_holds(op, 0) ? 1 : 0);

  if (element_type_of(a) == kTypeMeasure || element_type_of(b) == kTypeMeasure) {
    Value out = Value::null();
    measure_arithmetic(ctx, op, a, b, out);
    return out;
  }

  if (is_comparison(op) && (is_text(a) || is_text(b))) {
    Value owned_a = Value::null(), owned_b = Value::null();
    int order = compare_texts(text_operand(ctx, a, owned_a), text_operand(ctx, b, owned_b));
    value_release(owned_a);
    value_release(owned_b);
    return Value::from_int(compare_holds(op, order) ? 1 : 0);
  }

  if (is_floaty(a) || is_floaty(b))
    return value_from_float(&ctx, float_op(op, value_to_float(&ctx, a), value_to_float(&ctx, b)));

  return Value::from_int(integer_op(op, value_to_integer(&ctx, a), value_to_integer(&ctx, b)));
}

namespace {

// Replaces every argument of the frame by f(argument).
template <class F>
void map_args(Interp& ctx, F f) {
  uint32_t n = close_frame(ctx);
  for (uint32_t i = 0; i < n; i++) set_arg_owned(ctx, i, f(ctx.top[i]));
}

// Replaces every argument by a float computed from its float conversion.
template <class F>
void map_float_args(Interp& ctx, F f) {
  map_args(ctx, [&](Value v) { return value_from_float(&ctx, f(value_to_float(&ctx, v))); });
}

bool degrees(const Interp& ctx) { return sysvar_int(ctx, SV_var_floatdegrees) != 0; }

// Pops the frame's n arguments and pushes one owned result.
void replace_args(Interp& ctx, uint32_t n, Value result) {
  pop_n(ctx, n);
  push_owned(ctx, result);
}

double round_half_away(double x) { return x >= 0 ? std::floor(x + 0.5) : -std::floor(0.5 - x); }

// sgn(a - b) as -1, 0, 1 (or -1, 1 with `nozero`), float when either side
// is a float or number-like text.
void subtract_sign(Interp& ctx, bool nozero) {
  uint32_t n = close_frame(ctx);
  Value a = arg(ctx, n, 0), b = arg(ctx, n, 1);
  Value result;
  if (is_floaty(a) || is_floaty(b)) {
    double d = value_to_float(&ctx, a) - value_to_float(&ctx, b);
    double s = d > 0 ? 1.0 : d < 0 ? -1.0 : 0.0;
    if (nozero && s == 0) s = 1.0;
    result = value_from_float(&ctx, s);
  } else {
    int64_t x = value_to_integer(&ctx, a), y = value_to_integer(&ctx, b);
    int64_t s = (x > y) - (x < y);
    if (nozero && s == 0) s = 1;
    result = Value::from_int(s);
  }
  replace_args(ctx, n, result);
}

void min_max(Interp& ctx, bool want_max) {
  uint32_t n = close_frame(ctx);
  if (n == 0) return;
  bool floats = false;
  for (uint32_t i = 0; i < n && !floats; i++) floats = is_floaty(ctx.top[i]);
  Value result;
  if (floats) {
    double best = value_to_float(&ctx, ctx.top[0]);
    for (uint32_t i = 1; i < n; i++) {
      double d = value_to_float(&ctx, ctx.top[i]);
      if (want_max ? d > best : d < best) best = d;
    }
    result = value_from_float(&ctx, best);
  } else {
    int64_t best = value_to_integer(&ctx, ctx.top[0]);
    for (uint32_t i = 1; i < n; i++) {
      int64_t x = value_to_integer(&ctx, ctx.top[i]);
      if (want_max ? x > best : x < best) best = x;
    }
    result = Value::from_int(best);
  }
  replace_args(ctx, n, result);
}

void inc_dec(Interp& ctx, bool increment) {
  uint32_t n = close_frame(ctx);
  if (n == 0) return;
  Value name = ctx.top[0];
  Value* cell = var_find(ctx, name);
  if (!cell) cell = var_in_local(ctx, name);
  if (cell) {
    Value current = *cell;
    Value amount = n >= 2 ? ctx.top[1] : Value::from_int(1);
    Value result;
    if (is_floaty(current) || is_floaty(amount)) {
      double x = value_to_float(&ctx, current), d = value_to_float(&ctx, amount);
      result = value_from_float(&ctx, increment ? x + d : x - d);
    } else {
      uint64_t x = uint64_t(value_to_integer(&ctx, current));
      uint64_t d = uint64_t(value_to_integer(&ctx, amount));
      result = Value::from_int(int64_t(increment ? x + d : x - d));
    }
    value_store(*cell, result);
  }
  pop_n(ctx, n);
}

// --- random numbers -----------------------------------------------------------

uint32_t g_random_state = 1;

// Two draws combined: first x 2^32 + second.
uint64_t random_raw() {
  uint64_t first = random_draw();
  uint64_t second = random_draw();
  return (first << 32) + second;
}

// A float in [0, 1).
double random_unit() { return double(random_raw() % 10000000000000ull) * 1e-13; }

// raw mod range, where a range of 0 stands for all 2^64 values.
uint64_t random_below(uint64_t range) { return range ? random_raw() % range : random_raw(); }

// `count` distinct values from lo .. lo + range - 1 (range 0: 2^64 values),
// pushed in drawing order. When the range holds no more than `count` values
// the whole range is pushed, shuffled.
void push_distinct(Interp& ctx, int64_t lo, uint64_t range, uint64_t count) {
  if (range != 0 && range <= count * 4) {
    // Small range: partial shuffle of an explicit list of offsets.
    std::vector<uint64_t> offsets(range);
    for (uint64_t i = 0; i < range; i++) offsets[i] = i;
    uint64_t take = std::min(count, range);
    for (uint64_t i = 0; i < take; i++) {
      uint64_t j = i + random_below(range - i);
      std::swap(offsets[i], offsets[j]);
      push_int(ctx, int64_t(uint64_t(lo) + offsets[i]));
    }
    return;
  }
  // Large range: redraw on a repeat; after a few repeats step to the next
  // unused value, so the loop always ends even if the generator cycles.
  std::unordered_set<uint64_t> used;
  used.reserve(size_t(count) * 2);
  for (uint64_t i = 0; i < count; i++) {
    uint64_t off = random_below(range);
    for (int tries = 0; used.count(off) && tries < 16; tries++) off = random_below(range);
    while (used.count(off)) off = range ? (off + 1) % range : off + 1;
    used.insert(off);
    push_int(ctx, int64_t(uint64_t(lo) + off));
  }
}

}  // namespace

// Integer mode on two 64-bit operands; the caller squeezes the result.
// Unsigned arithmetic gives the wrapping results without overflow.
int64_t integer_op(uint32_t op, int64_t a, int64_t b) {
  uint64_t ua = uint64_t(a), ub = uint64_t(b);
  switch (op) {
    case OP_ADD: return int64_t(ua + ub);
    case OP_SUBTRACT: return int64_t(ua - ub);
    case OP_MULTIPLY: return int64_t(ua * ub);
    case OP_DIVIDE:
      if (a == 0 || b == 0) return 0;
      if (b == -1) return int64_t(0 - ua);  // INT64_MIN / -1 would trap
      return a / b;
    case OP_MODULUS:
      if (b == 0 || b == -1) return 0;  // x % -1 is 0; INT64_MIN % -1 would trap
      return a % b;
    case OP_EQUAL: return a == b;
    case OP_NOTEQUAL: return a != b;
    case OP_LESSTHAN: return a < b;
    case OP_GREATERTHAN: return a > b;
    case OP_EQUALLESSTHAN: return a <= b;
    case OP_EQUALGREATERTHAN: return a >= b;
    case OP_AND: return int64_t(ua & ub);
    case OP_OR: return int64_t(ua | ub);
    case OP_XOR: return int64_t(ua ^ ub);
    case OP_LOGAND: return a != 0 && b != 0;
    case OP_LOGOR: return a != 0 || b != 0;
    case OP_SHIFTLEFT: return shift_left(a, b);
    case OP_SHIFTRIGHT: return shift_right(a, b);
    default: return 0;
  }
}


void random_seed(uint32_t seed) { g_random_state = seed; }

uint32_t random_draw() {
  g_random_state = g_random_state * 214013u + 2531011u;
  return (g_random_state >> 16) & 0x7fff;
}

// --- binary operators ------------------------------------------------------------

void binary_op(Interp& ctx, uint32_t number) {
  uint32_t n = close_frame(ctx);
  if (n == 2) {
    Value a = ctx.top[1], b = ctx.top[0];
    if (a.is_int() && b.is_int()) {  // the common `x + 1`: no references involved
      ctx.top[1] = Value::from_int(integer_op(number, a.as_int(), b.as_int()));
      ctx.top++;
      return;
    }
  }
  // Fold from the top: the two topmost values are replaced by their result.
  for (; n >= 2; n--) {
    Value result = apply_op(ctx, number, ctx.top[1], ctx.top[0]);
    set_arg_owned(ctx, 1, result);
    pop(ctx);
  }
}

// The operator commands: h_add ... h_shiftright, one for each binary
// operator opcode.
#define QUILLON_HANDLER_fused(id, command)
#define QUILLON_HANDLER_binary(id, command) \
  void h_##command(Interp& ctx) { binary_op(ctx, OP_##id); }
#define OPERATOR(num, id, command, symbol, binding, run) QUILLON_HANDLER_##run(id, command)
QUILLON_OPCODES(QUILLON_SKIP, OPERATOR, QUILLON_SKIP)
#undef OPERATOR
#undef QUILLON_HANDLER_binary
#undef QUILLON_HANDLER_fused

// --- unary operators ---------------------------------------------------------------

void h_negate(Interp& ctx) {
  map_args(ctx, [&](Value v) {
    if (v.is_float()) return value_from_float(&ctx, -v.as_double());
    return Value::from_int(int64_t(0 - uint64_t(value_to_integer(&ctx, v))));
  });
}

void h_positive(Interp& ctx) {
  map_args(ctx, [&](Value v) { return v.is_float() ? v : Value::from_int(value_to_integer(&ctx, v)); });
}

void h_not(Interp& ctx) {
  map_args(ctx, [&](Value v) { return Value::from_int(~value_to_integer(&ctx, v)); });
}

void h_lognot(Interp& ctx) {
  map_args(ctx, [&](Value v) { return Value::from_int(value_to_integer(&ctx, v) == 0 ? 1 : 0); });
}

void h_abs(Interp& ctx) {
  map_args(ctx, [&](Value v) {
    if (v.is_float()) return value_from_float(&ctx, std::fabs(v.as_double()));
    int64_t x = value_to_integer(&ctx, v);
    return Value::from_int(x < 0 ? int64_t(0 - uint64_t(x)) : x);
  });
}

void h_sgn(Interp& ctx) {
  map_args(ctx, [&](Value v) {
    if (v.is_float()) {
      double d = v.as_double();
      return value_from_float(&ctx, d > 0 ? 1.0 : d < 0 ? -1.0 : 0.0);
    }
    int64_t x = value_to_integer(&ctx, v);
    return Value::from_int((x > 0) - (x < 0));
  });
}

void h_sgnnozero(Interp& ctx) {
  map_args(ctx, [&](Value v) {
    if (v.is_float()) return value_from_float(&ctx, v.as_double() < 0 ? -1.0 : 1.0);
    return Value::from_int(value_to_integer(&ctx, v) < 0 ? -1 : 1);
  });
}

// --- math functions ------------------------------------------------------------------

void h_sin(Interp& ctx) {
  double k = degrees(ctx) ? kDegToRad : 1.0;
  map_float_args(ctx, [k](double x) { return std::sin(x * k); });
}

void h_cos(Interp& ctx) {
  double k = degrees(ctx) ? kDegToRad : 1.0;
  map_float_args(ctx, [k](double x) { return std::cos(x * k); });
}

void h_tan(Interp& ctx) {
  double k = degrees(ctx) ? kDegToRad : 1.0;
  map_float_args(ctx, [k](double x) { return std::tan(x * k); });
}

void h_asin(Interp& ctx) {
  double k = degrees(ctx) ? kRadToDeg : 1.0;
  map_float_args(ctx, [k](double x) { return std::asin(x) * k; });
}

void h_acos(Interp& ctx) {
  double k = degrees(ctx) ? kRadToDeg : 1.0;
  map_float_args(ctx, [k](double x) { return std::acos(x) * k; });
}

void h_atan(Interp& ctx) {
  double k = degrees(ctx) ? kRadToDeg : 1.0;
  map_float_args(ctx, [k](double x) { return std::atan(x) * k; });
}

void h_exp(Interp& ctx) { map_float_args(ctx, [](double x) { return std::exp(x); }); }
void h_log(Interp& ctx) { map_float_args(ctx, [](double x) { return std::log(x); }); }
void h_log10(Interp& ctx) { map_float_args(ctx, [](double x) { return std::log10(x); }); }
void h_sqrt(Interp& ctx) { map_float_args(ctx, [](double x) { return std::sqrt(x); }); }
void h_floor(Interp& ctx) { map_float_args(ctx, [](double x) { return std::floor(x); }); }
void h_ceil(Interp& ctx) { map_float_args(ctx, [](double x) { return std::ceil(x); }); }
void h_round(Interp& ctx) { map_float_args(ctx, round_half_away); }

void h_pow(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  double x = value_to_float(&ctx, arg(ctx, n, 0));
  double y = value_to_float(&ctx, arg(ctx, n, 1));
  replace_args(ctx, n, value_from_float(&ctx, std::pow(x, y)));
}

void h_mod(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  double a = value_to_float(&ctx, arg(ctx, n, 0));
  double b = value_to_float(&ctx, arg(ctx, n, 1));
  replace_args(ctx, n, value_from_float(&ctx, b == 0 ? 0.0 : std::fmod(a, b)));
}

void h_min(Interp& ctx) { min_max(ctx, false); }
void h_max(Interp& ctx) { min_max(ctx, true); }

void h_subtractsgn(Interp& ctx) { subtract_sign(ctx, false); }
void h_subtractsgnnozero(Interp& ctx) { subtract_sign(ctx, true); }

// Direction of the vector from (x1, y1) to (x2, y2) on the screen, measured
// from straight up, clockwise positive: up 0, right pi/2, down pi, left -pi/2.
void h_vecangle(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  double x1 = double(value_to_integer(&ctx, arg(ctx, n, 0)));
  double y1 = double(value_to_integer(&ctx, arg(ctx, n, 1)));
  double x2 = double(value_to_integer(&ctx, arg(ctx, n, 2)));
  double y2 = double(value_to_integer(&ctx, arg(ctx, n, 3)));
  double dx = x2 - x1;
  double dy = y1 - y2;  // screen y grows downward; up is positive here
  double length = std::sqrt(dx * dx + dy * dy);
  double t = 0.0;
  if (length >= 1) {
    // Rounding can push the ratios a hair above 1, outside acos/asin.
    double cy = std::min(std::fabs(dy) / length, 1.0);
    double cx = std::min(std::fabs(dx) / length, 1.0);
    t = (std::acos(cy) + std::asin(cx)) / 2;
    if (dy < 0) t = kPi - t;
    if (dx < 0) t = -t;
    if (degrees(ctx)) t *= kRadToDeg;
  }
  replace_args(ctx, n, value_from_float(&ctx, t));
}

// --- text forms --------------------------------------------------------------------------

void h_str(Interp& ctx) {
  map_args(ctx, [&](Value v) { return value_to_text(&ctx, v); });
}

void h_hex(Interp& ctx) {
  map_args(ctx, [&](Value v) {
    char buf[24];
    int len = std::snprintf(buf, sizeof buf, "0x%08llX",
                            static_cast<unsigned long long>(uint64_t(value_to_integer(&ctx, v))));
    return Value::from_handle(text_intern(std::string_view(buf, size_t(len))));
  });
}

// --- inc and dec ----------------------------------------------------------------------------

void h_inc(Interp& ctx) { inc_dec(ctx, true); }
void h_dec(Interp& ctx) { inc_dec(ctx, false); }

// --- random -----------------------------------------------------------------------------------

void h_randomize(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n == 0) {
    auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    random_seed(uint32_t(uint64_t(ticks)));
  } else {
    random_seed(uint32_t(uint64_t(value_to_integer(&ctx, ctx.top[0]))));
  }
  discard_args_push_zero(ctx, n);
}

void h_random(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n == 0) {
    push_owned(ctx, value_from_float(&ctx, random_unit()));
    return;
  }
  if (n == 1) {
    Value v = ctx.top[0];
    Value result;
    if (is_floaty(v)) {
      result = value_from_float(&ctx, random_unit() * value_to_float(&ctx, v));
    } else {
      int64_t limit = value_to_integer(&ctx, v);
      result = Value::from_int(limit > 0 ? int64_t(random_raw() % uint64_t(limit)) : 0);
    }
    set_arg_owned(ctx, 0, result);
    return;
  }

  Value a = ctx.top[0], b = ctx.top[1];
  bool floats = is_floaty(a) || is_floaty(b);
  double flo = 0, fhi = 0;
  int64_t lo = 0, hi = 0;
  if (floats) {
    double x = value_to_float(&ctx, a), y = value_to_float(&ctx, b);
    flo = std::min(x, y);
    fhi = std::max(x, y);
  } else {
    int64_t x = value_to_integer(&ctx, a), y = value_to_integer(&ctx, b);
    lo = std::min(x, y);
    hi = std::max(x, y);
  }
  // Values in lo .. hi inclusive; 0 stands for the full 2^64 range.
  uint64_t range = uint64_t(hi) - uint64_t(lo) + 1;

  int64_t count = 1;
  if (n >= 3) count = value_to_integer(&ctx, ctx.top[2]);
  pop_n(ctx, n);
  if (n >= 3) {
    // Keep 100 cells of the stack free.
    int64_t room = int64_t(ctx.top - ctx.stack_limit) - 100;
    count = std::clamp<int64_t>(count, 0, std::max<int64_t>(room, 0));
  }

  if (floats) {
    for (int64_t i = 0; i < count; i++) push_owned(ctx, value_from_float(&ctx, flo + random_unit() * (fhi - flo)));
  } else if (n >= 3 && count >= 2) {
    push_distinct(ctx, lo, range, uint64_t(count));
  } else {
    for (int64_t i = 0; i < count; i++) push_int(ctx, int64_t(uint64_t(lo) + random_below(range)));
  }
}

}  // namespace vm
