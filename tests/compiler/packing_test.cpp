// Golden token words: each statement packed and compared word by word (the
// disassembler's lines carry the hexadecimal word and its reading).
#include <gtest/gtest.h>

#include "compile_helper.h"
#include "scripts/image_format.h"

namespace {

using Lines = std::vector<std::string>;

Lines words_of(std::string_view script) {
  Compiled r = compile(script);
  EXPECT_TRUE(r.c.ok()) << r.messages();
  return r.words();
}

TEST(Packing, FoldedOperandsOfTheSamples) {
  // AND with the operand -16 is 0x67FFFFF0.
  EXPECT_EQ(words_of("x = @a&-16"),
            (Lines{"40000001      t.qns", "4C800001      1 _LINE _TAIL", "4B000000      _TAIL _TAIL",
                   "52000002      a AT _CALL", "67FFFFF0      -16 AND _CALL", "54000003      x SET _CALL", "40000000"}));
  // A frame opened with -127 before it is 0x4BFFFF81.
  EXPECT_EQ(words_of("textln @a+1 -127"),
            (Lines{"40000001      t.qns", "4C800001      1 _LINE _TAIL", "4BFFFF81      -127 _TAIL _TAIL",
                   "52000002      a AT _CALL", "5C800001      1 ADD _CALL", "43000003      textln _CALL", "40000000"}));
  // The text before a frame rides on its _TAIL; the variable on AT.
  EXPECT_EQ(words_of("textln \" THIS IS THE SUBSCREEN GOSUB - passed : \"$@txt"),
            (Lines{"40000001      t.qns", "4C800001      1 _LINE _TAIL", "45000000      _TAIL",
                   "45000002       THIS IS THE SUBSCREEN GOSUB - passed :  _TAIL", "52000003      txt AT _CALL",
                   "57000000      STRCAT _CALL", "43000004      textln _CALL", "40000000"}));
  // @a+25 as an argument.
  EXPECT_EQ(words_of("textln @a+25"),
            (Lines{"40000001      t.qns", "4C800001      1 _LINE _TAIL", "4B000000      _TAIL _TAIL",
                   "52000002      a AT _CALL", "5C800019      25 ADD _CALL", "43000003      textln _CALL", "40000000"}));
  // @1 is AT with the number operand 1.
  EXPECT_EQ(words_of("textln @1"),
            (Lines{"40000001      t.qns", "4C800001      1 _LINE _TAIL", "45000000      _TAIL", "52800001      1 AT _CALL",
                   "43000002      textln _CALL", "40000000"}));
  // 5000000 does not fit 23 bits: its own literal word, ADD without operand.
  EXPECT_EQ(words_of("textln @a+5000000"),
            (Lines{"40000001      t.qns", "4C800001      1 _LINE _TAIL", "4B000000      _TAIL _TAIL",
                   "52000002      a AT _CALL", "004C4B40      5000000", "5C000000      ADD _CALL",
                   "43000003      textln _CALL", "40000000"}));
}

TEST(Packing, OperandRangesAndLiterals) {
  // The 23-bit operand limits, both sides.
  Lines w = words_of("x = @a+4194303+-4194304+4194304+-4194305");
  EXPECT_EQ(Lines(w.begin() + 2, w.end()),
            (Lines{"4B000000      _TAIL _TAIL", "4B000000      _TAIL _TAIL", "45000000      _TAIL",
                   "52000002      a AT _CALL", "5CBFFFFF      4194303 ADD _CALL", "5CC00000      -4194304 ADD _CALL",
                   "00400000      4194304", "5C000000      ADD _CALL", "FFBFFFFF      -4194305", "5C000000      ADD _CALL",
                   "54000003      x SET _CALL", "40000000"}));
  // Float literals are never folded; negative literals keep their sign bits.
  w = words_of("x = @a*.5+-1073741824");
  EXPECT_EQ(Lines(w.begin() + 4, w.end()),
            (Lines{"52000002      a AT _CALL", "8F000000      0.5", "5E000000      MULTIPLY _CALL",
                   "C0000000      -1073741824", "5C000000      ADD _CALL", "54000003      x SET _CALL", "40000000"}));
  EXPECT_EQ(words_of("textln -0.5")[2], "AF000000      -0.5");
  // 1073741823 is the largest literal; one more is built at run time.
  w = words_of("textln 1073741823 1073741824");
  EXPECT_EQ(Lines(w.begin() + 2, w.end()),
            (Lines{"4B000000      _TAIL _TAIL", "00000001      1", "3B9ACA00      1000000000",
                   "5E000000      MULTIPLY _CALL", "04653600      73741824", "5C000000      ADD _CALL",
                   "3FFFFFFF      1073741823", "43000002      textln _CALL", "40000000"}));
}

TEST(Packing, LineWordsFramesAndCalls) {
  // A label line starts with a plain word: type 2; a call with '(': type 12.
  EXPECT_EQ(words_of("start\n  start\n"),
            (Lines{"40000001      t.qns", "42800001      1 _LINE", "41000002      start _LABEL", "40000001      t.qns",
                   "4C800002      2 _LINE _TAIL", "45000000      _TAIL", "46000002      start _CALL _POP", "40000000"}));
  // The value before _CALL _POP stays a word; the empty text has a name.
  Compiled r = compile("gosub sub 1 \"\"\nsub\n");
  ASSERT_TRUE(r.c.ok());
  Lines w = r.words();
  EXPECT_EQ(Lines(w.begin() + 2, w.begin() + 6),
            (Lines{"45000000      _TAIL", "40000002      \"\"", "00000001      1", "46000003      sub _CALL _POP"}));
  EXPECT_EQ(r.packed.names, (Lines{"t.qns", "", "sub"}));
  // Runs of openings after the line word: two at a time.
  Lines five_opens = words_of("x = -(-(-@a))");
  EXPECT_EQ(Lines(five_opens.begin() + 1, five_opens.begin() + 4),
            (Lines{"4C800001      1 _LINE _TAIL", "4B000000      _TAIL _TAIL", "4B000000      _TAIL _TAIL"}));
  Lines four_opens = words_of("x = -(-@a)");
  EXPECT_EQ(Lines(four_opens.begin() + 1, four_opens.begin() + 5),
            (Lines{"4C800001      1 _LINE _TAIL", "4B000000      _TAIL _TAIL", "45000000      _TAIL",
                   "52000002      a AT _CALL"}));
  // Control words carry their label; _return has none.
  EXPECT_EQ(words_of("goto there\nthere\nreturn 5\n"),
            (Lines{"40000001      t.qns", "42800001      1 _LINE", "47000002      there _GOTO", "40000001      t.qns",
                   "42800002      2 _LINE", "41000002      there _LABEL", "40000001      t.qns", "42800003      3 _LINE",
                   "00000005      5", "4A000000      _RETURN", "40000000"}));
  // A computed jump target stays on the stack for the control word.
  EXPECT_EQ(words_of("goto @where")[3], "47000000      _GOTO");
  // A discarded call of a fused command keeps its name on _CALL _POP.
  EXPECT_EQ(words_of("strcat a b")[5], "46000004      strcat _CALL _POP");
  // The idle control words have no display name.
  EXPECT_EQ(words_of("wait")[7], "50000003      _wait1");
}

TEST(Packing, CommandsWithoutAFrame) {
  // No frame for null and the address query: null is its opcode (carrying
  // the value before it), the query's name is pushed before a bare _CALL,
  // which the player tells from a framed call that names the query.
  EXPECT_EQ(words_of("set a mb->adr\nconsolewrite null() \"b\""),
            (Lines{"40000001      t.qns", "4C800001      1 _LINE _TAIL", "40000002      mb", "40000003      ele_adr",
                   "43000000      _CALL", "54000004      a SET _CALL", "40000001      t.qns",
                   "4C800002      2 _LINE _TAIL", "51000005      b NULL _CALL", "43000006      consolewrite _CALL",
                   "40000000"}));
  Compiled r = compile("x = ele_bits(a, b)\ny = null(1)\n");
  EXPECT_FALSE(r.c.ok());
  EXPECT_NE(r.messages().find("ele_bits takes exactly one argument"), std::string::npos) << r.messages();
  EXPECT_NE(r.messages().find("null takes no argument"), std::string::npos) << r.messages();
}

TEST(Packing, NamesAreNumberedInOrderOfFirstUse) {
  Compiled r = compile("textln b a b \"B\"\nscriptmerge m\n", {{"m", "textln a\n"}});
  ASSERT_TRUE(r.c.ok());
  EXPECT_EQ(r.packed.names, (Lines{"t.qns", "B", "b", "a", "textln", "m", "scriptmerge"}));
  // The merged script's statements push its own name.
  Lines w = r.words();
  EXPECT_EQ(w[w.size() - 5], "40000006      m");
}

TEST(Packing, ImageIsValidAndDeterministic) {
  const char* script = "for i from 1 to 3\n  textln \"line \"$@i\nnext\n";
  Compiled a = compile(script), b = compile(script);
  std::vector<uint8_t> image = scripts::build_image(a.packed.words, a.packed.names);
  EXPECT_EQ(image, scripts::build_image(b.packed.words, b.packed.names));
  EXPECT_EQ(scripts::validate_image(image.data(), image.size()).error(), "");
  std::string text;
  ASSERT_TRUE(compiler::disassemble_image(image, text));
  std::string expected;
  for (const std::string& line : a.words()) expected += line + "\n";
  EXPECT_EQ(text, expected);
}

}  // namespace
