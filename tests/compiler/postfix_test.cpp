// Golden postfix of every source form: each line compiled alone (or a
// small script) and compared with the listing text of its statements.
#include <gtest/gtest.h>

#include "compile_helper.h"

namespace {

using Lines = std::vector<std::string>;

struct Case {
  const char* source;
  const char* postfix;
};

void expect_cases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(postfix_of(c.source), c.postfix) << "source: " << c.source;
}

Lines postfix_lines(std::string_view script) {
  Compiled r = compile(script);
  EXPECT_TRUE(r.c.ok()) << r.messages();
  return r.postfix();
}

TEST(Postfix, ExpressionForms) {
  expect_cases({
      {"textln @1", "_line ((1 at) textln)"},
      {"textln @name", "_line ((name at) textln)"},
      {"textln @@name", "_line (((name at) at) textln)"},
      {"textln @(starpos$@star)", "_line (((starpos (star at) strcat) at) textln)"},
      {"textln @TRUE", "_line ((var_true) textln)"},
      {"textln @crlf", "_line ((var_crlf) textln)"},
      {"textln a$b", "_line ((a b strcat) textln)"},
      {"textln list->Size", "_line ((list ele_size) textln)"},
      {"textln name[@i]", "_line (((i at) name arrayref) textln)"},
      {"textln name[1][2]", "_line ((2 1 name arrayref) textln)"},
      {"textln max(x, y)", "_line ((y x max) textln)"},
      {"textln max(x,y)", "_line ((y x max) textln)"},
      {"textln subscreen:(\"zodir was here\")", "_line ((\"zodir was here\" subscreen arraylabel) textln)"},
      {"textln 50pct", "_line ((50 topercentage) textln)"},
      {"textln -@desktopSizeY", "_line (((var_desktopsizey) negate) textln)"},
      {"textln +@a", "_line (((a at) positive) textln)"},
      {"textln !@a", "_line (((a at) lognot) textln)"},
      {"textln not(@a)", "_line (((a at) not) textln)"},
      {"textln xor(@a,3)", "_line (((a at) 3 xor) textln)"},
      {"textln subtract(5,3)", "_line ((5 3 subtract) textln)"},
  });
}

TEST(Postfix, OperatorsAndBinding) {
  expect_cases({
      {"x = @xpos+test->sizex>@drawmaxx+1",
       "_line ((((xpos at) (test ele_sizex) add) ((var_drawmaxx) 1 add) greaterthan) x set)"},
      {"x = @fn$\" \"$@err", "_line ((((fn at) \" \" strcat) (err at) strcat) x set)"},
      {"x = @requesttimer>1000*60*15",
       "_line (((requesttimer at) ((1000 60 multiply) 15 multiply) greaterthan) x set)"},
      {"x = @boxy1+100-1", "_line ((((boxy1 at) 100 add) 1 subtract) x set)"},
      {"x = (@xn*5+@yn*11)%7+1", "_line ((((((xn at) 5 multiply) ((yn at) 11 multiply) add) 7 modulus) 1 add) x set)"},
      {"x = (@c>>16)&255", "_line ((((c at) 16 shiftright) 255 and) x set)"},
      {"x = (@y<=@drawmaxy)&&(@y>=@drawminy)",
       "_line ((((y at) (var_drawmaxy) equallessthan) ((y at) (var_drawminy) equalgreaterthan) logand) x set)"},
      {"x = @WS_CHILD|@WS_VISIBLE|@WS_VSCROLL", "_line ((((ws_child at) (ws_visible at) or) (ws_vscroll at) or) x set)"},
      // The levels between the ones the examples show.
      {"x = 1<<2+3", "_line ((1 (2 3 add) shiftleft) x set)"},
      {"x = 1<2<<3", "_line ((1 (2 3 shiftleft) lessthan) x set)"},
      {"x = 1==2&3", "_line (((1 2 equal) 3 and) x set)"},
      {"x = 1&2|3&4", "_line (((1 2 and) (3 4 and) or) x set)"},
      {"x = 1|2&&3", "_line (((1 2 or) 3 logand) x set)"},
      {"x = 1&&2||3&&4", "_line (((1 2 logand) (3 4 logand) logor) x set)"},
      {"x = \"a\"$1+2", "_line ((\"a\" (1 2 add) strcat) x set)"},
      {"x = \"a\"$1>>2", "_line ((\"a\" (1 2 shiftright) strcat) x set)"},
      {"x = @a$@b==\"xy\"", "_line ((((a at) (b at) strcat) \"xy\" equal) x set)"},
      {"x = -@a*2", "_line ((((a at) negate) 2 multiply) x set)"},
      {"x = 8/2/2", "_line (((8 2 divide) 2 divide) x set)"},
      {"x = 1 + 2", "_line ((1 2 add) x set)"},
      {"x = 3 -5", "_line ((3 5 subtract) x set)"},
      {"x = 3 - -5", "_line ((3 -5 subtract) x set)"},
  });
}

TEST(Postfix, EdgeCasesOfTheListings) {
  expect_cases({
      {"windowsize 800 600 32", "_line (32 600 800 windowsize)"},
      {"textln \"should be on the way out\"", "_line (\"should be on the way out\" textln)"},
      {"hotspot hot2 zzsub2:(@txt) 60 60 100 100", "_line (100 100 60 60 ((txt at) zzsub2 arraylabel) hot2 hotspot)"},
      {"textln \" THIS IS THE SUB 2 - passed : \"$@txt2",
       "_line ((\" THIS IS THE SUB 2 - passed : \" (txt2 at) strcat) textln)"},
      {"dx = -random(20,40)", "_line (((40 20 random) negate) dx set)"},
      {"set txt1height textheight(@text1,538)", "_line ((538 (text1 at) textheight) txt1height set)"},
      {"textln \"fruit=\"$@a[@i][fruit]", "_line ((\"fruit=\" ((fruit (i at) a arrayref) at) strcat) textln)"},
      {"drawcircle 50+50 50+50+500 50 50 12", "_line (12 50 50 ((50 50 add) 500 add) (50 50 add) drawcircle)"},
      {"drawCLEAR white", "_line (white drawclear)"},
      {"imageload DSCF0027.JPG", "_line (dscf0027.jpg imageload)"},
      {"color yellow", "_line {(yellow color)}"},
      {"textln random(20, 40)", "_line ((40 20 random) textln)"},
  });
}

TEST(Postfix, Numbers) {
  expect_cases({
      {"textln .25 100.00 640.", "_line (640. 100.00 .25 textln)"},
      // Fractions no single holds exactly stay texts, and so do hex numbers.
      {"textln 0.48 .94 12.3 0xff", "_line (0xff 12.3 .94 0.48 textln)"},
      {"textln -0.5 -0.48", "_line ((0 0.48 subtract) -0.5 textln)"},
      {"textln -5 -1073741824", "_line (-1073741824 -5 textln)"},
      // Past the 30-bit literals an integer is built from pieces that fit.
      {"textln 1073741824", "_line (((1 1000000000 multiply) 73741824 add) textln)"},
      {"textln 5000000000", "_line ((5 1000000000 multiply) textln)"},
      {"textln -5000000001", "_line (((-5 1000000000 multiply) -1 add) textln)"},
      {"textln 4611686018427387903",
       "_line (((((4 1000000000 multiply) 611686018 add) 1000000000 multiply) 427387903 add) textln)"},
  });
}

TEST(Postfix, StatementForms) {
  expect_cases({
      {"cmd(a, b)", "_line {(b a cmd)}"},
      {"textln(a, b)", "_line (b a textln)"},
      {"x = 5", "_line (5 x set)"},
      {"x=5", "_line (5 x set)"},
      {"a[2] = 5", "_line (5 (2 a arrayref) set)"},
      {"textwrap = off", "_line (0 var_textwrap)"},
      {"set textwrap off", "_line (0 var_textwrap)"},
      {"set x on", "_line (1 x set)"},
      {"global filegetvariables(x)", "_line ((x filegetvariables) global)"},
      {"local x 0 y 0", "_line (0 y 0 x local)"},
      {"local dx random(20,40) dy random(20,40)", "_line ((40 20 random) dy (40 20 random) dx local)"},
      {"declare name w h", "_line (h w name 1 declare)"},
      {"inc n", "_line (n inc)"},
      {"inc n 5", "_line (5 n inc)"},
      {"goto there", "_line there _goto"},
      {"goto @where", "_line (where at) _goto"},
      {"return", "_line _return"},
      {"return 5", "_line 5 _return"},
      {"return @a+1", "_line ((a at) 1 add) _return"},
      {"exit", "_line (exit)"},
      {"exitnow", "_line (exitnow)"},
      {"quit \"bye\"", "_line {(\"bye\" quit)}"},
      {"gosub drawbutton 200 160 272 200 \"CHOOSE\"", "_line {(\"CHOOSE\" 200 272 160 200 drawbutton)}"},
      {"gosub @sub 1", "_line {(1 (sub at))}"},
      {"var_textwrap 1", "_line (1 var_textwrap)"},
      {"var_textwrap", "_line {(var_textwrap)}"},
  });
}

TEST(Postfix, LabelLinesAndCalls) {
  EXPECT_EQ(postfix_lines("start\n  start\nstart2:\n  start2 1 @x\nnotalabel 1 2\n"),
            (Lines{"_line start _label", "_line {(start)}", "_line start2 _label", "_line {((x at) 1 start2)}",
                   "_line notalabel 1 2"}));
  // A call before its label's definition, and a label named like a text.
  EXPECT_EQ(postfix_lines("  later 7\nlater\n"), (Lines{"_line {(7 later)}", "_line later _label"}));
  // A command in the first column is a command.
  EXPECT_EQ(postfix_lines("exit\n"), (Lines{"_line (exit)"}));
}

TEST(Postfix, IfElse) {
  EXPECT_EQ(postfix_lines("if @a\n textln 1\nelse\n textln 2\nendif\n"),
            (Lines{"_line (a at) _else1 _ifnot", "_line (1 textln)", "_line _endif1 _goto _else1 _label",
                   "_line (2 textln)", "_line _endif1 _label"}));
  EXPECT_EQ(postfix_lines("if @a>1\n if 1\n endif\nendif\nif 0\nendif\n"),
            (Lines{"_line ((a at) 1 greaterthan) _else1 _ifnot", "_line 1 _else2 _ifnot",
                   "_line _else2 _label _endif2 _label", "_line _else1 _label _endif1 _label", "_line 0 _else3 _ifnot",
                   "_line _else3 _label _endif3 _label"}));
  // A condition may hold blanks.
  EXPECT_EQ(postfix_lines("if @a == 1\nendif\n")[0], "_line ((a at) 1 equal) _else1 _ifnot");
}

TEST(Postfix, Loops) {
  EXPECT_EQ(postfix_lines("while @i<3\n inc i\n if @i==2 continue\n if @i==5 break\nendwhile\n"),
            (Lines{"_line _while1 _label ((i at) 3 lessthan) _endwhile1 _ifnot", "_line (i inc)",
                   "_line ((i at) 2 equal) _continueloop1 _if", "_line ((i at) 5 equal) _endwhile1 _if",
                   "_line _continueloop1 _label _while1 _goto _endwhile1 _label"}));
  EXPECT_EQ(postfix_lines("for v from 1 to 10\nnext\nfor w from 1 to @n step 2\nnext w\n"),
            (Lines{"_line (1 v local) _beginloop1 _label ((v at) 10 greaterthan) _endloop1 _if",
                   "_line (1 v inc) _beginloop1 _goto _endloop1 _label",
                   "_line (1 w local) _beginloop2 _label ((w at) (n at) greaterthan) _endloop2 _if",
                   "_line (2 w inc) _beginloop2 _goto _endloop2 _label"}));
  // A negative constant step counts down to the limit.
  EXPECT_EQ(postfix_lines("for v from 10 to 1 step -1\nnext\n"),
            (Lines{"_line (10 v local) _beginloop1 _label ((v at) 1 lessthan) _endloop1 _if",
                   "_line (-1 v inc) _beginloop1 _goto _endloop1 _label"}));
  EXPECT_EQ(postfix_lines("for v from 1 to 0 step -0.3\nnext\n")[0],
            "_line (1 v local) _beginloop1 _label ((v at) 0 lessthan) _endloop1 _if");
  EXPECT_EQ(postfix_lines("for v from 1 to 0 step @s\nnext\n")[0],
            "_line (1 v local) _beginloop1 _label ((v at) 0 greaterthan) _endloop1 _if");
  EXPECT_EQ(postfix_lines("for v from 1 count 5 step 2\n textln @loop\nnext\n"),
            (Lines{"_line (1 v local) (1 _lci1 local) (5 _loopcount1 local) _beginloop1 _label ((_lci1 at) "
                   "(_loopcount1 at) greaterthan) _endloop1 _if",
                   "_line ((_lci1 at) textln)",
                   "_line (2 v inc) (_lci1 inc) _beginloop1 _goto _endloop1 _label (_loopcount1 _lci1 free)"}));
  EXPECT_EQ(postfix_lines("for v in @list\n textln @v @loop\nnext\n"),
            (Lines{"_line (1 _li1 local) ((list at) _loopin1 local) (((_loopin1 at) strlinecount) _loopto1 local) "
                   "_beginloop1 _label ((_li1 at) (_loopto1 at) greaterthan) _endloop1 _if (((_li1 at) (_loopin1 at) "
                   "strline) v local)",
                   "_line ((_li1 at) (v at) textln)",
                   "_line (1 _li1 inc) _beginloop1 _goto _endloop1 _label (_loopin1 _li1 _loopto1 free)"}));
  EXPECT_EQ(postfix_lines("for 1 to 5\nnext\n"),
            (Lines{"_line (1 _li1 local) (5 _loopto1 local) (((_loopto1 at) (_li1 at) subtractsgnnozero) "
                   "_loopstep1 local) _beginloop1 _label (((_li1 at) (_loopto1 at) subtractsgn) (_loopstep1 at) equal) "
                   "_endloop1 _if",
                   "_line ((_loopstep1 at) _li1 dec) _beginloop1 _goto _endloop1 _label (_loopstep1 _loopto1 _li1 free)"}));
  EXPECT_EQ(postfix_lines("beginloop 4\n continue\nendloop\nfor @n\nnext\nbeginloop\n break\nendloop\n"),
            (Lines{"_line (1 _li1 local) (1 _lci1 local) _beginloop1 _label ((_lci1 at) 4 greaterthan) _endloop1 _if",
                   "_line _continueloop1 _goto",
                   "_line _continueloop1 _label (1 _li1 inc) (_lci1 inc) _beginloop1 _goto _endloop1 _label (_lci1 "
                   "_li1 free)",
                   "_line (1 _li2 local) (1 _lci2 local) ((n at) _loopcount2 local) _beginloop2 _label ((_lci2 at) "
                   "(_loopcount2 at) greaterthan) _endloop2 _if",
                   "_line (1 _li2 inc) (_lci2 inc) _beginloop2 _goto _endloop2 _label (_loopcount2 _lci2 _li2 free)",
                   "_line _beginloop3 _label", "_line _endloop3 _goto", "_line _beginloop3 _goto _endloop3 _label"}));
  // @loop is the innermost counted loop's counter; outside loops the system variable.
  EXPECT_EQ(postfix_lines("beginloop 2\n beginloop 3\n  textln @loop\n endloop\n textln @loop\nendloop\ntextln @loop\n")[2],
            "_line ((_li2 at) textln)");
  EXPECT_EQ(postfix_lines("beginloop 2\n beginloop 3\n endloop\n textln @loop\nendloop\ntextln @loop\n")[3],
            "_line ((_li1 at) textln)");
  EXPECT_EQ(postfix_lines("textln @loop\n")[0], "_line ((var_loop) textln)");
  EXPECT_EQ(postfix_lines("beginloop 2\n textln @(star$@loop)\nendloop\n")[1],
            "_line (((star (_li1 at) strcat) at) textln)");
}

TEST(Postfix, WaitingStatements) {
  expect_cases({
      {"forever", "_line _forever1 _label _forever1 _idlegoto"},
      {"delay 100",
       "_line (_ftimer1 timerinit) _forever1 _label (1000 (_ftimer1 at) greaterthan) _forever1 _idleif (_ftimer1 free)"},
      {"delay @t",
       "_line (_ftimer1 timerinit) _forever1 _label (((t at) 10 multiply) (_ftimer1 at) greaterthan) _forever1 _idleif "
       "(_ftimer1 free)"},
      {"wait", "_line (0 var_mousekey) _wait1 _label (var_mousekey) _wait1 _idleifnot"},
      {"waitkey", "_line (0 var_keypressed) _wait1 _label (var_keypressed) _wait1 _idleifnot"},
      {"waitmouse", "_line (0 var_mousepressed) _wait1 _label (var_mousepressed) _wait1 _idleifnot"},
      {"wait 50",
       "_line (_ftimer1 timerinit) (0 var_mousekey) _wait1 _label (var_mousekey) _waitquit1 _if (500 (_ftimer1 at) "
       "greaterthan) _wait1 _idleif _waitquit1 _label (_ftimer1 free)"},
      {"waitkey 2",
       "_line (_ftimer1 timerinit) (0 var_keypressed) _wait1 _label (var_keypressed) _waitquit1 _if (20 (_ftimer1 at) "
       "greaterthan) _wait1 _idleif _waitquit1 _label (_ftimer1 free)"},
      {"mouseflush", "_line (mouseflushclicks) _wait1 _label (var_mouseup) _wait1 _idleifnot"},
  });
  // Each family counts on its own; delay shares the forever counter.
  EXPECT_EQ(postfix_lines("forever\ndelay 1\nwait\nmouseflush\n"),
            (Lines{"_line _forever1 _label _forever1 _idlegoto",
                   "_line (_ftimer2 timerinit) _forever2 _label (10 (_ftimer2 at) greaterthan) _forever2 _idleif "
                   "(_ftimer2 free)",
                   "_line (0 var_mousekey) _wait1 _label (var_mousekey) _wait1 _idleifnot",
                   "_line (mouseflushclicks) _wait2 _label (var_mouseup) _wait2 _idleifnot"}));
}

TEST(Postfix, WhenWithLayerFadeInput) {
  EXPECT_EQ(postfix_lines("when xw3 inside\n textln 1\nendwhen\n"),
            (Lines{"_line (_when1 gosub inside xw3 whennew) _endwhen1 _goto _when1 _label", "_line (1 textln)",
                   "_line _return _endwhen1 _label"}));
  expect_cases({
      {"when xw3 inside gosub getoutinput", "_line ((getoutinput arraylabel) gosub inside xw3 whennew)"},
      {"when xw3 inside gosub getoutinput 1 @a", "_line (((a at) 1 getoutinput arraylabel) gosub inside xw3 whennew)"},
      {"when terminate ESC scriptlink linktest", "_line ((linktest scriptlink arraylabel) gosub esc terminate whennew)"},
      {"with color red imagenew blankred",
       "_line (var_colornum withpush) (red var_colornum) {(blankred imagenew)} (withpop)"},
      {"with textwrap on textln \"x\"", "_line (var_textwrap withpush) (1 var_textwrap) (\"x\" textln) (withpop)"},
      {"with floatdigits 2 gosub show @a", "_line (var_floatdigits withpush) (2 var_floatdigits) {((a at) show)} (withpop)"},
      {"with floatdigits 2 x = @a", "_line (var_floatdigits withpush) (2 var_floatdigits) ((a at) x set) (withpop)"},
      {"imagefade 3 pic",
       "_line (pic 3 _imagefade1 imagefadebegin) _imagefadeloop1 _label (_imagefade1 imagefadecheck) "
       "_imagefadeloop1 _if (_imagefade1 imagefadefree)"},
      {"imagefadexy 3 pic 10 20",
       "_line (20 10 pic 3 _imagefade1 imagefadexybegin) _imagefadeloop1 _label (_imagefade1 imagefadecheck) "
       "_imagefadeloop1 _if (_imagefade1 imagefadefree)"},
      {"inputline name 1",
       "_line (1 name _input1 inputlinebegin) _inputloop1 _label (_input1 inputcheck) _inputloop1 _idleif "
       "{(_input1 inputend)}"},
      {"layer ship 10 20", "_line (20 10 ship layerposition) (ship layershowchanges)"},
      {"layer ship position 1 2 text \"hi\" image pic panto 5 wait",
       "_line (2 1 ship layerposition) (\"hi\" ship layertext) (pic ship layerimage) (5 ship layerpanto) "
       "(ship layershowchanges) _laywait1 _label (ship ele_layerbusy) _laywait1 _idleif (ship layershowchanges)"},
      {"layer ship to 100 200 50", "_line (50 200 100 ship layerto) (ship layershowchanges)"},
  });
}

TEST(Postfix, ScriptMergeAppendsTheMergedCode) {
  Compiled r = compile("scriptmerge lib.qns\n  helper\n", {{"lib.qns", "helper\n  textln \"in lib\"\n  return\n"}});
  ASSERT_TRUE(r.c.ok()) << r.messages();
  EXPECT_EQ(r.postfix(), (Lines{"_line {(lib.qns scriptmerge)}", "_line {(helper)}", "_line helper _label",
                                "_line (\"in lib\" textln)", "_line _return"}));
  std::vector<int> lines;
  std::vector<std::string> files;
  for (const auto& st : r.c.program.statements) {
    lines.push_back(st.line);
    files.push_back(r.c.program.files[size_t(st.file)]);
  }
  EXPECT_EQ(lines, (std::vector<int>{1, 2, 1, 2, 3}));
  EXPECT_EQ(files, (Lines{"t.qns", "t.qns", "lib.qns", "lib.qns", "lib.qns"}));
  // Construct numbers run on through the merged script; a script merged
  // twice (or merging the main one) is compiled once.
  r = compile("scriptmerge a\nscriptmerge b\nif 1\nendif\n",
              {{"a", "scriptmerge b\nscriptmerge t.qns\nif 2\nendif\n"}, {"b", "if 3\nendif\n"}});
  ASSERT_TRUE(r.c.ok()) << r.messages();
  Lines p = r.postfix();
  ASSERT_EQ(p.size(), 10u);
  EXPECT_EQ(p[2], "_line 1 _else1 _ifnot");
  EXPECT_EQ(p[6], "_line 2 _else2 _ifnot");
  EXPECT_EQ(p[8], "_line 3 _else3 _ifnot");
}

}  // namespace
