// The 64-bit value cell of the stack and of every variable.
//
// Bits 63..62 give the kind: 00 and 11 an integer (the cell read as a 64-bit
// two's-complement number, 62 bits of range), 01 an element reference (high
// word 0x40000000 + index, low word 0), 10 a float with a narrowed exponent.
// The reference with index 0 is null. The frame marker (high word exactly
// 0x80ffffff) lives on the stack only and is never seen by scripts.
#pragma once

#include <cstdint>
#include <cstring>

#include "vm/check.h"

namespace vm {

inline constexpr uint32_t kHandleBase = 0x40000000u;
inline constexpr uint32_t kIndexMask = 0x00ffffffu;
inline constexpr uint32_t kMarkerHigh = 0x80ffffffu;
inline constexpr int64_t kIntMax = (int64_t(1) << 62) - 1;
inline constexpr int64_t kIntMin = -(int64_t(1) << 62);

enum class Kind : uint8_t { Integer, Element, Float };

struct Value {
  uint64_t bits;

  // The small members are forced inline: the interpreter's large functions
  // are beyond the compiler's own inlining limits, which left them as calls.

  [[gnu::always_inline]] static constexpr Value from_bits(uint64_t b) { return Value{b}; }

  // Squeeze rule: keep bits 0..61, set bits 63 and 62 from the sign of r.
  [[gnu::always_inline]] static constexpr Value from_int(int64_t r) {
    uint64_t low = uint64_t(r) & 0x3fffffffffffffffull;
    return Value{r < 0 ? (low | 0xc000000000000000ull) : low};
  }
  [[gnu::always_inline]] static constexpr Value from_handle(uint32_t handle) { return Value{uint64_t(handle) << 32}; }
  [[gnu::always_inline]] static constexpr Value null() { return from_handle(kHandleBase); }
  [[gnu::always_inline]] static constexpr Value marker(uint32_t saved_depth) {
    return Value{(uint64_t(kMarkerHigh) << 32) | saved_depth};
  }
  // Encodes a double into the narrowed float form (no rounding; see
  // value_from_float for the rounded store that scripts see).
  static Value from_double(double d);

  [[gnu::always_inline]] constexpr uint32_t hi() const { return uint32_t(bits >> 32); }
  [[gnu::always_inline]] constexpr uint32_t lo() const { return uint32_t(bits); }
  [[gnu::always_inline]] constexpr uint32_t tag() const { return uint32_t(bits >> 62); }

  [[gnu::always_inline]] constexpr bool is_int() const { return tag() == 0 || tag() == 3; }
  [[gnu::always_inline]] constexpr bool is_element() const { return tag() == 1; }
  [[gnu::always_inline]] constexpr bool is_float() const { return tag() == 2 && !is_marker(); }
  [[gnu::always_inline]] constexpr bool is_marker() const { return hi() == kMarkerHigh; }
  [[gnu::always_inline]] constexpr bool is_null() const { return bits == null().bits; }
  [[gnu::always_inline]] constexpr Kind kind() const {
    return is_int() ? Kind::Integer : (is_element() ? Kind::Element : Kind::Float);
  }

  // The accessors below read the cell as one kind; the caller has tested
  // the kind first (checked in the test build).
  [[gnu::always_inline]] constexpr int64_t as_int() const {
    QASSERT(is_int());
    return int64_t(bits);
  }
  // The handle of an element reference (0x40000000 + index), as stored.
  [[gnu::always_inline]] constexpr uint32_t handle() const { return hi(); }
  [[gnu::always_inline]] constexpr uint32_t index() const {
    QASSERT(is_element());
    return hi() & kIndexMask;
  }
  double as_double() const;

  [[gnu::always_inline]] constexpr bool operator==(const Value& o) const { return bits == o.bits; }
};

static_assert(sizeof(Value) == 8);

// Decodes the narrowed float form: stored exponent s in bits 60..52, sign in
// bit 61, fraction in bits 51..0; s = 0 decodes to a zero or subnormal double.
[[gnu::always_inline]] inline double Value::as_double() const {
  QASSERT(is_float());
  uint64_t s = (bits >> 52) & 0x1ff;
  uint64_t sign = (bits >> 61) & 1;
  uint64_t frac = bits & 0x000fffffffffffffull;
  uint64_t e = s == 0 ? 0 : s + 768;
  uint64_t d = (sign << 63) | (e << 52) | frac;
  double out;
  std::memcpy(&out, &d, sizeof out);
  return out;
}

// Note: magnitudes of 2^257 and more (infinities included) saturate to the
// largest encodable magnitude with their sign, and NaN is stored as 0.0: the
// stored exponent has nine bits and would otherwise wrap.
[[gnu::always_inline]] inline Value Value::from_double(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  uint64_t sign = b >> 63;
  uint64_t e = (b >> 52) & 0x7ff;
  uint64_t frac = b & 0x000fffffffffffffull;
  uint64_t s;
  if (e == 0x7ff && frac != 0) {  // NaN
    sign = 0;
    s = 0;
    frac = 0;
  } else if (e >= 1280) {  // 2^257 and beyond, infinities
    s = 511;
    frac = 0x000fffffffffffffull;
  } else if (e > 768) {
    s = e - 768;
  } else {
    s = 0;
  }
  return Value{(uint64_t(2) << 62) | (sign << 61) | (s << 52) | frac};
}

}  // namespace vm
