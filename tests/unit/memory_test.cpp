// Memory buffers and raw addresses: dimensions, resizing, loading and
// saving, the get/set/scan/fill/move commands, and the refusal of every
// range that is not wholly inside a live buffer of the script.
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>

#include "storage/membuf.h"
#include "storage/stream.h"
#include "vm/commands.h"
#include "vm/sysvars.h"
#include "vm_fixture.h"

using namespace vm;

class Memory : public WorkDirTest {
 protected:
  storage::MemBuf* buf(std::string_view name) { return storage::membuf_of(var(name)); }
  int64_t adr(std::string_view name) { return storage::address_of(buf(name)->data); }

};

TEST_F(Memory, NewBufferDimensionsAndTheTwoGigabyteLimit) {
  run0(h_memnew, {T("b"), I(4)});
  ASSERT_NE(buf("b"), nullptr);
  EXPECT_EQ(buf("b")->size, 4);
  EXPECT_EQ(N(h_ele_dim1, {T("b")}), 4);
  EXPECT_EQ(N(h_ele_dim2, {T("b")}), 1);  // not given: 1, so the product stays the size
  EXPECT_EQ(N(h_ele_len, {T("b")}), 4);
  run0(h_memnew, {T("grid"), I(3), I(-2), I(5)});  // a dimension below 1 counts as 1
  EXPECT_EQ(buf("grid")->size, 15);
  EXPECT_EQ(N(h_ele_dim3, {T("grid")}), 5);
  // 2^31 bytes or more is refused and leaves the variable as it was.
  run0(h_memnew, {T("b"), I(65536), I(32768)});
  run0(h_memnew, {T("b"), I((int64_t(1) << 32) + 1)});  // must not wrap to 1
  run0(h_memnew, {T("b"), I(int64_t(1) << 31)});
  EXPECT_EQ(buf("b")->size, 4);
  // The address the script sees through ele_adr.
  run("TAIL b ele_adr CALL");
  EXPECT_EQ(int_at(0), adr("b"));
}

TEST_F(Memory, GetAndSetThroughAddresses) {
  run0(h_memnew, {T("b"), I(16)});
  int64_t a = adr("b");
  run0(h_memsetbyte, {I(a), I(0xff), I(0x1ff)});  // values keep their low byte
  EXPECT_EQ(N(h_memgetbyte, {I(a)}), 255);
  EXPECT_EQ(N(h_memgetbyte, {I(a + 1)}), 255);
  run0(h_memsetword, {I(a + 2), I(0x1234), I(0xffff)});
  EXPECT_EQ(N(h_memgetword, {I(a + 2)}), 0x1234);
  EXPECT_EQ(N(h_memgetword, {I(a + 4)}), 0xffff);  // words unsigned
  EXPECT_EQ(buf("b")->data[2], 0x34);               // little-endian
  run0(h_memsetlong, {I(a + 8), I(-2)});
  EXPECT_EQ(N(h_memgetlong, {I(a + 8)}), -2);  // longs signed
  run0(h_memsetfloat, {I(a + 12), value_from_float(ctx, 1.5)});
  EXPECT_EQ(value_to_float(ctx, call(h_memgetfloat, {I(a + 12)})), 1.5);
  // A buffer, or its name, stands for its first byte.
  EXPECT_EQ(N(h_memgetbyte, {var("b")}), 255);
  EXPECT_EQ(N(h_memgetbyte, {T("b")}), 255);
  run0(h_memsetbytes, {I(a + 4), T("text")});
  EXPECT_EQ(S(h_memgetbytes, {I(a + 4), I(4)}), "text");
  EXPECT_EQ(S(h_memgetstring, {I(a + 4), I(3)}), "tex");
  run0(h_memset, {I(a + 8), I('z'), I(8)});
  EXPECT_EQ(S(h_memgetstring, {I(a + 4)}), "");  // no NUL before the end of the buffer
  EXPECT_EQ(S(h_memgetstring, {I(a + 4), I(12)}), "textzzzzzzzz");
  EXPECT_EQ(S(h_memgetstring, {I(a + 4), I(13)}), "");
  run0(h_memset, {I(a + 8), I(0), I(1)});
  EXPECT_EQ(S(h_memgetstring, {I(a + 4)}), "text");
}

TEST_F(Memory, RangesOutsideLiveBuffersAreRefused) {
  run0(h_memnew, {T("b"), I(8)});
  run0(h_memnew, {T("other"), I(8)});
  int64_t a = adr("b");
  for (int64_t bad : {int64_t(0), int64_t(4096), a - 1, a + 8}) {
    EXPECT_EQ(N(h_memgetbyte, {I(bad)}), 0) << bad;
    run0(h_memsetbyte, {I(bad), I(1)});
  }
  // Whole ranges are checked: nothing of a range that crosses the end is written.
  run0(h_memsetlong, {I(a + 6), I(-1)});
  run0(h_memsetbyte, {I(a + 6), I(1), I(2), I(3)});
  run0(h_memset, {I(a), I(7), I(9)});
  run0(h_memmove, {I(a), I(adr("other")), I(9)});
  for (int i = 0; i < 8; i++) EXPECT_EQ(buf("b")->data[i], 0) << i;
  EXPECT_EQ(N(h_memgetlong, {I(a + 6)}), 0);
  EXPECT_EQ(S(h_memgetbytes, {I(a + 4), I(5)}), "");
  // A freed or moved buffer's old address no longer works.
  buf("b")->data[0] = 9;
  run0(h_memresize, {T("b"), I(1 << 20)});
  EXPECT_EQ(N(h_memgetbyte, {I(adr("b"))}), 9);
  if (adr("b") != a) {
    EXPECT_EQ(N(h_memgetbyte, {I(a)}), 0);
  }
  int64_t before_free = adr("b");
  run0(h_memfree, {T("b")});
  EXPECT_EQ(N(h_memgetbyte, {I(before_free)}), 0);
  EXPECT_TRUE(var("b").is_null());
  // memmove within and across live buffers.
  int64_t o = adr("other");
  run0(h_memsetbytes, {I(o), T("abcdefgh")});
  run0(h_memmove, {I(o + 2), I(o), I(4)});  // overlapping
  EXPECT_EQ(S(h_memgetbytes, {I(o), I(8)}), "ababcdgh");
}

TEST_F(Memory, ScansAndAddressArithmetic) {
  run0(h_memnew, {T("b"), I(12)});
  int64_t a = adr("b");
  run0(h_memsetbytes, {I(a), T(std::string("\0\0\x05\x06\x07\x05\x06\x07\0\0\0\0", 12))});
  EXPECT_EQ(N(h_memscanbyte, {I(a), I(5), I(12)}), a + 2);
  EXPECT_EQ(N(h_memscanbytenot, {I(a), I(0), I(12)}), a + 2);
  EXPECT_EQ(N(h_memscanbyte, {I(a), I(9), I(12)}), 0);
  EXPECT_EQ(N(h_memscan3byte, {I(a + 2), I(0x070605), I(3)}), a + 2);
  EXPECT_EQ(N(h_memscan3bytenot, {I(a + 2), I(0x070605), I(2)}), 0);
  EXPECT_EQ(N(h_memscanword, {I(a), I(0x0706), I(3)}), 0);  // steps of whole words
  EXPECT_EQ(N(h_memscanword, {I(a + 1), I(0x0706), I(5)}), a + 3);
  EXPECT_EQ(N(h_memscanlong, {I(a + 8), I(0), I(1)}), a + 8);
  EXPECT_EQ(N(h_memscanbyte, {I(a), I(0), I(13)}), 0);  // count past the end: refused
  EXPECT_EQ(N(h_memaddadr, {T("b"), I(12)}), a + 12);   // the end itself is allowed
  EXPECT_EQ(N(h_memaddadr, {I(a + 10), I(-10)}), a);
  EXPECT_EQ(N(h_memaddadr, {T("b"), I(13)}), 0);
  EXPECT_EQ(N(h_memaddadr, {I(a + 1), I(-2)}), 0);
}

TEST_F(Memory, ResizeClearLoadAndSave) {
  run0(h_memnew, {T("b"), I(4)});
  run0(h_memsetbytes, {T("b"), T("wxyz")});
  run0(h_memresize, {T("b"), I(6)});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf("b")->data), 6), std::string("wxyz\0\0", 6));
  EXPECT_EQ(N(h_ele_dim1, {T("b")}), 6);
  run0(h_memresize, {T("b"), I(-1)});
  run0(h_memresize, {T("b"), I(int64_t(1) << 31)});
  EXPECT_EQ(buf("b")->size, 6);
  run0(h_memsave, {T("b"), T("saved.bin")});
  run0(h_memclear, {T("b")});
  EXPECT_EQ(N(h_memgetbyte, {T("b")}), 0);
  run0(h_memload, {T("saved.bin"), T("loaded")});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf("loaded")->data), 6), std::string("wxyz\0\0", 6));
  EXPECT_EQ(N(h_ele_len, {T("loaded")}), 6);
  run0(h_memresize, {T("b"), I(0)});
  EXPECT_EQ(buf("b")->data, nullptr);
  EXPECT_EQ(N(h_ele_len, {T("b")}), 0);
  std::ofstream("empty.bin").close();
  run0(h_memload, {T("empty.bin"), T("e")});
  ASSERT_NE(buf("e"), nullptr);
  EXPECT_EQ(buf("e")->size, 0);
  run0(h_memload, {T("missing.bin"), T("m")});
  EXPECT_TRUE(var("m").is_null());
}

TEST_F(Memory, SetAndAtOfBuffersAndRawAddresses) {
  run0(h_memnew, {T("b"), I(8)});
  // set of a variable holding a buffer fills the buffer: text, then a NUL.
  run(R"(TAIL "hi" b SET)");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf("b")->data), 3), std::string("hi\0", 3));
  run(R"(TAIL "far too long" b SET)");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf("b")->data), 8), "far too ");
  // A raw address above 255 reads a NUL-terminated text inside a buffer.
  int64_t a = adr("b");
  var_set(*ctx, I(a), T("abc"));
  Value v = var_value(*ctx, I(a + 1));
  EXPECT_EQ(element_text(v), "bc");
  value_release(v);
  run("TAIL TAIL b ele_adr CALL AT");
  EXPECT_EQ(text_at(0), "abc");
  // Writes that would pass the end, and addresses in no buffer, do nothing.
  var_set(*ctx, I(a + 5), T("xyz"));  // needs 4 bytes with the NUL; 3 left
  EXPECT_EQ(buf("b")->data[5], 'o');
  var_set(*ctx, I(int64_t(1) << 20), T("x"));
  v = var_value(*ctx, I(4096));
  EXPECT_TRUE(v.is_null());
  std::memset(buf("b")->data, 'q', 8);  // no NUL inside: nothing is read past the end
  v = var_value(*ctx, I(a));
  EXPECT_TRUE(v.is_null());
  // A buffer given as the value replaces the variable's buffer.
  run0(h_memnew, {T("c"), I(2)});
  var_set(*ctx, T("b"), var("c"));
  EXPECT_EQ(var("b"), var("c"));
}

TEST_F(Memory, Rc4OverRawMemory) {
  run0(h_memnew, {T("b"), I(9)});
  run0(h_memsetbytes, {T("b"), T("Plaintext")});
  EXPECT_EQ(N(h_strcryptrc4, {T("Key"), I(adr("b")), I(9)}), 9);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf("b")->data), 3), "\xbb\xf3\x16");
  EXPECT_EQ(N(h_strcryptrc4, {T("Key"), I(adr("b")), I(10)}), 0);
}
