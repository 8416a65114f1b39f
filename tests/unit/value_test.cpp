#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "vm/convert.h"
#include "vm/value.h"

using vm::Value;

TEST(Value, SqueezeKeepsSixtyTwoBitsAndSign) {
  const int64_t two62 = int64_t(1) << 62;
  EXPECT_EQ(Value::from_int(two62).as_int(), 0);
  EXPECT_EQ(Value::from_int(-two62 - 1).as_int(), -1);
  EXPECT_EQ(Value::from_int(two62 - 1).as_int(), two62 - 1);
  EXPECT_EQ(Value::from_int(-two62).as_int(), -two62);
  EXPECT_TRUE(Value::from_int(-1).is_int());
  EXPECT_TRUE(Value::from_int(two62 - 1).is_int());
}

TEST(Value, KindsAndNull) {
  EXPECT_TRUE(Value::null().is_element());
  EXPECT_TRUE(Value::null().is_null());
  EXPECT_EQ(Value::null().hi(), 0x40000000u);
  EXPECT_TRUE(Value::marker(7).is_marker());
  EXPECT_FALSE(Value::marker(7).is_float());
  EXPECT_TRUE(Value::from_double(1.5).is_float());
  EXPECT_EQ(Value::from_handle(0x40000020u).index(), 32u);
}

TEST(Value, FloatRoundTripsFullPrecisionInRange) {
  for (double d : {0.0, 1.0, -2.5, 0.1, 1e-70, -3.14159265358979, 1e70, std::ldexp(1.0, 256),
                   std::ldexp(1.0, -254)}) {
    EXPECT_EQ(Value::from_double(d).as_double(), d) << d;
  }
}

TEST(Value, TinyFloatsKeepTheirFractionAsSubnormal) {
  double tiny = std::ldexp(1.5, -300);  // below 2^-254
  double back = Value::from_double(tiny).as_double();
  EXPECT_TRUE(back == 0.0 || std::fpclassify(back) == FP_SUBNORMAL);
  EXPECT_EQ(Value::from_double(-0.0).is_float(), true);
}

TEST(Value, HugeInfiniteAndNanAreStoredSoundly) {
  double big = Value::from_double(std::ldexp(1.0, 300)).as_double();
  EXPECT_TRUE(std::isfinite(big));
  EXPECT_GT(big, std::ldexp(1.0, 256));
  double inf = Value::from_double(std::numeric_limits<double>::infinity()).as_double();
  EXPECT_EQ(inf, big);
  EXPECT_EQ(Value::from_double(-std::numeric_limits<double>::infinity()).as_double(), -big);
  EXPECT_EQ(Value::from_double(std::nan("")).as_double(), 0.0);
}

TEST(Parse, IntegerText) {
  EXPECT_EQ(vm::parse_integer(" -0x1F"), -31);
  EXPECT_EQ(vm::parse_integer("12abc"), 12);
  EXPECT_EQ(vm::parse_integer("+5"), 0);
  EXPECT_EQ(vm::parse_integer(""), 0);
  EXPECT_EQ(vm::parse_integer("\t\r\n42"), 42);
  EXPECT_EQ(vm::parse_integer("0x"), 0);   // too short for hex: the digit 0
  EXPECT_EQ(vm::parse_integer("0xg"), 0);
  EXPECT_EQ(vm::parse_integer("-"), 0);
}

TEST(Parse, FloatText) {
  EXPECT_DOUBLE_EQ(vm::parse_float("2.5"), 2.5);
  EXPECT_DOUBLE_EQ(vm::parse_float(" -0.25x"), -0.25);
  EXPECT_DOUBLE_EQ(vm::parse_float("0x10"), 16.0);
  EXPECT_DOUBLE_EQ(vm::parse_float("1.5e3"), 1500.0);
  EXPECT_DOUBLE_EQ(vm::parse_float("2e-2"), 0.02);
  EXPECT_DOUBLE_EQ(vm::parse_float(".5"), 0.5);
  EXPECT_DOUBLE_EQ(vm::parse_float("abc"), 0.0);
}

TEST(Parse, NumberLikeText) {
  EXPECT_TRUE(vm::looks_like_float("1.5"));
  EXPECT_TRUE(vm::looks_like_float("  .5 "));
  EXPECT_TRUE(vm::looks_like_float("1.5e-10"));
  EXPECT_FALSE(vm::looks_like_float("-1.5"));  // a leading minus is not number-like
  EXPECT_FALSE(vm::looks_like_float("15"));
  EXPECT_FALSE(vm::looks_like_float("1.5x"));
  EXPECT_FALSE(vm::looks_like_float("1.5e1234"));
  EXPECT_FALSE(vm::looks_like_float("."));
}

TEST(FloatText, WithoutContext) {
  EXPECT_EQ(vm::float_to_text(nullptr, 2.5, -1), "2.5");
  EXPECT_EQ(vm::float_to_text(nullptr, 0.1 + 0.2, -1), "0.3");
  // Without a context a negative count becomes that many digits.
  EXPECT_EQ(vm::float_to_text(nullptr, -7.25, -1), "-7.2");
  EXPECT_EQ(vm::float_to_text(nullptr, -7.25, -2), "-7.25");
  EXPECT_EQ(vm::float_to_text(nullptr, 2.5, 3), "2.500");
  // Every integer digit is printed, also past 14 digits.
  EXPECT_EQ(vm::float_to_text(nullptr, 123456789012345678.0, 0), "123456789012345680.");
  EXPECT_EQ(vm::float_to_text(nullptr, 1e20, 2), "100000000000000000000.00");
  // A fraction that rounds up carries into the integer part.
  EXPECT_EQ(vm::float_to_text(nullptr, 1.99999999999, 0), "2.");
}
