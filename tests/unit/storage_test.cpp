// Streams, names, library archives and their commands.
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "storage/archive.h"
#include "storage/bound_archive.h"
#include "storage/archive_directory.h"
#include "storage/archive_writer.h"
#include "storage/membuf.h"
#include "storage/resource.h"
#include "storage/stream.h"
#include "vm/sysvars.h"
#include "vm_fixture.h"

using storage::ArchiveMember;
using storage::Stream;

namespace {

// Little-endian byte building for hand-made archives.
struct Bytes {
  std::string b;
  Bytes& u16(uint32_t v) {
    b += char(v & 0xff);
    b += char(v >> 8 & 0xff);
    return *this;
  }
  Bytes& u32(uint32_t v) {
    for (int i = 0; i < 4; i++) b += char(v >> (8 * i) & 0xff);
    return *this;
  }
  // A name field: the name, its NUL, zeros up to 13 bytes.
  Bytes& name(std::string_view n) {
    b += n;
    b.append(n.size() + 1 > 13 ? 1 : 13 - n.size(), '\0');
    return *this;
  }
  Bytes& raw(std::string_view s) {
    b += s;
    return *this;
  }
};

std::string build_archive(const std::vector<ArchiveMember>& members) {
  std::string out, error;
  EXPECT_TRUE(storage::write_archive(members, out, error)) << error;
  return out;
}

// A gzip member of `data` (zlib's own writer), with a file name when given.
std::string gzip_of(const std::string& data, const char* name = nullptr) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  gz_header h{};
  h.name = reinterpret_cast<Bytef*>(const_cast<char*>(name));
  if (name) deflateSetHeader(&z, &h);
  std::string out(deflateBound(&z, uLong(data.size())) + 64 + (name ? std::strlen(name) : 0), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace

class Storage : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    storage::storage_init();
    std::string templ = testing::TempDir() + "quillon_storage_XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir = templ;
    old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);  // bare names reach files of this test only
  }
  void TearDown() override {
    for (uint32_t h : streams) storage::stream_close(h);
    storage::archive_close_all();
    storage::set_own_archive(nullptr, 0);
    std::filesystem::current_path(old_cwd);
    std::filesystem::remove_all(dir);
    VmTest::TearDown();
  }

  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
  }
  // Keeps a stream for closing at the end of the test.
  uint32_t keep(uint32_t h) {
    if (h) streams.push_back(h);
    return h;
  }
  std::string read_all(uint32_t h, int64_t limit = 1 << 20) {
    std::string out(size_t(limit), '\0');
    int64_t n = storage::stream_read(h, out.data(), limit);
    out.resize(size_t(n > 0 ? n : 0));
    return out;
  }
  std::string open_text(std::string_view name) {
    uint32_t h = keep(storage::stream_open_read_gz(ctx, name));
    return h ? read_all(h) : "<none>";
  }
  // A memory buffer of `bytes` in the script variable `name`.
  uint32_t make_buffer(std::string_view name, const std::string& bytes) {
    int32_t dim = int32_t(bytes.size());
    uint32_t h = storage::membuf_new(&dim, 1);
    storage::MemBuf* m = storage::membuf_of(vm::Value::from_handle(h));
    std::memcpy(m->data, bytes.data(), bytes.size());
    vm::value_store(*vm::var_for_set(*ctx, text(name)), vm::Value::from_handle(h));
    vm::element_release(h);
    return h;
  }

  std::filesystem::path dir, old_cwd;
  std::vector<uint32_t> streams;
};

// --- archives and the order of resolution -------------------------------------

TEST_F(Storage, ArchiveMemberShadowsDiskFileUnlessDiskPrefix) {
  write("a.txt", "from disk");
  write("pack.vk", build_archive({{"A.TXT", "from archive"}}));
  EXPECT_EQ(open_text("a.txt"), "from disk");
  ASSERT_TRUE(storage::archive_open(ctx, "pack.vk"));
  EXPECT_EQ(open_text("a.txt"), "from archive");
  EXPECT_EQ(open_text("A.Txt"), "from archive");  // the gzip opener lower-cases the key
  EXPECT_EQ(open_text("vk:a.txt"), "from archive");
  EXPECT_EQ(open_text("disk:a.txt"), "from disk");
  // "vk:" never reaches the disk; name_exists takes the name as given.
  write("other.txt", "x");
  EXPECT_EQ(keep(storage::stream_open_read_gz(ctx, "vk:other.txt")), 0u);
  EXPECT_TRUE(storage::name_exists(ctx, "vk:a.txt"));
  EXPECT_FALSE(storage::name_exists(ctx, "vk:A.TXT"));
  EXPECT_FALSE(storage::name_exists(ctx, "vk:other.txt"));
  EXPECT_TRUE(storage::name_exists(ctx, "disk:other.txt"));
  // Archives are never written: creating a name makes a disk file.
  uint32_t c = keep(storage::stream_create(ctx, "a.txt"));
  EXPECT_EQ(storage::stream_write(c, "new", 3), 3);
  EXPECT_EQ(open_text("a.txt"), "from archive");
  EXPECT_EQ(open_text("disk:a.txt"), "new");
  // Closing the archives uncovers the disk file.
  storage::archive_close_all();
  EXPECT_EQ(open_text("a.txt"), "new");
}

TEST_F(Storage, NetworkNamesNeverFallThroughToDisk) {
  write("http:x", "disk file with a scheme-like name");
  EXPECT_EQ(keep(storage::stream_open_read_gz(ctx, "http:x")), 0u);
  EXPECT_EQ(keep(storage::stream_open_read(ctx, "HTTP:x")), 0u);
  EXPECT_EQ(keep(storage::stream_open_update(ctx, "http:x")), 0u);
  EXPECT_EQ(keep(storage::stream_create(ctx, "ftp:y")), 0u);
  EXPECT_FALSE(storage::name_exists(ctx, "http:x"));
  EXPECT_FALSE(std::filesystem::exists(dir / "ftp:y"));
}

TEST_F(Storage, DiskOpenersAndTheirLimits) {
  std::filesystem::create_directory("sub");
  EXPECT_EQ(keep(storage::stream_open_read(ctx, "sub")), 0u);  // a directory is no file
  EXPECT_TRUE(storage::name_exists(ctx, "sub"));
  EXPECT_EQ(keep(storage::stream_open_update(ctx, "missing.txt")), 0u);
  EXPECT_EQ(keep(storage::stream_open_read(ctx, std::string("a\0b", 3))), 0u);
  write("Mixed.TXT", "case kept");
  EXPECT_EQ(open_text("Mixed.TXT"), "case kept");  // disk paths keep their case on Linux
  // Update writes over the start of an existing file.
  write("u.txt", "abcdef");
  uint32_t u = keep(storage::stream_open_update(ctx, "u.txt"));
  EXPECT_EQ(storage::stream_write(u, "XY", 2), 2);
  EXPECT_EQ(open_text("u.txt"), "XYcdef");
  // A stream created write-only cannot read.
  uint32_t c = keep(storage::stream_create(ctx, "c.txt"));
  char b;
  EXPECT_EQ(storage::stream_read(c, &b, 1), 0);
}

TEST_F(Storage, FirstArchiveInKeyOrderWinsWhateverTheOpeningOrder) {
  write("one.vk", build_archive({{"same", "from one"}}));
  write("two.vk", build_archive({{"same", "from two"}}));
  // The collection is ordered by the key's text handle.
  auto expected = [&] {
    vm::Value one = text("one.vk"), two = text("two.vk");
    return one.bits < two.bits ? "from one" : "from two";
  };
  ASSERT_TRUE(storage::archive_open(ctx, "one.vk"));
  ASSERT_TRUE(storage::archive_open(ctx, "two.vk"));
  EXPECT_EQ(open_text("same"), expected());
  storage::archive_close_all();
  for (uint32_t h : owned) vm::element_release(h);
  owned.clear();
  // Pin the key handles the other way round, then open in the other order.
  text("two.vk");
  text("one.vk");
  ASSERT_TRUE(storage::archive_open(ctx, "two.vk"));
  ASSERT_TRUE(storage::archive_open(ctx, "one.vk"));
  EXPECT_EQ(open_text("same"), expected());
  EXPECT_NE(open_text("same"), "<none>");
  // Reopening under an existing key replaces that entry.
  write("one.vk", build_archive({{"other", "x"}}));
  ASSERT_TRUE(storage::archive_open(ctx, "one.vk"));
  EXPECT_EQ(open_text("same"), "from two");
}

TEST_F(Storage, ListsMembersInArchiveThenDirectoryOrder) {
  EXPECT_TRUE(storage::archive_list_members("*").is_null());
  write("p.vk", build_archive({{"b.txt", "1"}, {"a.txt", "2"}, {"c.gif", "3"}}));
  ASSERT_TRUE(storage::archive_open(ctx, "p.vk"));
  vm::Value list = storage::archive_list_members("*.TXT");
  EXPECT_EQ(vm::element_text(list), "b.txt\r\na.txt\r\n");
  vm::value_release(list);
  list = storage::archive_list_members("*.none");
  EXPECT_EQ(vm::element_text(list), "");
  EXPECT_FALSE(list.is_null());
  vm::value_release(list);
}

// --- the archive format ------------------------------------------------------

TEST_F(Storage, EntriesOfTwelveAndThirteenCharacterNames) {
  EXPECT_EQ(storage::directory_entry_size(12), 17u);
  EXPECT_EQ(storage::directory_entry_size(13), 18u);
  std::string a = build_archive({{"abcdefgh.txt", "12"}, {"abcdefghi.txt", "13"}});
  Bytes want;
  want.u16(17 + 18 + 17)              // D: two entries and the closing all-zero entry
      .u32(2 + 52)                    // offset of the first member
      .name("abcdefgh.txt")           // 12 characters + NUL = 13 bytes
      .u32(2 + 52 + 6)                // offset of the second member
      .name("abcdefghi.txt")          // 13 characters + NUL = 14 bytes
      .u32(0).name("")                // closing entry, counted in D
      .u32(2).raw("12")               // member: length, bytes
      .u32(2).raw("13");
  EXPECT_EQ(a, want.b);
  write("n.vk", a);
  ASSERT_TRUE(storage::archive_open(ctx, "n.vk"));
  EXPECT_EQ(open_text("abcdefgh.txt"), "12");
  EXPECT_EQ(open_text("abcdefghi.txt"), "13");
}

TEST_F(Storage, WriterRefusesWhatTheFormatCannotHold) {
  std::string out, error;
  EXPECT_FALSE(storage::write_archive({{"a", "1"}, {"A", "2"}}, out, error));
  EXPECT_NE(error.find("'a'"), std::string::npos);
  EXPECT_FALSE(storage::write_archive({{"", "1"}}, out, error));
  std::vector<ArchiveMember> many;
  for (int i = 0; i < 3854; i++) many.push_back({"m" + std::to_string(i), ""});
  EXPECT_TRUE(storage::write_archive(many, out, error)) << error;  // 3855 * 17 = 65535
  many.push_back({"one-more", ""});
  EXPECT_FALSE(storage::write_archive(many, out, error));
  EXPECT_NE(error.find("65535"), std::string::npos);
}

// Root directory -> C; C -> D; D -> C again (a cycle), D -> past the end.
TEST_F(Storage, ChainedDirectoriesAreFollowedOnceAndNeverPastTheEnd) {
  const uint32_t c = 2 + 3 * 17, d = c + 2 + 17 * 3, members = d + 2 + 17 * 4;
  Bytes a;
  a.u16(3 * 17)                                 // root directory
      .u32(members).name("one")                 //   member one
      .u32(c).name("")                          //   chain to C
      .u32(0).name("")                          //   closing entry
      .u16(3 * 17)                              // C
      .u32(members + 5).name("two")             //   member two
      .u32(d).name("")                          //   chain to D
      .u32(c).name("")                          //   chain to itself: not followed
      .u16(4 * 17)                              // D
      .u32(c).name("")                          //   back to C: not followed
      .u32(0xfffffff0).name("")                 //   past the end: not followed
      .u32(members + 10).name("three")          //   member three
      .u32(0x7fffffff).name("far")              //   member past the end: dropped
      .u32(1).raw("1")                          // members: length, bytes
      .u32(1).raw("2")
      .u32(1).raw("3");
  ASSERT_EQ(a.b.size(), members + 15);
  storage::ArchiveReader read = [&](int64_t at, void* out, int64_t n) -> int64_t {
    n = std::min<int64_t>(n, int64_t(a.b.size()) - at);
    std::memcpy(out, a.b.data() + at, size_t(n));
    return n;
  };
  std::vector<storage::DirectoryEntry> entries = storage::read_directory(read, int64_t(a.b.size()));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "one");
  EXPECT_EQ(entries[1].name, "two");
  EXPECT_EQ(entries[2].name, "three");

  write("chain.vk", a.b);
  ASSERT_TRUE(storage::archive_open(ctx, "chain.vk"));
  EXPECT_EQ(open_text("one") + open_text("two") + open_text("three"), "123");
  EXPECT_EQ(open_text("vk:far"), "<none>");
}

TEST_F(Storage, DamagedDirectoriesAreReadAsFarAsTheyGo) {
  storage::ArchiveReader read;
  std::string bytes;
  read = [&](int64_t at, void* out, int64_t n) -> int64_t {
    n = std::min<int64_t>(n, int64_t(bytes.size()) - at);
    if (n <= 0) return 0;
    std::memcpy(out, bytes.data() + at, size_t(n));
    return n;
  };
  // D claims more than the file holds; the last name has no NUL inside.
  bytes = Bytes().u16(1000).u32(40).name("ok").u32(40).raw("cut-name").b;
  auto entries = storage::read_directory(read, int64_t(bytes.size()));
  EXPECT_TRUE(entries.empty());  // "ok" points past the end; "cut-name" is unterminated
  bytes = Bytes().u16(17).u32(19).name("ok").u32(3).raw("abc").b;
  entries = storage::read_directory(read, int64_t(bytes.size()));
  ASSERT_EQ(entries.size(), 1u);
  // A member whose length passes the end cannot be opened.
  bytes = Bytes().u16(17).u32(19).name("long").u32(100).raw("abc").b;
  write("bad.vk", bytes);
  ASSERT_TRUE(storage::archive_open(ctx, "bad.vk"));
  EXPECT_EQ(keep(storage::archive_find_member("long", true, false)), 0u);
  // Any readable name opens as an archive, even with no directory.
  write("empty.vk", "");
  EXPECT_TRUE(storage::archive_open(ctx, "empty.vk"));
  EXPECT_FALSE(storage::archive_open(ctx, "missing.vk"));
}

TEST_F(Storage, ReadingAMemberNeverPassesItsLength) {
  write("p.vk", build_archive({{"a", "AAAA"}, {"b", "BBBB"}}));
  ASSERT_TRUE(storage::archive_open(ctx, "p.vk"));
  uint32_t h = keep(storage::archive_find_member("a", true, false));
  ASSERT_NE(h, 0u);
  EXPECT_EQ(read_all(h), "AAAA");
  EXPECT_EQ(read_all(h), "");
  EXPECT_EQ(storage::stream_seek(h, -2, 2), 2);
  EXPECT_EQ(read_all(h), "AA");
  EXPECT_EQ(storage::stream_seek(h, 100, 0), 4);  // clamped to the size
  EXPECT_EQ(read_all(h), "");
  // A member stream outlives the closing of its archive.
  storage::archive_close_all();
  EXPECT_EQ(storage::stream_seek(h, 1, 0), 1);
  EXPECT_EQ(read_all(h), "AAA");
  // Writing through a member of a read-only archive does nothing.
  ASSERT_TRUE(storage::archive_open(ctx, "p.vk"));
  uint32_t u = keep(storage::stream_open_update(ctx, "b"));
  ASSERT_NE(u, 0u);
  EXPECT_EQ(storage::stream_write(u, "zz", 2), 0);
  EXPECT_EQ(open_text("a") + open_text("b"), "AAAABBBB");
}

// --- seeking -------------------------------------------------------------------

TEST_F(Storage, SeekOriginsAndClamping) {
  write("s.txt", "0123456789");
  // Disk file: the size is unknown until a seek to the end learns it.
  uint32_t h = keep(storage::stream_open_read(ctx, "s.txt"));
  EXPECT_EQ(storage::stream_of(h)->size, -1);
  EXPECT_EQ(storage::stream_seek(h, 3, 0), 3);
  EXPECT_EQ(storage::stream_seek(h, 2, 1), 5);
  EXPECT_EQ(storage::stream_seek(h, -4, 1), 1);
  EXPECT_EQ(storage::stream_seek(h, 0, 2), 10);
  EXPECT_EQ(storage::stream_of(h)->size, 10);
  EXPECT_EQ(storage::stream_seek(h, -3, 2), 7);
  EXPECT_EQ(read_all(h), "789");
  // Known size: targets are clamped to [0, size].
  EXPECT_EQ(storage::stream_seek(h, -50, 1), 0);
  EXPECT_EQ(storage::stream_seek(h, 50, 2), 10);
  EXPECT_EQ(storage::stream_seek(h, 1, 7), -1);  // no such origin
  EXPECT_EQ(storage::stream_of(h)->position, 10);
  // A member in the middle of an archive seeks within its own bytes.
  write("p.vk", build_archive({{"x", "xxxx"}, {"m", "abcdef"}, {"y", "yyyy"}}));
  ASSERT_TRUE(storage::archive_open(ctx, "p.vk"));
  uint32_t m = keep(storage::stream_open_read(ctx, "m"));
  EXPECT_EQ(storage::stream_seek(m, -2, 2), 4);
  EXPECT_EQ(read_all(m), "ef");
  EXPECT_EQ(storage::stream_seek(m, -100, 2), 0);
  EXPECT_EQ(read_all(m, 2), "ab");
  EXPECT_EQ(storage::stream_seek(m, 1, 1), 3);
  EXPECT_EQ(read_all(m), "def");
}

// --- gzip ----------------------------------------------------------------------

TEST_F(Storage, GzipIsInflatedOnOpenOnlyWhenSwitchedOn) {
  std::string text_data;
  for (int i = 0; i < 5000; i++) text_data += "line " + std::to_string(i) + "\n";
  std::string gz = gzip_of(text_data, "Orig.TXT");
  write("p.vk", build_archive({{"t.gz", gz}}));
  write("disk.gz", gz);
  ASSERT_TRUE(storage::archive_open(ctx, "p.vk"));
  for (const char* name : {"t.gz", "disk.gz"}) {
    uint32_t h = keep(storage::stream_open_read_gz(ctx, name));
    ASSERT_NE(h, 0u) << name;
    Stream* s = storage::stream_of(h);
    EXPECT_EQ(s->inflated, 1);
    EXPECT_EQ(s->size, int64_t(text_data.size()));
    EXPECT_EQ(vm::element_text(s->name), "Orig.TXT");
    EXPECT_EQ(read_all(h), text_data);
  }
  vm::sysvar_set_int(*ctx, vm::SV_var_filegzip, 0);
  EXPECT_EQ(open_text("t.gz"), gz);
  EXPECT_EQ(open_text("disk.gz").substr(0, 2), "\x1f\x8b");
  // stream_open_read never inflates.
  vm::sysvar_set_int(*ctx, vm::SV_var_filegzip, 1);
  EXPECT_EQ(read_all(keep(storage::stream_open_read(ctx, "t.gz"))), gz);
  // An archive may itself be gzip-compressed.
  write("packed.vk.gz", gzip_of(build_archive({{"inner", "deep"}})));
  ASSERT_TRUE(storage::archive_open(ctx, "packed.vk.gz"));
  EXPECT_EQ(open_text("inner"), "deep");
}

TEST_F(Storage, DamagedGzipIsReturnedRaw) {
  std::string data(3000, 'q');
  std::string good = gzip_of(data);
  auto raw_back = [&](const std::string& bytes) {
    write("x.gz", bytes);
    uint32_t h = keep(storage::stream_open_read_gz(ctx, "x.gz"));
    EXPECT_EQ(storage::stream_of(h)->inflated, 0);
    EXPECT_EQ(storage::stream_of(h)->position, 0);
    return read_all(h) == bytes;
  };
  std::string bad_crc = good;
  bad_crc[bad_crc.size() - 8] ^= 1;
  EXPECT_TRUE(raw_back(bad_crc));
  std::string bad_size = good;
  bad_size[bad_size.size() - 1] ^= 1;
  EXPECT_TRUE(raw_back(bad_size));
  EXPECT_TRUE(raw_back(good.substr(0, good.size() - 3)));   // trailer cut
  EXPECT_TRUE(raw_back(good.substr(0, good.size() / 2)));   // deflate data cut
  std::string corrupt = good;
  corrupt[10] = char(0xff);                                  // an invalid block type
  EXPECT_TRUE(raw_back(corrupt));
  EXPECT_TRUE(raw_back("\x1f\x8b"));                          // header cut
  // FEXTRA longer than 8192 bytes fails; at most 8192 is skipped.
  std::string extra = good;
  extra[3] = 4;                                              // FLG: FEXTRA
  std::string too_long = extra.substr(0, 10) + Bytes().u16(8193).b + std::string(8193, 'e') + good.substr(10);
  EXPECT_TRUE(raw_back(too_long));
  std::string fits = extra.substr(0, 10) + Bytes().u16(8192).b + std::string(8192, 'e') + good.substr(10);
  write("fits.gz", fits);
  EXPECT_EQ(open_text("fits.gz"), data);
}

TEST_F(Storage, LongGzipFileNameIsCutTo1023Bytes) {
  std::string name(2000, 'n');
  write("l.gz", gzip_of("body", name.c_str()));
  uint32_t h = keep(storage::stream_open_read_gz(ctx, "l.gz"));
  EXPECT_EQ(vm::element_text(storage::stream_of(h)->name), name.substr(0, 1023));
  EXPECT_EQ(read_all(h), "body");
}

// --- memory buffers ----------------------------------------------------------

TEST_F(Storage, MemNamesFindTheLowerCasedVariable) {
  make_buffer("buf", "hello");
  EXPECT_EQ(open_text("mem:Buf"), "hello");
  EXPECT_EQ(read_all(keep(storage::stream_open_read(ctx, "mem:buf"))), "hello");
  EXPECT_TRUE(storage::name_exists(ctx, "MEM:BUF"));
  EXPECT_FALSE(storage::name_exists(ctx, "mem:none"));
  write("mem:none", "disk");
  EXPECT_EQ(keep(storage::stream_open_read(ctx, "mem:none")), 0u);  // never the disk
  EXPECT_EQ(keep(storage::stream_create(ctx, "mem:none")), 0u);
  // Writing past the end grows the buffer the variable holds.
  uint32_t w = keep(storage::stream_create(ctx, "mem:BUF"));
  ASSERT_NE(w, 0u);
  EXPECT_EQ(storage::stream_seek(w, 3, 0), 3);
  EXPECT_EQ(storage::stream_write(w, "p me", 4), 4);
  storage::MemBuf* m = storage::membuf_of(var("buf"));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m->data), size_t(m->size)), "help me");
  // The running context stands in for a missing one.
  vm::interp_current = ctx;
  EXPECT_EQ(read_all(keep(storage::stream_open_read(nullptr, "mem:buf"))), "help me");
}

TEST_F(Storage, ShrunkBufferBoundsAnOpenStream) {
  uint32_t buf = make_buffer("b", "12345678");
  uint32_t h = keep(storage::stream_open_read(ctx, "mem:b"));
  EXPECT_EQ(storage::stream_of(h)->size, 8);
  ASSERT_TRUE(storage::membuf_resize(buf, 3));
  EXPECT_EQ(read_all(h), "123");
  ASSERT_TRUE(storage::membuf_resize(buf, 0));
  EXPECT_EQ(storage::stream_seek(h, 0, 0), 0);
  EXPECT_EQ(read_all(h), "");
  EXPECT_FALSE(storage::membuf_resize(buf, int64_t(1) << 31));
}

// --- resources -----------------------------------------------------------------

TEST_F(Storage, ResourceNamesSplitIntoFileNameAndType) {
  auto split = [](std::string_view s) {
    storage::ResourceName r = storage::resource_name_split(s);
    return r.file + "|" + r.name + "|" + r.type_text + "|" + std::to_string(r.type_number);
  };
  EXPECT_EQ(split(""), "|VK||10");
  EXPECT_EQ(split("pack.dll"), "pack.dll|VK||10");
  EXPECT_EQ(split(":INTRO"), "|INTRO||10");
  EXPECT_EQ(split("pack.dll:INTRO"), "pack.dll|INTRO||10");
  EXPECT_EQ(split("C:\\x\\pack.dll"), "C:\\x\\pack.dll|VK||10");  // a drive letter is no split
  EXPECT_EQ(split("C:\\x\\pack.dll:INTRO:BITMAP"), "C:\\x\\pack.dll|INTRO|BITMAP|2");
  EXPECT_EQ(split("p:INTRO:bitmap"), "p|INTRO|bitmap|0");  // types compare case-sensitively
  EXPECT_EQ(split("pack:"), "pack|VK||10");
  EXPECT_EQ(split("p:"), "p:|VK||10");  // a letter and a colon read as a drive
  EXPECT_EQ(storage::resource_type_number("GROUPICON"), 14);
  EXPECT_EQ(storage::resource_type_number("HTML"), 23);
}

TEST_F(Storage, ResourcesAreTheOwnArchiveOrOneBoundToAnExecutable) {
  EXPECT_EQ(keep(storage::stream_open_read(ctx, "resource:")), 0u);  // none registered
  static const std::string own = build_archive({{"startup", "own start"}, {"intro", "own intro"}});
  storage::set_own_archive(reinterpret_cast<const uint8_t*>(own.data()), own.size());
  EXPECT_EQ(open_text("resource:"), own);
  EXPECT_EQ(open_text("resource::INTRO"), "own intro");
  EXPECT_EQ(open_text("resource::intro:BITMAP"), "own intro");  // any type: by name
  EXPECT_EQ(open_text("resource::nothing"), "<none>");

  // A bound program: executable bytes, archive, "QNVKBIND", 64-bit length.
  std::string carried = build_archive({{"startup", "bound start"}});
  write("prog", "\x7f" "ELF...program bytes..." + carried +
                    Bytes().raw("QNVKBIND").u32(uint32_t(carried.size())).u32(0).b);
  std::string got;
  ASSERT_TRUE(storage::read_bound_archive("prog", got));
  EXPECT_EQ(got, carried);
  EXPECT_EQ(open_text("resource:prog"), carried);
  EXPECT_EQ(open_text("resource:prog:STARTUP"), "bound start");
  // A trailer whose length passes the file, and a file with no trailer.
  write("liar", "abc" + Bytes().raw("QNVKBIND").u32(1000).u32(0).b);
  EXPECT_FALSE(storage::read_bound_archive("liar", got));
  EXPECT_FALSE(storage::read_bound_archive("prog-missing", got));
  EXPECT_EQ(open_text("resource:liar"), "<none>");

  // The own archive opened as an archive: its members become names.
  ASSERT_TRUE(storage::archive_open(ctx, "resource:"));
  EXPECT_EQ(open_text("vk:startup"), "own start");
}

// --- commands ------------------------------------------------------------------

TEST_F(Storage, VkOpenCountsVkCloseAndVkReset) {
  write("a.vk", build_archive({{"from-a", "a"}}));
  write("b.vk", build_archive({{"from-b", "b"}}));
  run(R"(TAIL "b.vk" "a.vk" vkopen CALL)");
  EXPECT_EQ(int_at(0), 2);
  EXPECT_EQ(open_text("from-a") + open_text("from-b"), "ab");
  run(R"(TAIL 5 vkclose CALL  TAIL "missing.vk" "a.vk" vkopen CALL  TAIL vkopen CALL)");
  EXPECT_EQ(int_at(0), 0);
  EXPECT_EQ(int_at(1), 1);
  EXPECT_EQ(open_text("from-b"), "<none>");
  static const std::string own = build_archive({{"startup", "s"}});
  storage::set_own_archive(reinterpret_cast<const uint8_t*>(own.data()), own.size());
  run("TAIL vkreset CALL");
  EXPECT_EQ(open_text("from-a"), "<none>");
  EXPECT_EQ(open_text("vk:startup"), "s");
}

TEST_F(Storage, ClosingEverythingFreesEveryElement) {
  write("p.vk", build_archive({{"m.gz", gzip_of("inflated")}, {"n", "plain"}}));
  make_buffer("buf", "xyz");
  uint32_t before = vm::g_elements.live;
  ASSERT_TRUE(storage::archive_open(ctx, "p.vk"));
  uint32_t a = storage::stream_open_read_gz(ctx, "m.gz");
  uint32_t b = storage::stream_open_read_gz(ctx, "mem:buf");
  EXPECT_EQ(read_all(a), "inflated");
  vm::value_release(storage::archive_list_members("*"));
  storage::archive_close_all();
  EXPECT_EQ(read_all(b), "xyz");
  storage::stream_close(a);
  storage::stream_close(b);
  EXPECT_EQ(vm::g_elements.live, before);
}
