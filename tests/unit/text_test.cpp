// Fonts and text: the VKF and QNF readers against hand-made files, and the
// layout rules measured with a font of known advances.
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "text/font.h"
#include "text/layout.h"
#include "vm/commands.h"
#include "vm/sysvars.h"
#include "vm_fixture.h"

namespace {

// A VKF font of 8 x 10 cells for codes 30..255, 1-bit: every printable
// character advances 7 with ink in columns 0..6 on rows 2..7, except
// "i" (3) and "W" (9, ink 8), space 5; codes below 33 other than the
// space have no glyph.
struct VkfSpec {
  bool compressed = false;
  bool bad_crc = false;
  size_t cut = 0;             // bytes dropped from the end
  int32_t wrong_unpacked = 0; // added to the stored uncompressed length
};

void put16(std::string& s, size_t at, int v) {
  s[at] = char(v & 255);
  s[at + 1] = char((v >> 8) & 255);
}
void put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) s[at + size_t(i)] = char((v >> (8 * i)) & 255);
}

int advance_of(int c) {
  if (c < 33) return 0;
  if (c == 'i') return 3;
  if (c == 'W') return 9;
  return 7;
}

std::string make_vkf(const VkfSpec& spec = {}) {
  const int first = 30, count = 226, w = 8, h = 10;
  std::string head(36, '\0');
  std::memcpy(head.data(), "VKF\x1a", 4);
  put16(head, 8, first);
  put16(head, 10, count);
  put16(head, 12, w);
  put16(head, 14, h);
  put16(head, 16, 0);  // bearing
  put16(head, 18, 5);  // space width
  put16(head, 20, 2);  // line gap
  head[28] = 1;
  head[29] = spec.compressed ? 1 : 0;
  put16(head, 30, 0);
  uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(head.data()), 32));
  put32(head, 32, spec.bad_crc ? crc ^ 1 : crc);
  std::string body(size_t(count) * 6 + size_t(count) * h, '\0');
  for (int i = 0; i < count; i++) {
    int c = first + i, adv = advance_of(c);
    int ink = c == 'W' ? 8 : adv;
    put16(body, size_t(2 * i), 0);
    put16(body, size_t(2 * (count + i)), adv ? std::min(ink, w) : 0);
    put16(body, size_t(2 * (2 * count + i)), adv);
    for (int row = 2; row < 8 && adv; row++) {
      uint8_t bits = uint8_t(0xFF << (8 - std::min(ink, w)));
      body[size_t(count) * 6 + size_t(i) * h + size_t(row)] = char(bits);
    }
  }
  std::string out = head;
  if (spec.compressed) {
    out.resize(44);
    uLongf packed = compressBound(uLong(body.size()));
    std::string z(packed, '\0');
    compress2(reinterpret_cast<Bytef*>(z.data()), &packed, reinterpret_cast<const Bytef*>(body.data()),
              uLong(body.size()), 9);
    z.resize(packed);
    put32(out, 36, uint32_t(packed));
    put32(out, 40, uint32_t(int64_t(body.size()) + spec.wrong_unpacked));
    out += z;
  } else {
    out += body;
  }
  out.resize(out.size() - spec.cut);
  return out;
}

uint32_t decode(const std::string& bytes, std::string* error = nullptr) {
  base::Result<uint32_t> got = text::decode_font(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (error) *error = got.error();
  return got.value();
}

}  // namespace

using FontFiles = VmTest;

TEST_F(FontFiles, VkfGlyphsOnlyForItsRangeAndMetricsFromTheTables) {
  for (bool compressed : {false, true}) {
    uint32_t h = decode(make_vkf({.compressed = compressed}));
    text::Font* f = text::font_of(h);
    ASSERT_NE(f, nullptr) << compressed;
    EXPECT_EQ(f->h.first_char, 30);
    EXPECT_EQ(f->h.space_width, 5);
    EXPECT_EQ(f->h.max_advance, 9);
    EXPECT_EQ(f->metrics('A').advance, 7);
    EXPECT_EQ(f->metrics(29).advance, 0);  // below the first character: absent
    EXPECT_EQ(f->cell(29), nullptr);
    ASSERT_NE(f->cell('A'), nullptr);
    EXPECT_EQ(f->coverage(f->cell('A'), 0, 2), 255);
    EXPECT_EQ(f->coverage(f->cell('A'), 7, 2), 0);
    EXPECT_EQ(f->coverage(f->cell('A'), 0, 1), 0);
    EXPECT_EQ(f->tab_width(), 5);
    vm::element_release(h);
  }
}

TEST_F(FontFiles, BrokenFilesAreRefusedWithAReason) {
  std::string why;
  EXPECT_EQ(decode(make_vkf({.bad_crc = true}), &why), 0u);
  EXPECT_NE(why.find("checksum"), std::string::npos);
  EXPECT_EQ(decode(make_vkf({.cut = 1}), &why), 0u);
  EXPECT_NE(why.find("cut short"), std::string::npos);
  EXPECT_EQ(decode(make_vkf({.compressed = true, .cut = 3}), &why), 0u);
  EXPECT_EQ(decode(make_vkf({.compressed = true, .wrong_unpacked = 1}), &why), 0u);
  EXPECT_EQ(decode(make_vkf({.compressed = true, .wrong_unpacked = -1}), &why), 0u);
  EXPECT_EQ(decode("GIF89a"), 0u);
  EXPECT_EQ(decode(""), 0u);
  // A VKF whose characters run past 255.
  std::string past = make_vkf();
  put16(past, 10, 227);
  EXPECT_EQ(text::decode_font(reinterpret_cast<const uint8_t*>(past.data()), past.size(), false).value(), 0u);
}

TEST_F(FontFiles, QnfRoundTripAndVersionZero) {
  uint32_t h = decode(make_vkf());
  text::Font* f = text::font_of(h);
  ASSERT_NE(f, nullptr);
  f->h.tab_unit = 11;
  std::vector<uint8_t> qnf = text::encode_qnf(*f);
  ASSERT_EQ(qnf.size(), 5196u + size_t(f->h.data_size));
  uint32_t back = text::decode_font(qnf.data(), qnf.size()).value();
  text::Font* g = text::font_of(back);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(std::memcmp(&g->h, &f->h, sizeof f->h), 0);
  EXPECT_EQ(std::memcmp(g->data, f->data, size_t(f->h.data_size)), 0);

  // Version 0: 5192 bytes of record, no tab unit (the space width serves).
  std::vector<uint8_t> v0(qnf.begin(), qnf.begin() + 5192);
  v0[3] = 0;
  v0.insert(v0.end(), qnf.begin() + 5196, qnf.end());
  uint32_t old = text::decode_font(v0.data(), v0.size()).value();
  ASSERT_NE(text::font_of(old), nullptr);
  EXPECT_EQ(text::font_of(old)->h.tab_unit, 0);
  EXPECT_EQ(text::font_of(old)->tab_width(), 5);

  // A data size that disagrees with the cells, and data cut short.
  std::vector<uint8_t> bad = qnf;
  bad[4] ^= 1;
  EXPECT_EQ(text::decode_font(bad.data(), bad.size()).value(), 0u);
  EXPECT_EQ(text::decode_font(qnf.data(), qnf.size() - 1).value(), 0u);
  // Metrics so large that layout sums could overflow.
  std::vector<uint8_t> huge = qnf;
  const int32_t far = 1 << 20;
  std::memcpy(huge.data() + 72 + 20 * 'A' + 16, &far, 4);  // the advance of "A"
  EXPECT_EQ(text::decode_font(huge.data(), huge.size()).value(), 0u);
  // VKF written back reads as the same font.
  std::vector<uint8_t> vkf = text::encode_vkf(*f, true).value();
  uint32_t again = text::decode_font(vkf.data(), vkf.size()).value();
  ASSERT_NE(text::font_of(again), nullptr);
  EXPECT_EQ(std::memcmp(text::font_of(again)->h.glyphs, f->h.glyphs, sizeof f->h.glyphs), 0);
  for (uint32_t e : {h, back, old, again}) vm::element_release(e);
}

class TextTest : public WorkDirTest {
 protected:
  void SetUp() override {
    WorkDirTest::SetUp();
    write("test.vkf", make_vkf());
    run0(vm::h_font, {T("test")});
    ASSERT_NE(text::current_font(*ctx), nullptr);
  }
  void kSet(vm::SysVar v, int64_t value) { call(vm::sysvar_handler(v), {I(value)}, false); }
  int64_t width(std::string_view s) { return N(vm::h_textwidth, {T(s)}); }
  int64_t height(std::string_view s, int64_t max_width = 0, int64_t start = 1, int64_t max_height = 0) {
    return N(vm::h_textheight, {T(s), I(max_width), I(start), I(max_height)});
  }
};

TEST_F(TextTest, AdvancesOfAbsentGlyphsMonospaceAndOverhang) {
  EXPECT_EQ(width("AB"), 14);
  EXPECT_EQ(width(std::string("A\x01" "B")), 14);  // no glyph: no room
  EXPECT_EQ(width("A B"), 19);
  EXPECT_EQ(width("iW"), 12);
  EXPECT_EQ(width("AB\nA"), 14);
  EXPECT_EQ(N(vm::h_textwidthlast, {T("AB\nA")}), 7);
  kSet(vm::SV_var_textmonospace, 1);
  EXPECT_EQ(width("iW"), 18);  // max advance each
  kSet(vm::SV_var_textmonospace, 0);
  kSet(vm::SV_var_textkern, 2);
  EXPECT_EQ(width("AB"), 18);
}

TEST_F(TextTest, TabStopsFromTheTabSize) {
  kSet(vm::SV_var_texttabsize, 4);  // 4 x space width 5: every 20 pixels
  EXPECT_EQ(width("A\tB"), 27);
  EXPECT_EQ(width("AAA\tB"), 47);
  kSet(vm::SV_var_texttabsize, -30);
  EXPECT_EQ(width("A\tB"), 37);
  kSet(vm::SV_var_texttabsize, 0);
  EXPECT_EQ(width("A\tB"), 14);
}

TEST_F(TextTest, FontGapsRestoreTheLoadedGaps) {
  run0(vm::h_fontgaps, {I(5)});
  EXPECT_EQ(width("AB"), 24);
  run0(vm::h_fontgaps, {I(1), I(9), I(4)});
  EXPECT_EQ(width("A B"), 25);
  EXPECT_EQ(height("A\nB"), 24);
  run0(vm::h_fontgaps, {});
  EXPECT_EQ(width("A B"), 19);
  EXPECT_EQ(height("A\nB"), 22);
}

TEST_F(TextTest, WrappingBreaksAtSpacesOrBeforeTheCharacterThatDoesNotFit) {
  EXPECT_EQ(height("AAA AAA"), 10);
  EXPECT_EQ(height("AAA AAA", 30), 22);
  EXPECT_EQ(height("AAAAAA", 30), 22);  // no space: broken before the fifth A
  EXPECT_EQ(height("AAAAAA", 30, 1, 15), 4);
  EXPECT_EQ(height("AAA AAA", 30, 1, 15), 4);  // the second line starts at byte 4
  EXPECT_EQ(height("AAA AAA", 30, 1, -15), 2); // the last lines in 15 pixels start at line 2
  EXPECT_EQ(height("AAA AAA", 30, 1, -30), 1);
  EXPECT_EQ(height("AAA AAA", 30, 5), 10);     // from the second word
  // Hyphens break only with wrappunct, and stay on the first line.
  EXPECT_EQ(height("AA-AA", 30, 1, 10), 4);
  kSet(vm::SV_var_textwrappunct, 1);
  EXPECT_EQ(height("AA-AA", 30, 1, 10), 3);
  kSet(vm::SV_var_textclip, 1);
  EXPECT_EQ(height("AAAAAA", 30), 10);
}

TEST_F(TextTest, WrapJoinsSingleNewlinesOnly) {
  EXPECT_EQ(height("one\ntwo"), 22);
  kSet(vm::SV_var_textwrap, 1);
  EXPECT_EQ(height("one\ntwo"), 10);
  EXPECT_EQ(height("one\r\ntwo"), 10);
  EXPECT_EQ(height("one\n\ntwo"), 34);
  EXPECT_EQ(height("one \ntwo"), 22);  // after a space the newline still ends the line
  kSet(vm::SV_var_texthtml, 1);
  EXPECT_EQ(height("one<br>two"), 22);  // HTML: a newline is white space; lines break at tags
}

class TextDrawTest : public TextTest {
 protected:
  void SetUp() override {
    TextTest::SetUp();
    img_handle = gfx::image_create(100, 40, 24, nullptr, nullptr);
    img = gfx::image_of(img_handle);
    img->st.color = 0xFFFFFF;
    vm::element_ref(text::current_font(*ctx)->self);
    img->st.font = text::current_font(*ctx)->self;
    gfx::set_target(*ctx, img_handle);
  }
  void TearDown() override {
    gfx::set_target(*ctx, 0);
    vm::element_release(img_handle);
    TextTest::TearDown();
  }
  // The first and last columns with ink on row y.
  std::pair<int, int> ink(int y) {
    int a = -1, b = -1;
    for (int x = 0; x < img->width(); x++)
      if (gfx::get_pixel(*img, x, y) == 0xFFFFFF) {
        if (a < 0) a = x;
        b = x;
      }
    return {a, b};
  }
  void clear() { gfx::fill_rect(*img, 0, 0, 99, 39, 0); }
  uint32_t img_handle = 0;
  gfx::Image* img = nullptr;
};

TEST_F(TextDrawTest, AlignmentsAndThePenAfterwards) {
  run0(vm::h_text, {I(0), I(0), T("AB")});
  EXPECT_EQ(ink(4), std::make_pair(0, 13));
  EXPECT_EQ(img->st.text_x, 14);
  EXPECT_EQ(img->st.text_y, 0);
  run0(vm::h_textln, {T("A")});
  EXPECT_EQ(img->st.text_x, 0);
  EXPECT_EQ(img->st.text_y, 12);

  clear();
  kSet(vm::SV_var_textright, 1);
  run0(vm::h_text, {I(0), I(0), T("AB")});
  EXPECT_EQ(ink(4), std::make_pair(86, 99));
  clear();
  kSet(vm::SV_var_textcenter, 1);
  run0(vm::h_text, {I(0), I(0), T("AB")});
  EXPECT_EQ(ink(4), std::make_pair(43, 56));

  // An x word aligns that call only.
  clear();
  kSet(vm::SV_var_textleft, 1);
  run0(vm::h_text, {T("center"), I(0), T("AB")});
  EXPECT_EQ(ink(4), std::make_pair(43, 56));
  clear();
  run0(vm::h_text, {I(0), I(0), T("AB")});
  EXPECT_EQ(ink(4), std::make_pair(0, 13));
}

TEST_F(TextDrawTest, JustifiedLinesShareTheSpareRoomAmongTheirSpaces) {
  kSet(vm::SV_var_textjustified, 1);
  // Lines of "A A A" (31 pixels) broken by wrapping in 40 pixels.
  img->st.maxx = 39;
  run0(vm::h_text, {I(0), I(0), T("A A A A A A")});
  // The first line is stretched to the full width: its last A ends at 39.
  EXPECT_EQ(ink(4).second, 39);
  // The last line ends with the text and is not stretched.
  EXPECT_EQ(ink(16).second, 30);
}

TEST_F(TextDrawTest, ClipAndDrawOff) {
  img->st.maxx = 29;
  kSet(vm::SV_var_textclip, 1);
  run0(vm::h_text, {I(0), I(0), T("AAAAAA")});
  EXPECT_EQ(ink(4), std::make_pair(0, 29));  // cut at the clip edge
  EXPECT_EQ(ink(16).first, -1);              // not wrapped
  clear();
  kSet(vm::SV_var_textdraw, 0);
  run0(vm::h_text, {I(0), I(0), T("AB")});
  EXPECT_EQ(ink(4).first, -1);
  EXPECT_EQ(img->st.text_x, 14);
}

// Glyphs are blended into 32-bit images four pixels at a time and into
// 24-bit ones pixel by pixel: both must give the same colours, at every
// depth of font cell, with and without a filter level, with glyphs whole
// and cut by both image edges and spans ending at every remainder of four,
// and the alpha bytes of the 32-bit image must stay.
TEST_F(TextDrawTest, ThirtyTwoBitTextEqualsTwentyFourBit) {
  uint32_t seed = 0x9E3779B9u;
  auto next = [&seed] {
    seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
    return seed;
  };
  for (int bits : {1, 2, 4, 8})
    for (int filter : {0, 77})
      for (int x : {-11, -3, 0, 1, 2, 3, 80, 93}) {
        const uint32_t font = text::font_create();
        text::Font* f = text::font_of(font);
        f->h.cell_width = 13, f->h.cell_height = 9, f->h.first_char = 'A', f->h.cell_count = 2;
        f->h.bits_per_pixel = bits, f->h.anti = bits > 1, f->h.max_advance = 14;
        // A's ink box is the whole cell (drawn whole where it fits, by
        // groups of four pixels), B's ends before the cell's last columns.
        f->h.glyphs['A'] = {0, 13, 0, 1, 14};
        f->h.glyphs['B'] = {0, 11, 0, 3, 14};
        f->h.data_size = (bits * 13 + 7) / 8 * 9 * 2;
        std::vector<uint8_t> cells(size_t(f->h.data_size));
        for (uint8_t& b : cells) b = uint8_t(next() & next());  // about a quarter of the bits set
        ASSERT_TRUE(text::font_set_data(*f, cells));
        uint32_t handles[2];
        for (int k = 0; k < 2; k++) {
          handles[k] = gfx::image_create(100, 20, k ? 32 : 24, nullptr, nullptr);
          gfx::Image* im = gfx::image_of(handles[k]);
          seed = 12345;  // the same background in both
          for (int y = 0; y < 20; y++)
            for (int i = 0; i < 100; i++) {
              const uint32_t v = next();
              std::memcpy(im->row(y) + i * im->bytes_pp, &v, size_t(im->bytes_pp));
            }
          im->st.color = 0x3C9DE1;
          im->st.filter = filter;
          vm::element_ref(font);
          vm::element_release(im->st.font);
          im->st.font = font;
          gfx::set_target(*ctx, handles[k]);
          run0(vm::h_text, {I(x), I(3), T("ABBA")});
        }
        gfx::Image* a = gfx::image_of(handles[0]);
        gfx::Image* b = gfx::image_of(handles[1]);
        for (int y = 0; y < 20; y++)
          for (int i = 0; i < 100; i++)
            ASSERT_EQ(gfx::get_pixel(*a, i, y), gfx::get_pixel(*b, i, y))
                << "bits " << bits << " filter " << filter << " x " << x << " at " << i << ", " << y;
        seed = 12345;
        for (int y = 0; y < 20; y++)
          for (int i = 0; i < 100; i++) ASSERT_EQ(b->row(y)[i * 4 + 3], next() >> 24) << "alpha at " << i << ", " << y;
        gfx::set_target(*ctx, img_handle);
        for (uint32_t h : handles) vm::element_release(h);
        vm::element_release(font);
      }
}

TEST_F(TextDrawTest, ShadowInTheBackgroundColourOffsetByDirection) {
  img->st.back = 0x0000FF;
  run0(vm::h_fontshadow, {I(8), I(2), I(3)});  // right and down
  run0(vm::h_text, {I(10), I(10), T("A")});
  EXPECT_EQ(gfx::get_pixel(*img, 10, 12), 0xFFFFFFu);
  EXPECT_EQ(gfx::get_pixel(*img, 17 + 1, 12 + 3), 0x0000FFu);
  EXPECT_EQ(gfx::get_pixel(*img, 9, 12), 0u);
  // Direction from the signs when none is given.
  run0(vm::h_fontshadow, {I(0), I(-2), I(-1)});
  EXPECT_EQ(text::text_state(*ctx).shadow_pos, 4);
  EXPECT_EQ(text::text_state(*ctx).shadow_x, 2);
  run0(vm::h_fontshadow, {I(3)});
  EXPECT_EQ(text::text_state(*ctx).shadow_x, 0);
}

TEST_F(TextTest, SavedFontsLoadBackPlainAndCompressed) {
  run0(vm::h_fontsave, {T("test"), T("copy")});
  run0(vm::h_fontsavecompressed, {T("test"), T("packed.qnf")});
  std::string plain = slurp("copy.qnf"), packed = slurp("packed.qnf");
  ASSERT_EQ(plain.size(), 5196u + 226u * 10u);
  ASSERT_GE(packed.size(), 2u);
  EXPECT_EQ(uint8_t(packed[0]), 0x1F);  // gzip
  EXPECT_EQ(uint8_t(packed[1]), 0x8B);
  // Both load by name (the gzip one inflated on the way) into their own
  // variables, without being selected.
  run0(vm::h_fontload, {T("copy")});
  run0(vm::h_fontload, {T("small"), T("packed")});
  text::Font* a = text::font_of(var("copy"));
  text::Font* b = text::font_of(var("small"));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::memcmp(&a->h, &b->h, sizeof a->h), 0);
  EXPECT_EQ(text::current_font(*ctx), text::font_of(var("test")));
  run0(vm::h_fontfree, {T("small")});
  EXPECT_EQ(text::font_of(var("small")), nullptr);
}

TEST_F(TextTest, MissingAndBrokenFonts) {
  run0(vm::h_fontload, {T("nowhere")});
  EXPECT_EQ(ctx->stop, vm::kErrMissingFile);
  ctx->stop = 0;
  // A broken file gives no font: font falls back to the default font
  // (none here, without the player's archive) and the variable is untouched.
  write("broken.vkf", make_vkf({.bad_crc = true}));
  testing::internal::CaptureStderr();
  run0(vm::h_font, {T("broken")});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("checksum"), std::string::npos);
  EXPECT_TRUE(var("broken").is_null());
  EXPECT_EQ(ctx->stop, 0);
  EXPECT_EQ(N(vm::h_textwidth, {T("AB")}), 0);  // nothing to measure with
}

TEST_F(TextDrawTest, ScrollMovesTheClipAreaUpByWhatIsMissing) {
  // Lines 12 pixels apart from y 10: the third would end at row 43 of 40.
  run0(vm::h_text, {I(0), I(10), T("A\nB\nC\nD")});
  EXPECT_EQ(img->st.text_y, 46);  // without scrolling the pen runs on below
  clear();
  kSet(vm::SV_var_textscroll, 1);
  img->st.back = 0x000080;
  run0(vm::h_text, {I(0), I(10), T("A\nB\nC\nD")});
  EXPECT_EQ(img->st.text_y, 30);  // the last line sits at the bottom
  EXPECT_EQ(ink(32).first, 0);    // "D"
  EXPECT_EQ(ink(20).first, 0);    // "C", moved up by 16 in all
  EXPECT_EQ(gfx::get_pixel(*img, 50, 39), 0x000080u);  // freed rows in the background colour
  EXPECT_EQ(gfx::get_pixel(*img, 50, 0), 0u);          // rows that only moved keep their pixels
}

TEST_F(TextTest, InlineFontAndColourCodes) {
  write("other.vkf", make_vkf());
  run0(vm::h_font, {T("other")});
  run0(vm::h_fontgaps, {I(4)});  // "other" advances 11 a character
  run0(vm::h_font, {T("test")});
  const std::string mixed = "A~{other}A~{}A";
  EXPECT_EQ(width(mixed), 7 * 14);  // codes off: every byte is a character
  kSet(vm::SV_var_textfontcodes, 1);
  EXPECT_EQ(width(mixed), 7 + 11 + 7);
  EXPECT_EQ(width("~~"), 7);                // one tilde
  EXPECT_EQ(width("A~{nowhere}A"), 14);     // a font not found keeps the font
  kSet(vm::SV_var_textcolorcodes, 1);
  EXPECT_EQ(width("^CA^#00FF00A^^"), 21);   // two codes, then one caret
  EXPECT_EQ(width("^ZA"), 21);              // not a code: drawn as it is
}
