// Labels, jumps, label calls and their scopes.
#include "vm/control.h"
#include "vm/opcodes.h"
#include "vm_fixture.h"

using namespace vm;

class Control : public VmTest {
 protected:
  // Runs a program whose errors are expected; returns standard error.
  std::string run_err(std::string_view src) {
    testing::internal::CaptureStderr();
    out = run(src);
    return testing::internal::GetCapturedStderr();
  }
  std::string out;
};

TEST_F(Control, ConditionsTruncateFloatsAndParseTexts) {
  EXPECT_EQ(run(R"(
      0.875 yes IF  "no" END
    LABEL:yes "yes")"), "");
  EXPECT_EQ(text_at(0), "no");
  run(R"(
      "2" yes IF  "no" END
    LABEL:yes "yes")");
  EXPECT_EQ(text_at(0), "yes");
  run(R"(
      "0" yes IFNOT  "no" END
    LABEL:yes "yes")");
  EXPECT_EQ(text_at(0), "yes");
}

TEST_F(Control, LabelCallSeesArgumentsAsLocals) {
  // A frame below the call stays on the stack: _retsp counts it.
  run(R"(
      TAIL  TAIL 3 2 1 sub CALL  END
    LABEL:sub
      "stop" END)");
  EXPECT_EQ(ctx->scope_depth, 2u);
  EXPECT_EQ(value_to_integer(ctx, *local_int(*ctx, 0)), 3);
  EXPECT_EQ(value_to_integer(ctx, *local_int(*ctx, 1)), 1);  // the first script argument
  EXPECT_EQ(value_to_integer(ctx, *local_int(*ctx, 3)), 3);
  EXPECT_EQ(value_to_integer(ctx, var("_retsp")), 1);  // the outer marker only
  EXPECT_EQ(ctx->frame_depth, 1u);
}

TEST_F(Control, RecursionFiveDeepReturnsToTheStartingDepth) {
  run(R"(
      TAIL TAIL 5 down CALL_POP  "done" END
    LABEL:down
      TAIL TAIL 1 AT 1 EQUAL  bottom IF
      TAIL TAIL  TAIL TAIL 1 AT 1 SUBTRACT  down CALL_POP
    LABEL:bottom
      RETURN)");
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(ctx->scope_depth, 1u);
  ASSERT_EQ(depth(), 1u);
  EXPECT_EQ(text_at(0), "done");
}

TEST_F(Control, CallPopDiscardsWhatTheSubroutineLeft) {
  run(R"(
      "below"
      TAIL TAIL two CALL_POP  END
    LABEL:two
      11 22 RETURN)");
  EXPECT_EQ(ctx->stop, 0);
  ASSERT_EQ(depth(), 1u);
  EXPECT_EQ(text_at(0), "below");
  EXPECT_EQ(ctx->frame_depth, 0u);
}

TEST_F(Control, GotoArrayOverwritesLocalsButNotTheCount) {
  run(R"(
      TAIL 30 20 10 sub CALL
    LABEL:sub
      TAIL 200 100 target arraylabel CALL  GOTO
      "not reached" END
    LABEL:target
      "here")");
  EXPECT_EQ(text_at(0), "here");
  EXPECT_EQ(value_to_integer(ctx, *local_int(*ctx, 1)), 100);
  EXPECT_EQ(value_to_integer(ctx, *local_int(*ctx, 2)), 200);
  EXPECT_EQ(value_to_integer(ctx, *local_int(*ctx, 3)), 30);
  EXPECT_EQ(value_to_integer(ctx, *local_int(*ctx, 0)), 3);
}

TEST_F(Control, CallThroughAnArrayPassesItsItems) {
  std::string printed = run(R"(
      TAIL TAIL  TAIL "b" "a" show arraylabel CALL  CALL_POP  END
    LABEL:show
      TAIL TAIL 2 AT TAIL 1 AT consolewrite CALL  RETURN)");
  EXPECT_EQ(printed, "ab\n");
}

TEST_F(Control, IdleGotoOnEmptyStackDoesNothing) {
  static int yields;
  yields = 0;
  g_host.sleep_1ms = [](Interp&) { yields++; };
  run("IDLEGOTO 7");
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(int_at(0), 7);
  // A waiting loop yields before every jump back.
  run(R"(
      TAIL 3 n SET
    LABEL:loop
      TAIL n dec CALL
      TAIL TAIL n AT 0 GREATERTHAN  loop IDLEIF)");
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(yields, 2);
}

TEST_F(Control, JumpErrors) {
  EXPECT_NE(run_err("5 GOTO").find("Error: INVALIDLABEL"), std::string::npos);
  EXPECT_EQ(depth(), 1u);  // stack unchanged
  TearDown();
  SetUp();
  EXPECT_NE(run_err("1 nowhere IF").find("Error: LABELNOTFOUND"), std::string::npos);
  EXPECT_EQ(depth(), 2u);
  TearDown();
  SetUp();
  EXPECT_NE(run_err("RETURN").find("Error: RETURNWITHOUTGOSUB"), std::string::npos);
  TearDown();
  SetUp();
  run_err("TAIL nosuchcommand CALL");
  EXPECT_EQ(ctx->stop, kErrUnknownCommand);
  EXPECT_EQ(depth(), 1u);  // the name was popped, the frame stays
  TearDown();
  SetUp();
  run_err("7 POP");
  EXPECT_EQ(ctx->stop, kErrStackCorrupt);
}

TEST_F(Control, PopLeavesLevelsAndJumps) {
  run(R"(
      TAIL 1 outer CALL  "returned" END
    LABEL:outer
      TAIL 2 inner CALL  "not reached" END
    LABEL:inner
      99 98
      TAIL after "all" pop CALL
      "not reached" END
    LABEL:after
      "after")");
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(ctx->scope_depth, 1u);
  ASSERT_EQ(depth(), 1u);
  EXPECT_EQ(text_at(0), "after");
}

TEST_F(Control, DuplicateLabelsAreRefused) {
  Assembly a = assemble("LABEL:twice 1 LABEL:twice 2");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(bind_labels(ctx, a.words.data(), uint32_t(a.words.size())));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ctx->stop, kErrDuplicateLabel);
  unbind_labels(a.words.data(), uint32_t(a.words.size()));
  ElementEntry* e = element_entry(text_intern("twice"));
  EXPECT_FALSE(e->flags & kFlagHasLabel);
}

TEST_F(Control, LineKeepsTheFileAndLine) {
  run(R"("a.qns" 4 LINE  "a.qns" 9 LINE)");
  EXPECT_EQ(ctx->current_line, 9u);
  EXPECT_EQ(element_text(ctx->current_file), "a.qns");
  EXPECT_EQ(depth(), 0u);
}

TEST_F(Control, FramelessCommandsWithAndWithoutAFrameOfTheirOwn) {
  // The compiler's form: no frame; the name is pushed before a bare _CALL.
  // The marker under the first one belongs to the enclosing call and stays.
  run("TAIL  none ele_bits CALL  NULL_CALL  null CALL  END");
  EXPECT_EQ(ctx->stop, 0);
  ASSERT_EQ(depth(), 4u);
  EXPECT_EQ(ctx->frame_depth, 1u);
  EXPECT_EQ(int_at(2), 0);
  EXPECT_TRUE(cell(1).is_null() && cell(0).is_null());
  pop_n(*ctx, 4);
  ctx->frame_depth = 0;
  // Older compiled files: each in a frame of its own, called by a _CALL
  // that names it; those frames are closed.
  run("TAIL  TAIL none CALL:ele_bits  TAIL CALL:null  TAIL CALL:ele_adr  END");
  EXPECT_EQ(ctx->stop, 0);
  ASSERT_EQ(depth(), 4u);
  EXPECT_EQ(ctx->frame_depth, 1u);
  EXPECT_EQ(int_at(2), 0);
  EXPECT_TRUE(cell(1).is_null());
  EXPECT_EQ(int_at(0), 0);
}
