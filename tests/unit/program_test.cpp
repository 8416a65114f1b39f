// Compiled script files: checking, loading, relocation, linking, unloading.
#include "scripts/program.h"
#include "vm/opcodes.h"
#include "vm_fixture.h"

using namespace vm;
using scripts::build_image;

class Program : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    scripts::scripts_init();
  }
  bool load(const std::vector<uint8_t>& image) { return scripts::load_program_image(*ctx, image.data(), image.size()); }
  // A small program: push "hello", define label "there", push 7, end.
  std::vector<uint8_t> sample() {
    return build_image({word_op(0, 1), word_op(OP_LABEL, 2), 7, kEndWord}, {"hello", "there"});
  }
};

TEST_F(Program, MapsSourceNamesToCompiledNames) {
  EXPECT_EQ(scripts::map_script_name("screen.vks"), "screen.qnc");
  EXPECT_EQ(scripts::map_script_name("SCREEN.QNS"), "SCREEN.qnc");
  EXPECT_EQ(scripts::map_script_name("notes.txt"), "notes.txt");
  EXPECT_EQ(scripts::map_script_name("dir.v2/script"), "dir.v2/script");
  EXPECT_EQ(scripts::map_script_name("c:\\a.b\\x.qns"), "c:\\a.b\\x.qnc");
  EXPECT_EQ(scripts::map_script_name("vk:startup"), "vk:startup");
}

TEST_F(Program, ExactImageLoadsAndBindsLabels) {
  std::vector<uint8_t> image = sample();
  EXPECT_EQ(image.size(), 20u + 4 * 4 + 2 * 2 + 10);
  ASSERT_TRUE(load(image));
  ElementEntry* label = element_entry(text_intern("there"));
  ASSERT_NE(label, nullptr);
  EXPECT_TRUE(label->flags & kFlagHasLabel);
  EXPECT_EQ(label->target, 2u);  // the word after the _LABEL word
  interp_run(*ctx);
  EXPECT_EQ(ctx->stop, 0);
  ASSERT_EQ(depth(), 2u);
  EXPECT_EQ(int_at(0), 7);
  EXPECT_EQ(text_at(1), "hello");
}

TEST_F(Program, RelocatesNameOperandsOnly) {
  std::vector<std::string> names = {"a", "b", "c", "d", "e", "f"};
  std::vector<uint32_t> words = {0x4C800009u, 0x43000006u, 0x7E000006u, 0x7F000006u, 0x5C800006u, kEndWord};
  ASSERT_TRUE(load(build_image(words, names)));
  EXPECT_EQ(ctx->code[0], 0x4C800009u);
  EXPECT_EQ(ctx->code[1], 0x43000000u + (text_intern("f") & kIndexMask));
  EXPECT_EQ(ctx->code[2], 0x7E000006u);
  EXPECT_EQ(ctx->code[3], 0x7F000006u);
  EXPECT_EQ(ctx->code[4], 0x5C800006u);
}

TEST_F(Program, EmptyNameIsAName) {
  ASSERT_TRUE(load(build_image({word_op(0, 1), kEndWord}, {""})));
  interp_run(*ctx);
  EXPECT_EQ(element_type_of(cell(0)), kTypeString);
  EXPECT_EQ(text_at(0), "");
}

TEST_F(Program, MalformedImagesLeaveTheOldProgram) {
  ASSERT_TRUE(load(sample()));
  const uint32_t* old_code = ctx->code;
  std::vector<uint8_t> good = sample();
  // Truncated at every length.
  for (size_t n = 0; n < good.size(); n++) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + long(n));
    EXPECT_FALSE(load(cut)) << n;
  }
  // Trailing bytes, a wrong total, a word count past the end, a name past
  // the table, a missing end word.
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_FALSE(load(longer));
  std::vector<uint8_t> bad = good;
  bad[8]++;
  EXPECT_FALSE(load(bad));
  bad = good;
  bad[12] = 200;
  EXPECT_FALSE(load(bad));
  EXPECT_FALSE(load(build_image({word_op(OP_CALL, 3), kEndWord}, {"a", "b"})));
  EXPECT_FALSE(load(build_image({word_op(0, 1), 5}, {"a"})));
  EXPECT_EQ(ctx->code, old_code);
  EXPECT_NE(element_entry(text_intern("there")), nullptr);
}

TEST_F(Program, ReplacingProgramRebindsItsLabels) {
  ASSERT_TRUE(load(sample()));
  // The next program defines the same label at another position.
  ASSERT_TRUE(load(build_image({1, 2, word_op(OP_LABEL, 1), kEndWord}, {"there"})));
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(element_entry(text_intern("there"))->target, 3u);
  // A label twice in one program is an error.
  testing::internal::CaptureStderr();
  ASSERT_TRUE(load(build_image({word_op(OP_LABEL, 1), word_op(OP_LABEL, 1), kEndWord}, {"twice"})));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("DUPLICATELABEL"), std::string::npos);
  EXPECT_EQ(ctx->stop, kErrDuplicateLabel);
}

TEST_F(Program, UnloadDropsNamesAndLabels) {
  ASSERT_TRUE(load(build_image({word_op(0, 1), word_op(OP_LABEL, 2), kEndWord}, {"only_here", "label_here"})));
  uint32_t name = element_intern("only_here", 9, kTypeString);
  element_release(name);
  uint32_t live_before = g_elements.live;
  scripts::unload_program(*ctx, false);
  EXPECT_EQ(ctx->program, 0u);
  EXPECT_EQ(ctx->code, nullptr);
  EXPECT_LT(g_elements.live, live_before);
  uint32_t again = text_intern("label_here");
  EXPECT_FALSE(element_entry(again)->flags & kFlagHasLabel);
}

// No element gets an index beyond what values and name operands hold (24
// bits): at the limit creation fails cleanly, and a program whose names do
// not fit is refused while the old one keeps running. The limit is lowered
// so that the table need not hold 16 million elements.
TEST_F(Program, FullElementTableRefusesElementsAndPrograms) {
  EXPECT_EQ(g_element_index_limit, kIndexMask);
  ASSERT_TRUE(load(sample()));
  const uint32_t* old_code = ctx->code;
  struct Restore {
    ~Restore() { g_element_index_limit = kIndexMask; }
  } restore;
  g_element_index_limit = g_elements.length + 3;
  std::vector<uint32_t> made;
  for (uint32_t h; element_entry(h = element_create(nullptr, 8, kTypeArea));) made.push_back(h);
  ASSERT_GE(made.size(), 3u);
  EXPECT_EQ(g_elements.length, g_element_index_limit);
  EXPECT_EQ(text_intern("a text not seen before"), kHandleBase);
  // Room for the program element but not for its name.
  element_release(made.back());
  made.pop_back();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(load(build_image({word_op(0, 1), kEndWord}, {"a name not seen before"})));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("element table is full"), std::string::npos);
  EXPECT_EQ(ctx->code, old_code);
  element_release(made.back());
  made.pop_back();
  ASSERT_TRUE(load(build_image({word_op(0, 1), kEndWord}, {"a name not seen before"})));
  interp_run(*ctx);
  EXPECT_EQ(text_at(0), "a name not seen before");
  for (uint32_t h : made) element_release(h);
}

TEST_F(Program, ScriptCompileDiscardsItsArguments) {
  run(R"(5  TAIL 1 2 3 scriptcompile CALL)");
  ASSERT_EQ(depth(), 1u);
  EXPECT_EQ(int_at(0), 5);
}

TEST_F(Program, AssembledWordsRoundTripThroughAnImage) {
  Assembly a = assemble(R"("x" LABEL:top  TAIL 2 3 ADD  AT:x)");
  std::vector<uint8_t> image = scripts::image_from_loaded_words(a.words);
  EXPECT_EQ(scripts::validate_image(image.data(), image.size()).error(), "");
  ASSERT_TRUE(load(image));
  EXPECT_EQ(element_entry(text_intern("top"))->target, 2u);
}
