// The byte-order loads and the bounded reader: each width and byte order,
// reads at and past the end, and sub-readers.
#include "base/bytes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

TEST(Bytes, ReaderReadsEachWidthAndStopsAtTheEnd) {
  const uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B};
  struct Case {
    size_t start;  // bytes skipped first
    int width;     // 1, 2, 4, 8; negative: big-endian
    uint64_t want;
    bool ok;
  };
  const Case cases[] = {
      {0, 1, 0x01, true},
      {10, 1, 0x0B, true},
      {11, 1, 0, false},
      {0, 2, 0x0201, true},
      {9, 2, 0x0B0A, true},
      {10, 2, 0, false},
      {0, -2, 0x0102, true},
      {0, 4, 0x04030201, true},
      {7, 4, 0x0B0A0908, true},
      {8, 4, 0, false},
      {0, -4, 0x01020304, true},
      {0, 8, 0x0807060504030201, true},
      {3, 8, 0x0B0A090807060504, true},
      {4, 8, 0, false},
  };
  for (const Case& c : cases) {
    base::ByteReader in(data, sizeof data);
    ASSERT_TRUE(in.skip(c.start));
    uint64_t got = c.width == 1 ? in.u8() : c.width == 2 ? in.u16() : c.width == -2 ? in.u16be()
                 : c.width == 4 ? in.u32() : c.width == -4 ? in.u32be() : in.u64();
    SCOPED_TRACE(testing::Message() << "start " << c.start << " width " << c.width);
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(in.ok(), c.ok);
    // A failed read leaves the reader at the end, failed for good.
    EXPECT_EQ(in.remaining(), c.ok ? sizeof data - c.start - size_t(std::abs(c.width)) : 0u);
    if (!c.ok) {
      EXPECT_EQ(in.u8(), 0u);
      EXPECT_TRUE(in.failed());
    }
  }

  base::ByteReader in(data, sizeof data);
  base::ByteReader sub = in.sub(3);
  EXPECT_EQ(in.position(), 3u);
  EXPECT_EQ(sub.u16(), 0x0201u);
  EXPECT_EQ(sub.u16(), 0u);
  EXPECT_TRUE(sub.failed());
  EXPECT_EQ(in.take(8), data + 3);
  EXPECT_EQ(in.take(1), nullptr);
  EXPECT_FALSE(in.ok());

  base::ByteReader tail(data + 10, 1);
  uint8_t b = 0;
  EXPECT_TRUE(tail.next(b));
  EXPECT_EQ(b, 0x0B);
  EXPECT_FALSE(tail.next(b));
  EXPECT_TRUE(tail.ok());  // the end of a stream is not a failure

  std::vector<uint8_t> out;
  base::append_le16(out, 0x0201);
  base::append_le32(out, 0x06050403);
  base::append_le64(out, 0x0E0D0C0B0A090807);
  ASSERT_EQ(out.size(), 14u);
  for (size_t i = 0; i < out.size(); i++) EXPECT_EQ(out[i], i + 1);
  EXPECT_EQ(base::load_le16s(data), 0x0201);
  EXPECT_EQ(base::load_be16(data), 0x0102u);
}

}  // namespace
