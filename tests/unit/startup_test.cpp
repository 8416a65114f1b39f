// The player's command line.
#include <gtest/gtest.h>

#include "host/startup.h"

using host::parse_command_line;
using host::StartupFlags;

TEST(CommandLine, SwitchesWithWindowNumbers) {
  StartupFlags f;
  EXPECT_EQ(parse_command_line("/c:2164", f), "");
  EXPECT_TRUE(f.settings);
  EXPECT_TRUE(f.parent_given);
  EXPECT_EQ(f.parent, 2164u);

  StartupFlags p;
  EXPECT_EQ(parse_command_line("  /p 1234  show.qnc", p), "show.qnc");
  EXPECT_TRUE(p.small);
  EXPECT_EQ(p.parent, 1234u);

  StartupFlags s;
  EXPECT_EQ(parse_command_line("/s demo.qnc", s), "demo.qnc");
  EXPECT_FALSE(s.parent_given);
  StartupFlags a;
  EXPECT_EQ(parse_command_line("/A", a), "");
  EXPECT_TRUE(a.password);
}

TEST(CommandLine, UnknownSwitchIsPartOfTheName) {
  StartupFlags f;
  EXPECT_EQ(parse_command_line("/x demo.qnc", f), "/x demo.qnc");
  // Paths are never taken for switches, nor digits of a name for a window.
  EXPECT_EQ(parse_command_line("/scripts/demo.qnc", f), "/scripts/demo.qnc");
  EXPECT_EQ(parse_command_line("/a/show.qnc", f), "/a/show.qnc");
  EXPECT_FALSE(f.password);
  EXPECT_EQ(parse_command_line("/s demo2.qnc", f), "demo2.qnc");
  EXPECT_FALSE(f.parent_given);
}

TEST(CommandLine, QuotedNamesAndFirstWords) {
  StartupFlags f;
  EXPECT_EQ(parse_command_line("\"my show.qnc\" extra", f), "my show.qnc");
  EXPECT_EQ(parse_command_line("\"unclosed name", f), "unclosed name");
  EXPECT_EQ(parse_command_line("show.qnc one two", f), "show.qnc one two");
  EXPECT_EQ(parse_command_line("show.qnc one two", f, true), "show.qnc");
}
