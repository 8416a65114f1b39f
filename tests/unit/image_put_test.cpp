// The put: raster operations, blending with filter levels and alpha,
// clipping, transparency and masks, flips and stretching; copies, alpha
// channels and the anti-aliased shapes.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "graphics/anti_shapes.h"
#include "graphics/image.h"
#include "graphics/image_put.h"
#include "vm_fixture.h"

using gfx::Image;

class ImagePut : public VmTest {
 protected:
  Image* make(int w, int h, int bits, uint32_t fill = 0) {
    uint32_t handle = gfx::image_create(w, h, bits, nullptr, nullptr);
    handles.push_back(handle);
    Image* img = gfx::image_of(handle);
    gfx::fill_rect(*img, 0, 0, w - 1, h - 1, fill);
    return img;
  }
  Image* own(uint32_t handle) {
    handles.push_back(handle);
    return gfx::image_of(handle);
  }
  void TearDown() override {
    for (uint32_t h : handles) vm::element_release(h);
    VmTest::TearDown();
  }
  std::vector<uint32_t> handles;
};

TEST_F(ImagePut, RasterOperationsSourceFirstThenTarget) {
  Image* dst = make(4, 4, 24, 0x0F0F0F);
  Image* src = make(2, 2, 24, 0x3C3C3C);
  dst->st.op_or = 1;
  gfx::put_image(*dst, *src, 0, 0, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0x3F3F3Fu);
  src->st.op_and = 1;  // the source's operation wins
  gfx::put_image(*dst, *src, 2, 2, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 3, 3), 0x0C0C0Cu);
  EXPECT_EQ(gfx::get_pixel(*dst, 1, 2), 0x0F0F0Fu);
}

TEST_F(ImagePut, XorTwiceRestoresTheTarget) {
  for (int bits : {8, 24, 32}) {
    Image* dst = make(6, 6, bits, 0x336699);
    Image* src = make(3, 3, 32, 0xA5A5A5);
    dst->st.op_xor = 1;
    gfx::put_image(*dst, *src, 2, 2, true);
    EXPECT_NE(gfx::get_pixel(*dst, 3, 3), gfx::get_pixel(*dst, 0, 0)) << bits;
    gfx::put_image(*dst, *src, 2, 2, true);
    EXPECT_EQ(gfx::get_pixel(*dst, 3, 3), gfx::get_pixel(*dst, 0, 0)) << bits;
  }
}

TEST_F(ImagePut, ClipsToTheClipRectangleAndBounds) {
  Image* dst = make(10, 10, 24, 0);
  Image* src = make(4, 4, 24, 0xFFFFFF);
  gfx::set_pixel(*src, 2, 2, 0xFF0000);
  dst->st.minx = 3;
  dst->st.miny = 3;
  gfx::Rect r;
  ASSERT_TRUE(gfx::put_image(*dst, *src, 1, 1, true, &r));
  EXPECT_EQ(r.x1, 3);
  EXPECT_EQ(r.y1, 3);
  EXPECT_EQ(r.x2, 4);
  EXPECT_EQ(gfx::get_pixel(*dst, 2, 2), 0u);     // cut by the clip rectangle
  EXPECT_EQ(gfx::get_pixel(*dst, 3, 3), 0xFF0000u);  // source moved with the cut
  EXPECT_FALSE(gfx::put_image(*dst, *src, 20, 0, true));
  EXPECT_FALSE(gfx::put_image(*dst, *src, -4, 0, false));
  ASSERT_TRUE(gfx::put_image(*dst, *src, -2, -2, false, &r));
  EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0xFF0000u);  // without clipping only the bounds cut
  EXPECT_FALSE(gfx::put_image(*dst, *src, int64_t(1) << 62, 0, true));  // far coordinates are pinned
}

TEST_F(ImagePut, FilterLevelsBlend) {
  Image* dst = make(2, 1, 24, 0x000000);
  Image* src = make(1, 1, 24, 0xFFFFFF);
  src->st.filter = 128;
  gfx::put_image(*dst, *src, 0, 0, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0x7E7E7Eu);  // 255 * 127 >> 8
  src->st.filter = 255;  // leaves the target
  gfx::put_image(*dst, *src, 1, 0, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 1, 0), 0u);
  src->st.filter = 0;
  dst->st.filter = 64;  // the target's level when the source has none
  gfx::put_image(*dst, *src, 1, 0, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 1, 0), 0xBEBEBEu);  // 255 * 191 >> 8
}

TEST_F(ImagePut, AlphaBlendsByTheAlphaByte) {
  Image* dst = make(3, 1, 24, 0x000000);
  Image* src = make(3, 1, -32, 0xFFFFFF);
  uint8_t alphas[3] = {0, 128, 255};
  for (int x = 0; x < 3; x++) src->row(0)[x * 4 + 3] = alphas[x];
  gfx::put_image(*dst, *src, 0, 0, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0xFFFFFFu);  // without the alpha-enable byte: a copy
  src->st.alpha = 1;
  gfx::fill_rect(*dst, 0, 0, 2, 0, 0);
  gfx::put_image(*dst, *src, 0, 0, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0x000000u);
  EXPECT_EQ(gfx::get_pixel(*dst, 1, 0), 0x7F7F7Fu);  // 255 * 128 >> 8
  EXPECT_EQ(gfx::get_pixel(*dst, 2, 0), 0xFFFFFFu);
}

// Between 32-bit images the alpha put blends whole rows at a time: every
// alpha and channel must come out as the per-channel formula says, with
// the target's own alpha byte kept.
TEST_F(ImagePut, AlphaRowsBetween32BitImagesMatchTheFormula) {
  Image* dst = make(256, 1, 32, 0);
  Image* src = make(256, 1, -32, 0);
  for (int x = 0; x < 256; x++) {
    uint8_t* d = dst->row(0) + x * 4;
    uint8_t* p = src->row(0) + x * 4;
    d[0] = uint8_t(x * 7), d[1] = uint8_t(255 - x), d[2] = uint8_t(x * 13), d[3] = uint8_t(x ^ 0x5A);
    p[0] = uint8_t(x * 3), p[1] = uint8_t(x * 5 + 1), p[2] = uint8_t(200 - x), p[3] = uint8_t(x);
  }
  std::vector<uint8_t> before(dst->row(0), dst->row(0) + 256 * 4);
  src->st.alpha = 1;
  gfx::put_image(*dst, *src, 0, 0, true);
  for (int x = 0; x < 256; x++) {
    const uint8_t* d = dst->row(0) + x * 4;
    const uint8_t* p = src->row(0) + x * 4;
    for (int k = 0; k < 3; k++) {
      uint32_t want = x == 255 ? p[k] : (before[size_t(x) * 4 + size_t(k)] * uint32_t(256 - x) + p[k] * uint32_t(x)) >> 8;
      ASSERT_EQ(d[k], want) << "pixel " << x << " channel " << k;
    }
    ASSERT_EQ(d[3], before[size_t(x) * 4 + 3]) << x;
  }
}

TEST_F(ImagePut, TransparentColourAndPermanentMask) {
  Image* dst = make(3, 1, 24, 0x112233);
  Image* src = make(3, 1, 24, 0xFF00FF);
  gfx::set_pixel(*src, 1, 0, 0x00FF00);
  dst->st.tran = 1;  // the target's colour serves when the source has none
  dst->st.color_tran = 0xFF00FF;
  gfx::put_image(*dst, *src, 0, 0, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0x112233u);
  EXPECT_EQ(gfx::get_pixel(*dst, 1, 0), 0x00FF00u);
  // A permanent mask replaces the transparent colour: white keeps the target.
  Image* mask = make(3, 1, 24, 0);
  gfx::set_pixel(*mask, 2, 0, 0xFFFFFF);
  gfx::set_mask(*src, mask);
  gfx::fill_rect(*dst, 0, 0, 2, 0, 0x112233);
  gfx::put_image(*dst, *src, 0, 0, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0xFF00FFu);
  EXPECT_EQ(gfx::get_pixel(*dst, 2, 0), 0x112233u);
  Image* m = own(gfx::mask_image(*src));
  EXPECT_EQ(m->bits, 1);
  EXPECT_EQ(gfx::get_pixel(*m, 2, 0), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*m, 0, 0), 0u);
}

TEST_F(ImagePut, FlipsAndStretchEdges) {
  Image* src = make(3, 2, 24, 0);
  gfx::set_pixel(*src, 0, 0, 0xFF0000);
  gfx::set_pixel(*src, 2, 1, 0x0000FF);
  Image* dst = make(6, 4, 24, 0x777777);
  src->st.flip_x = src->st.flip_y = 1;
  gfx::put_image(*dst, *src, 0, 0, true);
  EXPECT_EQ(gfx::get_pixel(*dst, 2, 1), 0xFF0000u);
  EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0x0000FFu);
  src->st.flip_x = src->st.flip_y = 0;
  gfx::Rect r;
  ASSERT_TRUE(gfx::put_stretched(*dst, *src, 5, 3, 0, 0, true, &r));  // corners sorted
  EXPECT_EQ(r.x2 - r.x1 + 1, 6);
  EXPECT_EQ(gfx::get_pixel(*dst, 0, 0), 0xFF0000u);
  EXPECT_EQ(gfx::get_pixel(*dst, 1, 1), 0xFF0000u);
  EXPECT_EQ(gfx::get_pixel(*dst, 2, 0), 0u);
  EXPECT_EQ(gfx::get_pixel(*dst, 5, 3), 0x0000FFu);  // the last pixel reaches the far corner
  EXPECT_EQ(gfx::get_pixel(*dst, 4, 2), 0x0000FFu);
}

TEST_F(ImagePut, OntoItselfWorksFromACopy) {
  Image* img = make(4, 1, 24, 0);
  gfx::set_pixel(*img, 0, 0, 0x010203);
  gfx::set_pixel(*img, 1, 0, 0x040506);
  gfx::put_image(*img, *img, 1, 0, true);
  EXPECT_EQ(gfx::get_pixel(*img, 1, 0), 0x010203u);
  EXPECT_EQ(gfx::get_pixel(*img, 2, 0), 0x040506u);
}

TEST_F(ImagePut, GetCopiesTheClippedRectangle) {
  Image* src = make(8, 8, 8, 0);
  gfx::set_pixel(*src, 5, 6, 0xFFFFFF);
  src->st.maxx = 5;
  Image* got = own(gfx::image_get(*src, 7, 7, 3, 4));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->width(), 3);
  EXPECT_EQ(got->height(), 4);
  EXPECT_EQ(got->bits, 8);
  EXPECT_EQ(gfx::get_pixel(*got, 2, 2), 0xFFFFFFu);
  EXPECT_EQ(gfx::image_get(*src, 6, 0, 7, 7), 0u);  // wholly outside the clip rectangle
}

TEST_F(ImagePut, AlphaFromAnotherImage) {
  Image* img = make(2, 1, 24, 0xFF0000);
  Image* a = make(1, 1, 24, 0xFFFFFF);
  a->st.off_x = 1;  // shifted by the alpha image's origin offset
  ASSERT_TRUE(gfx::set_alpha_from(*img, *a));
  EXPECT_EQ(img->bits, 32);
  EXPECT_TRUE(img->has_alpha);
  EXPECT_EQ(img->st.alpha, 1);
  EXPECT_EQ(img->row(0)[3], 0);
  EXPECT_EQ(img->row(0)[7], 255);
  EXPECT_EQ(gfx::get_pixel(*img, 1, 0), 0xFF0000u);
  Image* g = own(gfx::alpha_image(*img));
  EXPECT_EQ(gfx::get_pixel(*g, 1, 0), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*g, 0, 0), 0u);
}

TEST_F(ImagePut, AntiAliasedShapes) {
  // A filled rectangle on whole pixels is fully covered, half pixels half.
  Image* r = own(gfx::anti_shape(gfx::AntiShape::Rect, {2, 3, 4.5, 5}, 0x00FF00, nullptr));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->st.off_x, 2);
  EXPECT_EQ(r->st.off_y, 3);
  EXPECT_EQ(r->st.alpha, 1);
  EXPECT_EQ(r->width(), 4);  // 2 .. 5.5 ends inside pixel 5
  EXPECT_EQ(r->row(0)[3], 255);
  EXPECT_EQ(r->row(0)[3 * 4 + 3], 128);
  EXPECT_EQ(gfx::get_pixel(*r, 0, 0), 0x00FF00u);
  // A filled circle: the centre is covered, the box corner nearly not.
  Image* c = own(gfx::anti_shape(gfx::AntiShape::CircleFilled, {10, 10, 6}, 0xFFFFFF, nullptr));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->row(6)[6 * 4 + 3], 255);
  EXPECT_LT(c->row(0)[3], 16);
  // A limit cuts the box; empty and oversized shapes give nothing.
  gfx::Rect lim{0, 0, 9, 9};
  Image* cut = own(gfx::anti_shape(gfx::AntiShape::CircleFilled, {10, 10, 6}, 0xFFFFFF, nullptr, &lim));
  EXPECT_EQ(cut->width(), 6);
  EXPECT_EQ(gfx::anti_shape(gfx::AntiShape::Rect, {1, 2}, 0, nullptr), 0u);
  EXPECT_EQ(gfx::anti_shape(gfx::AntiShape::Rect, {0, 0, 1e9, 1e9}, 0, nullptr), 0u);
}

// Every vector path of the alpha put's row blend, and the dispatching
// blend_alpha_row, must give the bytes of the scalar one: rows of every
// length from 0 to 67 (every remainder of the 8- and 16-pixel blocks, with
// blocks before it), with the target at every byte offset within 32 and the
// source at every other one, alphas drawn from clear, opaque and partial
// values alone and in runs that fill whole blocks or straddle them. The
// target's alpha bytes must be kept and nothing past the row touched.
TEST(AlphaRowBlend, EveryPathEqualsScalarRows) {
  uint32_t seed = 0x2545F491u;
  auto next = [&seed] {
    seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
    return seed;
  };
  using Blend = std::function<void(uint8_t*, const uint8_t*, int64_t)>;
  std::vector<std::pair<const char*, Blend>> paths{{"dispatched", gfx::blend_alpha_row}};
  for (auto [name, path] : {std::pair{"sse2", gfx::BlendPath::Sse2}, std::pair{"avx2", gfx::BlendPath::Avx2}})
    if (gfx::blend_path_available(path))
      paths.emplace_back(name, [path](uint8_t* d, const uint8_t* s, int64_t n) { gfx::blend_alpha_row_on(path, d, s, n); });
  for (int64_t n = 0; n <= 67; n++)
    for (int offset = 0; offset < 32; offset++)
      for (int kind = 0; kind < 5; kind++) {
        const size_t bytes = size_t(n) * 4;
        std::vector<uint8_t> src(bytes + 64), dst(bytes + 64);
        for (uint8_t& b : src) b = uint8_t(next());
        for (uint8_t& b : dst) b = uint8_t(next());
        uint8_t* s = src.data() + (offset * 7) % 32;
        for (int64_t i = 0; i < n; i++) {
          uint8_t& a = s[i * 4 + 3];
          uint32_t r = next();
          if (kind == 1) a = (r & 1) ? 255 : 0;            // opaque and clear only
          else if (kind == 2) a = (i / 16) % 3 == 0 ? 255 : (i / 16) % 3 == 1 ? 0 : uint8_t(r);  // runs of 16
          else if (kind == 4) a = (i / 5) % 3 == 0 ? 255 : (i / 5) % 3 == 1 ? 0 : uint8_t(r);    // runs of five
          else if (kind == 3) a = uint8_t(r % 3 == 0 ? 1 : r % 3 == 1 ? 254 : 128);            // near the ends
        }
        std::vector<uint8_t> want = dst;
        gfx::blend_alpha_row_scalar(want.data() + offset, s, n);
        for (int64_t i = 0; i < n; i++) {
          const uint8_t* d0 = dst.data() + offset + i * 4;
          const uint8_t* d1 = want.data() + offset + i * 4;
          const uint32_t a = s[i * 4 + 3];
          ASSERT_EQ(d1[3], d0[3]);
          for (int k = 0; k < 3; k++)
            ASSERT_EQ(d1[k], a == 255 ? s[i * 4 + k] : uint8_t((d0[k] * (256 - a) + s[i * 4 + k] * a) >> 8))
                << "length " << n << " pixel " << i;
        }
        for (const auto& [name, blend] : paths) {
          std::vector<uint8_t> got = dst;
          blend(got.data() + offset, s, n);
          ASSERT_EQ(got, want) << name << ": length " << n << " offset " << offset << " kind " << kind;
        }
      }
}
