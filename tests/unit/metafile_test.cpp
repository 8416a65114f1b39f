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

// Whether a metafile played to its end; the message of a failure goes to `error`.
bool played(const base::Status& status, std::string& error) {
  if (!status) error = status.error();
  return status.ok();
}

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

  // A metafile whose picture is its left half red with a black outline, in
  // a frame of 20 x 10 pixels: it loads as a 0 x 0 image that keeps its
  // bytes, and imagesize plays it at the frame's size (0 0) and again at
  // 40 x 20. `loaded` is the image (the caller releases it).
  void expect_left_half_red(const std::vector<uint8_t>& bytes, uint32_t& loaded) {
    loaded = gfx::decode(bytes.data(), bytes.size(), nullptr).value();
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
  }
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
  ASSERT_TRUE(played(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
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
  EXPECT_FALSE(played(gfx::wmf::play(junk, sizeof junk, *img), error));
  EXPECT_FALSE(played(gfx::wmf::play(junk, 3, *img), error));
  {
    Wmf f;
    f.header(0);
    f.w32(1000), f.w16(0x041B), f.w16(1);  // a rectangle record claiming 1000 words
    EXPECT_FALSE(played(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img), error));
    EXPECT_EQ(error, "record runs past the end");
  }
  {
    Wmf f;
    f.header(0);
    f.record(0x0324, {60000, 1, 1, 5, 5});  // a polygon of 60000 points with two given
    EXPECT_FALSE(played(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img), error));
    f = Wmf{};
    f.header(0);
    f.record(0x0538, {3, 1, 1});  // three counts with two given
    EXPECT_FALSE(played(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img), error));
    f = Wmf{};
    f.header(0);
    f.record(0x0538, {1, 65535, 0, 0});  // 65535 points with one given
    EXPECT_FALSE(played(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img), error));
    f = Wmf{};
    f.header(0);
    f.record(0x0538, {2, 0, 0});  // two polygons without points
    f.record(0x0538, {0});        // no polygons
    f.record(0x0324, {0});        // a polygon without points
    EXPECT_TRUE(played(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
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
    EXPECT_TRUE(played(gfx::wmf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
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
  uint32_t loaded = 0;
  ASSERT_NO_FATAL_FAILURE(expect_left_half_red(f.bytes, loaded));
  Image* img = gfx::image_of(loaded);
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

// --- Enhanced metafiles ---------------------------------------------------------------------

namespace {

// Builds an enhanced metafile: the 88-byte header record, then records of
// a type, a size in bytes and 32-bit parameters. finish() writes the file
// size into the header.
struct Emf {
  std::vector<uint8_t> bytes;
  void w32(uint32_t v) {
    for (int i = 0; i < 4; i++) bytes.push_back(uint8_t(v >> (8 * i)));
  }
  void header(std::vector<int32_t> bounds, std::vector<int32_t> frame, int handles) {
    w32(1);   // EMR_HEADER
    w32(88);  // record size
    for (int32_t v : bounds) w32(uint32_t(v));  // rclBounds, pixels, both edges included
    for (int32_t v : frame) w32(uint32_t(v));   // rclFrame, 0.01 mm
    w32(0x464D4520u);                           // " EMF"
    w32(0x10000);                               // version
    w32(0);                                     // file size (finish)
    w32(0);                                     // record count (not used)
    w32(uint32_t(handles));                     // object table size; reserved 0
    w32(0), w32(0), w32(0);                     // description, palette
    w32(640), w32(480), w32(169), w32(127);     // device in pixels and mm
  }
  void record(uint32_t type, const std::vector<uint32_t>& params) {
    w32(type);
    w32(uint32_t(8 + 4 * params.size()));
    for (uint32_t p : params) w32(p);
  }
  void eof() { record(14, {0, 16, 20}); }
  void finish() {
    const uint32_t n = uint32_t(bytes.size());
    for (int i = 0; i < 4; i++) bytes[48 + i] = uint8_t(n >> (8 * i));
  }
};

// A point of the 16-bit records: x in the low half, y in the high.
uint32_t xy16(int x, int y) { return uint32_t(x & 0xFFFF) | uint32_t(y & 0xFFFF) << 16; }
uint32_t u(int v) { return uint32_t(v); }
// A COLORREF.
uint32_t rgb(int r, int g, int b) { return uint32_t(r | g << 8 | b << 16); }

constexpr uint32_t kStock = 0x80000000u;

}  // namespace

// One unit a pixel through rclBounds: a red brush fills a rectangle (right
// and bottom edge excluded) that a blue pen outlines inside; the frame gives
// the picture's size at 96 pixels an inch, else the bounds do.
TEST_F(Metafile, EmfRectangleFilledAndOutlined) {
  Emf f;
  f.header({0, 0, 9, 9}, {0, 0, 2646, 1323}, 3);
  f.record(39, {1, 0, rgb(255, 0, 0), 0});        // CreateBrushIndirect 1: solid red
  f.record(38, {2, 0, 1, 0, rgb(0, 0, 255)});     // CreatePen 2: solid, width 1, blue
  f.record(37, {1});                              // SelectObject
  f.record(37, {2});
  f.record(43, {1, 1, 6, 6});                     // Rectangle: pixels 1..5
  f.record(40, {1});                              // DeleteObject: the selected copy stays
  f.record(43, {7, 7, 10, 10});
  f.eof();
  f.finish();
  Image* img = canvas(10, 10, 0xFFFFFF);
  std::string error;
  ASSERT_TRUE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 1, 1), 0x0000FFu);
  EXPECT_EQ(gfx::get_pixel(*img, 5, 3), 0x0000FFu);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 5), 0x0000FFu);
  EXPECT_EQ(gfx::get_pixel(*img, 2, 2), 0xFF0000u);
  EXPECT_EQ(gfx::get_pixel(*img, 4, 4), 0xFF0000u);
  EXPECT_EQ(gfx::get_pixel(*img, 6, 3), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 6), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 8, 8), 0xFF0000u);
  int32_t w = 0, h = 0;
  ASSERT_TRUE(gfx::emf::frame_size(f.bytes.data(), f.bytes.size(), w, h));
  EXPECT_EQ(w, 100);  // 26.46 mm
  EXPECT_EQ(h, 50);
  Emf g;
  g.header({3, 4, 12, 8}, {0, 0, 0, 0}, 1);  // no frame: the bounds, 10 x 5
  ASSERT_TRUE(gfx::emf::frame_size(g.bytes.data(), g.bytes.size(), w, h));
  EXPECT_EQ(w, 10);
  EXPECT_EQ(h, 5);
  Emf e;
  e.header({0, 0, -1, -1}, {0, 0, 0, 0}, 1);  // neither
  EXPECT_FALSE(gfx::emf::frame_size(e.bytes.data(), e.bytes.size(), w, h));
  EXPECT_FALSE(gfx::emf::frame_size(e.bytes.data(), 87, w, h));
}

// A window of 100 x 100 units set by SetWindowExtEx and SetWindowOrgEx: a
// 16-bit polyline with the default pen, and a 32-bit one with a geometric
// pen of ExtCreatePen whose width scales with the window.
TEST_F(Metafile, EmfPolylinesThroughTheWindow) {
  Emf f;
  f.header({0, 0, 499, 499}, {0, 0, 0, 0}, 2);
  f.record(9, {100, 100});           // SetWindowExtEx
  f.record(10, {u(-10), u(-10)});    // SetWindowOrgEx
  f.record(87, {0, 0, 0, 0, 3, xy16(-10, 10), xy16(80, 10), xy16(80, 70)});  // Polyline16
  f.record(95, {1, 0, 0, 0, 0, 0x10000, 20, 0, rgb(0, 128, 0), 0, 0});      // ExtCreatePen 1: green, 20 units
  f.record(37, {1});
  f.record(4, {0, 0, 0, 0, 2, u(-10), 40, 100, 40});  // Polyline: row 5, two pixels thick
  f.eof();
  f.finish();
  Image* img = canvas(10, 10, 0xFFFFFF);
  std::string error;
  ASSERT_TRUE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
  for (int x = 0; x < 10; x++) EXPECT_EQ(gfx::get_pixel(*img, x, 2), 0x000000u) << x;
  for (int y = 2; y <= 8; y++) EXPECT_EQ(gfx::get_pixel(*img, 9, y), y == 5 || y == 6 ? 0x008000u : 0x000000u) << y;
  EXPECT_EQ(gfx::get_pixel(*img, 9, 9), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 4), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 5), 0x008000u);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 6), 0x008000u);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 7), 0xFFFFFFu);
}

// The stock brushes and pens, chosen with the high bit: other stock
// objects (fonts) leave the selection as it is.
TEST_F(Metafile, EmfStockObjects) {
  Emf f;
  f.header({0, 0, 9, 9}, {0, 0, 0, 0}, 1);
  f.record(37, {kStock | 4});   // BLACK_BRUSH
  f.record(37, {kStock | 8});   // NULL_PEN
  f.record(43, {0, 0, 5, 5});
  f.record(37, {kStock | 1});   // LTGRAY_BRUSH
  f.record(37, {kStock | 6});   // WHITE_PEN
  f.record(37, {kStock | 13});  // SYSTEM_FONT: no change
  f.record(43, {5, 0, 10, 5});
  f.record(37, {kStock | 5});   // NULL_BRUSH
  f.record(37, {kStock | 7});   // BLACK_PEN
  f.record(43, {0, 5, 5, 10});
  f.record(37, {kStock | 3});   // DKGRAY_BRUSH
  f.record(37, {kStock | 8});
  f.record(42, {5, 5, 10, 10});  // Ellipse
  f.eof();
  f.finish();
  Image* img = canvas(10, 10, 0x123456);
  std::string error;
  ASSERT_TRUE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0x000000u);
  EXPECT_EQ(gfx::get_pixel(*img, 4, 4), 0x000000u);
  EXPECT_EQ(gfx::get_pixel(*img, 5, 0), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 7, 2), 0xC0C0C0u);
  EXPECT_EQ(gfx::get_pixel(*img, 0, 5), 0x000000u);
  EXPECT_EQ(gfx::get_pixel(*img, 2, 7), 0x123456u);  // hollow
  EXPECT_EQ(gfx::get_pixel(*img, 7, 7), 0x404040u);
  EXPECT_EQ(gfx::get_pixel(*img, 5, 5), 0x123456u);  // outside the ellipse, no pen
}

// A polypolygon in both point sizes: the rings fill together, even-odd,
// so the inner square is a hole.
TEST_F(Metafile, EmfPolyPolygon) {
  for (uint32_t type : {91u, 8u}) {
    Emf f;
    f.header({0, 0, 9, 9}, {0, 0, 0, 0}, 2);
    f.record(39, {1, 0, rgb(0, 200, 0), 0});
    f.record(37, {1});
    f.record(37, {kStock | 8});
    std::vector<std::pair<int, int>> pts = {{0, 0}, {10, 0}, {10, 10}, {0, 10}, {4, 4}, {6, 4}, {6, 6}, {4, 6}};
    std::vector<uint32_t> params = {0, 0, 0, 0, 2, 8, 4, 4};
    for (auto [x, y] : pts) {
      if (type == 91) params.push_back(xy16(x, y));
      else params.push_back(u(x)), params.push_back(u(y));
    }
    f.record(type, params);
    f.eof();
    f.finish();
    Image* img = canvas(10, 10, 0xFFFFFF);
    std::string error;
    ASSERT_TRUE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
    EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0x00C800u) << type;
    EXPECT_EQ(gfx::get_pixel(*img, 9, 9), 0x00C800u) << type;
    EXPECT_EQ(gfx::get_pixel(*img, 4, 4), 0xFFFFFFu) << type;
    EXPECT_EQ(gfx::get_pixel(*img, 5, 5), 0xFFFFFFu) << type;
    EXPECT_EQ(gfx::get_pixel(*img, 6, 6), 0x00C800u) << type;
    EXPECT_EQ(gfx::get_pixel(*img, 3, 5), 0x00C800u) << type;
    vm::element_release(handle);
    handle = 0;
  }
}

// Beziers are flattened: the curve passes through its ends and its middle
// point, not through its control points; PolyBezierTo starts at the current
// position and moves it to its last point; a count that is no whole number
// of curves draws nothing.
TEST_F(Metafile, EmfBeziers) {
  Emf f;
  f.header({0, 0, 9, 9}, {0, 0, 0, 0}, 1);
  f.record(85, {0, 0, 0, 0, 4, xy16(0, 0), xy16(0, 9), xy16(9, 9), xy16(9, 0)});  // PolyBezier16
  f.eof();
  f.finish();
  Image* img = canvas(10, 10, 0xFFFFFF);
  std::string error;
  ASSERT_TRUE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0x000000u);
  EXPECT_EQ(gfx::get_pixel(*img, 9, 0), 0x000000u);
  EXPECT_EQ(gfx::get_pixel(*img, 5, 7), 0x000000u);  // t = 1/2: (4.5, 6.75)
  EXPECT_EQ(gfx::get_pixel(*img, 0, 9), 0xFFFFFFu);  // control points
  EXPECT_EQ(gfx::get_pixel(*img, 9, 9), 0xFFFFFFu);
  for (int x = 0; x < 10; x++) EXPECT_EQ(gfx::get_pixel(*img, x, 8), 0xFFFFFFu) << x;

  Emf g;
  g.header({0, 0, 9, 9}, {0, 0, 0, 0}, 1);
  g.record(27, {0, 9});                                                           // MoveToEx
  g.record(88, {0, 0, 0, 0, 3, xy16(3, 9), xy16(6, 9), xy16(9, 9)});             // PolyBezierTo16
  g.record(88, {0, 0, 0, 0, 4, xy16(0, 0), xy16(0, 0), xy16(0, 0), xy16(0, 0)});  // not whole curves
  g.record(54, {9, 0});                                                           // LineTo
  g.eof();
  g.finish();
  img = canvas(10, 10, 0xFFFFFF);
  ASSERT_TRUE(played(gfx::emf::play(g.bytes.data(), g.bytes.size(), *img), error)) << error;
  for (int i = 0; i < 10; i++) {
    EXPECT_EQ(gfx::get_pixel(*img, i, 9), 0x000000u) << i;
    EXPECT_EQ(gfx::get_pixel(*img, 9, i), 0x000000u) << i;
  }
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 5, 5), 0xFFFFFFu);
}

// A record's flattened curves stop at 2^20 points (64 a long curve), so
// that a file cannot ask for memory out of all proportion to its size: of
// 16385 curves the last, the only one inside the picture, is not drawn.
TEST_F(Metafile, EmfCurvesCapped) {
  for (uint32_t far : {2u, 16384u}) {
    std::vector<uint32_t> params = {0, 0, 0, 0, 3 * (far + 1) + 1, u(-3000), u(-3000)};
    for (uint32_t k = 0; k < far; k++)
      for (int x : {3000, -3000, 3000}) params.push_back(u(x)), params.push_back(u(-3000));
    for (int i = 0; i < 3; i++) params.push_back(5), params.push_back(5);
    Emf f;
    f.header({0, 0, 9, 9}, {0, 0, 0, 0}, 1);
    f.record(2, params);  // PolyBezier
    f.eof();
    f.finish();
    Image* img = canvas(10, 10, 0xFFFFFF);
    std::string error;
    ASSERT_TRUE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
    EXPECT_EQ(gfx::get_pixel(*img, 5, 5), far == 2 ? 0x000000u : 0xFFFFFFu) << far;
    vm::element_release(handle);
    handle = 0;
  }
}

// Bad files end cleanly with a message, keeping what was drawn before:
// headers that are no enhanced metafile's, record sizes of 0, not a
// multiple of 4 or past the end, counts beyond their record, object indexes
// outside the table; coordinates at the ends of the range are cut, not
// stepped; records after the header's file size are not played.
TEST_F(Metafile, EmfBadInputEndsCleanly) {
  Image* img = canvas(8, 8, 0xFFFFFF);
  std::string error;
  auto start = [](int handles) {
    Emf f;
    f.header({0, 0, 7, 7}, {0, 0, 0, 0}, handles);
    f.record(37, {kStock | 4});
    f.record(43, {0, 0, 2, 2});  // pixels 0..1 black: drawn before the fault
    return f;
  };
  auto fails = [&](Emf f, const char* message) {
    f.finish();
    gfx::fill_rect(*img, 0, 0, 7, 7, 0xFFFFFF);
    error.clear();
    EXPECT_FALSE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error)) << message;
    EXPECT_EQ(error, message);
    EXPECT_EQ(gfx::get_pixel(*img, 1, 1), 0x000000u) << message;
  };
  {
    Emf f = start(1);
    f.finish();
    EXPECT_FALSE(played(gfx::emf::play(f.bytes.data(), 60, *img), error));
    f.bytes[40] = 'X';  // the signature
    EXPECT_FALSE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error));
    EXPECT_EQ(error, "not an enhanced metafile header");
    f.bytes[40] = ' ';
    f.bytes[4] = 200;  // a header record beyond the file
    EXPECT_FALSE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error));
    EXPECT_EQ(error, "header size outside the file");
  }
  {
    Emf f = start(1);
    f.w32(43), f.w32(0);  // record size 0
    fails(f, "record size outside what is left");
    f = start(1);
    f.w32(43), f.w32(10), f.w32(0);  // not a multiple of 4
    fails(f, "record size outside what is left");
    f = start(1);
    f.w32(43), f.w32(1000), f.w32(0);  // past the end
    fails(f, "record size outside what is left");
    f = start(1);
    f.w32(43);  // a record header cut short
    fails(f, "record header cut short");
  }
  {
    Emf f = start(1);
    f.record(86, {0, 0, 0, 0, 0xFFFFFFFFu, xy16(1, 1)});  // Polygon16 of 2^32 - 1 points, one given
    fails(f, "polygon points run past the record");
    f = start(1);
    f.record(3, {0, 0, 0, 0, 0x20000000u, 1, 1});  // Polygon, 2^29 points
    fails(f, "polygon points run past the record");
    f = start(1);
    f.record(91, {0, 0, 0, 0, 0x40000000u, 0, 3});  // PolyPolygon16 of 2^30 polygons
    fails(f, "polygon counts run past the record");
    f = start(1);
    f.record(8, {0, 0, 0, 0, 2, 2, 0xFFFFFFFFu, 0xFFFFFFFFu, 1, 1});  // counts adding past 2^32
    fails(f, "polygon points run past the record");
    f = start(1);
    f.record(85, {0, 0, 0, 0, 0xFFFFFFFDu, xy16(1, 1)});  // PolyBezier16
    fails(f, "polygon points run past the record");
  }
  {
    Emf f = start(3);
    f.record(39, {0, 0, 0, 0});  // slot 0 is the file's own
    fails(f, "object index outside the table");
    f = start(3);
    f.record(38, {3, 0, 1, 0, 0});  // CreatePen past the table
    fails(f, "object index outside the table");
    f = start(3);
    f.record(37, {7});  // SelectObject
    fails(f, "object index outside the table");
    f = start(3);
    f.record(40, {0x7FFFFFFFu});  // DeleteObject
    fails(f, "object index outside the table");
  }
  {
    Emf f = start(2);
    f.record(37, {kStock | 0x7FFFFFFFu});  // no such stock object: ignored
    f.record(39, {1, 0, rgb(1, 2, 3), 0});
    f.record(37, {1});
    f.record(9, {1, 1});  // one unit is the whole picture
    f.record(27, {0x80000000u, 0x80000000u});
    f.record(54, {0x7FFFFFFFu, 0x7FFFFFFFu});  // from far above left to far below right
    f.record(54, {0x7FFFFFFFu, 0x80000000u});  // wholly outside
    f.record(43, {0x80000000u, 0x80000000u, 0x7FFFFFFFu, 0x7FFFFFFFu});
    f.record(42, {0x80000000u, 0x80000000u, 0x7FFFFFFFu, 0x7FFFFFFFu});
    f.record(2, {0, 0, 0, 0, 4, 0x80000000u, 0x80000000u, 0x7FFFFFFFu, 0x80000000u, 0x80000000u, 0x7FFFFFFFu,
                 0x7FFFFFFFu, 0x7FFFFFFFu});  // PolyBezier over the whole range
    f.eof();
    f.finish();
    EXPECT_TRUE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
    EXPECT_EQ(gfx::get_pixel(*img, 3, 3), 0x010203u);
  }
  {
    Emf f = start(1);
    f.finish();  // the file ends here for the header ...
    f.record(43, {0, 0, 8, 8});
    f.w32(0);    // ... and a broken record follows
    gfx::fill_rect(*img, 0, 0, 7, 7, 0xFFFFFF);
    EXPECT_TRUE(played(gfx::emf::play(f.bytes.data(), f.bytes.size(), *img), error)) << error;
    EXPECT_EQ(gfx::get_pixel(*img, 1, 1), 0x000000u);
    EXPECT_EQ(gfx::get_pixel(*img, 5, 5), 0xFFFFFFu);
  }
}

// A loaded enhanced metafile is a 0 x 0 picture that keeps its bytes;
// imagesize plays it at the frame's size (0 0) and at any later size.
TEST_F(Metafile, EmfLoadedAndPlayedByImagesize) {
  Emf f;
  f.header({0, 0, 19, 9}, {0, 0, 529, 264}, 2);  // 20 x 10 pixels at 96 an inch
  f.record(39, {1, 0, rgb(255, 0, 0), 0});
  f.record(37, {1});
  f.record(43, {0, 0, 10, 10});  // the left half, red with a black outline
  f.eof();
  f.finish();
  uint32_t loaded = 0;
  ASSERT_NO_FATAL_FAILURE(expect_left_half_red(f.bytes, loaded));
  vm::element_release(loaded);
}
