// The error routine: first error wins, message texts, editor notification.
#include "vm_fixture.h"

using namespace vm;

class Errors : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    notified = 0;
    notified_file.clear();
    boxes = 0;
    g_host.notify_editor = [](Interp&, uint32_t data, const char* file) {
      notified = data;
      notified_file = file;
    };
    g_host.message_box = [](Interp&, const char* caption, const char*) {
      boxes++;
      EXPECT_STREQ(caption, "Quillon Error");
    };
  }
  std::string raise_at(uint32_t line, const char* file, int32_t err, const char* extra = nullptr) {
    Value f = text(file);
    value_store(ctx->current_file, f);
    ctx->current_line = line;
    testing::internal::CaptureStderr();
    raise_error(*ctx, err, extra);
    return testing::internal::GetCapturedStderr();
  }
  static inline uint32_t notified;
  static inline std::string notified_file;
  static inline int boxes;
};

TEST_F(Errors, MessageNamesTheErrorLineAndFile) {
  std::string err = raise_at(12, "startup.qns", kErrLabelNotFound);
  EXPECT_EQ(err, "Error: LABELNOTFOUND at line 12 in startup.qns\n");
  EXPECT_EQ(notified, 0xFFB0000Cu);
  EXPECT_EQ(notified_file, "startup.qns");
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(error_notify_data(12, -5), 0xFFB0000Cu);
}

TEST_F(Errors, FirstErrorWins) {
  raise_at(12, "startup.qns", kErrLabelNotFound);
  std::string second = raise_at(13, "startup.qns", kErrStackUnderflow);
  EXPECT_EQ(second, "");
  EXPECT_EQ(ctx->stop, kErrLabelNotFound);
  EXPECT_EQ(boxes, 1);
}

TEST_F(Errors, UnnamedCodesPrintTheirNumber) {
  EXPECT_EQ(raise_at(2, "x.qns", -20), "Error: -20 at line 2 in x.qns\n");
  EXPECT_EQ(error_name(-20), nullptr);
  EXPECT_STREQ(error_name(-13), "MISSINGFILE");
  EXPECT_STREQ(error_name(-1), "STACKUNDERFLOW");
  EXPECT_EQ(error_name(0), nullptr);
}

TEST_F(Errors, MissingFileCarriesItsExtraText) {
  EXPECT_EQ(raise_at(3, "startup.qns", kErrMissingFile, " Image \"pic.gif\""),
            "Error: MISSINGFILE Image \"pic.gif\" at line 3 in startup.qns\n");
}

TEST_F(Errors, ExitShowsNothingButNotifies) {
  EXPECT_EQ(raise_at(7, "end.qns", kStopNormal), "");
  EXPECT_EQ(boxes, 0);
  EXPECT_EQ(notified, 7u | (1u << 20));
}

TEST_F(Errors, SilentWhenErrorMessagesAreOff) {
  sysvar_set_int(*ctx, SV_var_errormessage, 0);
  EXPECT_EQ(raise_at(5, "quiet.qns", kErrStackCorrupt), "");
  EXPECT_EQ(boxes, 0);
  EXPECT_EQ(ctx->stop, kErrStackCorrupt);
}

TEST_F(Errors, ANonTextFileNameIsConvertedFirst) {
  ctx->current_file = Value::from_int(42);
  ctx->current_line = 1;
  testing::internal::CaptureStderr();
  raise_error(*ctx, kErrStackOverflow, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: STACKOVERFLOW at line 1 in 42\n");
  EXPECT_EQ(element_text(ctx->current_file), "42");
}

TEST_F(Errors, ExitCommandEndsTheScriptAfterTheCurrentToken) {
  std::string out = run(R"(
      TAIL exit CALL
      TAIL "after" consolewrite CALL)");
  EXPECT_EQ(out, "");
  EXPECT_EQ(ctx->stop, kStopNormal);
}
