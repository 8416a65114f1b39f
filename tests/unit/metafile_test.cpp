// The Windows metafile player: hand-built files, records drawn onto small
// images exactly, and bad files ending cleanly.
#include <cstdint>
#include <string>
#include <vector>

#include "graphics/image.h"
#include "graphics/image_load.h"
#include "graphics/image_put.h"
#include "graphics/metafile.h"
#include "vm/commands.h"
#include "vm_fixture.h"

using gfx::Image;

namespace {

// Builds a metafile byte by byte: an optional placeable header, the
// 18-byte metafile header, then records of 16-bit words.
struct Wmf {
  std::vector<uint8_t> bytes;
  void w16(int v) {
    bytes.push_back(uint8_t(v & 0xFF));
    bytes.push_back(uint8_t((v >> 8) & 0xFF));
  }
  void w32(uint32_t v) {
    w16(int(v & 0xFFFF));
    w16(int(v >> 16));
  }
  void placeable(int l, int t, int r, int b, int inch) {
    w32(0x9AC6CDD7u);  // key
    w16(0);            // handle
    w16(l), w16(t), w16(r), w16(b);  // bounding box
    w16(inch);         // units per inch
    w32(0);            // reserved
    w16(0);            // checksum (not checked)
  }
  void header(int objects) {
    w16(1);       // type: in memory
    w16(9);       // header size in words
    w16(0x0300);  // version
    w32(0);       // file size in words (not used)
    w16(objects); // object table size
    w32(0);       // largest record (not used)
    w16(0);       // parameter count (unused)
  }
  // A record: size in words (3 + parameters), function, parameters.
  void record(int fn, const std::vector<int>& params) {
    w32(uint32_t(3 + params.size()));
    w16(fn);
    for (int p : params) w16(p);
  }
  void eof() { record(0, {}); }
};

// COLORREF parameters (red, green, blue, 0 in memory) as two words.
std::vector<int> colourref(int r, int g, int b) { return {r | g << 8, b}; }

std::vector<int> join(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

class Metafile : public VmTest {
 protected:
  Image* canvas(int w, int h, uint32_t fill) {
    handle = gfx::image_create(w, h, 32, nullptr, nullptr);
    Image* img = gfx::image_of(handle);
    gfx::fill_rect(*img, 0, 0, w - 1, h - 1, fill);
    return img;
  }
  void TearDown() override {
    if (handle) vm::element_release(handle);
    VmTest::TearDown();
  }
  uint32_t handle = 0;
};

// A window of 100 x 100 units onto a 10 x 10 image: a red brush and a pen
// of style PS_NULL fill a rectangle; a blue pen draws a line; an ellipse
// with the default pen (black) and a hollow brush is only an outline.
TEST_F(Metafile, RecordsDrawThroughTheWindowMapping) {
  Wmf f;
  f.header(4);
  f.record(0x020B, {0, 0});      // SetWindowOrg y x
  f.record(0x020C, {100, 100});  // SetWindowExt y x
  f.record(0x02FC, join({0}, join(colourref(255, 0, 0), {0})));  // brush 0: solid red
  f.record(0x02FA, join({5, 0, 0}, colourref(0, 0, 0)));         // pen 1: PS_NULL
  f.record(0x012D, {0});                                          // select brush
  f.record(0x012D, {1});                                          // select pen
  f.record(0x041B, {50, 50, 0, 0});  // Rectangle bottom right top left: pixels 0..4
  f.record(0x02FA, join({0, 0, 0}, colourref(0, 0, 255)));  // pen 2: blue, width 0 (one pixel)
  f.record(0x012D, {2});
  f.record(0x0214, {90, 0});   // MoveTo y x
  f.record(0x0213, {90, 90});  // LineTo y x: row 9, columns 0..9
  f.record(0x01F0, {0});       // DeleteObject: the brush slot is free again
  f.record(0x02FC, join({1}, join(colourref(0, 0, 0), {0})));  // brush 0 again: hollow
  f.record(0x012D, {0});
  f.record(0x02FA, join({0, 0, 0}, colourref(0, 0, 0)));  // pen 3: black
  f.record(0x012D, {3});
  f.record(0x0418, {90, 100, 50, 60});  // Ellipse: box x 6..9, y 5..8
  f.eof();
  Image* img = canvas(10, 10, 0xFFFFFF);
  std::string error;
  ASSERT_TRUE(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img, &error)) << error;
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0xFF0000u);
  EXPECT_EQ(gfx::get_pixel(*img, 4, 4), 0xFF0000u);  // no outline: PS_NULL
  EXPECT_EQ(gfx::get_pixel(*img, 5, 4), 0xFFFFFFu);  // right edge excluded
  EXPECT_EQ(gfx::get_pixel(*img, 4, 5), 0xFFFFFFu);
  for (int x = 0; x < 10; x++) EXPECT_EQ(gfx::get_pixel(*img, x, 9), 0x0000FFu) << x;
  EXPECT_EQ(gfx::get_pixel(*img, 0, 8), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 8, 5), 0x000000u);  // top of the ellipse outline
  EXPECT_EQ(gfx::get_pixel(*img, 7, 6), 0xFFFFFFu);  // inside the outline: the brush is hollow
}

// A placeable file's bounding box is the window; its size at 96 pixels an
// inch is what placeable_size gives. A polygon fills even-odd and a
// polypolygon with an inner ring cuts a hole.
TEST_F(Metafile, PlaceableBoxAndPolygons) {
  Wmf f;
  f.placeable(0, 0, 20, 20, 192);  // 20 units at 192 an inch: 10 pixels
  f.header(2);
  f.record(0x02FC, join({0}, join(colourref(0, 200, 0), {0})));  // brush 0: green
  f.record(0x02FA, join({5, 0, 0}, colourref(0, 0, 0)));         // pen 1: PS_NULL
  f.record(0x012D, {0});
  f.record(0x012D, {1});
  // PolyPolygon: the outer square 0..20 and an inner square 8..12 (image 4..6).
  f.record(0x0538, {2, 4, 4, 0, 0, 20, 0, 20, 20, 0, 20, 8, 8, 12, 8, 12, 12, 8, 12});
  f.eof();
  int32_t w = 0, h = 0;
  ASSERT_TRUE(gfx::wmf::placeable_size(f.bytes.data(), f.bytes.size(), w, h));
  EXPECT_EQ(w, 10);
  EXPECT_EQ(h, 10);
  Image* img = canvas(w, h, 0xFFFFFF);
  ASSERT_TRUE(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img));
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0x00C800u);
  EXPECT_EQ(gfx::get_pixel(*img, 9, 9), 0x00C800u);
  EXPECT_EQ(gfx::get_pixel(*img, 4, 4), 0xFFFFFFu);  // the hole
  EXPECT_EQ(gfx::get_pixel(*img, 5, 5), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 6, 6), 0x00C800u);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 5), 0x00C800u);
}

// Bad files end cleanly: a header that is no metafile's, a record whose
// size runs past the end, point counts beyond their record, selections of
// missing objects, and a line far outside the picture (cut, not stepped).
TEST_F(Metafile, BadInputEndsCleanly) {
  Image* img = canvas(8, 8, 0xFFFFFF);
  std::string error;
  const uint8_t junk[20] = {3, 0, 9, 0};
  EXPECT_FALSE(gfx::wmf::play(junk, sizeof junk, *img, &error));
  EXPECT_FALSE(gfx::wmf::play(junk, 3, *img, &error));
  {
    Wmf f;
    f.header(0);
    f.w32(1000), f.w16(0x041B), f.w16(1);  // a rectangle record claiming 1000 words
    EXPECT_FALSE(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img, &error));
    EXPECT_EQ(error, "record runs past the end");
  }
  {
    Wmf f;
    f.header(0);
    f.record(0x0324, {60000, 1, 1, 5, 5});  // a polygon of 60000 points with two given
    EXPECT_FALSE(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img, &error));
    f = Wmf{};
    f.header(0);
    f.record(0x0538, {3, 1, 1});  // three counts with two given
    EXPECT_FALSE(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img, &error));
    f = Wmf{};
    f.header(0);
    f.record(0x0538, {1, 65535, 0, 0});  // 65535 points with one given
    EXPECT_FALSE(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img, &error));
    f = Wmf{};
    f.header(0);
    f.record(0x0538, {2, 0, 0});  // two polygons without points
    f.record(0x0538, {0});        // no polygons
    f.record(0x0324, {0});        // a polygon without points
    EXPECT_TRUE(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img, &error)) << error;
  }
  {
    Wmf f;
    f.header(1);
    f.record(0x012D, {7});      // no object 7
    f.record(0x01F0, {65535});  // nor 65535
    f.record(0x02FC, join({0}, join(colourref(1, 2, 3), {0})));
    f.record(0x02FC, join({0}, join(colourref(9, 9, 9), {0})));  // no free slot: lost
    f.record(0x012D, {0});
    f.record(0x020C, {1, 1});  // one unit is the whole picture
    f.record(0x0214, {-32768, -32768});
    f.record(0x0213, {32767, 32767});  // from far above left to far below right
    f.record(0x0213, {32767, -32768});  // wholly outside
    f.record(0x041B, {32767, 32767, -32768, -32768});
    f.eof();
    EXPECT_TRUE(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img, &error)) << error;
    EXPECT_EQ(gfx::get_pixel(*img, 3, 3), 0x010203u);  // the first brush, not the lost one
  }
}

// A loaded metafile is a 0 x 0 picture that keeps its bytes; imagesize
// plays it at the placeable box's size (0 0), at a width with the aspect
// kept, and again at any later size; a copy shares the bytes.
TEST_F(Metafile, LoadedAndPlayedByImagesize) {
  Wmf f;
  f.placeable(0, 0, 40, 20, 192);  // 20 x 10 pixels at 96 an inch
  f.header(1);
  f.record(0x02FC, join({0}, join(colourref(255, 0, 0), {0})));
  f.record(0x012D, {0});
  f.record(0x041B, {20, 20, 0, 0});  // the left half, red with a black outline
  f.eof();
  uint32_t loaded = gfx::decode(f.bytes.data(), f.bytes.size(), nullptr, nullptr);
  Image* img = gfx::image_of(loaded);
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->width(), 0);
  EXPECT_NE(img->metafile, 0u);
  const vm::Value v = vm::Value::from_handle(loaded);
  run0(vm::h_imagesize, {I(0), I(0), v});
  ASSERT_EQ(img->width(), 20);
  ASSERT_EQ(img->height(), 10);
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0x000000u);  // the pen
  EXPECT_EQ(gfx::get_pixel(*img, 5, 5), 0xFF0000u);
  EXPECT_EQ(gfx::get_pixel(*img, 15, 5), 0x000000u);  // new pixels start black
  run0(vm::h_imagesize, {I(40), I(0), v});
  ASSERT_EQ(img->width(), 40);
  ASSERT_EQ(img->height(), 20);
  EXPECT_EQ(gfx::get_pixel(*img, 18, 10), 0xFF0000u);
  EXPECT_EQ(gfx::get_pixel(*img, 19, 10), 0x000000u);  // the pen, inside the box
  EXPECT_EQ(gfx::get_pixel(*img, 20, 10), 0x000000u);
  uint32_t copy = gfx::image_copy(*img);
  ASSERT_NE(gfx::image_of(copy), nullptr);
  EXPECT_EQ(gfx::image_of(copy)->metafile, img->metafile);
  run0(vm::h_imagesize, {I(8), I(4), vm::Value::from_handle(copy)});
  EXPECT_EQ(gfx::image_of(copy)->width(), 8);
  EXPECT_EQ(gfx::get_pixel(*gfx::image_of(copy), 1, 1), 0xFF0000u);
  EXPECT_EQ(img->width(), 40);
  vm::element_release(copy);
  vm::element_release(loaded);
}
