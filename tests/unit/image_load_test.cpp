// Loading and saving images: creation rules, format detection, the readers
// of every format on good, hand-made and damaged files, the writers' round
// trips, the naming rule, sequences and the commands.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image_load.h"
#include "vm/commands.h"
#include "vm_fixture.h"

using gfx::Image;
using vm::Value;

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }
void le16(std::string& s, uint32_t v) {
  s += char(v & 255);
  s += char(v >> 8 & 255);
}
void le32(std::string& s, uint32_t v) {
  le16(s, v & 0xFFFF);
  le16(s, v >> 16);
}

}  // namespace

class ImageLoad : public WorkDirTest {
 protected:
  void TearDown() override {
    for (uint32_t h : handles) vm::element_release(h);
    WorkDirTest::TearDown();
  }
  uint32_t keep(uint32_t h) {
    if (h) handles.push_back(h);
    return h;
  }
  Image* make(int w, int h, int bits) { return gfx::image_of(keep(gfx::image_new(w, h, bits, nullptr))); }
  // Decodes bytes by content; null when refused.
  Image* dec(const std::vector<uint8_t>& b, std::string* error = nullptr) {
    base::Result<uint32_t> got = gfx::decode(b.data(), b.size(), nullptr);
    if (error) *error = got.error();
    return gfx::image_of(keep(got.value()));
  }
  Image* dec(const std::string& b) { return dec(bytes_of(b)); }
  // A picture with a different colour at every pixel (as far as the depth allows).
  Image* pattern(int w, int h, int bits) {
    Image* img = make(w, h, bits);
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) gfx::set_pixel(*img, x, y, uint32_t(x * 40 + y * 7) << 16 | uint32_t(y * 50) << 8 | uint32_t(x * 9 + 3));
    return img;
  }
  static bool same(const Image& a, const Image& b) {
    if (a.width() != b.width() || a.height() != b.height()) return false;
    for (int y = 0; y < a.height(); y++)
      for (int x = 0; x < a.width(); x++)
        if (gfx::get_pixel(a, x, y) != gfx::get_pixel(b, x, y)) return false;
    return true;
  }
  // Runs ImageMagick; false (the test skips) when it is not there.
  bool magick(const std::string& args) {
    return std::system(("convert " + args + " 2>/dev/null").c_str()) == 0;
  }
  std::vector<uint8_t> file(const std::string& name) { return bytes_of(slurp(name)); }
  // Every prefix of a file: never a crash; prefixes shorter than `complete`
  // are refused.
  void prefixes_refused(const std::vector<uint8_t>& b, size_t complete) {
    for (size_t n = 0; n < b.size(); n++) {
      std::vector<uint8_t> cut(b.begin(), b.begin() + long(n));
      uint32_t h = gfx::decode(cut.data(), cut.size(), nullptr).value();
      if (n < complete) {
        EXPECT_EQ(h, 0u) << "prefix of " << n << " bytes";
      }
      vm::element_release(h);
    }
  }
  std::vector<uint32_t> handles;
};

// --- creation ----------------------------------------------------------------------

TEST_F(ImageLoad, CreationRules) {
  Image* four = make(3, 2, 4);
  EXPECT_EQ(four->palette[0], 0x000000u);
  EXPECT_EQ(four->palette[5], 0x555555u);  // 5 * 255 / 15
  EXPECT_EQ(four->palette[15], 0xFFFFFFu);
  EXPECT_EQ(four->palette[16], 0xFFFFFFu);
  EXPECT_EQ(make(1, 1, 8)->palette[128], 0x808080u);

  Image* empty = make(-4, 7, 24);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->width(), 0);
  EXPECT_EQ(empty->height(), 7);  // each side on its own
  EXPECT_EQ(gfx::get_pixel(*empty, 0, 0), 0xFFFFFFu);
  gfx::fill_rect(*empty, 0, 0, 10, 10, 0x123456);  // nothing to fill, no fault

  // The template's state is copied, but not its colour, clip or text position.
  Image* tmpl = make(20, 20, -32);
  tmpl->st.color = 0x123456;
  tmpl->st.off_x = 5;
  tmpl->st.maxx = 3;
  tmpl->st.text_x = 9;
  Image* copy = gfx::image_of(keep(gfx::image_new(4, 4, 8, tmpl)));
  EXPECT_EQ(copy->st.off_x, 5);
  EXPECT_EQ(copy->st.color, 0xFFu);
  EXPECT_EQ(copy->st.maxx, 3);
  EXPECT_EQ(copy->st.maxy, 3);
  EXPECT_EQ(copy->st.text_x, 0);
  EXPECT_FALSE(copy->has_alpha);
  EXPECT_TRUE(gfx::image_of(keep(gfx::image_new(4, 4, 32, tmpl)))->has_alpha);  // 32 like an alpha template
}

TEST_F(ImageLoad, FormatByContent) {
  using gfx::Format;
  auto fmt = [](std::string s) {
    s.resize(std::max<size_t>(s.size(), 64), '\0');
    return gfx::detect_format(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  std::string bmp = "BM" + std::string(26, '\0') + "\x18";
  EXPECT_EQ(fmt(bmp), Format::Bmp);
  EXPECT_EQ(fmt("BM"), Format::Jpeg);  // no bit count: not a bitmap
  EXPECT_EQ(fmt("\x34\x12"), Format::Own);
  EXPECT_EQ(fmt(std::string("\0\0\1\0", 4)), Format::Icon);
  EXPECT_EQ(fmt(std::string("\0\0\2\0", 4)), Format::Icon);
  EXPECT_EQ(fmt("GIF89a"), Format::Gif);
  EXPECT_EQ(fmt(std::string("II*\0", 4)), Format::Tiff);
  EXPECT_EQ(fmt(std::string("MM\0*", 4)), Format::Tiff);
  EXPECT_EQ(fmt("\x89PNG\r\n\x1a\n"), Format::Png);
  EXPECT_EQ(fmt(std::string(40, 'x') + " EMF"), Format::Emf);
  EXPECT_EQ(fmt(std::string("\xD7\xCD\xC6\x9A", 4) + std::string(18, '\0') + std::string("\1\0\x09\0", 4)), Format::PlaceableWmf);
  EXPECT_EQ(fmt(std::string("\1\0\x09\0", 4)), Format::Wmf);
  EXPECT_EQ(fmt("anything"), Format::Jpeg);
  Image* meta = dec(std::string("\1\0\x09\0", 4) + std::string(40, '\0'));
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->width(), 0);
  EXPECT_EQ(meta->bits, 32);
}

// --- Windows bitmaps -------------------------------------------------------------------

TEST_F(ImageLoad, BmpRoundTripEveryDepth) {
  for (int bits : {1, 4, 8, 24, 32}) {
    Image* img = pattern(7, 5, bits);
    std::vector<uint8_t> b = gfx::encode_bmp(*img);
    uint32_t pal = bits <= 8 ? 4u << bits : 0;
    ASSERT_EQ(b.size(), 14 + 40 + pal + 5u * img->stride) << bits;
    EXPECT_EQ(b[10] | b[11] << 8, int(14 + 40 + pal));
    Image* back = dec(b);
    ASSERT_NE(back, nullptr) << bits;
    EXPECT_EQ(back->bits, bits);
    EXPECT_TRUE(same(*img, *back)) << bits;
  }
  // Alpha images: the 108-byte header with 2 at header offset 56.
  Image* a = pattern(3, 2, -32);
  a->row(1)[4 * 2 + 3] = 0x7F;
  std::vector<uint8_t> b = gfx::encode_bmp(*a);
  EXPECT_EQ(b[14], 108);
  EXPECT_EQ(b[14 + 56], 2);
  Image* back = dec(b);
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->has_alpha);
  EXPECT_EQ(back->row(1)[4 * 2 + 3], 0x7F);
  EXPECT_TRUE(same(*a, *back));
}

TEST_F(ImageLoad, BmpTopDownAndImageMagickFiles) {
  // Top-down: rows reversed and the height negated.
  Image* img = pattern(5, 4, 24);
  std::vector<uint8_t> b = gfx::encode_bmp(*img);
  size_t off = 54, stride = size_t(img->stride);
  std::vector<uint8_t> flipped(b.begin(), b.begin() + long(off));
  for (int r = 3; r >= 0; r--) flipped.insert(flipped.end(), b.begin() + long(off + r * stride), b.begin() + long(off + (r + 1) * stride));
  uint32_t neg = uint32_t(-4);
  for (int k = 0; k < 4; k++) flipped[22 + k] = uint8_t(neg >> (8 * k));
  Image* td = dec(flipped);
  ASSERT_NE(td, nullptr);
  EXPECT_TRUE(same(*img, *td));

  if (!magick("-size 6x40 gradient:red-blue -depth 8 in.png")) GTEST_SKIP() << "no ImageMagick";
  Image* ref = dec(file("in.png"));
  ASSERT_NE(ref, nullptr);
  struct Case {
    const char* args;
    int bits;
    bool exact;
  } cases[] = {
      {"in.png -type truecolor BMP3:t24.bmp", 24, true},
      {"in.png -type palette BMP3:t8.bmp", 8, true},
      {"in.png -type palette -compress RLE BMP3:rle8.bmp", 8, true},
      {"in.png -type truecolor -define bmp:subtype=RGB565 t16.bmp", 24, false},
      {"in.png -alpha set -channel A -evaluate set 50% +channel ta.bmp", 32, true},
      {"in.png -monochrome BMP3:t1.bmp", 1, false},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(magick(c.args)) << c.args;
    std::string name = std::string(c.args).substr(std::string(c.args).rfind(' ') + 1);
    if (name.find(':') != std::string::npos) name = name.substr(name.find(':') + 1);
    Image* got = dec(file(name));
    ASSERT_NE(got, nullptr) << c.args;
    EXPECT_EQ(got->bits, c.bits) << c.args;
    if (c.exact) {
      EXPECT_TRUE(same(*ref, *got)) << c.args;
    }
    if (c.bits == 32) {
      EXPECT_TRUE(got->has_alpha);
      EXPECT_NEAR(got->row(0)[3], 128, 1);
    }
    if (!c.exact && c.bits == 24)  // 5-6-5 keeps the colours to a few steps
      for (int x = 0; x < 6; x++) {
        uint32_t p = gfx::get_pixel(*got, x, 1), q = gfx::get_pixel(*ref, x, 1);
        EXPECT_NEAR(int(p >> 16), int(q >> 16), 8);
        EXPECT_NEAR(int(p & 255), int(q & 255), 8);
      }
  }
}

TEST_F(ImageLoad, BmpNeverTrustsItsSizes) {
  std::vector<uint8_t> good = gfx::encode_bmp(*pattern(9, 6, 8));
  auto patched = [&](size_t at, uint32_t v) {
    std::vector<uint8_t> b = good;
    for (int k = 0; k < 4; k++) b[at + k] = uint8_t(v >> (8 * k));
    return b;
  };
  std::string error;
  EXPECT_EQ(dec(patched(18, 40000), &error), nullptr);  // width beyond 32768
  EXPECT_EQ(error, "picture too large");
  EXPECT_EQ(dec(patched(18, 20000)) , nullptr);         // and the pixel data is far too short anyway
  std::vector<uint8_t> huge = patched(18, 20000);
  huge = [&] { std::vector<uint8_t> b = huge; for (int k = 0; k < 4; k++) b[22 + k] = uint8_t(20000 >> (8 * k)); return b; }();
  EXPECT_EQ(dec(huge, &error), nullptr);                // 4 * 10^8 pixels: refused before allocating
  EXPECT_EQ(error, "picture too large");
  EXPECT_EQ(dec(patched(14, 3)), nullptr);               // header size below 12
  EXPECT_EQ(dec(patched(14, 100000)), nullptr);          // header beyond the file
  EXPECT_EQ(dec(patched(10, 1u << 31)), nullptr);        // pixel offset beyond the file
  EXPECT_EQ(dec(patched(30, 9)), nullptr);               // unknown compression
  EXPECT_EQ(dec(patched(22, 0x80000000u)), nullptr);     // the most negative height
  std::vector<uint8_t> depth = good;
  depth[28] = 2;
  EXPECT_EQ(dec(depth), nullptr);                        // no 2-bit bitmaps
  // Pixel data and palette cut short: every prefix is refused.
  prefixes_refused(good, good.size() - 3);  // the last row's padding may be missing
}

// --- our own picture format ----------------------------------------------------------------

namespace {

// The file header, the palette block and the record count.
std::string own_header(int w, int h, int bits, const std::string& palette, int records, int off_x = 0, int off_y = 0) {
  std::string s;
  le16(s, 0x1234);
  le16(s, uint32_t(w));
  le16(s, uint32_t(h));
  le16(s, uint32_t(off_x));
  le16(s, uint32_t(off_y));
  s += char(bits);
  s += '2';
  s += std::string("\x73\0\0", 3);
  le16(s, uint32_t(palette.size()));
  s += palette;
  le16(s, uint32_t(records));
  return s;
}
std::string record(const std::string& packed) {
  std::string s;
  le16(s, uint32_t(packed.size() + 4));
  le16(s, 0);
  return s + packed;
}

}  // namespace

TEST_F(ImageLoad, OwnFormatEscapePacking) {
  // 8 bits, 5 x 3: rows bottom-up; escape byte 0xEE.
  std::string pal(768, '\0');
  pal[3 * 1] = char(0xC0 >> 2 | (0xC0 << 6 & 0xC0));  // red of entry 1: 0xC0 rotated right by two
  pal[3 * 2 + 2] = char(0x3F);                        // blue of entry 2: 0x3F rotated left = 0xFC
  std::string bottom = std::string("\xEE\x05\x01", 3);            // five of index 1
  std::string middle = std::string("\x02\xEE\x00\x04\x00\x00", 6);  // 2, then a 2-byte count: four 0s
  std::string top = std::string("\x01\x02\x01\x02\x01", 5);
  std::string f = own_header(5, 3, 8, pal, 2, -3, 7) + record("\xEE" + bottom + middle) + record("\xEE" + top);
  Image* img = dec(f);
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->bits, 8);
  EXPECT_EQ(img->st.off_x, -3);
  EXPECT_EQ(img->st.off_y, 7);
  EXPECT_EQ(img->palette[1], 0xC00000u);
  EXPECT_EQ(img->palette[2], 0x0000FCu);
  EXPECT_EQ(gfx::get_pixel(*img, 4, 2), 0xC00000u);  // the bottom line
  EXPECT_EQ(gfx::get_pixel(*img, 0, 1), 0x0000FCu);
  EXPECT_EQ(gfx::get_pixel(*img, 4, 1), 0x000000u);
  EXPECT_EQ(gfx::get_pixel(*img, 1, 0), 0x0000FCu);  // the top line, last in the file

  // A palette block of 0 bytes: an all-black palette.
  Image* black = dec(own_header(2, 1, 8, "", 1) + record(std::string("\xEE\x07\x09", 3)));
  ASSERT_NE(black, nullptr);
  EXPECT_EQ(black->palette[9], 0u);
  // 1 bit: the black-and-white ramp.
  Image* mono = dec(own_header(9, 1, 1, "", 1) + record(std::string("\x00\x80\x80", 3)));
  ASSERT_NE(mono, nullptr);
  EXPECT_EQ(mono->bits, 1);
  EXPECT_EQ(gfx::get_pixel(*mono, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*mono, 8, 0), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*mono, 1, 0), 0u);
}

TEST_F(ImageLoad, OwnFormatCountPackingAndDamage) {
  // 24 bits, 3 x 2: a run of three, then two literals and a run of one.
  std::string packed;
  le16(packed, uint32_t(-3));
  packed += "\x10\x20\x30";
  le16(packed, 2);
  packed += "\x01\x02\x03\x04\x05\x06";
  le16(packed, uint32_t(-1));
  packed += "\xAA\xBB\xCC";
  std::string f = own_header(3, 2, 24, "xyz", 1) + record(packed);
  Image* img = dec(f);
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->bits, 24);
  EXPECT_EQ(gfx::get_pixel(*img, 2, 1), 0x302010u);  // bottom line, blue first
  EXPECT_EQ(gfx::get_pixel(*img, 0, 0), 0x030201u);
  EXPECT_EQ(gfx::get_pixel(*img, 2, 0), 0xCCBBAAu);
  // 32 bits keep the fourth byte.
  std::string p32;
  le16(p32, uint32_t(-1));
  p32 += "\x01\x02\x03\x80";
  Image* deep = dec(own_header(1, 1, 32, "", 1) + record(p32));
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->pixels[3], 0x80);

  std::string bad = f;
  bad[11] = '5';
  EXPECT_EQ(dec(bad), nullptr);  // unknown version
  bad[11] = char(0xFF);
  EXPECT_NE(dec(bad), nullptr);
  Image* none = dec(own_header(0, 3, 24, "", 1) + record(p32));
  ASSERT_NE(none, nullptr);  // a side of 0: an image without pixels
  EXPECT_EQ(none->width(), 0);
  std::string wide = own_header(40000 & 0xFFFF, 60000, 24, "", 0);
  EXPECT_EQ(dec(wide), nullptr);  // 65535 rows: beyond the side limit
  // A huge run count does not write past the picture.
  std::string run;
  le16(run, uint32_t(-32768));
  run += "\1\2\3";
  EXPECT_NE(dec(own_header(2, 2, 24, "", 1) + record(run)), nullptr);
  // A record running past the end of the file.
  prefixes_refused(bytes_of(f), f.size());
}

// --- icons and cursors ------------------------------------------------------------------------

namespace {

// An icon file of the given pictures (each a DIB or PNG).
std::string icon_file(const std::vector<std::string>& pictures, uint16_t type = 1) {
  std::string s;
  le16(s, 0);
  le16(s, type);
  le16(s, uint32_t(pictures.size()));
  uint32_t off = 6 + 16 * uint32_t(pictures.size());
  for (const std::string& p : pictures) {
    s += std::string(4, '\0');
    le32(s, 0x00200001);  // planes / hot spot: not used
    le32(s, uint32_t(p.size()));
    le32(s, off);
    off += uint32_t(p.size());
  }
  for (const std::string& p : pictures) s += p;
  return s;
}

// A BMP-in-icon picture: 8 bits, w x h, index = x, AND mask bit set at (0, 0).
std::string icon_dib(int w, int h) {
  std::string s;
  le32(s, 40);
  le32(s, uint32_t(w));
  le32(s, uint32_t(2 * h));
  le16(s, 1);
  le16(s, 8);
  s += std::string(24, '\0');
  for (int i = 0; i < 256; i++) le32(s, uint32_t(i * 0x010101));
  int stride = (w + 3) / 4 * 4, mask_stride = (w + 31) / 32 * 4;
  for (int r = 0; r < h; r++)
    for (int x = 0; x < stride; x++) s += char(x < w ? x * 10 : 0);
  for (int r = 0; r < h; r++)
    for (int x = 0; x < mask_stride; x++) s += char(r == h - 1 && x == 0 ? 0x80 : 0);
  return s;
}

}  // namespace

TEST_F(ImageLoad, IconsTakeTheLargestDeepestPicture) {
  Image* png_pic = pattern(3, 3, -32);
  std::vector<uint8_t> png = gfx::encode_png(*png_pic).value();
  std::string f = icon_file({icon_dib(2, 2), icon_dib(5, 4), std::string(png.begin(), png.end())});
  Image* img = dec(f);
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->width(), 5);
  EXPECT_EQ(img->height(), 4);
  EXPECT_TRUE(img->has_alpha);
  EXPECT_EQ(gfx::get_pixel(*img, 3, 2), 0x1E1E1Eu);
  EXPECT_EQ(img->row(0)[3], 0);    // AND bit set: transparent
  EXPECT_EQ(img->row(0)[7], 255);
  EXPECT_EQ(img->row(3)[3], 255);

  // A larger PNG picture wins and keeps its alpha (a cursor this time).
  Image* big = pattern(8, 8, -32);
  big->row(0)[3] = 0x40;
  std::vector<uint8_t> png8 = gfx::encode_png(*big).value();
  Image* cur = dec(icon_file({icon_dib(5, 4), std::string(png8.begin(), png8.end())}, 2));
  ASSERT_NE(cur, nullptr);
  EXPECT_EQ(cur->width(), 8);
  EXPECT_EQ(cur->row(0)[3], 0x40);

  // Damage: entries pointing outside the file, a directory cut short.
  std::string lost = f;
  lost[6 + 16 + 12] = char(0xFF);  // second picture's offset far away
  lost[6 + 16 + 13] = char(0xFF);
  Image* fallback = dec(lost);
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(fallback->width(), 3);
  prefixes_refused(bytes_of(icon_file({icon_dib(4, 4)})), 6 + 16 + 40);

  if (!magick("-size 16x16 xc:red -size 32x32 xc:blue -size 24x24 xc:lime im.ico")) GTEST_SKIP() << "no ImageMagick";
  Image* im = dec(file("im.ico"));
  ASSERT_NE(im, nullptr);
  EXPECT_EQ(im->width(), 32);
  EXPECT_EQ(gfx::get_pixel(*im, 10, 10), 0x0000FFu);
}

// --- libraries ---------------------------------------------------------------------------------

TEST_F(ImageLoad, PngJpegTiffRoundTrips) {
  Image* img = pattern(13, 9, 24);
  Image* alpha = pattern(4, 3, -32);
  alpha->row(1)[4 + 3] = 0x33;

  std::vector<uint8_t> png = gfx::encode_png(*img).value();
  Image* p = dec(png);
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(p->has_alpha);
  EXPECT_TRUE(same(*img, *p));
  Image* pa = dec(gfx::encode_png(*alpha).value());
  ASSERT_NE(pa, nullptr);
  EXPECT_TRUE(pa->has_alpha);
  EXPECT_EQ(pa->row(1)[4 + 3], 0x33);

  Image* flat = make(16, 16, 24);
  gfx::fill_rect(*flat, 0, 0, 15, 15, 0x3366CC);
  std::vector<uint8_t> jpg = gfx::encode_jpeg(*flat, 90).value();
  Image* j = dec(jpg);
  ASSERT_NE(j, nullptr);
  uint32_t c = gfx::get_pixel(*j, 8, 8);
  EXPECT_NEAR(int(c >> 16), 0x33, 4);
  EXPECT_NEAR(int(c >> 8 & 255), 0x66, 4);
  EXPECT_NEAR(int(c & 255), 0xCC, 4);

  std::vector<uint8_t> tif = gfx::encode_tiff(*img).value();
  Image* t = dec(tif);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(same(*img, *t));
  Image* ta = dec(gfx::encode_tiff(*alpha).value());
  ASSERT_NE(ta, nullptr);
  EXPECT_TRUE(ta->has_alpha);
  EXPECT_EQ(ta->row(1)[4 + 3], 0x33);

  // Truncated files: refused, never a crash or an abort.
  for (const std::vector<uint8_t>* f : {&png, &jpg, &tif}) {
    for (size_t n : {size_t(0), size_t(8), f->size() / 3, f->size() / 2}) {
      std::vector<uint8_t> cut(f->begin(), f->begin() + long(n));
      uint32_t h = gfx::decode(cut.data(), cut.size(), nullptr).value();
      if (f != &jpg) {
        EXPECT_EQ(h, 0u);  // (libjpeg pads a cut stream with grey)
      }
      vm::element_release(h);
    }
  }
  // Sizes beyond the limits are refused before decoding.
  std::vector<uint8_t> wide = png;
  wide[16] = 0, wide[17] = 1, wide[18] = 0, wide[19] = 0;  // 65536 wide (the CRC no longer matches either)
  EXPECT_EQ(dec(wide), nullptr);
}

// --- names, loading and sequences ----------------------------------------------------------------

TEST_F(ImageLoad, VariableNames) {
  auto name = [&](const char* file) {
    Value v = vm::name_from_text(*ctx, T(file));
    std::string s(vm::element_text(v));
    vm::value_release(v);
    return s;
  };
  EXPECT_EQ(name("Dinosaur.GIF"), "dinosaur");
  EXPECT_EQ(name("2004.jpg"), "_2004");
  EXPECT_EQ(name("pics/Sub dir/My Pic!.bmp"), "mypic");
  EXPECT_EQ(name("frames+"), "frames");
  EXPECT_EQ(name("frames+.gif"), "frames");
  EXPECT_EQ(name("walk12+"), "walk");  // digits before the cut at "+" go too
  EXPECT_EQ(name("walk12+.bmp"), "walk12");  // the cut is at the ".", after the "+"
  EXPECT_EQ(name("walk12.bmp"), "walk12");
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>("!!!.bmp"), 7);
  char want[16];
  std::snprintf(want, sizeof want, "_%8lx", crc);
  EXPECT_EQ(name("!!!.BMP"), want);
}

TEST_F(ImageLoad, LoadingOnceSearchingAndSequences) {
  std::vector<uint8_t> png = gfx::encode_png(*pattern(4, 4, 24)).value();
  write("Logo.png", std::string(png.begin(), png.end()));
  run0(vm::h_imageload, {T("Logo")});  // found through the extension list
  Image* logo = gfx::image_of(var("logo").handle());
  ASSERT_NE(logo, nullptr);
  EXPECT_EQ(logo->width(), 4);
  std::remove("Logo.png");
  run0(vm::h_imageload, {T("Logo.png")});  // the variable holds it: not read again
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(var("logo").handle(), logo->self);

  run0(vm::h_imageload, {T("pic.png"), T("mine")});
  EXPECT_EQ(ctx->stop, vm::kErrMissingFile);
  ctx->stop = 0;

  for (int i = 0; i <= 10; i++) {
    std::vector<uint8_t> b = gfx::encode_bmp(*pattern(i + 1, 2, 8));
    write("walk" + std::to_string(i) + ".bmp", std::string(b.begin(), b.end()));
  }
  write("walk12.bmp", "BM");  // after a gap: not part of the sequence
  run0(vm::h_imageload, {T("walk+.bmp")});
  EXPECT_EQ(ctx->stop, 0);
  vm::ArrayRecord* list = vm::array_of(var("walk"));
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 11u);  // walk0 .. walk10, 9 carrying into 10
  EXPECT_EQ(gfx::image_of(list->items[10].value.handle())->width(), 11);
  std::vector<Image*> all = gfx::images_of(gfx::image_arg(*ctx, T("walk")));
  EXPECT_EQ(all.size(), 11u);

  run0(vm::h_imageload, {T("none+")});
  EXPECT_EQ(ctx->stop, vm::kErrMissingFile);  // a missing first file is reported
  ctx->stop = 0;
  write("junk.bmp", "not a picture at all");
  testing::internal::CaptureStderr();
  run0(vm::h_imageload, {T("junk.bmp")});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("junk.bmp"), std::string::npos);
  EXPECT_TRUE(var("junk").is_null());  // nothing stored
}

TEST_F(ImageLoad, NewSaveAndFreeCommands) {
  auto made = [&](std::initializer_list<Value> args) { return gfx::image_of(call(vm::h_imagenew, args).handle()); };
  Image* box = made({T("box"), I(5), I(4), I(24), I(0x102030)});
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(var("box").handle(), box->self);
  EXPECT_EQ(gfx::get_pixel(*box, 4, 3), 0x102030u);
  EXPECT_EQ(box->st.color, 0xFFFFFFu);
  Image* dot = made({T("dot")});
  ASSERT_NE(dot, nullptr);
  EXPECT_EQ(dot->width(), 0);
  EXPECT_EQ(made({I(2), I(2), I(16)})->bits, 24);
  EXPECT_EQ(made({I(2), I(2), I(99)})->bits, 32);
  EXPECT_TRUE(made({I(2), I(2), I(-32)})->has_alpha);

  run0(vm::h_imagesave, {T("box"), T("out")});
  std::vector<uint8_t> bmp = file("out.bmp");
  EXPECT_EQ(bmp, gfx::encode_bmp(*box));
  run0(vm::h_imagesavejpeg, {I(80), T("box"), T("out")});
  run0(vm::h_imagesavepng, {T("box"), T("out")});
  run0(vm::h_imagesavetiff, {T("box"), T("out")});
  run0(vm::h_imagesavegif, {T("box"), T("out")});
  for (const char* f : {"out.jpg", "out.png", "out.tiff", "out.gif"}) {
    Image* back = dec(file(f));
    ASSERT_NE(back, nullptr) << f;
    EXPECT_EQ(back->width(), 5) << f;
  }

  EXPECT_EQ(gfx::get_pixel(*dec(file("out.gif")), 2, 2), 0x102030u);

  // Animated GIF files load as image lists through the GIF codec.
  if (magick("-size 3x2 xc:red xc:blue -size 5x5 xc:lime anim.gif")) {
    run0(vm::h_imageload, {T("anim.gif")});
    std::vector<Image*> frames = gfx::images_of(var("anim"));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(gfx::get_pixel(*frames[1], 1, 1), 0x0000FFu);
    EXPECT_EQ(frames[2]->width(), 5);
  }
  // Frames keep their delays, and their transparent pixels as a mask.
  if (magick("-delay 50 -size 4x1 xc:red -delay 7 xc:none -dispose previous anim2.gif")) {
    run0(vm::h_imageload, {T("anim2.gif")});
    std::vector<Image*> frames = gfx::images_of(var("anim2"));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0]->delay, (uint64_t(50) << 32) / 100);
    EXPECT_EQ(frames[1]->delay, (uint64_t(7) << 32) / 100);
    ASSERT_NE(frames[1]->mask, 0u);
    EXPECT_NE(gfx::get_pixel(*gfx::image_of(frames[1]->mask), 2, 0), 0u);
  }

  run0(vm::h_imagefree, {T("b*")});
  EXPECT_TRUE(var("box").is_null());
  EXPECT_FALSE(var("dot").is_null());
}
