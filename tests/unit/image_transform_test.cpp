// Image transforms: depth conversion with palettes, the sizes of imagesize,
// exact quarter turns, bilinear samples, processing, the corner flood and
// displacement sampling.
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image_load.h"
#include "graphics/image_put.h"
#include "vm/commands.h"
#include "graphics/image_transform.h"
#include "vm_fixture.h"

using gfx::Image;

class ImageTransform : public VmTest {
 protected:
  Image* make(int w, int h, int bits) {
    uint32_t handle = gfx::image_new(w, h, bits, nullptr);
    handles.push_back(handle);
    return gfx::image_of(handle);
  }
  Image* keep(uint32_t handle) {
    handles.push_back(handle);
    return gfx::image_of(handle);
  }
  // A w x h picture whose pixel (x, y) is 0x(10x)(10y)40.
  Image* ramp(int w, int h) {
    Image* img = make(w, h, 24);
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) gfx::set_pixel(*img, x, y, uint32_t(10 * x) << 16 | uint32_t(10 * y) << 8 | 0x40);
    return img;
  }
  void TearDown() override {
    for (uint32_t h : handles) vm::element_release(h);
    VmTest::TearDown();
  }
  std::vector<uint32_t> handles;
};

TEST_F(ImageTransform, ConvertKeepsColoursAndChoosesPalettes) {
  Image* src = make(3, 1, 24);
  gfx::set_pixel(*src, 0, 0, 0x123456);
  gfx::set_pixel(*src, 1, 0, 0xABCDEF);
  gfx::set_pixel(*src, 2, 0, 0x123456);
  // Few colours: the 8-bit copy takes them exactly, and back to 32 bits.
  Image* c8 = keep(gfx::convert_image(*src, 8));
  ASSERT_NE(c8, nullptr);
  EXPECT_EQ(c8->bits, 8);
  EXPECT_EQ(gfx::get_pixel(*c8, 0, 0), 0x123456u);
  EXPECT_EQ(gfx::get_pixel(*c8, 1, 0), 0xABCDEFu);
  EXPECT_EQ(c8->row(0)[0], c8->row(0)[2]);
  Image* back = keep(gfx::convert_image(*c8, 32));
  EXPECT_EQ(gfx::get_pixel(*back, 1, 0), 0xABCDEFu);
  // Too many colours for 1 bit: black and white by nearness.
  Image* c1 = keep(gfx::convert_image(*ramp(4, 4), 1));
  ASSERT_NE(c1, nullptr);
  EXPECT_EQ(gfx::get_pixel(*c1, 0, 0), 0x000000u);
  EXPECT_EQ(gfx::get_pixel(*c1, 3, 3), 0x000000u);  // 0x1E1E40 is dark
  Image* many = make(3, 1, 24);
  gfx::set_pixel(*many, 0, 0, 0xF0F0F0);
  gfx::set_pixel(*many, 1, 0, 0x101010);
  gfx::set_pixel(*many, 2, 0, 0x808000);
  Image* m1 = keep(gfx::convert_image(*many, 1));
  EXPECT_EQ(gfx::get_pixel(*m1, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*m1, 1, 0), 0x000000u);
  // An indexed source keeps its palette in a deeper indexed copy.
  Image* c4 = keep(gfx::convert_image(*m1, 4));
  EXPECT_EQ(c4->palette[0], m1->palette[0]);
  EXPECT_EQ(c4->palette[1], m1->palette[1]);
  EXPECT_EQ(gfx::get_pixel(*c4, 0, 0), 0xFFFFFFu);
  // Alpha: -32 makes an opaque alpha image; 24 drops the channel.
  Image* a = keep(gfx::convert_image(*src, -32));
  ASSERT_TRUE(a->has_alpha);
  EXPECT_EQ(a->row(0)[3], 255);
  Image* c24 = keep(gfx::convert_image(*a, 24));
  EXPECT_FALSE(c24->has_alpha);
  EXPECT_EQ(gfx::get_pixel(*c24, 1, 0), 0xABCDEFu);
}

TEST_F(ImageTransform, ReplacePixelsKeepsHandleAndState) {
  Image* img = ramp(4, 2);
  img->st.off_x = 7;
  uint32_t self = img->self;
  gfx::replace_pixels(*img, gfx::resize_image(*img, 8, 4, 8));
  EXPECT_EQ(gfx::image_of(self), img);
  EXPECT_EQ(img->width(), 8);
  EXPECT_EQ(img->bits, 8);
  EXPECT_EQ(img->st.off_x, 7);
  EXPECT_EQ(img->st.maxx, 7);
  EXPECT_EQ(img->st.maxy, 3);
  EXPECT_EQ(gfx::get_pixel(*img, 7, 3), 0x1E0A40u);  // exact colours fit the palette
}

TEST_F(ImageTransform, SizesOfImagesize) {
  int32_t w, h;
  ASSERT_TRUE(gfx::resized_extent(320, 240, 640, 0, w, h));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  ASSERT_TRUE(gfx::resized_extent(320, 240, 0, 120, w, h));
  EXPECT_EQ(w, 160);
  ASSERT_TRUE(gfx::resized_extent(320, 240, -2, -2, w, h));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  ASSERT_TRUE(gfx::resized_extent(320, 240, -0.5, 0, w, h));  // a factor with aspect
  EXPECT_EQ(w, 160);
  EXPECT_EQ(h, 120);
  ASSERT_TRUE(gfx::resized_extent(320, 240, 0, 0, w, h));
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
  EXPECT_FALSE(gfx::resized_extent(3, 1000, 0, 1, w, h));  // a side rounding to nothing
  // Refused: beyond the limits, nothing left, no finite size.
  EXPECT_FALSE(gfx::resized_extent(32768, 1, -2, 1, w, h));
  EXPECT_FALSE(gfx::resized_extent(20000, 20000, 0, 0, w, h));
  EXPECT_FALSE(gfx::resized_extent(100, 100, -1e300, 0, w, h));
  EXPECT_FALSE(gfx::resized_extent(1000, 1, 0, 0.0001, w, h));
  EXPECT_FALSE(gfx::resized_extent(10, 10, NAN, 5, w, h));
  EXPECT_EQ(gfx::resize_image(*ramp(2, 2), 40000, 1, 0), 0u);
}

TEST_F(ImageTransform, ResizeTakesNearestPixelCentres) {
  Image* src = ramp(2, 2);
  Image* big = keep(gfx::resize_image(*src, 4, 6, 0));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->bits, 24);
  EXPECT_EQ(gfx::get_pixel(*big, 1, 2), gfx::get_pixel(*src, 0, 0));
  EXPECT_EQ(gfx::get_pixel(*big, 2, 3), gfx::get_pixel(*src, 1, 1));
  Image* small = keep(gfx::resize_image(*ramp(4, 4), 2, 2, 0));
  EXPECT_EQ(gfx::get_pixel(*small, 0, 0), 0x0A0A40u);  // source pixel (1, 1)
}

TEST_F(ImageTransform, QuarterTurnsAreExact) {
  Image* src = ramp(3, 2);
  gfx::Mapped m;
  // 90 degrees clockwise about (1, 1): 3 x 2 becomes 2 x 3, the top left
  // corner going to the top right.
  ASSERT_TRUE(gfx::rotate_image(*src, 10, 20, std::numbers::pi / 2, 1, 1, false, m));
  EXPECT_EQ(m.w, 2);
  EXPECT_EQ(m.h, 3);
  EXPECT_EQ(m.x, 10);
  EXPECT_EQ(m.y, 20);
  for (int y = 0; y < 3; y++)
    for (int x = 0; x < 2; x++)
      EXPECT_EQ(m.argb[size_t(y * 2 + x)], 0xFF000000u | gfx::get_pixel(*src, y, 1 - x)) << x << "," << y;
  ASSERT_TRUE(gfx::rotate_image(*src, 0, 0, std::numbers::pi, 1.5, 1, false, m));
  EXPECT_EQ(m.w, 3);
  EXPECT_EQ(m.h, 2);
  EXPECT_EQ(m.x, 0);
  for (int y = 0; y < 2; y++)
    for (int x = 0; x < 3; x++) EXPECT_EQ(m.argb[size_t(y * 3 + x)] & 0xFFFFFF, gfx::get_pixel(*src, 2 - x, 1 - y));
  // Anti: a full turn covers every pixel completely and keeps its colour.
  ASSERT_TRUE(gfx::rotate_image(*src, 0, 0, 2 * std::numbers::pi, 1.5, 1, true, m));
  EXPECT_EQ(m.argb[4], 0xFF000000u | gfx::get_pixel(*src, 1, 1));
}

TEST_F(ImageTransform, BilinearSamplesBetweenCentres) {
  std::vector<uint32_t> px = {0xFF000000, 0xFF0000C8, 0xFF006400, 0xFF0064C8};  // 2 x 2
  EXPECT_EQ(gfx::sample_bilinear(px, 2, 2, 0.5, 0.5), 0xFF000000u);
  EXPECT_EQ(gfx::sample_bilinear(px, 2, 2, 1.0, 0.5), 0xFF000064u);   // halfway in x
  EXPECT_EQ(gfx::sample_bilinear(px, 2, 2, 1.0, 1.0), 0xFF003264u);   // the middle
  EXPECT_EQ(gfx::sample_bilinear(px, 2, 2, 0.75, 1.25), 0xFF004B32u);  // a quarter in x, three quarters in y
  EXPECT_EQ(gfx::sample_bilinear(px, 2, 2, -3, 0.5), 0xFF000000u);    // edges extend
  // A 45-degree turn samples between pixels: the centre pixel of an odd
  // square keeps its colour.
  Image* src = ramp(3, 3);
  gfx::Mapped m;
  ASSERT_TRUE(gfx::rotate_image(*src, 0, 0, std::numbers::pi / 4, 1.5, 1.5, false, m));
  EXPECT_EQ(m.w, 5);  // 3 * sqrt 2 = 4.24 around 1.5 gives -0.62 .. 3.62
  EXPECT_EQ(m.argb[size_t(2 * m.w + 2)] & 0xFFFFFF, gfx::get_pixel(*src, 1, 1));
  EXPECT_EQ(m.argb[0], 0u);  // corner outside the turned square
}

TEST_F(ImageTransform, WarpMapsCornersAndRefusesDegenerateShapes) {
  Image* src = ramp(4, 4);
  gfx::Mapped m;
  const double square[8] = {10, 10, 14, 10, 14, 14, 10, 14};
  ASSERT_TRUE(gfx::warp_image(*src, square, false, m));
  EXPECT_EQ(m.x, 10);
  EXPECT_EQ(m.w, 4);
  for (int y = 0; y < 4; y++)
    for (int x = 0; x < 4; x++) EXPECT_EQ(m.argb[size_t(y * 4 + x)] & 0xFFFFFF, gfx::get_pixel(*src, x, y));
  // Corners given the other way round mirror the picture.
  const double mirrored[8] = {4, 0, 0, 0, 0, 4, 4, 4};
  ASSERT_TRUE(gfx::warp_image(*src, mirrored, false, m));
  EXPECT_EQ(m.argb[0] & 0xFFFFFF, gfx::get_pixel(*src, 3, 0));
  // A perspective shape: the top edge pinched keeps the bottom corners.
  const double trapezoid[8] = {3, 0, 5, 0, 8, 8, 0, 8};
  ASSERT_TRUE(gfx::warp_image(*src, trapezoid, false, m));
  EXPECT_EQ(m.argb[size_t(7 * 8 + 0)] & 0xFFFFFF, gfx::get_pixel(*src, 0, 3));
  EXPECT_EQ(m.argb[0], 0u);
  const double line[8] = {0, 0, 5, 5, 10, 10, 15, 15};
  EXPECT_FALSE(gfx::warp_image(*src, line, false, m));
  const double huge[8] = {0, 0, 1e6, 0, 1e6, 1e6, 0, 1e6};
  EXPECT_FALSE(gfx::warp_image(*src, huge, false, m));
}

TEST_F(ImageTransform, ProcessFollowsTheIntegerRules) {
  Image* img = make(1, 1, 32);
  gfx::set_pixel(*img, 0, 0, 0x804020);
  img->row(0)[3] = 77;
  gfx::process_image(*img, gfx::Process::Greyscale, 100, 0xFFFFFF, true);
  // g = 30 * 128 + 59 * 64 + 11 * 32 = 7968; 255 * 7968 / 25500 = 79
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0x4F4F4Fu);
  gfx::set_pixel(*img, 0, 0, 0x804020);
  gfx::process_image(*img, gfx::Process::Invert, 100, 0, true);
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0x7FBFDFu);
  EXPECT_EQ(img->row(0)[3], 77);  // alpha is not a colour
  gfx::set_pixel(*img, 0, 0, 0x804020);
  gfx::process_image(*img, gfx::Process::Tint, 50, 0xFF0000, false);
  // red (128 * 50 + 50 * 128) / 100 = 128; green (64 * 50) / 100 = 32
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0x802010u);
  // Indexed pictures change through their palettes.
  Image* grey = make(2, 1, 8);
  gfx::set_pixel(*grey, 0, 0, 0x101010);
  gfx::process_image(*grey, gfx::Process::Invert, 100, 0, true);
  EXPECT_EQ(gfx::get_pixel(*grey, 0, 0), 0xEFEFEFu);
}

TEST_F(ImageTransform, UnsharpSharpensEdgesAndKeepsFlatAreas) {
  std::vector<double> m = gfx::gauss_matrix(0);
  EXPECT_EQ(m.size(), 5u);  // sigma 1: 2 * ceil(1.5) + 1
  double sum = 0;
  for (double v : m) sum += v;
  EXPECT_NEAR(sum, 1, 1e-12);
  EXPECT_NEAR(m[0], m[4], 1e-12);
  EXPECT_GT(m[2], m[1]);
  Image* img = make(12, 1, 24);
  for (int x = 0; x < 12; x++) gfx::set_pixel(*img, x, 0, x < 6 ? 0x404040 : 0xC0C0C0);
  Image* flat = make(4, 4, 24);
  gfx::fill_rect(*flat, 0, 0, 3, 3, 0x336699);
  gfx::unsharp_image(*img, 100, 1, 0);
  gfx::unsharp_image(*flat, 100, 1, 0);
  EXPECT_LT(gfx::get_pixel(*img, 5, 0) & 255, 0x40u);  // the dark side gets darker
  EXPECT_GT(gfx::get_pixel(*img, 6, 0) & 255, 0xC0u);
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0) & 255, 0x40u);
  EXPECT_EQ(gfx::get_pixel(*flat, 2, 2), 0x336699u);
  // A threshold above the edge's difference leaves it.
  Image* soft = make(12, 1, 24);
  for (int x = 0; x < 12; x++) gfx::set_pixel(*soft, x, 0, x < 6 ? 0x404040 : 0x484848);
  Image* sharp = gfx::image_of(gfx::image_new(12, 1, 24, soft));
  handles.push_back(sharp->self);
  std::memcpy(sharp->pixels, soft->pixels, size_t(soft->stride));
  gfx::unsharp_image(*soft, 100, 1, 10);
  gfx::unsharp_image(*sharp, 100, 1, 0);
  EXPECT_EQ(gfx::get_pixel(*soft, 5, 0), 0x404040u);
  EXPECT_NE(gfx::get_pixel(*sharp, 5, 0), 0x404040u);
}

TEST_F(ImageTransform, FloodFromACorner) {
  Image* img = make(5, 4, 24);
  gfx::fill_rect(*img, 0, 0, 4, 3, 0xFFFFFF);
  gfx::fill_rect(*img, 2, 0, 2, 3, 0x000000);  // a wall down column 2
  gfx::set_pixel(*img, 4, 3, 0xFAFAFA);
  img->st.maxx = 0;  // the clip rectangle does not limit the flood
  Image* left = keep(gfx::flood_mask(*img, false, false, 0));
  ASSERT_NE(left, nullptr);
  EXPECT_EQ(left->bits, 1);
  EXPECT_EQ(gfx::get_pixel(*left, 1, 3), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*left, 2, 0), 0x000000u);
  EXPECT_EQ(gfx::get_pixel(*left, 3, 0), 0x000000u);
  Image* right = keep(gfx::flood_mask(*img, true, true, 0));
  EXPECT_EQ(gfx::get_pixel(*right, 4, 3), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*right, 3, 0), 0x000000u);
  Image* tolerant = keep(gfx::flood_mask(*img, false, true, 2));
  EXPECT_EQ(gfx::get_pixel(*tolerant, 4, 3), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*tolerant, 1, 0), 0x000000u);
}

TEST_F(ImageTransform, DisplacementSamplesAroundTheMidpoint) {
  Image* source = ramp(8, 8);
  Image* disp = make(2, 1, 24);
  gfx::set_pixel(*disp, 0, 0, 0x808000);  // no offset
  gfx::set_pixel(*disp, 1, 0, 0x827F00);  // two right, one up
  gfx::set_displacement(*disp);
  gfx::set_displacement_source(*disp, source->self);
  EXPECT_TRUE(gfx::is_displacement(*disp));
  EXPECT_EQ(gfx::displacement_source(*disp), source);
  uint32_t c = 0;
  ASSERT_TRUE(gfx::displacement_sample(*disp, *source, 3, 4, 0, 0, c));
  EXPECT_EQ(c, gfx::get_pixel(*source, 3, 4));
  ASSERT_TRUE(gfx::displacement_sample(*disp, *source, 3, 4, 1, 0, c));
  EXPECT_EQ(c, gfx::get_pixel(*source, 6, 3));
  EXPECT_FALSE(gfx::displacement_sample(*disp, *source, 6, 4, 1, 0, c));  // beyond the source
  Image* target = make(8, 8, 24);
  gfx::Rect changed;
  ASSERT_TRUE(gfx::displacement_put(*target, *disp, 3, 4, changed));
  EXPECT_EQ(gfx::get_pixel(*target, 4, 4), gfx::get_pixel(*source, 6, 3));
  EXPECT_EQ(changed.x2, 4);
  EXPECT_FALSE(gfx::is_displacement(*source));
}

TEST_F(ImageTransform, AntiResultsArePutWithTheirAlpha) {
  Image* src = ramp(8, 8);
  gfx::target(*ctx)->st.color = 0x123456;  // what fills the uncovered corners
  for (auto h : {vm::h_imageantirotate, vm::h_imagerotate}) {
    run0(h, {vm::Value::from_handle(src->self), T("turned"), I(1)});
    Image* out = gfx::image_of(var("turned").is_element() ? var("turned").handle() : 0);
    ASSERT_NE(out, nullptr);
    Image* dst = make(out->width(), out->height(), 24);
    gfx::fill_rect(*dst, 0, 0, dst->width() - 1, dst->height() - 1, 0xFFFFFF);
    gfx::put_image(*dst, *out, 0, 0, true);
    if (h == vm::h_imageantirotate) {
      EXPECT_TRUE(out->has_alpha);
      EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0xFFFFFFu);  // the uncovered corner stays clear
    }
    EXPECT_NE(gfx::get_pixel(*dst, out->width() / 2, out->height() / 2), 0xFFFFFFu);
  }
}
