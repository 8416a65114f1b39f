// Directories, listings, INI files and starting programs.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <thread>

#include "storage/archive.h"
#include "storage/archive_writer.h"
#include "storage/stream.h"
#include "vm/commands.h"
#include "vm_fixture.h"

using namespace vm;

class DirsIni : public WorkDirTest {
 protected:
  static Value Null() { return Value::null(); }


};

TEST_F(DirsIni, CreateChangeAndDeleteDirectories) {
  EXPECT_EQ(N(h_dircreate, {T("a/b/c")}), 1);  // missing parents too
  EXPECT_EQ(N(h_dircreate, {T("a/b/c")}), 1);  // already there
  EXPECT_EQ(N(h_direxists, {T("a"), T("disk:a/b/c")}), 1);
  write("file", "");
  EXPECT_EQ(N(h_direxists, {T("a"), T("file")}), 0);
  EXPECT_EQ(N(h_dirdelete, {T("a")}), 0);  // not empty: kept
  run0(h_dirchange, {T("a/b")});
  EXPECT_EQ(S(h_dirgetcurrent, {}), (std::filesystem::canonical(dir) / "a/b").string());
  EXPECT_EQ(N(h_dirdelete, {T("c")}), 1);
  EXPECT_EQ(N(h_direxists, {T("c")}), 0);
  run0(h_dirchange, {T("../..")});
  EXPECT_EQ(N(h_dircreate, {T("file/sub")}), 0);
}

TEST_F(DirsIni, ListingsWithPatternsAndFlags) {
  for (const char* f : {"b.txt", "A.TXT", "c.dat", ".hidden.txt"}) write(f, "");
  std::filesystem::create_directory("sub.txt");
  write("sub.txt/inner.txt", "");
  EXPECT_EQ(S(h_drivefilelist, {T("*.txt")}), "A.TXT\r\nb.txt\r\n");
  EXPECT_EQ(S(h_drivefilelist, {T("*.txt"), I(0x12)}), ".hidden.txt\r\nA.TXT\r\nb.txt\r\nsub.txt/\r\n");
  EXPECT_EQ(S(h_drivefilelist, {T("sub.txt")}), "inner.txt\r\n");  // a folder lists its content
  EXPECT_EQ(S(h_drivefilelist, {T("sub.txt/?nner.*")}), "inner.txt\r\n");
  EXPECT_EQ(S(h_drivefilelist, {T("nothing*")}), "");
  std::string archive, error;
  ASSERT_TRUE(storage::write_archive({{"startup", "s"}, {"pic.gif", "g"}}, archive, error));
  write("p.vk", archive);
  ASSERT_TRUE(storage::archive_open(ctx, "p.vk"));
  EXPECT_EQ(S(h_drivefilelist, {T("vk:*")}), "startup\r\npic.gif\r\n");
  EXPECT_EQ(S(h_drivefilelist, {T("*.gif"), I(0x8000000)}), "pic.gif\r\n");
}

TEST_F(DirsIni, IniGetGivesDefaultsForWhatIsMissing) {
  write("s.ini",
        "top=before any section\r\n[Main]\r\n; comment=no\r\nName = \"Quoted value\" \r\nempty=\r\n"
        "[broken\r\nkey=in broken\r\n[main]\r\nName=second section\r\nonly=here\r\n");
  EXPECT_EQ(S(h_iniget, {T("s.ini"), T("MAIN"), T("name")}), "Quoted value");
  EXPECT_EQ(S(h_iniget, {T("s.ini"), T("main"), T("only")}), "here");  // later sections are searched too
  EXPECT_EQ(S(h_iniget, {T("s.ini"), T("main"), T("empty"), T("dflt")}), "");
  EXPECT_EQ(S(h_iniget, {T("s.ini"), T("main"), T("; comment")}), "");
  EXPECT_EQ(S(h_iniget, {T("s.ini"), T("broken"), T("key")}), "in broken");
  EXPECT_EQ(S(h_iniget, {T("s.ini"), T("main"), T("nokey"), T("dflt")}), "dflt");
  EXPECT_EQ(S(h_iniget, {T("s.ini"), T("nosection"), T("name"), I(5)}), "5");
  EXPECT_EQ(S(h_iniget, {T("missing.ini"), T("main"), T("name"), T("dflt")}), "dflt");
  EXPECT_EQ(S(h_iniget, {T("s.ini"), T("main"), Null()}), "Name\r\nempty\r\nName\r\nonly\r\n");
  EXPECT_EQ(S(h_iniget, {T("s.ini"), Null()}), "Main\r\nbroken\r\nmain\r\n");
}

TEST_F(DirsIni, IniSetKeepsTheRestOfTheFile) {
  run0(h_iniset, {T("new.ini"), T("Sec"), T("a"), T("1")});
  EXPECT_EQ(slurp("new.ini"), "[Sec]\r\na=1\r\n");
  write("s.ini", "; keep me\n[one]\nx = 1\n\n[two]\ny=2\n");
  run0(h_iniset, {T("s.ini"), T("ONE"), T("X"), T("10")});
  run0(h_iniset, {T("s.ini"), T("one"), T("z"), T("line one\r\nline two")});
  run0(h_iniset, {T("s.ini"), T("three"), T("w"), T("3")});
  EXPECT_EQ(slurp("s.ini"), "; keep me\n[one]\nX=10\nz=line one\n\n[two]\ny=2\n\n[three]\nw=3\n");
  run0(h_iniset, {T("s.ini"), T("one"), T("x"), Null()});  // a null value removes the key
  run0(h_iniset, {T("s.ini"), T("two"), Null()});           // a null key the section
  EXPECT_EQ(slurp("s.ini"), "; keep me\n[one]\nz=line one\n\n[three]\nw=3\n");
  // Names that could not be read back are refused.
  run0(h_iniset, {T("s.ini"), T("a]b"), T("k"), T("v")});
  run0(h_iniset, {T("s.ini"), T("one"), T("k=j"), T("v")});
  run0(h_iniset, {T("s.ini"), T("one"), T("[k"), T("v")});
  EXPECT_EQ(slurp("s.ini"), "; keep me\n[one]\nz=line one\n\n[three]\nw=3\n");
  run0(h_inirefresh, {T("s.ini")});
}

namespace {

bool appears(const std::string& path) {
  for (int i = 0; i < 500; i++) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

TEST_F(DirsIni, AppExecPassesArgumentsWithoutAShell) {
  EXPECT_GT(N(h_appexec, {T("touch"), T("a;b $(x)"), T("c")}), 0);
  EXPECT_TRUE(appears("a;b $(x)"));
  EXPECT_TRUE(appears("c"));
  EXPECT_GT(N(h_appexec, {T("touch \"d e\" f")}), 0);  // one text: a command line
  EXPECT_TRUE(appears("d e"));
  EXPECT_TRUE(appears("f"));
  EXPECT_EQ(N(h_appexec, {T("no-such-program-quillon")}), 0);
  EXPECT_EQ(N(h_appexec, {}), 0);
  EXPECT_EQ(N(h_appshell, {T("")}), 0);
}
