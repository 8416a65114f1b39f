// File commands: handles, whole files, comma-separated and variables files,
// zip archives and the file-system commands.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include "storage/files.h"
#include "storage/membuf.h"
#include "storage/stream.h"
#include "vm/commands.h"
#include "vm/sysvars.h"
#include "vm_fixture.h"

using namespace vm;

class Files : public WorkDirTest {
 protected:
  // The texts of an array's items, in key order, joined by "|".
  std::string items(Value array) {
    std::string out;
    if (ArrayRecord* a = array_of(array))
      for (uint32_t i = 0; i < a->count; i++) out += (i ? "|" : "") + value_display(ctx, a->items[i].value);
    return out;
  }

};

// --- handles ---------------------------------------------------------------------

TEST_F(Files, AppendOverwritesFromTheStartAndSizeKeepsThePosition) {
  EXPECT_EQ(N(h_fileappend, {T("missing.txt")}), 0);
  write("a.txt", "abcdef");
  Value h = call(h_fileappend, {T("a.txt")});
  ASSERT_EQ(element_type_of(h), kTypeFile);
  EXPECT_EQ(N(h_filewrite, {h, T("XY")}), 2);
  EXPECT_EQ(N(h_filereadbyte, {h}), 'c');
  EXPECT_EQ(N(h_filesize, {h}), 6);
  EXPECT_EQ(N(h_filereadbyte, {h}), 'd');  // the position survived filesize
  EXPECT_EQ(N(h_fileseek, {h, I(-1), I(2)}), 5);
  EXPECT_EQ(N(h_fileseek, {h, I(1)}), 1);  // origin 0 by default
  EXPECT_EQ(N(h_fileseek, {h, I(0), I(3)}), -1);
  run0(h_fileclose, {h});
  EXPECT_EQ(slurp("a.txt"), "XYcdef");
  // A closed handle stays harmless: reads, writes and seeks do nothing.
  EXPECT_EQ(N(h_filereadbyte, {h}), 0);
  EXPECT_EQ(N(h_filewrite, {h, T("zz")}), 0);
  EXPECT_EQ(N(h_filesize, {h}), 0);
  EXPECT_EQ(slurp("a.txt"), "XYcdef");
  // Values that are no handles are never taken for descriptors.
  EXPECT_EQ(N(h_filewrite, {I(1), T("to stdout?")}), 0);
  EXPECT_EQ(N(h_fileseek, {I(0), I(0)}), -1);
}

TEST_F(Files, NumbersAreLittleEndianAndShortDataReadsZero) {
  Value h = call(h_filecreate, {T("n.bin")});
  run0(h_filewritebyte, {h, I(0x1ff)});
  run0(h_filewriteword, {h, I(0xfffe)});
  run0(h_filewritelong, {h, I(-3)});
  run0(h_filewritefloat, {h, value_from_float(ctx, -2.25)});
  run0(h_filewriteline, {h, T("ok")});
  run0(h_fileclose, {h});
  EXPECT_EQ(slurp("n.bin"), std::string("\xff\xfe\xff\xfd\xff\xff\xff\x00\x00\x10\xc0ok\r\n", 15));
  Value r = call(h_fileopen, {T("n.bin")});
  EXPECT_EQ(N(h_filereadbyte, {r}), 255);
  EXPECT_EQ(N(h_filereadword, {r}), 0xfffe);  // unsigned
  EXPECT_EQ(N(h_filereadlong, {r}), -3);      // signed
  EXPECT_EQ(value_to_float(ctx, call(h_filereadfloat, {r})), -2.25);
  EXPECT_EQ(N(h_fileseek, {r, I(-3), I(2)}), 12);
  EXPECT_EQ(N(h_filereadlong, {r}), 0);  // 3 bytes left: 0
  EXPECT_EQ(N(h_filereadbyte, {r}), 0);  // and they were consumed
  EXPECT_EQ(N(h_fileopen, {T("missing")}), 0);
}

TEST_F(Files, ReadAndWriteThroughAddressesStayInsideBuffers) {
  write("src.txt", "0123456789");
  run("TAIL 8 b memnew CALL");
  auto* m = storage::membuf_of(var("b"));
  int64_t a = storage::address_of(m->data);
  Value h = call(h_fileopen, {T("src.txt")});
  EXPECT_EQ(N(h_fileread, {h, I(a + 4), I(5)}), 0);  // would pass the end: nothing read
  EXPECT_EQ(N(h_fileread, {h, I(4096), I(1)}), 0);
  EXPECT_EQ(N(h_fileread, {h, I(a + 2), I(6)}), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m->data), 8), std::string("\0\0" "012345", 8));
  EXPECT_EQ(N(h_fileread, {h, var("b"), I(8)}), 4);  // a buffer stands for its address; data ends
  Value out = call(h_filecreate, {T("out.txt")});
  EXPECT_EQ(N(h_filewrite, {out, I(a), I(9)}), 0);
  EXPECT_EQ(N(h_filewrite, {out, I(a), I(3)}), 3);
  EXPECT_EQ(N(h_filewrite, {out, T("abcdef"), I(2)}), 2);
  EXPECT_EQ(N(h_filewrite, {out, T("xy"), I(50)}), 2);  // never past the text
  EXPECT_EQ(N(h_filewrite, {out, I(42)}), 2);           // a number alone is text
  EXPECT_EQ(N(h_filewrite, {out, var("b")}), 8);       // a buffer without a count: all of it
  run0(h_fileclose, {out});
  EXPECT_EQ(slurp("out.txt"), "678abxy4267892345");
  // Writing a buffer into a stream on itself grows (and moves) the buffer
  // while it is read: the copy stops rather than read freed memory.
  run("TAIL 200000 big memnew CALL");
  Value self = call(h_fileappend, {T("mem:big")});
  EXPECT_EQ(N(h_fileseek, {self, I(0), I(2)}), 200000);
  int64_t big = storage::address_of(storage::membuf_of(var("big"))->data);
  EXPECT_LE(N(h_filewrite, {self, I(big), I(200000)}), 200000);
}

// --- whole files -------------------------------------------------------------------

TEST_F(Files, SendCreatesAndAppendsGetInflatesGzip) {
  run0(h_filesend, {T("log.txt"), T("one")});
  run0(h_filesendln, {T("log.txt"), T("two")});
  EXPECT_EQ(slurp("log.txt"), "onetwo\r\n");
  run0(h_fileput, {T("log.txt"), T("new")});
  EXPECT_EQ(S(h_fileget, {T("log.txt")}), "new");
  EXPECT_EQ(S(h_fileget, {T("missing.txt")}), "");
  std::string plain(100000, 'z');
  gzFile gz = gzopen("t.gz", "wb");
  gzwrite(gz, plain.data(), unsigned(plain.size()));
  gzclose(gz);
  EXPECT_EQ(S(h_fileget, {T("t.gz")}), plain);
  sysvar_set_int(*ctx, SV_var_filegzip, 0);
  EXPECT_EQ(S(h_fileget, {T("t.gz")}).substr(0, 2), "\x1f\x8b");
  EXPECT_EQ(N(h_fileexists, {T("log.txt"), T("t.gz")}), 1);
  EXPECT_EQ(N(h_fileexists, {T("log.txt"), T("nope")}), 0);
}

TEST_F(Files, CommaSeparatedFilesRoundTrip) {
  std::string tricky = "say \"hi\", then\r\nleave";
  run(R"(TAIL TAIL TAIL "" ARRAY  TAIL "b,c" "a" ARRAY  TAIL 2.5 7 ARRAY  0 ARRAY rows SET)");
  ArrayRecord* rows = array_of(var("rows"));
  ASSERT_NE(rows, nullptr);
  value_store(rows->items[0].value, T(tricky));  // a field with every special character
  run0(h_fileputarray, {T("t.csv"), T("rows")});
  EXPECT_EQ(slurp("t.csv"), "\"say \"\"hi\"\", then\r\nleave\"\r\n7,2.5\r\na,\"b,c\"\r\n\"\"\r\n");
  Value back = call(h_filegetarray, {T("t.csv")});
  ArrayRecord* a = array_of(back);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->count, 4u);
  EXPECT_EQ(items(a->items[0].value), tricky);
  EXPECT_EQ(items(a->items[1].value), "7|2.5");
  EXPECT_EQ(items(a->items[2].value), "a|b,c");
  EXPECT_EQ(items(a->items[3].value), "");  // one empty field, not a lost row
  EXPECT_EQ(array_of(a->items[3].value)->count, 1u);
  // Other delimiters, and the array given as an element.
  run(R"(TAIL "<" var_filestringstart SET  TAIL ">" var_filestringend SET)");
  run0(h_fileputarray, {T("d.csv"), var("rows")});
  EXPECT_EQ(slurp("d.csv").substr(0, 6), "<say \"");
  EXPECT_EQ(items(array_of(call(h_filegetarray, {T("d.csv")}))->items[0].value), tricky);
  EXPECT_EQ(N(h_filegetarray, {T("missing.csv")}), 0);
}

TEST_F(Files, MalformedCommaSeparatedFilesGiveClearRows) {
  write("bad.csv", "a,\"unclosed, still\nfield\r\n\r\nmore,");
  ArrayRecord* a = array_of(call(h_filegetarray, {T("bad.csv")}));
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->count, 1u);  // the unclosed field swallows the rest
  EXPECT_EQ(items(a->items[0].value), "a|unclosed, still\nfield\r\n\r\nmore,");
  write("bad2.csv", "\"x\"tail,\r\r,\nlast,\n\n");
  a = array_of(call(h_filegetarray, {T("bad2.csv")}));
  ASSERT_EQ(a->count, 3u);  // empty lines give no rows
  EXPECT_EQ(items(a->items[0].value), "xtail|");
  EXPECT_EQ(items(a->items[1].value), "|");
  EXPECT_EQ(items(a->items[2].value), "last|");
  write("empty.csv", "");
  EXPECT_EQ(array_of(call(h_filegetarray, {T("empty.csv")}))->count, 0u);
}

TEST_F(Files, NamedColumns) {
  write("n.csv", "id,name,\r\n1,Ann,x,extra\r\n2\r\n");
  Value v = call(h_filegetarraynamed, {T("n.csv")});
  ArrayRecord* a = array_of(v);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->count, 2u);  // the header is not a row
  Value first = a->items[0].value;
  EXPECT_EQ(value_display(ctx, *table_find(first, T("name"))), "Ann");
  EXPECT_EQ(value_display(ctx, *table_find(first, I(2))), "x");  // empty column name: its number
  EXPECT_EQ(value_display(ctx, *table_find(first, I(3))), "extra");
  EXPECT_EQ(array_of(a->items[1].value)->count, 1u);  // a short row lacks the missing keys
  value_store(*var_for_set(*ctx, T("people")), v);
  run0(h_fileputarraynamed, {T("out.csv"), T("people"), T("name,id")});
  EXPECT_EQ(slurp("out.csv"), "name,id\r\nAnn,1\r\n,2\r\n");
}

TEST_F(Files, VariablesFilesRoundTripAndRefuseCommands) {
  std::string tricky = "a \"quoted\"\r\nvalue\t";
  value_store(*var_for_set(*ctx, T("msg")), T(tricky));
  value_store(*var_for_set(*ctx, T("count")), I(-12));
  value_store(*var_for_set(*ctx, T("code")), T("007"));
  value_store(*var_for_set(*ctx, T("blank")), T(""));
  value_store(*var_for_set(*ctx, T("list")), Value::from_handle(array_new()));
  run0(h_fileputvariables, {T("v.txt"), T("msg"), T("c*"), T("blank"), T("list"), T("undefined")});
  EXPECT_EQ(slurp("v.txt"),
            "msg = \"a \"\"quoted\"\"\r\nvalue\t\"\r\ncode = 007\r\ncount = -12\r\nblank = \r\n");
  for (const char* n : {"msg", "count", "code", "blank"}) var_delete(*ctx, T(n));
  EXPECT_EQ(N(h_filegetvariables, {T("v.txt")}), 4);
  EXPECT_EQ(element_text(var("msg")), tricky);
  EXPECT_EQ(var("count"), I(-12));  // a plain integer comes back as one
  EXPECT_EQ(element_text(var("code")), "007");
  EXPECT_EQ(element_text(var("blank")), "");
  // Garbage lines are skipped; a file never runs commands or touches the
  // interpreter's own locals, but may set system variables.
  write("g.txt",
        "; comment\r\n  # another\r\nno equals sign\r\n= no name\r\n  Spaced   =   bare words  \r\n"
        "fileput = evil.txt\r\n_retpc = 1\r\nvar_floatdigits=3\r\nopen = \"runs\r\nto the end");
  EXPECT_EQ(N(h_filegetvariables, {T("g.txt")}), 3);
  EXPECT_EQ(element_text(var("spaced")), "bare words");
  EXPECT_EQ(sysvar_int(*ctx, SV_var_floatdigits), 3);
  EXPECT_EQ(element_text(var("open")), "runs\r\nto the end");
  EXPECT_FALSE(std::filesystem::exists("evil.txt"));
  EXPECT_EQ(N(h_filegetvariables, {T("missing.txt")}), 0);
}

// --- zip archives ------------------------------------------------------------------

namespace {

struct ZipEntry {
  std::string name, data;
};

uint32_t le(const std::string& z, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | uint8_t(z.at(at + size_t(i)));
  return v;
}

// Reads a zip through its central directory: each entry's name and its
// data, inflated and checked against the stored size and CRC-32.
std::vector<ZipEntry> read_zip(const std::string& z) {
  std::vector<ZipEntry> out;
  size_t end = z.size() - 22;
  EXPECT_EQ(le(z, end, 4), 0x06054b50u);
  uint32_t count = le(z, end + 10, 2), cd_size = le(z, end + 12, 4), at = le(z, end + 16, 4);
  EXPECT_EQ(at + cd_size, end);
  for (uint32_t i = 0; i < count; i++) {
    EXPECT_EQ(le(z, at, 4), 0x02014b50u);
    uint32_t crc = le(z, at + 16, 4), packed = le(z, at + 20, 4), size = le(z, at + 24, 4);
    uint32_t name_len = le(z, at + 28, 2), local = le(z, at + 42, 4);
    ZipEntry e{z.substr(at + 46, name_len), std::string(size, '\0')};
    EXPECT_EQ(le(z, local, 4), 0x04034b50u);
    EXPECT_EQ(le(z, local + 14, 4), crc);  // the local header was filled in
    size_t data = local + 30 + le(z, local + 26, 2) + le(z, local + 28, 2);
    z_stream s{};
    inflateInit2(&s, -15);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data() + data));
    s.avail_in = packed;
    s.next_out = reinterpret_cast<Bytef*>(e.data.data());
    s.avail_out = size;
    EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END) << e.name;
    EXPECT_EQ(s.total_out, size);
    inflateEnd(&s);
    EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), size), crc) << e.name;
    out.push_back(e);
    at += 46 + name_len + le(z, at + 30, 2) + le(z, at + 32, 2);
  }
  return out;
}

}  // namespace

TEST_F(Files, ZipHoldsTheFilesAndPassesUnzip) {
  std::filesystem::create_directory("sub");
  std::string big;
  for (int i = 0; i < 20000; i++) big += "row " + std::to_string(i % 97) + "\n";
  write("sub/big.txt", big);
  write("empty.txt", "");
  gzFile gz = gzopen("kept.gz", "wb");
  gzwrite(gz, "inner", 5);
  gzclose(gz);
  std::string gz_bytes = slurp("kept.gz");
  EXPECT_EQ(N(h_filezip, {T("out.zip"), T("sub/big.txt"), T("missing.txt"), T("empty.txt"), T("disk:kept.gz"),
                          T("./sub/../empty.txt")}),
            4);
  std::vector<ZipEntry> entries = read_zip(slurp("out.zip"));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "sub/big.txt");
  EXPECT_EQ(entries[0].data, big);
  EXPECT_EQ(entries[1].name, "empty.txt");
  EXPECT_EQ(entries[1].data, "");
  EXPECT_EQ(entries[2].name, "kept.gz");
  EXPECT_EQ(entries[2].data, gz_bytes);  // stored as it is, not inflated
  EXPECT_EQ(entries[3].name, "sub/empty.txt");  // no "." or ".." parts: extraction stays inside
  if (std::system("command -v unzip >/dev/null 2>&1") != 0) GTEST_SKIP() << "no unzip program";
  EXPECT_EQ(std::system("unzip -tq out.zip >/dev/null 2>&1"), 0);
}

// --- the file system -----------------------------------------------------------------

TEST_F(Files, DeleteRenameAndCopy) {
  write("a.txt", "A");
  write("b.txt", "B");
  std::filesystem::create_directory("d");
  EXPECT_EQ(N(h_filedelete, {T("d")}), 0);  // never a directory
  EXPECT_EQ(N(h_filerename, {T("a.txt"), T("b.txt")}), 0);  // never replaces
  EXPECT_EQ(slurp("b.txt"), "B");
  EXPECT_EQ(N(h_filerename, {T("a.txt"), T("disk:c.txt")}), 1);
  EXPECT_EQ(N(h_filecopy, {T("*.TXT"), T("d")}), 2);  // wildcards ignore case
  EXPECT_EQ(slurp("d/c.txt") + slurp("d/b.txt"), "AB");
  EXPECT_EQ(N(h_filecopy, {T("b.txt"), T("b2.txt")}), 1);
  EXPECT_EQ(N(h_filecopy, {T("b.txt"), T("b.txt")}), 0);  // never onto itself
  EXPECT_EQ(slurp("b.txt"), "B");
  EXPECT_EQ(N(h_filecopy, {T("*.txt"), T("one-file.txt")}), 0);  // several files need a folder
  EXPECT_EQ(N(h_filedelete, {T("b.txt"), T("b2.txt")}), 1);
  EXPECT_EQ(N(h_filedelete, {T("b.txt")}), 0);
  EXPECT_EQ(N(h_filedelete, {T("mem:x"), T("vk:y")}), 0);
}

TEST_F(Files, DatesAttributesAndLocks) {
  write("f.txt", "x");
  EXPECT_EQ(N(h_filesetdatetime, {T("f.txt"), I(20040229), I(133742)}), 1);
  EXPECT_EQ(N(h_filedate, {T("f.txt")}), 20040229);
  EXPECT_EQ(N(h_filetime, {T("f.txt")}), 133742);
  EXPECT_EQ(N(h_filesetdatetime, {T("f.txt"), I(20041301), I(0)}), 0);
  EXPECT_EQ(N(h_filesetdatetime, {T("f.txt"), I(20040101), I(236000)}), 0);
  EXPECT_EQ(N(h_filedate, {T("missing")}), 0);
  EXPECT_EQ(N(h_fileattrib, {T("f.txt")}), 32);
  EXPECT_EQ(N(h_fileattrib, {T("f.txt"), I(1)}), 1);
  EXPECT_EQ(N(h_fileattrib, {T("f.txt")}), 33);
  EXPECT_EQ(N(h_fileattrib, {T("f.txt"), I(0)}), 1);
  write(".hidden", "");
  std::filesystem::create_directory("d");
  EXPECT_EQ(N(h_fileattrib, {T(".hidden")}), 34);
  EXPECT_EQ(N(h_fileattrib, {T("d")}), 16);
  EXPECT_EQ(N(h_fileattrib, {T("missing")}), 0);
  EXPECT_EQ(S(h_fileshortname, {T("f.txt")}), "f.txt");
  EXPECT_EQ(S(h_fileshortname, {T("missing")}), "");
  EXPECT_EQ(N(h_filebusy, {T("f.txt")}), 0);
  int fd = ::open("f.txt", O_RDWR);
  struct flock lk{};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lk), 0);
  EXPECT_EQ(N(h_filebusy, {T("f.txt")}), 1);
  ::close(fd);
  EXPECT_EQ(N(h_filebusy, {T("f.txt")}), 0);
}
