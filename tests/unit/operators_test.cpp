// Binary and unary operators, math functions, float text and random numbers.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <set>
#include <vector>

#include "vm/commands.h"
#include "vm/operators.h"
#include "vm/sysvars.h"
#include "vm_fixture.h"

using namespace vm;

class Operators : public VmTest {
 protected:
  static Value i(int64_t x) { return Value::from_int(x); }
  static Value f(double x) { return Value::from_double(x); }

  // Runs an operator on operands pushed left first; the result stays on top.
  Value binop(CommandHandler h, std::initializer_list<Value> operands) {
    open_frame(*ctx);
    for (Value v : operands) push(*ctx, v);
    h(*ctx);
    return cell(0);
  }
  // Calls a command with its arguments in script order (the first ends on top).
  Value call(CommandHandler h, std::initializer_list<Value> args) {
    open_frame(*ctx);
    std::vector<Value> list(args);
    for (auto it = list.rbegin(); it != list.rend(); ++it) push(*ctx, *it);
    h(*ctx);
    return cell(0);
  }
  std::string shown(Value v) { return value_display(ctx, v); }
  void set_sysvar(SysVar v, int64_t x) { sysvar_set_int(*ctx, v, x); }
};

TEST_F(Operators, IntegerDivisionAndModulus) {
  run(R"(
    TAIL 7 2 DIVIDE  TAIL -7 2 DIVIDE  TAIL -7 2 MODULUS  TAIL 7 -2 MODULUS
    TAIL 5 0 DIVIDE  TAIL 0 5 DIVIDE   TAIL 5 0 MODULUS
  )");
  ASSERT_EQ(depth(), 7u);
  const int64_t want[] = {0, 0, 0, 1, -1, -3, 3};
  for (uint32_t k = 0; k < 7; k++) {
    EXPECT_TRUE(cell(k).is_int()) << k;
    EXPECT_EQ(int_at(k), want[k]) << k;
  }
}

TEST_F(Operators, FloatModeFromFloatsAndNumberLikeTexts) {
  Value r = binop(h_divide, {i(7), f(2.0)});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 3.5);
  r = binop(h_add, {text("1.5"), i(1)});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 2.5);
  r = binop(h_add, {text("-1.5"), i(1)});  // a leading "-" is not number-like
  ASSERT_TRUE(r.is_int());
  EXPECT_EQ(r.as_int(), 0);
  r = binop(h_add, {text("3.5x"), i(1)});  // a letter after the digits: parsed as 3
  ASSERT_TRUE(r.is_int());
  EXPECT_EQ(r.as_int(), 4);
  r = binop(h_add, {text(" 2.5e1"), i(0)});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 25.0);
  r = binop(h_divide, {f(2.5), i(0)});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 0.0);
  EXPECT_EQ(binop(h_modulus, {f(-7.5), i(2)}).as_double(), -1.5);
  r = binop(h_and, {f(6.9), i(3)});  // truncated operands, float result
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 2.0);
}

TEST_F(Operators, TextComparison) {
  EXPECT_EQ(binop(h_lessthan, {text("abc"), text("abd")}), i(1));
  EXPECT_EQ(binop(h_lessthan, {text("abc"), text("ab")}), i(1));  // the shorter is greater
  EXPECT_EQ(binop(h_greaterthan, {text(""), text("a")}), i(1));
  EXPECT_EQ(binop(h_lessthan, {text("10"), i(9)}), i(1));  // compared as texts
  EXPECT_EQ(binop(h_greaterthan, {text("\xe9"), text("z")}), i(1));  // unsigned bytes
  EXPECT_EQ(binop(h_equal, {text("abc"), text("abc")}), i(1));
  EXPECT_EQ(binop(h_notequal, {text("abc"), text("ABC")}), i(1));
  EXPECT_EQ(binop(h_equallessthan, {text("b"), text("b")}), i(1));
}

TEST_F(Operators, MixedComparisonsGiveFloats) {
  Value r = binop(h_equal, {f(1.0), i(1)});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 1.0);
  r = binop(h_lessthan, {i(2), f(1.5)});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 0.0);
}

TEST_F(Operators, FloatTextForm) {
  EXPECT_EQ(shown(f(3.0)), "3.");
  EXPECT_EQ(shown(f(2.5)), "2.5");
  EXPECT_EQ(shown(f(-2.5)), "-2.5");
  EXPECT_EQ(shown(binop(h_add, {f(0.1), f(0.2)})), "0.3");
  set_sysvar(SV_var_floatdigits, 3);
  EXPECT_EQ(shown(f(2.5)), "2.500");
  set_sysvar(SV_var_floatdigits, 0);
  EXPECT_EQ(shown(f(2.5)), "2.");
  set_sysvar(SV_var_floatdigits, -1);
  set_sysvar(SV_var_floateuropean, 1);
  EXPECT_EQ(shown(f(2.5)), "2,5");
  call(h_str, {f(0.5)});
  EXPECT_EQ(element_text(cell(0)), "0,5");
  set_sysvar(SV_var_floateuropean, 0);
  EXPECT_EQ(run("TAIL 2.5 \"x=\" consolewrite CALL"), "x=2.5\n");
}

TEST_F(Operators, FloatRoundBeforeStoring) {
  set_sysvar(SV_var_floatround, 2);
  EXPECT_EQ(shown(binop(h_divide, {f(1.0), i(3)})), "0.33");
  EXPECT_EQ(binop(h_divide, {f(-1.0), i(8)}).as_double(), -0.13);  // half away from zero
  EXPECT_EQ(binop(h_divide, {f(1.0), i(8)}).as_double(), 0.13);
}

TEST_F(Operators, RoundHalfAwayFromZero) {
  call(h_round, {f(-2.5), f(2.5), f(-0.4), i(2)});
  const double want[] = {-3.0, 3.0, 0.0, 2.0};
  for (uint32_t k = 0; k < 4; k++) {
    ASSERT_TRUE(cell(k).is_float()) << k;
    EXPECT_EQ(cell(k).as_double(), want[k]) << k;
  }
}

TEST_F(Operators, HexPadsToEightDigits) {
  call(h_hex, {i(255), i(-1), i(int64_t(1) << 32)});
  EXPECT_EQ(text_at(0), "0x000000FF");
  EXPECT_EQ(text_at(1), "0xFFFFFFFFFFFFFFFF");
  EXPECT_EQ(text_at(2), "0x100000000");
}

TEST_F(Operators, RandomGeneratorAndRanges) {
  random_seed(1);
  EXPECT_EQ(random_draw(), 41u);
  EXPECT_EQ(random_draw(), 18467u);
  call(h_randomize, {i(1)});
  EXPECT_EQ(int_at(0), 0);
  EXPECT_EQ(call(h_random, {i(1000)}), i(603));  // (41 x 2^32 + 18467) mod 1000

  std::set<int64_t> seen;
  for (int k = 0; k < 3000; k++) {
    Value r = k % 2 ? call(h_random, {i(1), i(6)}) : call(h_random, {i(6), i(1)});
    int64_t x = r.as_int();
    pop(*ctx);
    ASSERT_GE(x, 1);
    ASSERT_LE(x, 6);
    seen.insert(x);
  }
  EXPECT_EQ(seen.size(), 6u);
  Value u = call(h_random, {f(2.0)});
  ASSERT_TRUE(u.is_float());
  EXPECT_GE(u.as_double(), 0.0);
  EXPECT_LT(u.as_double(), 2.0);
}

TEST_F(Operators, RandomCountDrawsWithoutRepetition) {
  uint32_t before = depth();
  call(h_random, {i(1), i(10), i(10)});
  ASSERT_EQ(depth(), before + 10);
  std::vector<int64_t> got;
  for (uint32_t k = 0; k < 10; k++) got.push_back(int_at(k));
  std::sort(got.begin(), got.end());
  for (int64_t k = 0; k < 10; k++) EXPECT_EQ(got[size_t(k)], k + 1);

  pop_n(*ctx, 10);
  call(h_random, {i(1000000), i(0), i(400)});
  ASSERT_EQ(depth(), before + 400);
  std::set<int64_t> distinct;
  for (uint32_t k = 0; k < 400; k++) {
    ASSERT_GE(int_at(k), 0);
    ASSERT_LE(int_at(k), 1000000);
    distinct.insert(int_at(k));
  }
  EXPECT_EQ(distinct.size(), 400u);
}

TEST_F(Operators, VecAngle) {
  const double pi = 3.14159265358979323846;
  EXPECT_DOUBLE_EQ(call(h_vecangle, {i(0), i(0), i(10), i(0)}).as_double(), pi / 2);
  EXPECT_DOUBLE_EQ(call(h_vecangle, {i(0), i(0), i(0), i(10)}).as_double(), pi);
  EXPECT_DOUBLE_EQ(call(h_vecangle, {i(0), i(0), i(-10), i(0)}).as_double(), -pi / 2);
  EXPECT_EQ(call(h_vecangle, {i(0), i(0), i(0), i(-10)}).as_double(), 0.0);
  Value r = call(h_vecangle, {i(0), i(0), i(0), i(0)});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 0.0);
  set_sysvar(SV_var_floatdegrees, 1);
  EXPECT_NEAR(call(h_vecangle, {i(0), i(0), i(10), i(0)}).as_double(), 90.0, 1e-12);
  EXPECT_NEAR(call(h_vecangle, {i(5), i(5), i(15), i(-5)}).as_double(), 45.0, 1e-12);
  EXPECT_NEAR(call(h_sin, {i(30)}).as_double(), 0.5, 1e-12);
  EXPECT_NEAR(call(h_atan, {i(1)}).as_double(), 45.0, 1e-12);
}

TEST_F(Operators, ShiftCounts) {
  EXPECT_EQ(binop(h_shiftleft, {i(1), i(64)}), i(0));
  EXPECT_EQ(binop(h_shiftleft, {i(1), i(255)}), i(0));
  EXPECT_EQ(binop(h_shiftright, {i(-8), i(64)}), i(-1));
  EXPECT_EQ(binop(h_shiftright, {i(8), i(200)}), i(0));
  EXPECT_EQ(binop(h_shiftright, {i(-8), i(1)}), i(-4));
  EXPECT_EQ(binop(h_shiftleft, {i(1), i(256)}), i(1));  // only the low 8 bits count
  EXPECT_EQ(binop(h_shiftleft, {i(1), i(257)}), i(2));
  EXPECT_EQ(binop(h_shiftleft, {i(1), i(62)}), i(0));  // squeezed
  EXPECT_EQ(binop(h_shiftleft, {i(1), i(63)}), i(kIntMin));
  Value r = binop(h_shiftleft, {f(2.0), i(3)});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 16.0);
}

TEST_F(Operators, IntegerResultsAreSqueezed) {
  const int64_t two61 = int64_t(1) << 61;
  EXPECT_EQ(binop(h_multiply, {i(two61), i(4)}), i(kIntMin));  // 2^63 wraps negative
  EXPECT_EQ(binop(h_multiply, {i(two61), i(2)}), i(0));
  EXPECT_EQ(binop(h_add, {i(kIntMax), i(1)}), i(0));
  EXPECT_EQ(binop(h_subtract, {i(kIntMin), i(1)}), i(-1));
  EXPECT_EQ(binop(h_divide, {i(kIntMin), i(-1)}), i(0));
  EXPECT_EQ(binop(h_modulus, {i(kIntMin), i(-1)}), i(0));
  EXPECT_EQ(call(h_not, {i(0)}), i(-1));
  EXPECT_EQ(call(h_negate, {i(kIntMin)}), i(0));
}

TEST_F(Operators, FoldingMoreThanTwoArguments) {
  uint32_t before = depth();
  EXPECT_EQ(binop(h_add, {i(1), i(2), i(3), i(4)}), i(10));
  EXPECT_EQ(binop(h_subtract, {i(10), i(3), i(2)}), i(9));  // 10 - (3 - 2)
  Value r = binop(h_add, {i(1), i(2), text("0.5")});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), 3.5);
  EXPECT_EQ(binop(h_add, {i(5)}), i(5));
  EXPECT_EQ(depth(), before + 4);
  binop(h_add, {});
  EXPECT_EQ(depth(), before + 4);
}

TEST_F(Operators, UnaryOperatorsKeepFloatsAndConvertTexts) {
  Value r = call(h_negate, {f(1.5)});
  ASSERT_TRUE(r.is_float());
  EXPECT_EQ(r.as_double(), -1.5);
  EXPECT_EQ(call(h_negate, {text("1.5")}), i(-1));
  EXPECT_EQ(call(h_positive, {text("12abc")}), i(12));
  EXPECT_EQ(call(h_lognot, {text("0")}), i(1));
  EXPECT_EQ(call(h_abs, {i(-4)}), i(4));
  EXPECT_EQ(call(h_sgnnozero, {i(0)}), i(1));
  EXPECT_EQ(call(h_min, {i(3), f(1.5), i(2)}), f(1.5));
  EXPECT_EQ(call(h_max, {i(3), i(7), i(-2)}), i(7));
  EXPECT_EQ(call(h_subtractsgn, {i(2), i(5)}), i(-1));
}

TEST_F(Operators, IncAndDec) {
  run(R"(
    TAIL 10 g SET  TAIL "2.5" t SET  TAIL t inc CALL
    TAIL sub CALL
    END
    LABEL:sub
      TAIL n inc CALL
      TAIL TAIL n AT first GLOBAL
      TAIL 0.5 n inc CALL
      TAIL 2 n dec CALL
      TAIL TAIL n AT second GLOBAL
      TAIL g inc CALL
      RETURN
  )");
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(var("first"), i(1));
  ASSERT_TRUE(var("second").is_float());
  EXPECT_EQ(var("second").as_double(), -0.5);
  EXPECT_EQ(var("g"), i(11));
  EXPECT_EQ(var_find(*ctx, text("n")), nullptr);  // it was a local of the call
  ASSERT_TRUE(var("t").is_float());
  EXPECT_EQ(var("t").as_double(), 3.5);
}
