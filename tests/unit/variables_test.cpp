// Variables, arrays, scopes, the with-stack and system variables.
#include <cstdlib>

#include "vm/commands.h"
#include "vm_fixture.h"

using namespace vm;

class Variables : public VmTest {
 protected:
  int64_t int_var(std::string_view name) { return value_to_integer(ctx, var(name)); }
  std::string shown(std::string_view name) { return value_display(ctx, var(name)); }
  bool defined(std::string_view name) { return var_find(*ctx, text(name)) != nullptr; }
};

TEST_F(Variables, SetReachesTheCallerLocalHidesUntilReturn) {
  run(R"(
    TAIL 1 x SET  TAIL 1 y SET
    TAIL sub CALL
    END
    LABEL:sub
      TAIL 2 x SET
      TAIL 5 y LOCAL
      TAIL TAIL y AT seen GLOBAL
      RETURN
  )");
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(ctx->scope_depth, 1u);
  EXPECT_EQ(int_var("x"), 2);
  EXPECT_EQ(int_var("y"), 1);
  EXPECT_EQ(int_var("seen"), 5);
  EXPECT_EQ(scope_table(*ctx, 2, false), nullptr);
}

TEST_F(Variables, AtFallsBackToTheEnvironmentThenRaises) {
  ASSERT_EQ(setenv("QUILLON_TEST_VALUE", "from env", 1), 0);
  unsetenv("no_such_variable_q");
  testing::internal::CaptureStderr();
  run(R"(
    TAIL "PATH" AT  TAIL "QUILLON_TEST_VALUE" AT
    TAIL 5 AT                         ; a small number: null, no error
    TAIL TAIL 9 q arrayref CALL AT    ; a path into nothing: null, no error
    "vars.qns" 12 LINE_TAIL  TAIL no_such_variable_q AT
  )");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ctx->stop, kErrUndefinedVariable);
  EXPECT_NE(err.find("Error: UNDEFINEDVARIABLE \"no_such_variable_q\" at line 12 in vars.qns"), std::string::npos) << err;
  ASSERT_EQ(depth(), 6u);
  EXPECT_TRUE(cell(0).is_null());
  EXPECT_TRUE(cell(1).is_marker());
  EXPECT_TRUE(cell(2).is_null());
  EXPECT_TRUE(cell(3).is_null());
  EXPECT_EQ(text_at(4), "from env");
  EXPECT_EQ(text_at(5), std::getenv("PATH"));
}

TEST_F(Variables, DeclareNamesTheArgumentsOfACall) {
  run(R"(
    TAIL 7 6 5 sub CALL
    END
    LABEL:sub
      TAIL b a declare CALL
      TAIL c 3 declare CALL
      END
  )");
  ASSERT_EQ(ctx->scope_depth, 2u);
  EXPECT_EQ(int_var("a"), 5);
  EXPECT_EQ(int_var("b"), 6);
  EXPECT_EQ(int_var("c"), 7);
  for (int k = 1; k <= 3; k++) EXPECT_EQ(local_int(*ctx, k), nullptr) << k;
  ASSERT_NE(local_int(*ctx, 0), nullptr);
  EXPECT_EQ(local_int(*ctx, 0)->as_int(), 3);
}

TEST_F(Variables, FreeWithAPatternReachesEveryScope) {
  run(R"(TAIL TAIL 2 1 ARRAY "PicArr" SET  TAIL 1 pic1 SET  TAIL 3 other SET)");
  ASSERT_NE(array_of(var("PicArr")), nullptr);
  uint32_t held = var("PicArr").handle();
  run(R"(
    TAIL sub CALL
    END
    LABEL:sub
      TAIL 4 pic1 LOCAL  TAIL 5 picture LOCAL  TAIL 6 "PICX" GLOBAL
      TAIL "pic*" free CALL
      END
  )");
  ASSERT_EQ(ctx->scope_depth, 2u);
  for (const char* gone : {"pic1", "PicArr", "picture", "PICX"}) EXPECT_FALSE(defined(gone)) << gone;
  EXPECT_EQ(int_var("other"), 3);
  EXPECT_EQ(array_of(Value::from_handle(held)), nullptr);  // its last holder was the variable
}

TEST_F(Variables, FreeStarInASubroutineStillReturns) {
  run(R"(
    TAIL 1 keep SET
    TAIL sub CALL
    END
    LABEL:sub
      TAIL 2 loc LOCAL
      TAIL "*" free CALL
      RETURN
  )");
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(ctx->scope_depth, 1u);  // _retpc is not matched by "*"
  EXPECT_FALSE(defined("keep"));
}

TEST_F(Variables, VarfreeTypeFilter) {
  run(R"(TAIL TAIL 1 ARRAY picA SET  TAIL 1 picB SET  TAIL "abc" picC SET  TAIL "PIC?" varfree CALL)");
  EXPECT_TRUE(defined("picA"));
  EXPECT_FALSE(defined("picB"));
  EXPECT_EQ(shown("picC"), "abc");  // a text is an element too
}

TEST_F(Variables, ArrayRemoveEmptiesToNull) {
  run(R"(
    TAIL TAIL 30 20 10 ARRAY v SET
    TAIL 1 v arrayremove CALL
    TAIL 9 v arrayremove CALL
  )");
  EXPECT_EQ(shown("v"), "(10,30)");
  uint32_t held = var("v").handle();
  run(R"(
    TAIL 2 0 v arrayremove CALL
    TAIL TAIL 2 1 ARRAY w SET  TAIL w arrayremove CALL
    TAIL "abc" t SET  TAIL t arrayremove CALL
  )");
  ASSERT_TRUE(defined("v"));
  EXPECT_TRUE(var("v").is_null());
  EXPECT_EQ(array_of(Value::from_handle(held)), nullptr);
  EXPECT_TRUE(var("w").is_null());
  EXPECT_EQ(shown("t"), "abc");  // holds no array: nothing to remove
}

TEST_F(Variables, SystemVariablesThroughSet) {
  run(R"(
    TAIL 3 var_floatdigits SET   TAIL var_floatdigits CALL
    TAIL "12abc" var_windowsizex SET  TAIL var_windowsizex CALL
    TAIL 2.75 var_windowsizex SET  TAIL var_windowsizex CALL
    TAIL -2.75 var_windowsizex SET  TAIL var_windowsizex CALL
    TAIL "4294967297" var_windowsizex SET  TAIL var_windowsizex CALL
    TAIL var_sysesc CALL
  )");
  EXPECT_EQ(ctx->stop, 0);
  ASSERT_EQ(depth(), 6u);
  EXPECT_EQ(int_at(5), 3);
  EXPECT_EQ(int_at(4), 12);
  EXPECT_EQ(int_at(3), 2);
  EXPECT_EQ(int_at(2), -2);
  EXPECT_EQ(int_at(1), 1);  // kept as 32 bits
  EXPECT_EQ(int_at(0), 27);
  EXPECT_FALSE(defined("var_floatdigits"));  // no script variable was made
}

TEST_F(Variables, NameFromText) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"C:/PICS/DSCF0027.JPG", "dscf0027"}, {"2004.gif", "_2004"},   {"frame12.gif+3", "frame"},
      {"pic+12", "pic"},                    {"pic+12.gif", "pic12"}, {"c:\\dir\\My Pic.png", "mypic"},
      {"disk:name.bmp", "name"},            {"a\\b/Img-01_x.png", "img-01_x"},
      {"dir/", "_       0"},  // nothing usable: the CRC-32 of the empty file part
      {"+.gif", "_6da8f823"},
  };
  for (const Case& c : cases) {
    Value v = name_from_text(*ctx, text(c.in));
    EXPECT_EQ(value_display(ctx, v), c.out) << c.in;
    value_release(v);
  }
  Value same = text("pic");
  Value v = name_from_text(*ctx, same);
  EXPECT_EQ(v, same);
  value_release(v);
}

TEST_F(Variables, WithPushAndPopRestore) {
  run(R"(
    TAIL 4 var_sysmessagedelay SET  TAIL 7 g SET
    TAIL var_sysmessagedelay withpush CALL
    TAIL g withpush CALL
    TAIL 1 var_sysmessagedelay SET  TAIL 8 g SET
    TAIL withpop CALL
    TAIL var_sysmessagedelay CALL  TAIL g AT
    TAIL 5 withpop CALL
  )");
  EXPECT_EQ(ctx->stop, 0);
  ASSERT_EQ(depth(), 2u);
  EXPECT_EQ(int_at(0), 7);  // the last record restored g only
  EXPECT_EQ(int_at(1), 1);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_sysmessagedelay), 4);
  EXPECT_EQ(int_var("g"), 7);
  EXPECT_TRUE(var("_with").is_null());
}

TEST_F(Variables, WithRecordLeftOnTheStackRestoresOnReturn) {
  run(R"(
    TAIL 4 var_sysmessagedelay SET  TAIL 7 g SET
    TAIL sub CALL
    END
    LABEL:sub
      TAIL g var_sysmessagedelay withpush CALL
      TAIL 1 var_sysmessagedelay SET  TAIL 8 g SET
      TAIL TAIL var_sysmessagedelay CALL inside GLOBAL
      RETURN
  )");
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(int_var("inside"), 1);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_sysmessagedelay), 4);
  EXPECT_EQ(int_var("g"), 7);
}

TEST_F(Variables, NestedPathsCreateAndRemoveLevels) {
  run(R"(
    TAIL 7 TAIL x 3 a arrayref CALL SET
    TAIL 8 TAIL y 3 a arrayref CALL SET
    TAIL 5 b SET  TAIL 6 TAIL 1 b arrayref CALL SET
    TAIL TAIL x 3 a arrayref CALL AT
    TAIL TAIL z 3 a arrayref CALL AT
  )");
  ASSERT_EQ(depth(), 2u);
  EXPECT_TRUE(cell(0).is_null());
  EXPECT_EQ(int_at(1), 7);
  Value* inner = table_find(var("a"), Value::from_int(3));
  ASSERT_NE(inner, nullptr);
  ASSERT_NE(table_find(*inner, text("y")), nullptr);
  EXPECT_EQ(table_find(*inner, text("y"))->as_int(), 8);
  EXPECT_EQ(shown("b"), "(6)");  // the integer was replaced by an array

  run(R"(TAIL TAIL x 3 a arrayref CALL free CALL  TAIL TAIL y 3 a arrayref CALL free CALL)");
  inner = table_find(var("a"), Value::from_int(3));
  ASSERT_NE(inner, nullptr);
  EXPECT_TRUE(inner->is_null());  // emptied by the second free
}

TEST_F(Variables, AtExpandsArraysFirstItemOnTop) {
  run(R"(
    TAIL TAIL 4 TAIL 3 2 ARRAY 1 ARRAY v SET
    TAIL 9 w SET
    TAIL w v AT
    TAIL v arrayindex CALL
  )");
  ASSERT_EQ(depth(), 8u);
  const int64_t want[] = {0, 1, 2, 1, 2, 3, 4, 9};
  for (uint32_t i = 0; i < 8; i++) EXPECT_EQ(int_at(i), want[i]) << i;
}

TEST_F(Variables, ArrayWithALabelIsACallTarget) {
  run(R"(
    TAIL TAIL 6 5 sub arraylabel CALL _call CALL
    END
    LABEL:sub
      TAIL TAIL 1 AT TAIL 2 AT SUBTRACT
      RETURN
  )");
  EXPECT_EQ(ctx->stop, 0);
  ASSERT_EQ(depth(), 1u);
  EXPECT_EQ(int_at(0), -1);  // local 1 = 5, local 2 = 6
}

TEST_F(Variables, CommonVariablesOutliveScopesAndWinOverLocals) {
  run(R"(
    TAIL sub CALL
    END
    LABEL:sub
      TAIL 5 c common CALL
      TAIL 9 c LOCAL
      TAIL TAIL c AT seen GLOBAL
      TAIL 6 c SET
      RETURN
  )");
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(int_var("seen"), 5);
  EXPECT_EQ(int_var("c"), 6);
  EXPECT_TRUE(element_entry(text("c"))->flags & kFlagGlobalValue);
}

TEST(Wildcard, StarsMatchRunsAlsoOfStarsInTheText) {
  EXPECT_TRUE(vm::wildcard_match("a*", "a*b"));
  EXPECT_TRUE(vm::wildcard_match("PIC*", "picture"));
  EXPECT_TRUE(vm::wildcard_match("*.gif", "a.b.gif"));
  EXPECT_TRUE(vm::wildcard_match("?b*", "ab"));
  EXPECT_FALSE(vm::wildcard_match("?b?", "ab"));
  EXPECT_FALSE(vm::wildcard_match("a*c", "abcd"));
}
