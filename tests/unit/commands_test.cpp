// The command table as scripts see it.
#include "host/engine.h"
#include "vm/commands.h"
#include "vm_fixture.h"

using namespace vm;

class Commands : public VmTest {};

TEST_F(Commands, ConsoleWriteJoinsTextFormsInScriptOrder) {
  std::string out = run(R"(TAIL 2.5 -3 "b" "a" consolewrite CALL)");
  EXPECT_EQ(out, "ab-32.5\n");
  EXPECT_EQ(depth(), 0u);
  // Long texts are written whole; null writes nothing.
  std::string long_text(600, 'x');
  Value t = text(long_text);
  open_frame(*ctx);
  push(*ctx, Value::null());
  push(*ctx, t);
  testing::internal::CaptureStdout();
  h_consolewrite(*ctx);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), long_text + "\n");
}

TEST_F(Commands, SystemVariablesReadAndSet) {
  run("TAIL var_sysmessageskip CALL  TAIL var_cr CALL  TAIL var_pi CALL");
  EXPECT_EQ(text_at(0).substr(0, 6), "3.1415");
  EXPECT_EQ(text_at(1), "\r");
  EXPECT_EQ(int_at(2), 20);
  run(R"(TAIL "12abc" var_sysesc SET  TAIL var_sysesc CALL)");
  EXPECT_EQ(int_at(0), 12);
  run(R"(TAIL 7 var_scrsmall SET  TAIL var_scrsmall CALL)");
  EXPECT_EQ(int_at(0), 1);  // flags hold 0 or 1
  // An integer cell keeps 32 bits.
  run(R"(TAIL "4294967297" var_loop SET  TAIL var_loop CALL)");
  EXPECT_EQ(int_at(0), 1);
}

TEST_F(Commands, MemUsedFollowsTheHeap) {
  run("TAIL var_memused CALL");
  int64_t before = int_at(0);
  text(std::string(100000, 'm'));
  run("TAIL var_memused CALL");
  EXPECT_GE(int_at(0), before + 100000);
}

TEST_F(Commands, ElementQueriesOfArrays) {
  run(R"(
      TAIL TAIL 3 2 1 ARRAY a SET
      TAIL a ele_size CALL  TAIL nothing ele_size CALL  TAIL TAIL 5 x SET x ele_size CALL
      TAIL a ele_dim1 CALL)");
  EXPECT_EQ(int_at(0), 3);
  EXPECT_EQ(int_at(1), 1);
  EXPECT_EQ(int_at(2), 0);
  EXPECT_EQ(int_at(3), 3);
  // The frameless forms replace the top value; a wrong count gives 0.
  run("a ele_bits CALL  TAIL a a ele_sizex CALL");
  EXPECT_EQ(int_at(0), 0);
  EXPECT_EQ(int_at(1), 0);
}

TEST_F(Commands, YieldFlagsOfKnownCommands) {
  EXPECT_TRUE(host::kCommands[command_find("add")].yields);
  EXPECT_TRUE(host::kCommands[command_find("var_pi")].yields);
  EXPECT_TRUE(host::kCommands[command_find("animcreate")].yields);  // not present: pushes 0
  EXPECT_FALSE(host::kCommands[command_find("set")].yields);
  EXPECT_FALSE(host::kCommands[command_find("filecrypt")].yields);
  EXPECT_FALSE(host::kCommands[command_find("_goto")].yields);
}
