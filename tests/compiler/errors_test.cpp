// What the compiler tells an author: each message with its file, line and
// column, and the warnings that still let the file be written.
#include <gtest/gtest.h>

#include "compile_helper.h"

namespace {

struct Case {
  const char* source;
  const char* messages;
};

void expect_messages(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    Compiled r = compile(c.source);
    EXPECT_EQ(r.messages(), c.messages) << "source: " << c.source;
  }
}

TEST(Errors, UnclosedBlocksNameWhereTheyOpened) {
  expect_messages({
      {"textln 1\n  if @a\n", "t.qns:2:3: error: the if opened here is never closed: endif is missing before the end of the file\n"},
      {"while 1\n", "t.qns:1:1: error: the while opened here is never closed: endwhile is missing before the end of the file\n"},
      {"for i from 1 to 2\n", "t.qns:1:1: error: the for opened here is never closed: next is missing before the end of the file\n"},
      {"beginloop 3\n", "t.qns:1:1: error: the beginloop opened here is never closed: endloop is missing before the end of the file\n"},
      {"when a b\n", "t.qns:1:1: error: the when opened here is never closed: endwhen is missing before the end of the file\n"},
      {"if 1\nwhile 1\n",
       "t.qns:1:1: error: the if opened here is never closed: endif is missing before the end of the file\n"
       "t.qns:2:1: error: the while opened here is never closed: endwhile is missing before the end of the file\n"},
  });
  // Each file closes its own blocks: an if left open in a merged script is its error.
  Compiled r = compile("scriptmerge lib\nif 1\nendif\n", {{"lib", "\n if 2\n"}});
  EXPECT_EQ(r.messages(), "lib:2:2: error: the if opened here is never closed: endif is missing before the end of the file\n");
}

TEST(Errors, ClosingWordsWithoutTheirOpening) {
  expect_messages({
      {"else\n", "t.qns:1:1: error: else without if\n"},
      {"endif\n", "t.qns:1:1: error: endif without if\n"},
      {"next\n", "t.qns:1:1: error: next without for\n"},
      {"endwhile\n", "t.qns:1:1: error: endwhile without while\n"},
      {"endloop\n", "t.qns:1:1: error: endloop without beginloop\n"},
      {"endwhen\n", "t.qns:1:1: error: endwhen without when\n"},
      {"if 1\nelse\nelse\nendif\n", "t.qns:3:1: error: a second else for the if of line 1\n"},
      {"while 1\nendloop\nendwhile\n", "t.qns:2:1: error: endloop without beginloop\n"},
      {"if 1\nwhile 1\nendif\n",
       "t.qns:3:1: error: endif closes the if of line 1, but the while opened at line 2 is still open\n"},
      {"for i from 1 to 2\nnext j\n", "t.qns:2:6: error: next j closes a loop over i\n"},
      {"else 5\n", "t.qns:1:6: error: else takes nothing after it\n"},
  });
}

TEST(Errors, BreakAndContinueOutsideALoop) {
  expect_messages({
      {"break\n", "t.qns:1:1: error: break outside a loop\n"},
      {"continue\n", "t.qns:1:1: error: continue outside a loop\n"},
      {"if 1\n  continue\nendif\n", "t.qns:2:3: error: continue outside a loop\n"},
      {"if @a continue\n", "t.qns:1:7: error: continue outside a loop\n"},
      // A when block is a subroutine: the loop around it is not its own.
      {"beginloop\nwhen a b\nbreak\nendwhen\nendloop\n", "t.qns:3:1: error: break outside a loop\n"},
  });
}

TEST(Errors, QuotesParenthesesAndOperators) {
  expect_messages({
      {"textln \"abc\ntextln 1\n",
       "t.qns:1:8: error: unterminated quoted text: the closing \" is missing before the end of the file\n"},
      {"textln (1+2\n", "t.qns:1:8: error: unbalanced parentheses: the '(' here is never closed\n"},
      {"x = (1+2\n", "t.qns:1:5: error: unbalanced parentheses: the '(' here is never closed\n"},
      {"textln 1+2)\n", "t.qns:1:11: error: unbalanced parentheses: ')' without a matching '('\n"},
      {"textln f(1,2\n", "t.qns:1:9: error: unbalanced parentheses: the '(' of f( is never closed\n"},
      {"textln f(1,)\n", "t.qns:1:12: error: an argument is missing before ')'\n"},
      {"textln a[1\n", "t.qns:1:9: error: unbalanced brackets: the '[' here is never closed\n"},
      {"x = 1+\n", "t.qns:1:6: error: the operator '+' has no right operand\n"},
      {"x = *2\n", "t.qns:1:5: error: the operator '*' has no left operand\n"},
      {"x = 1 + * 2\n", "t.qns:1:7: error: the operator '+' has no right operand\n"},
      {"textln 1&&\n", "t.qns:1:9: error: the operator '&&' has no right operand\n"},
      {"x = -\n", "t.qns:1:5: error: the operator '-' has no operand\n"},
      {"if @a = 1\nendif\n", "t.qns:1:7: error: '=' is not an operator here; write '==' to compare\n"},
      {"textln @ x\n", "t.qns:1:8: error: '@' must be followed by a variable name\n"},
      {"x = \n", "t.qns:1:3: error: '=' needs a value after it\n"},
  });
}

TEST(Errors, StatementsAndNames) {
  expect_messages({
      {"x = 9999999999999999999\n",
       "t.qns:1:5: error: the integer 9999999999999999999 is too large (integers run from -4611686018427387904 to "
       "4611686018427387903)\n"},
      {"with colour red textln 1\n",
       "t.qns:1:6: error: with: 'colour' is no setting (there is no system variable var_colour)\n"},
      {"with textwrap 1 if 1\n", "t.qns:1:17: error: 'if' cannot follow with: it needs a command\n"},
      {"start\nstart:\n", "t.qns:2:1: error: the label 'start' is defined twice (first at t.qns:1)\n"},
      {"exit:\n", "t.qns:1:1: error: 'exit' is a command and cannot be a label\n"},
      {"_mine\n", "t.qns:1:1: error: label names beginning with '_' are kept for the compiler's own labels\n"},
      {"for i from 1\nnext\n",
       "t.qns:1:1: error: for needs one of: for V from A to B [step S], for V from A count C [step S], for V in LIST, "
       "for A to B, for COUNT\n"},
      {"textln 1 \x01\n", "t.qns:1:10: error: unexpected character 0x01\n"},
      {"scriptmerge nothere\n", "t.qns:1:13: error: scriptmerge: cannot find the script 'nothere'\n"},
      {"goto 5\n", "t.qns:1:6: error: goto needs a label: '5' cannot be one\n"},
      {"x = \"a\\\"\n", "t.qns:1:5: error: unterminated quoted text: the closing \" is missing before the end of the file\n"},
      {"textln(1) 2\n", "t.qns:1:11: error: a call written textln(...) takes all its arguments inside the parentheses\n"},
  });
  // Several errors are reported together; no statement of a failed script survives.
  Compiled r = compile("x = (\nelse\ntextln 1\n");
  EXPECT_EQ(r.c.diag.errors(), 2);
  EXPECT_FALSE(r.c.ok());
}

TEST(Errors, WarningsLeaveTheScriptCompiled) {
  Compiled r = compile("goto nowhere\ngosub alsonot 1\nwhen a gosub neither\n  lonely\nfoo 1 2\nhere\ngoto here\n  @x 1\n");
  EXPECT_TRUE(r.c.ok());
  EXPECT_EQ(r.messages(),
            "t.qns:5:1: warning: 'foo' is neither a command nor a label: the words of this line are pushed and nothing "
            "is called\n"
            "t.qns:8:3: warning: this line calls nothing: its values are pushed and left\n"
            "t.qns:1:6: warning: the label 'nowhere' is never defined\n"
            "t.qns:2:7: warning: the label 'alsonot' is never defined\n"
            "t.qns:3:14: warning: the label 'neither' is never defined\n"
            "t.qns:4:3: warning: the label 'lonely' is never defined\n"
            "t.qns:8:4: warning: the variable 'x' is read but never set in this script\n");
  EXPECT_FALSE(r.packed.words.empty());
  // A label defined in a merged script counts.
  EXPECT_EQ(compile("goto there\nscriptmerge m\n", {{"m", "there\n"}}).messages(), "");
}

// The slips authors make most: mistyped names (with the closest known
// name), calls no script can answer, wrong argument counts, variables
// never set, a missing closing quote, blanks around an operator.
TEST(Errors, AuthorsSlips) {
  expect_messages({
      {"drawlin 1 2 3 4\n",
       "t.qns:1:1: warning: 'drawlin' is neither a command nor a label: the words of this line are pushed and nothing "
       "is called; did you mean 'drawline'?\n"},
      {"start:\ngoto strat\n",
       "t.qns:2:6: warning: the label 'strat' is never defined; did you mean 'start'?\n"},
      {"x = strlenn(\"abc\")\n",
       "t.qns:1:5: error: the call strlenn(...) names neither a command nor a label of this script; did you mean "
       "'strlen'?\n"},
      {"x = zzqqxx(1)\n",
       "t.qns:1:5: error: the call zzqqxx(...) names neither a command nor a label of this script\n"},
      {"x = twice(2)\ntwice:\nreturn @1*2\n", ""},
      {"lib = 1\ndllsetup @lib int q_add int int\nx = q_add(1, 2)\nq_add\n", ""},
      {"fileseek 1\n",
       "t.qns:1:1: warning: fileseek takes 2 to 3 arguments (handle, offset [, origin]), not 1; a missing one reads as "
       "null and a surplus one is dropped\n"},
      {"x = filesize(1, 2)\nmemnew m\n",
       "t.qns:1:5: warning: filesize takes 1 argument (handle), not 2; a missing one reads as null and a surplus one is "
       "dropped\n"
       "t.qns:2:1: warning: memnew takes at least 2 arguments (variable, dim1 [, dim2 ...]), not 1; a missing one reads "
       "as null and a surplus one is dropped\n"},
      // Counts from the command reference, for every command: fixed, with a
      // repeatable tail, with colours of one value or three numbers.
      {"drawline 1 2 3\nimagecopy a\ncolor 255 0 0 0 0 255 7\ndrawpixel red 1 2 3 4\ncolor 255 0 0 blue\n"
       "x = strlen(\"a\", \"b\")\nlocal y\n",
       "t.qns:1:1: warning: drawline takes at least 4 arguments (x1 y1 x2 y2 [x3 y3 ...]), not 3; a missing one reads "
       "as null and a surplus one is dropped\n"
       "t.qns:2:1: warning: imagecopy takes 2 arguments (dest src), not 1; a missing one reads as null and a surplus "
       "one is dropped\n"
       "t.qns:3:1: warning: color takes 0 to 6 arguments ([colour [background]]), not 7; a missing one reads as null "
       "and a surplus one is dropped\n"
       "t.qns:6:5: warning: strlen takes 1 argument (text), not 2; a missing one reads as null and a surplus one is "
       "dropped\n"},
      {"consolewrite @scroe\nscore = 1\nimagenew pic 1 1\nconsolewrite @pic @path\n",
       "t.qns:1:15: warning: the variable 'scroe' is read but never set in this script; did you mean 'score'?\n"},
      {"set @name 1\nconsolewrite @other\n", ""},
      {"textln \"abc\ntextln \"def\"\n",
       "t.qns:1:8: error: unterminated quoted text: the text that starts here runs past the end of line 1; is its "
       "closing \" missing? (the quotes after it leave the last one, at line 2, unclosed)\n"
       "t.qns:2:9: error: 'def' cannot follow the expression before it\n"},
      {"textln \"abc\ntextln \"def\n",
       "t.qns:1:8: warning: the quoted text that starts here runs past the end of line 1 and ends at line 2, column 8, "
       "right before 'd'; is its closing \" missing on line 1?\n"
       "t.qns:2:9: error: 'def' cannot follow the expression before it\n"},
      {"textln \"one\ntwo\"\n", ""},
      {"text 6 3 \"Score: \" $ @score\n",
       "t.qns:1:20: error: blanks separate arguments, so '$' here has no left operand: write \"Score: \"$@score "
       "without blanks around the operator\n"},
      {"x = 1\ntext 6 3 @x +1 \"a\"$ @x\n",
       "t.qns:2:19: error: blanks separate arguments, so '$' here has no right operand: write \"a\"$@x without blanks "
       "around the operator\n"},
  });
}

}  // namespace
