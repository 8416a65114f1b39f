// Token words, the stack and argument frames.
#include "host/engine.h"
#include "vm/commands.h"
#include "vm/opcodes.h"
#include "vm_fixture.h"

using namespace vm;

class Interpreter : public VmTest {};

TEST_F(Interpreter, LiteralWords) {
  run_words({0xFFFFFFFFu, 0x3FFFFFFFu, 0xC0000000u, kEndWord});
  ASSERT_EQ(depth(), 3u);
  EXPECT_EQ(cell(0).as_int(), -1073741824);
  EXPECT_EQ(cell(1).as_int(), 1073741823);
  EXPECT_EQ(cell(2).as_int(), -1);
}

TEST_F(Interpreter, PackedFloatLiteral) {
  uint32_t w;
  ASSERT_TRUE(pack_float_literal(2.5, w));
  uint32_t inexact;
  EXPECT_FALSE(pack_float_literal(0.1, inexact));
  ASSERT_TRUE(pack_float_literal(-0.25, w));
  run_words({w, kEndWord});
  ASSERT_TRUE(cell(0).is_float());
  EXPECT_EQ(cell(0).as_double(), -0.25);
}

TEST_F(Interpreter, ByteWords) {
  run_words({0x7E001234u, 0x7F123456u, kEndWord});
  ASSERT_EQ(depth(), 5u);
  EXPECT_EQ(cell(0).as_int(), 0x56);
  EXPECT_EQ(cell(1).as_int(), 0x34);
  EXPECT_EQ(cell(2).as_int(), 0x12);
  EXPECT_EQ(cell(3).as_int(), 0x34);
  EXPECT_EQ(cell(4).as_int(), 0x12);
}

TEST_F(Interpreter, ImmediateOperands) {
  // 0x5CFFFFFF pushes -1, then ADD folds 5 and -1 in the open frame.
  run_words({word_op(OP_TAIL), 5, 0x5CFFFFFFu, kEndWord});
  ASSERT_EQ(depth(), 1u);
  EXPECT_EQ(cell(0).as_int(), 4);
  // Opcode 0 never takes an immediate: 0x40FFFFFF pushes the handle of element 16777215.
  run_words({0x40FFFFFFu, kEndWord});
  EXPECT_EQ(cell(0).hi(), 0x40FFFFFFu);
  EXPECT_EQ(ctx->stop, 0);
}

TEST_F(Interpreter, LineWordWithImmediateOpensAFrame) {
  // 0x4C800003 pushes 3, runs _line (file below it) and opens a frame.
  uint32_t file = text_intern("startup.qns") - kHandleBase;
  run_words({word_op(0, file), 0x4C800003u, kEndWord});
  EXPECT_EQ(ctx->current_line, 3u);
  EXPECT_EQ(element_text(ctx->current_file), "startup.qns");
  ASSERT_EQ(depth(), 1u);
  EXPECT_TRUE(cell(0).is_marker());
  EXPECT_EQ(ctx->frame_depth, 1u);
}

TEST_F(Interpreter, CallPopWordWithHandleOperand) {
  // 0x46xxxxxx pushes the name and runs _call then _pop: `randomize` closes
  // its frame and pushes 0; _pop discards it and closes the statement frame.
  uint32_t name = text_intern("randomize") - kHandleBase;
  run_words({word_op(OP_TAIL), word_op(OP_TAIL), 7, word_op(OP_CALL_POP, name), kEndWord});
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(depth(), 0u);
  EXPECT_EQ(ctx->frame_depth, 0u);
}

TEST_F(Interpreter, EndWordFirstReturnsAtOnce) {
  run_words({kEndWord, 5});
  EXPECT_EQ(depth(), 0u);
  EXPECT_EQ(ctx->stop, 0);
}

TEST_F(Interpreter, BadCommandTokens) {
  for (uint32_t op = 46; op <= 61; op++) {
    TearDown();
    SetUp();
    testing::internal::CaptureStderr();
    run_words({word_op(op), kEndWord});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ctx->stop, kErrBadCommandToken) << op;
    EXPECT_NE(err.find("Error: BADCOMMANDTOKEN"), std::string::npos);
  }
}

TEST_F(Interpreter, NotPresentCommandLeavesOneZero) {
  std::string out = run("TAIL 1 2 3 animcreate CALL");
  ASSERT_EQ(depth(), 1u);
  EXPECT_EQ(cell(0).as_int(), 0);
  run("TAIL 1 2 filecrypt CALL");  // without effect: nothing at all
  EXPECT_EQ(depth(), 1u);
}

TEST_F(Interpreter, HandlerWithoutMarkerSeesNoArguments) {
  testing::internal::CaptureStderr();
  run("5 animcreate CALL");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ctx->stop, kErrStackCorrupt);
  EXPECT_EQ(cell(0).as_int(), 0);  // the handler still ran with n = 0
  EXPECT_EQ(cell(1).as_int(), 5);
}

TEST_F(Interpreter, StackOverflowAtTheLastCell) {
  for (uint32_t i = 0; i < kStackCells; i++) push_int(*ctx, i);
  EXPECT_EQ(ctx->stop, 0);
  testing::internal::CaptureStderr();
  push_int(*ctx, 1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ctx->stop, kErrStackOverflow);
  EXPECT_EQ(depth(), kStackCells);
}

TEST_F(Interpreter, PopOfEmptyStackUnderflows) {
  testing::internal::CaptureStderr();
  pop(*ctx);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ctx->stop, kErrStackUnderflow);
  EXPECT_EQ(depth(), 0u);
}

TEST_F(Interpreter, ReferencesFollowTheStack) {
  uint32_t h = text_intern("counted");
  int32_t refs = element_entry(h)->refs;
  push(*ctx, Value::from_handle(h));
  push(*ctx, Value::from_handle(h));
  EXPECT_EQ(element_entry(h)->refs, refs + 2);
  pop_n(*ctx, 2);
  EXPECT_EQ(element_entry(h)->refs, refs);
}

TEST_F(Interpreter, MessagePumpEveryTwentyFirstToken) {
  static int pumps;
  pumps = 0;
  g_host.pump = [](Interp&) {
    pumps++;
    return false;
  };
  std::vector<uint32_t> words(42, 1u);
  words.push_back(kEndWord);
  run_words(words);
  // Before token 1, 22 and 43 (the end word).
  EXPECT_EQ(pumps, 3);
}

TEST_F(Interpreter, FactorialThroughRecursiveLabelCalls) {
  // fact n: if n < 2 return 1, else return n * fact(n - 1), with the
  // argument kept in a local variable.
  std::string out = run(R"(
    "fact.qns" 1 LINE_TAIL  TAIL 10 fact CALL  "10! = " consolewrite CALL
    "fact.qns" 2 LINE_TAIL  exit CALL

    LABEL:fact
      TAIL TAIL 1 AT n LOCAL
      TAIL TAIL n AT 2 LESSTHAN  base IF
      TAIL TAIL n AT  TAIL  TAIL TAIL n AT 1 SUBTRACT fact CALL MULTIPLY
      RETURN
    LABEL:base
      1 RETURN
  )");
  EXPECT_EQ(out, "10! = 3628800\n");
  EXPECT_EQ(ctx->scope_depth, 1u);
}

TEST_F(Interpreter, EveryCommandHasAHandler) {
  for (uint32_t i = 1; i <= kCommandCount; i++) {
    EXPECT_NE(host::kCommands[i].handler, nullptr) << host::kCommands[i].name;
    if (i > 1) {
      EXPECT_LT(std::string_view(host::kCommands[i - 1].name), std::string_view(host::kCommands[i].name));
    }
  }
  EXPECT_STREQ(host::kCommands[1].name, "_call");
  EXPECT_STREQ(host::kCommands[kCommandCount].name, "xor");
  EXPECT_EQ(command_find("xor"), kCommandCount);
  EXPECT_EQ(command_find(""), 0u);
  EXPECT_EQ(command_find("nosuchcommand"), 0u);
  EXPECT_EQ(host::kCommands[0].handler, nullptr);
}
