// The listing file: its first line, the column-88 tab rule, CR LF line
// ends, and statements whose quoted text runs over several lines.
#include <gtest/gtest.h>

#include "compile_helper.h"

namespace {

std::string listing_of(std::string_view script, const std::string& name = "t.qns") {
  Compiled r = compile(script, {}, name);
  EXPECT_TRUE(r.c.ok()) << r.messages();
  return compiler::listing(r.c.program, "/out/t.qnc");
}

TEST(Listing, TabsReachColumn88) {
  EXPECT_EQ(compiler::listing_tabs(0), std::string(11, '\t'));
  EXPECT_EQ(compiler::listing_tabs(79), "\t\t");
  EXPECT_EQ(compiler::listing_tabs(80), "\t");
  EXPECT_EQ(compiler::listing_tabs(87), "\t");
  EXPECT_EQ(compiler::listing_tabs(88), "\t");  // already there: one tab
  EXPECT_EQ(compiler::listing_tabs(300), "\t");
}

TEST(Listing, LinesOfTheSample) {
  // The sample's line 9 is 89 characters long before its comment: one tab.
  std::string text = listing_of("\n\n\n\n\n\n\n\n    wait   ; until a click\n", "linktest.qns");
  EXPECT_EQ(text,
            "; /out/t.qnc\r\n"
            "linktest.qns    9 _line (0 var_mousekey) _wait1 _label (var_mousekey) _wait1 _idleifnot\t; wait   ; until "
            "a click\r\n");
  text = listing_of("textln 1\n  textln 2\nlabel1:\n", "a.qns");
  EXPECT_EQ(text,
            "; /out/t.qnc\r\n"
            "a.qns    1 _line (1 textln)" + std::string(8, '\t') + "; textln 1\r\n" +
            "a.qns    2 _line (2 textln)" + std::string(8, '\t') + "; textln 2\r\n" +
            "a.qns    3 _line label1 _label" + std::string(8, '\t') + "; label1:\r\n");
}

TEST(Listing, QuotedTextOverSeveralLines) {
  // The text keeps its line break as CR LF; the statement takes the listing
  // lines its source took, and the tabs count from its last line.
  std::string text = listing_of("textln \"ab\n  cd\"\ntextln 3\n");
  EXPECT_EQ(text,
            "; /out/t.qnc\r\n"
            "t.qns    1 _line (\"ab\r\n  cd\" textln)" + std::string(10, '\t') + "; textln \"ab\r\n" +
            "t.qns    3 _line (3 textln)" + std::string(8, '\t') + "; textln 3\r\n");
  // CR LF source lines give the same text; a byte order mark is no text.
  Compiled r = compile("\xEF\xBB\xBFtextln \"ab\r\ncd\"\r\n");
  ASSERT_EQ(r.packed.names.size(), 3u);
  EXPECT_EQ(r.packed.names[1], "ab\r\ncd");
  EXPECT_EQ(r.packed.names[2], "textln");
}

TEST(Listing, MergedScriptsFollowTheMainScript) {
  Compiled r = compile("scriptmerge lib\ntextln 1\n", {{"lib", "textln 2\n"}});
  ASSERT_TRUE(r.c.ok());
  std::string text = compiler::listing(r.c.program, "x");
  EXPECT_NE(text.find("t.qns    2 _line (1 textln)"), std::string::npos);
  EXPECT_NE(text.find("lib    1 _line (2 textln)"), std::string::npos);
  EXPECT_LT(text.find("t.qns    2"), text.find("lib    1"));
}

}  // namespace
