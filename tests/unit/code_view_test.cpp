// The code view: stack lines, code word lines and the window of words
// around the instruction position.
#include "scripts/code_view.h"

#include "unit/vm_fixture.h"
#include "vm/opcodes.h"

namespace {

using namespace vm;
using scripts::code_view_code;
using scripts::code_view_stack;
using scripts::code_view_word;

class CodeView : public VmTest {
 protected:
  // The element index of an interned name.
  uint32_t index_of(std::string_view name) { return text(name).index(); }
  void attach(std::vector<uint32_t> words) {
    code = std::move(words);
    interp_attach_code(*ctx, code.data(), uint32_t(code.size()));
  }
};

TEST_F(CodeView, StackListsDeepestFirst) {
  run("5 -1 TAIL");
  EXPECT_EQ(code_view_stack(*ctx),
            " 2  0000000000000005 : 5\n"
            " 1  FFFFFFFFFFFFFFFF : -1\n"
            " 0  80FFFFFF00000000 : _TAIL\n");
  run("\"abc\"");
  Value top = cell(0);
  char expected[64];
  std::snprintf(expected, sizeof expected, " 0  %08X00000000 : abc\n", top.hi());
  EXPECT_EQ(code_view_stack(*ctx, 1), expected);
}

TEST_F(CodeView, StackShowsAtMostSeventeenCellsOfAtMost255Characters) {
  run("1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20");
  std::string view = code_view_stack(*ctx);
  EXPECT_EQ(std::count(view.begin(), view.end(), '\n'), 17);
  EXPECT_EQ(view.substr(0, view.find('\n')), "16  0000000000000004 : 4");
  EXPECT_EQ(code_view_stack(*ctx, 2), " 1  0000000000000013 : 19\n 0  0000000000000014 : 20\n");
  run("\"" + std::string(400, 'x') + "\"");
  view = code_view_stack(*ctx, 1);
  EXPECT_EQ(view.size(), 256u);  // 255 characters and the line end
}

TEST_F(CodeView, WordsNamedAsTheListingNamesThem) {
  uint32_t label = index_of("mylabel");
  EXPECT_EQ(code_view_word(*ctx, word_op(OP_LABEL, label)),
            [&] {
              char head[16];
              std::snprintf(head, sizeof head, "%08X", word_op(OP_LABEL, label));
              return std::string(head) + "      mylabel _LABEL ";
            }());
  EXPECT_EQ(code_view_word(*ctx, 0x5C800019), "5C800019      25 ADD _CALL ");
  EXPECT_EQ(code_view_word(*ctx, 0x67FFFFF0), "67FFFFF0      -16 AND _CALL ");
  EXPECT_EQ(code_view_word(*ctx, 0x45000000), "45000000      _TAIL ");
  EXPECT_EQ(code_view_word(*ctx, 0x4C800009), "4C800009      9 _LINE _TAIL ");
  EXPECT_EQ(code_view_word(*ctx, kEndWord), "40000000      ");
  EXPECT_EQ(code_view_word(*ctx, 0x00000005), "00000005      5 ");
  EXPECT_EQ(code_view_word(*ctx, 0xFFFFFFFF), "FFFFFFFF      -1 ");
  EXPECT_EQ(code_view_word(*ctx, 0x8F000000), "8F000000      0.5 ");
  EXPECT_EQ(code_view_word(*ctx, 0x7E001234), "7E001234      18 52 PUSH2BYTES ");
  // The idle jumps have no display name; the empty text shows as "".
  std::string idle = code_view_word(*ctx, word_op(OP_IDLEIF, label));
  EXPECT_EQ(idle.substr(8), "      mylabel ");
  EXPECT_EQ(code_view_word(*ctx, word_op(0, index_of(""))).substr(8), "      \"\" ");
}

TEST_F(CodeView, CodeWindowFramesTheInstructionPosition) {
  const std::string frame = std::string(scripts::kCodeViewFrame) + "\n";
  attach({1, 2, 3, 4, 5, kEndWord});
  EXPECT_EQ(code_view_code(*ctx, 3),
            "00000002      2 \n00000003      3 \n" + frame + "00000004      4 \n" + frame +
                "00000005      5 \n40000000      \n");
  // Never before the first word.
  EXPECT_EQ(code_view_code(*ctx, 0, 2), frame + "00000001      1 \n" + frame + "00000002      2 \n");
  // At most the given number of words; the list stops after the end word.
  std::vector<uint32_t> many(30, 7);
  many[20] = kEndWord;
  attach(many);
  std::string view = code_view_code(*ctx, 5);
  EXPECT_EQ(std::count(view.begin(), view.end(), '\n'), 14 + 2);
  view = code_view_code(*ctx, 19);
  EXPECT_EQ(view.substr(view.size() - 15), "40000000      \n");
  EXPECT_EQ(std::count(view.begin(), view.end(), '\n'), 4 + 2);
  EXPECT_EQ(scripts::kCodeViewFrame, std::string(16, '-') + "      " + std::string(74, '-'));
}

}  // namespace
