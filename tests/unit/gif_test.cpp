// The GIF codec: round trips at every depth, palette reduction, transparency,
// interlaced and animated files, and damaged files that must end cleanly
// with what was read. Files written here are also read by ImageMagick when
// it is installed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "graphics/gif.h"
#include "graphics/image.h"
#include "vm_fixture.h"

namespace gif = gfx::gif;
using Bytes = std::vector<uint8_t>;

namespace {

// Hand-made files: blocks appended in order; tables hold 2 << bits entries.
struct Builder {
  Bytes b{'G', 'I', 'F', '8', '9', 'a'};
  void put16(int v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
  uint8_t table(const std::vector<uint32_t>& t) {  // the flag bits of a table
    int bits = 0;
    while ((size_t(2) << bits) < t.size()) bits++;
    return t.empty() ? 0 : uint8_t(0x80 | bits);
  }
  void put_table(const std::vector<uint32_t>& t) {
    for (uint32_t c : t) b.insert(b.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
  }
  Builder(int w, int h, const std::vector<uint32_t>& global = {}) {
    for (int v : {w, h}) put16(v);
    b.insert(b.end(), {uint8_t(table(global) | 0x70), 0, 0});
    put_table(global);
  }
  Builder& gce(int flags, int delay, int index) {
    b.insert(b.end(), {0x21, 0xF9, 4, uint8_t(flags), uint8_t(delay), uint8_t(delay >> 8), uint8_t(index), 0});
    return *this;
  }
  // `data`: the minimum code size and the sub-blocks.
  Builder& frame(int left, int top, int w, int h, const Bytes& data, int flags = 0,
                 const std::vector<uint32_t>& local = {}) {
    b.push_back(0x2C);
    for (int v : {left, top, w, h}) put16(v);
    b.push_back(uint8_t(flags | table(local)));
    put_table(local);
    b.insert(b.end(), data.begin(), data.end());
    return *this;
  }
  Bytes end() {
    b.push_back(0x3B);
    return b;
  }
};

Bytes lzw(const Bytes& pixels, int min_size) {
  Bytes out{uint8_t(min_size)};
  Bytes data = gif::lzw_encode(pixels.data(), pixels.size(), min_size);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// LZW data packed by hand from (code, width) pairs, in one sub-block.
Bytes codes(int min_size, std::initializer_list<std::pair<int, int>> list, bool terminate = true) {
  Bytes data;
  uint32_t bits = 0;
  int n = 0;
  for (auto [code, width] : list) {
    bits |= uint32_t(code) << n;
    for (n += width; n >= 8; n -= 8, bits >>= 8) data.push_back(uint8_t(bits));
  }
  if (n > 0) data.push_back(uint8_t(bits));
  Bytes out{uint8_t(min_size), uint8_t(data.size())};
  out.insert(out.end(), data.begin(), data.end());
  if (terminate) out.push_back(0);
  return out;
}

gif::Picture read(const Bytes& b, int64_t limit = gif::kMaxTotalPixels) { return gif::read(b.data(), b.size(), limit); }

// The colour of pixel k of the first frame.
uint32_t colour(const gif::Picture& pic, size_t k) { return pic.frames.at(0).palette.at(pic.frames[0].indices.at(k)); }

Bytes noise(size_t n, int values, uint32_t seed) {
  Bytes out(n);
  for (uint8_t& v : out) {
    seed = seed * 1103515245u + 12345u;
    v = uint8_t((seed >> 16) % uint32_t(values));
  }
  return out;
}

}  // namespace

class Gif : public VmTest {
 protected:
  gfx::Image* make(int w, int h, int bits) {
    uint32_t handle = gfx::image_create(w, h, bits, nullptr, nullptr);
    handles.push_back(handle);
    return gfx::image_of(handle);
  }
  uint32_t keep(uint32_t handle) {
    if (handle) handles.push_back(handle);
    return handle;
  }
  void TearDown() override {
    for (uint32_t h : handles) vm::element_release(h);
    VmTest::TearDown();
  }
  std::vector<uint32_t> handles;
};

TEST_F(Gif, IndexedImagesKeepTheirIndicesAndPalette) {
  for (int bits : {1, 4, 8}) {
    SCOPED_TRACE(bits);
    // 8 bits: noise over 256 distinct entries fills the code table, so the
    // encoder's clear codes and all code widths are crossed.
    const int w = bits == 8 ? 301 : 37, h = bits == 8 ? 67 : 23;
    gfx::Image* img = make(w, h, bits);
    if (bits == 8)
      for (uint32_t i = 0; i < 256; i++) img->palette[i] = i << 16 | (255 - i) << 8 | (i * 7 & 255);
    Bytes px = noise(size_t(w) * h, 1 << bits, uint32_t(bits));
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) gfx::set_pixel(*img, x, y, img->palette[px[size_t(y * w + x)]]);
    Bytes file = gif::write(*img);
    gif::Picture pic = read(file);
    EXPECT_EQ(pic.error, "");
    ASSERT_EQ(pic.frames.size(), 1u);
    const gif::Frame& f = pic.frames[0];
    EXPECT_TRUE(f.complete);
    EXPECT_EQ(f.indices, px);
    ASSERT_EQ(f.palette.size(), size_t(1) << bits);
    for (size_t i = 0; i < f.palette.size(); i++) EXPECT_EQ(f.palette[i], img->palette[i]);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF87a");
    // The image layer's view: black and white stays 1 bit.
    gif::FrameImage fi = gif::frame_to_image(f, nullptr).value();
    keep(fi.image);
    EXPECT_EQ(gfx::image_of(fi.image)->bits, bits == 1 ? 1 : 8);
    EXPECT_EQ(gfx::get_pixel(*gfx::image_of(fi.image), w - 1, 0), gfx::get_pixel(*img, w - 1, 0));
  }
}

TEST_F(Gif, DirectColourPicturesGetTheirExactColoursOrAMedianCut) {
  gfx::Image* few = make(5, 3, 24);
  const uint32_t three[3] = {0x102030, 0xFF8800, 0x00FF7F};
  for (int y = 0; y < 3; y++)
    for (int x = 0; x < 5; x++) gfx::set_pixel(*few, x, y, three[(x + y) % 3]);
  Bytes file = gif::write(*few);
  EXPECT_EQ(file[10], 0xF1);          // a table of 4 entries
  EXPECT_EQ(file[13 + 12 + 10], 2);   // minimum code size 2, after the descriptor
  gif::Picture pic = read(file);
  for (int k = 0; k < 15; k++) EXPECT_EQ(colour(pic, size_t(k)), three[(k % 5 + k / 5) % 3]);
  // A transparent colour: GIF89a, and only those pixels take the transparent index.
  file = gif::write(*few, {.transparent_colour = 0xFF8800});
  EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF89a");
  pic = read(file);
  for (int k = 0; k < 15; k++) EXPECT_EQ(pic.frames[0].indices[size_t(k)] == pic.frames[0].transparent, (k % 5 + k / 5) % 3 == 1);

  // Exactly 256 colours, 32 bits: still exact.
  gfx::Image* full = make(16, 16, 32);
  for (int i = 0; i < 256; i++) gfx::set_pixel(*full, i % 16, i / 16, uint32_t(i) * 0x010307u);
  pic = read(gif::write(*full));
  for (int i = 0; i < 256; i++) EXPECT_EQ(colour(pic, size_t(i)), (uint32_t(i) * 0x010307u) & 0xFFFFFF);

  // A smooth 64 x 64 gradient of 4096 colours comes back close.
  gfx::Image* grad = make(64, 64, 24);
  for (int y = 0; y < 64; y++)
    for (int x = 0; x < 64; x++) gfx::set_pixel(*grad, x, y, uint32_t(x * 4) << 16 | uint32_t(y * 4) << 8 | uint32_t((x + y) * 2));
  pic = read(gif::write(*grad));
  int worst = 0;
  for (int k = 0; k < 64 * 64; k++) {
    uint32_t a = gfx::get_pixel(*grad, k % 64, k / 64), b = colour(pic, size_t(k));
    for (int s = 0; s <= 16; s += 8) worst = std::max(worst, std::abs(int(a >> s & 255) - int(b >> s & 255)));
  }
  EXPECT_LE(worst, 24);
}

TEST_F(Gif, PaletteReductionMergesRepeatedEntriesButNotTheTransparentOne) {
  gfx::Image* img = make(4, 1, 8);
  for (int i = 0; i < 256; i++) img->palette[i] = i < 200 ? 0x123456 : uint32_t(i);
  for (int x = 0; x < 4; x++) img->row(0)[x] = uint8_t(x == 3 ? 255 : x * 50);  // 0, 50, 100 share a colour
  gif::Picture pic = read(gif::write(*img));
  ASSERT_EQ(pic.frames.size(), 1u);
  EXPECT_EQ(pic.frames[0].palette.size(), 64u);  // 57 distinct colours
  EXPECT_EQ(pic.frames[0].indices, (Bytes{0, 0, 0, 56}));

  // A colours-used count of 3 that the pixels do not exceed: b = 2.
  gfx::Image* small = make(3, 1, 8);
  for (int x = 0; x < 3; x++) small->row(0)[x] = uint8_t(x);
  Bytes file = gif::write(*small, {.colours = 3});
  EXPECT_EQ(file[10], 0xF1);
  // The count is raised to cover the pixels.
  small->row(0)[2] = 9;
  EXPECT_EQ(read(gif::write(*small, {.colours = 3})).frames[0].indices, (Bytes{0, 1, 9}));

  // Entry 7 has entry 0's colour but is transparent: it keeps its own index.
  small->palette[7] = small->palette[0];
  small->row(0)[2] = 7;
  pic = read(gif::write(*small, {.transparent_index = 7}));
  ASSERT_EQ(pic.frames.size(), 1u);
  const gif::Frame& f = pic.frames[0];
  EXPECT_EQ(f.transparent, f.indices[2]);
  EXPECT_NE(f.indices[0], f.indices[2]);
  gif::FrameImage fi = gif::frame_to_image(f, nullptr).value();
  keep(fi.image);
  ASSERT_NE(keep(fi.mask), 0u);
  EXPECT_EQ(gfx::image_of(fi.mask)->row(0)[0], 0x20);  // only the third pixel
}

TEST_F(Gif, InterlacedRowsAreTakenToTheirPlace) {
  // Row y holds the value y; the data lists rows in the order of the passes.
  Bytes data;
  for (int y : {0, 8, 4, 2, 6, 1, 3, 5, 7, 9}) data.insert(data.end(), 3, uint8_t(y));
  std::vector<uint32_t> grey;
  for (uint32_t i = 0; i < 16; i++) grey.push_back(i * 0x111111);
  gif::Picture pic = read(Builder(3, 10, grey).frame(0, 0, 3, 10, lzw(data, 4), 0x40).end());
  EXPECT_EQ(pic.error, "");
  ASSERT_EQ(pic.frames.size(), 1u);
  EXPECT_TRUE(pic.frames[0].interlaced);
  for (int y = 0; y < 10; y++) EXPECT_EQ(pic.frames[0].indices[size_t(y * 3 + 1)], y);
}

TEST_F(Gif, AnimationKeepsOffsetsDelaysTablesAndTransparencyPerFrame) {
  const std::vector<uint32_t> global{0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  const std::vector<uint32_t> local{0xFFFFFF, 0x000000, 0x808080, 0x404040};
  // Frames larger than the screen or reaching past it are kept whole.
  Bytes file = Builder(8, 8, global)
                   .gce(0x01 | 2 << 2, 0, 3)
                   .frame(1, 2, 2, 2, lzw({0, 1, 2, 3}, 2))
                   .gce(0x00, 10, 1)
                   .frame(6, 7, 4, 3, lzw(Bytes(12, 2), 2), 0, local)
                   .frame(0, 0, 9, 9, lzw(Bytes(81, 1), 2))
                   .end();
  gif::Picture pic = read(file);
  EXPECT_EQ(pic.error, "");
  EXPECT_EQ(pic.screen_width, 8);
  ASSERT_EQ(pic.frames.size(), 3u);
  const gif::Frame &a = pic.frames[0], &b = pic.frames[1], &c = pic.frames[2];
  EXPECT_EQ(std::make_pair(a.left, a.top), std::make_pair(1, 2));
  EXPECT_EQ(a.transparent, 3);
  EXPECT_EQ(a.disposal, 2);
  EXPECT_EQ(a.delay_cs, 0);
  EXPECT_EQ(a.delay, gif::kMinimumDelay);  // 0 and 1 play for 1/30 s
  EXPECT_EQ(b.transparent, -1);            // not flagged
  EXPECT_EQ(b.delay, (uint64_t(10) << 32) / 100);
  EXPECT_EQ(b.palette, local);
  EXPECT_EQ(std::make_pair(b.width, b.height), std::make_pair(4, 3));
  EXPECT_EQ(c.delay_cs, -1);  // the extension applies to one image only
  EXPECT_EQ(c.delay, 0u);
  EXPECT_EQ(c.palette, global);
  EXPECT_EQ(c.indices, Bytes(81, 1));

  gif::FrameImage fi = gif::frame_to_image(a, nullptr).value();
  keep(fi.image);
  keep(fi.mask);
  EXPECT_EQ(gfx::image_of(fi.image)->st.off_x, 1);
  EXPECT_EQ(gfx::image_of(fi.image)->st.off_y, 2);
  EXPECT_EQ(gfx::get_pixel(*gfx::image_of(fi.mask), 1, 1), 0xFFFFFFu);  // index 3: transparent
  EXPECT_EQ(gfx::get_pixel(*gfx::image_of(fi.mask), 0, 1), 0u);
  EXPECT_EQ(fi.delay, gif::kMinimumDelay);
}

TEST_F(Gif, WhiteThenBlackTableMakesAOneBitImageWithPixelsInverted) {
  gif::Picture pic = read(Builder(3, 1, {0xFFFFFF, 0x000000}).frame(0, 0, 3, 1, lzw({0, 1, 3}, 2)).end());
  ASSERT_EQ(pic.frames.size(), 1u);
  gif::FrameImage fi = gif::frame_to_image(pic.frames[0], nullptr).value();
  gfx::Image* img = gfx::image_of(keep(fi.image));
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->bits, 1);
  EXPECT_EQ(img->palette[0], 0u);
  EXPECT_EQ(img->row(0)[0], 0x80);  // white, black, and black for a value beyond the table
}

TEST_F(Gif, BadCodeDataEndsTheFrameWithWhatWasDecoded) {
  const std::vector<uint32_t> pal{0, 0xFFFFFF, 0xFF0000, 0x00FF00};
  // Min size 2: clear 4, end 5. Literals 1, 1, 0 make entries 6 and 7;
  // 9 is beyond the next free entry (8).
  gif::Picture pic = read(Builder(4, 2, pal).gce(1, 0, 3).frame(0, 0, 4, 2, codes(2, {{4, 3}, {1, 3}, {1, 3}, {0, 3}, {9, 4}})).end());
  EXPECT_EQ(pic.error, "code not in the table");
  ASSERT_EQ(pic.frames.size(), 1u);
  EXPECT_FALSE(pic.frames[0].complete);
  EXPECT_EQ(pic.frames[0].indices, (Bytes{1, 1, 0, 3, 3, 3, 3, 3}));  // the rest transparent

  // A code that repeats the previous string (the next free entry) is valid.
  pic = read(Builder(4, 1, pal).frame(0, 0, 4, 1, codes(2, {{4, 3}, {2, 3}, {6, 3}, {1, 3}, {5, 3}})).end());
  EXPECT_EQ(pic.error, "");
  EXPECT_EQ(pic.frames[0].indices, (Bytes{2, 2, 2, 1}));

  // After a clear code only single-pixel codes may follow.
  pic = read(Builder(2, 1, pal).frame(0, 0, 2, 1, codes(2, {{4, 3}, {6, 3}})).end());
  EXPECT_EQ(pic.error, "code not in the table");
  EXPECT_EQ(pic.frames[0].indices, (Bytes{0, 0}));

  // No end code: the sub-blocks stop first; all pixels there: no fault at all.
  pic = read(Builder(3, 1, pal).frame(0, 0, 3, 1, codes(2, {{4, 3}, {1, 3}})).end());
  EXPECT_EQ(pic.error, "image data without end code");
  EXPECT_EQ(pic.frames[0].indices, (Bytes{1, 0, 0}));
  pic = read(Builder(2, 1, pal).frame(0, 0, 2, 1, codes(2, {{1, 3}, {2, 3}})).end());
  EXPECT_EQ(pic.error, "");
  EXPECT_TRUE(pic.frames[0].complete);
  // An end code before the last pixel.
  pic = read(Builder(3, 1, pal).frame(0, 0, 3, 1, codes(2, {{1, 3}, {5, 3}})).end());
  EXPECT_EQ(pic.error, "image data ends before the last pixel");
  EXPECT_EQ(pic.frames[0].indices, (Bytes{1, 0, 0}));
}

TEST_F(Gif, RefusedFramesAreSkippedAndReadingGoesOn) {
  const std::vector<uint32_t> pal{0, 0xFFFFFF};
  const Bytes good = lzw({1, 0}, 2);
  struct Case {
    const char* error;
    int w, h;
    Bytes data;
  };
  const Case cases[] = {
      {"bad minimum code size", 2, 1, codes(0, {{1, 1}})},
      {"bad minimum code size", 2, 1, codes(1, {{2, 2}, {1, 2}, {0, 2}, {3, 2}})},
      {"bad minimum code size", 2, 1, codes(9, {{512, 10}, {1, 10}})},
      {"bad minimum code size", 2, 1, codes(12, {{1, 13}})},
      {"frame of zero size", 0, 5, good},
      {"frame of zero size", 7, 0, good},
      {"frame too large", 32769, 1, good},
      {"frame too large", 32768, 8193, good},  // 2^28 + 32768 pixels
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    gif::Picture pic = read(Builder(2, 1, pal).frame(0, 0, c.w, c.h, c.data).frame(0, 0, 2, 1, good).end());
    EXPECT_EQ(pic.error, c.error);
    ASSERT_EQ(pic.frames.size(), 1u);
    EXPECT_EQ(pic.frames[0].indices, (Bytes{1, 0}));
  }
  // The frames together beyond the limit: reading stops before the frame that passes it.
  gif::Picture pic = read(Builder(2, 1, pal).frame(0, 0, 2, 1, good).frame(0, 0, 2, 1, good).end(), 3);
  EXPECT_EQ(pic.error, "frames too large together");
  EXPECT_EQ(pic.frames.size(), 1u);
}

TEST_F(Gif, DamagedHeadersAndExtensions) {
  EXPECT_EQ(read({}).error, "not a GIF file");
  EXPECT_EQ(read(Bytes{'G', 'I', 'F', '8', '8', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3B}).error, "not a GIF file");
  // A global table announced but cut short.
  EXPECT_EQ(read(Bytes{'G', 'I', 'F', '8', '7', 'a', 1, 0, 1, 0, 0x81, 0, 0, 1, 2, 3}).error, "data ends early");
  // Stray bytes, a graphic control block too short to use, an unknown extension: all passed over.
  Builder b(2, 1, {0, 0xFFFFFF});
  b.b.insert(b.b.end(), {0x00, 0x99, 0x21, 0xF9, 2, 0x01, 0x05, 0, 0x21, 0xFF, 3, 'a', 'b', 'c', 1, 'd', 0});
  gif::Picture pic = read(b.frame(0, 0, 2, 1, lzw({1, 1}, 2)).end());
  EXPECT_EQ(pic.error, "");
  ASSERT_EQ(pic.frames.size(), 1u);
  EXPECT_EQ(pic.frames[0].transparent, -1);
  EXPECT_EQ(pic.frames[0].delay_cs, -1);
}

TEST_F(Gif, TruncationAnywhereKeepsTheFramesRead) {
  Bytes px = noise(40 * 30, 16, 7);
  std::vector<uint32_t> pal(16);
  for (uint32_t i = 0; i < 16; i++) pal[i] = i * 0x0F0F0F;
  const Bytes file = Builder(40, 30, pal)
                         .gce(1, 5, 0)
                         .frame(0, 0, 40, 30, lzw(px, 4))
                         .frame(3, 3, 40, 30, lzw(px, 4), 0x40, pal)
                         .end();
  ASSERT_EQ(read(file).frames.size(), 2u);
  for (size_t n = 0; n < file.size(); n++) {
    Bytes cut(file.begin(), file.begin() + long(n));
    gif::Picture pic = read(cut);
    ASSERT_NE(pic.error, "") << n;
    ASSERT_LE(pic.frames.size(), 2u);
    for (const gif::Frame& f : pic.frames) {
      ASSERT_EQ(f.indices.size(), px.size());
      if (f.complete && !f.interlaced) {
        EXPECT_EQ(f.indices, px) << n;
      }
    }
    // The first frame's pixels decoded so far are right; the rest are 0 (its transparent index).
    if (!pic.frames.empty() && !pic.frames[0].complete) {
      const Bytes& got = pic.frames[0].indices;
      size_t k = 0;
      while (k < got.size() && got[k] == px[k]) k++;
      for (size_t j = k; j < got.size(); j++) ASSERT_EQ(got[j], 0) << n;
    }
  }
}

TEST_F(Gif, ImageMagickReadsOurFilesAndWeReadItsInterlacedOnes) {
  if (std::system("convert -version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "ImageMagick is not installed";
  }
  const std::string dir = ::testing::TempDir() + "/quillon_gif_";
  auto decode = [&](const std::string& name) {  // ImageMagick's pixels of a file
    std::system(("convert " + dir + name + " -depth 8 rgb:" + dir + "out.rgb").c_str());
    std::ifstream in(dir + "out.rgb", std::ios::binary);
    Bytes rgb((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint32_t> out;
    for (size_t k = 0; k + 2 < rgb.size(); k += 3) out.push_back(uint32_t(rgb[k]) << 16 | uint32_t(rgb[k + 1]) << 8 | rgb[k + 2]);
    return out;
  };
  const int w = 41, h = 29;
  gfx::Image* img = make(w, h, 24);
  for (int k = 0; k < w * h; k++) gfx::set_pixel(*img, k % w, k / w, uint32_t((k * 13 + k / w * 7) % 200) * 0x010203u);
  Bytes file = gif::write(*img);
  std::ofstream(dir + "ours.gif", std::ios::binary).write(reinterpret_cast<const char*>(file.data()), long(file.size()));
  std::vector<uint32_t> seen = decode("ours.gif");
  ASSERT_EQ(seen.size(), size_t(w * h));
  for (int k = 0; k < w * h; k++) ASSERT_EQ(seen[size_t(k)], gfx::get_pixel(*img, k % w, k / w)) << k;

  // Its interlaced encoding (its colour reduction may change colours): both decoders agree.
  std::system(("convert " + dir + "ours.gif -interlace GIF " + dir + "theirs.gif").c_str());
  seen = decode("theirs.gif");
  std::ifstream in(dir + "theirs.gif", std::ios::binary);
  gif::Picture pic = read(Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  ASSERT_EQ(pic.frames.size(), 1u);
  EXPECT_TRUE(pic.frames[0].interlaced);
  ASSERT_EQ(seen.size(), size_t(w * h));
  for (int k = 0; k < w * h; k++) ASSERT_EQ(colour(pic, size_t(k)), seen[size_t(k)]) << k;
  for (const char* name : {"ours.gif", "theirs.gif", "out.rgb"}) std::remove((dir + name).c_str());
}
