// Image records: size limits, the bottom-up layout, indexed pixel access,
// clipped fills and a PNG round trip.
#include <png.h>

#include <cstdio>
#include <string>
#include <vector>

#include "graphics/image.h"
#include "vm_fixture.h"

using gfx::Image;

class Image_ : public VmTest {
 protected:
  Image* make(int w, int h, int bits) {
    uint32_t handle = gfx::image_create(w, h, bits, nullptr, nullptr);
    handles.push_back(handle);
    return gfx::image_of(handle);
  }
  void TearDown() override {
    for (uint32_t h : handles) vm::element_release(h);
    VmTest::TearDown();
  }
  std::vector<uint32_t> handles;
};

TEST_F(Image_, RefusesSizesBeyondTheLimits) {
  std::string error;
  EXPECT_EQ(gfx::image_create(32769, 1, 32, nullptr, &error), 0u);
  EXPECT_EQ(error, "image too large");
  EXPECT_EQ(gfx::image_create(32768, 8193, 8, nullptr, nullptr), 0u);  // 2^28 + 32768 pixels
  EXPECT_EQ(gfx::image_create(0, 5, 32, nullptr, nullptr), 0u);
  EXPECT_EQ(gfx::image_create(4, 4, 16, nullptr, nullptr), 0u);
  EXPECT_NE(make(32768, 1, 1), nullptr);
}

TEST_F(Image_, RowsAreBottomUpBlueGreenRedPadded) {
  Image* img = make(3, 2, 24);
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->stride, 12);  // 9 bytes padded to 12
  EXPECT_EQ(img->color_mask, 0xFFFFFFu);
  gfx::set_pixel(*img, 1, 0, 0x112233);  // top line = last row in memory
  const uint8_t* p = img->pixels + 12 + 3;
  EXPECT_EQ(p[0], 0x33);
  EXPECT_EQ(p[1], 0x22);
  EXPECT_EQ(p[2], 0x11);
  EXPECT_EQ(gfx::get_pixel(*img, 1, 0), 0x112233u);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 0), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, -1, 0), 0xFFFFFFu);
}

TEST_F(Image_, IndexedDepthsMapToTheNearestPaletteEntry) {
  Image* one = make(9, 1, 1);
  EXPECT_EQ(one->stride, 4);
  EXPECT_EQ(one->color_mask, 1u);
  gfx::set_pixel(*one, 8, 0, 0xC0C0C0);  // nearer white
  gfx::set_pixel(*one, 7, 0, 0x303030);  // nearer black
  EXPECT_EQ(one->pixels[1], 0x80);
  EXPECT_EQ(one->pixels[0], 0x00);
  EXPECT_EQ(gfx::get_pixel(*one, 8, 0), 0xFFFFFFu);

  Image* four = make(3, 1, 4);
  gfx::set_pixel(*four, 0, 0, 0x0000AA);
  gfx::set_pixel(*four, 1, 0, 0xFF0000);  // nearest: 0xAA0000 (entry 4), not 0xFF5555
  EXPECT_EQ(four->pixels[0], 0x14);
  EXPECT_EQ(gfx::get_pixel(*four, 1, 0), 0xAA0000u);

  Image* eight = make(2, 1, 8);
  gfx::set_pixel(*eight, 1, 0, 0x3366FF);
  EXPECT_EQ(gfx::get_pixel(*eight, 1, 0), 0x3366FFu);
}

TEST_F(Image_, FillsAreClippedAndSorted) {
  Image* img = make(4, 4, 32);
  img->st.minx = 1;
  img->st.maxy = 2;
  gfx::fill_rect(*img, 5, 5, -3, 0, 0x0000FF);  // unsorted, beyond the image
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0u);
  EXPECT_EQ(gfx::get_pixel(*img, 1, 0), 0x0000FFu);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 2), 0x0000FFu);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 3), 0u);
  Image* four = make(5, 2, 4);  // odd ends of a nibble row
  gfx::fill_rect(*four, 1, 1, 3, 1, 0x00AA00);
  EXPECT_EQ(four->pixels[0], 0x02);  // bottom row = picture row 1
  EXPECT_EQ(four->pixels[1], 0x22);
  EXPECT_EQ(four->pixels[4], 0x00);  // picture row 0 untouched
  Image* one = make(10, 1, 1);
  gfx::fill_rect(*one, 6, 0, 9, 0, 0xFFFFFF);
  EXPECT_EQ(one->pixels[0], 0x03);
  EXPECT_EQ(one->pixels[1], 0xC0);
  EXPECT_EQ(gfx::blend(0x000000, 0xFFFFFF, 128), 0x808080u);  // 0 - (-255 * 128 >> 8)
  EXPECT_EQ(gfx::blend(0xFFFFFF, 0x000000, 128), 0x808080u);  // 255 - (255 * 128 >> 8)
}

// 32-bit rows are filled eight pixels at a time: the block edges, the tail
// and the alpha bytes must come out as the byte-wise fill leaves them.
TEST_F(Image_, WideFillsKeepAlphaAndEdges) {
  Image* img = make(21, 2, -32);
  for (int x = 0; x < 21; x++) img->row(0)[x * 4 + 3] = uint8_t(x + 1);
  gfx::fill_rect(*img, 1, 0, 19, 0, 0x123456);
  for (int x = 0; x < 21; x++) {
    const uint8_t* p = img->row(0) + x * 4;
    const bool filled = x >= 1 && x <= 19;
    EXPECT_EQ(gfx::get_pixel(*img, x, 0), filled ? 0x123456u : 0u) << x;
    EXPECT_EQ(p[3], uint8_t(x + 1)) << x;
  }
  EXPECT_EQ(gfx::get_pixel(*img, 5, 1), 0u);
}

TEST_F(Image_, PngRoundTrip) {
  Image* img = make(3, 2, 8);
  gfx::set_pixel(*img, 0, 0, 0xFF0000);
  gfx::set_pixel(*img, 2, 1, 0x00FF33);
  std::string path = testing::TempDir() + "quillon_image_test.png";
  std::string error;
  ASSERT_TRUE(gfx::write_png(*img, path, &error)) << error;
  EXPECT_FALSE(gfx::write_png(*img, "/nonexistent-dir/x.png", &error));

  png_image pi{};
  pi.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&pi, path.c_str()));
  pi.format = PNG_FORMAT_RGB;
  ASSERT_EQ(pi.width, 3u);
  ASSERT_EQ(pi.height, 2u);
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(pi));
  ASSERT_TRUE(png_image_finish_read(&pi, nullptr, rgb.data(), 0, nullptr));
  std::remove(path.c_str());
  std::vector<uint8_t> expect = {255, 0, 0, 0, 0, 0, 0, 0, 0,  // top row
                                 0, 0, 0, 0, 0, 0, 0, 255, 51};
  EXPECT_EQ(rgb, expect);
}
