// System fonts: the fontstyle keywords, faces found by Windows names, the
// metrics and cells of rasterised fonts, size bounds, and the commands.
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "text/font.h"
#include "text/sysfont.h"
#include "vm/commands.h"
#include "vm_fixture.h"

using text::Font;
using text::StyleArg;
using text::SystemFontDesc;

namespace {

StyleArg W(const char* w) { return StyleArg{false, 0, w}; }
StyleArg N(int64_t n) { return StyleArg{true, n, {}}; }

struct Styled {
  SystemFontDesc d = text::default_system_desc();
  int32_t first = 0, last = 255;
  bool render = false;
  Styled& apply(std::vector<StyleArg> args) {
    text::apply_font_style(d, first, last, render, args);
    return *this;
  }
};

std::string face_of(const SystemFontDesc& d) { return std::string(d.face, strnlen(d.face, sizeof d.face)); }

}  // namespace

TEST(FontStyle, InitAntiBoldAnsiAndAnOutOfRangeNumber) {
  Styled s;
  s.d.height = 40;
  s.d.italic = 1;
  std::memcpy(s.d.face, "Courier New", 12);
  s.first = 20;
  s.last = 100;
  s.apply({W("init"), W("anti"), W("bold"), W("ansi"), N(265)});
  EXPECT_EQ(s.d.anti, 1);
  EXPECT_EQ(s.d.weight, 700);
  EXPECT_EQ(face_of(s.d), "Arial");
  EXPECT_EQ(s.d.height, -16);
  EXPECT_EQ(s.d.italic, 0);
  EXPECT_EQ(s.d.charset, 0);
  EXPECT_EQ(s.first, 0);
  EXPECT_EQ(s.last, 255);  // 265 clamped
}

TEST(FontStyle, OnOffAndOneZeroAreConsumed) {
  EXPECT_EQ(Styled().apply({W("bold"), W("off")}).d.weight, 400);
  EXPECT_EQ(Styled().apply({W("heavy"), N(0)}).d.weight, 400);
  EXPECT_EQ(Styled().apply({W("SemiBold"), W("ON")}).d.weight, 600);
  // The 1 after italic is its switch, not a range number.
  Styled s = Styled().apply({W("italic"), N(1), W("underline"), W("on"), W("strikeout"), N(1)});
  EXPECT_EQ(s.d.italic, 1);
  EXPECT_EQ(s.d.underline, 1);
  EXPECT_EQ(s.d.strikeout, 1);
  EXPECT_EQ(s.last, 255);
  s.apply({W("italic"), W("off"), W("underline"), N(0), W("strikeout"), W("off")});
  EXPECT_EQ(s.d.italic + s.d.underline + s.d.strikeout, 0);
  // anti swallows its switch and stays on.
  EXPECT_EQ(Styled().apply({W("anti"), W("off")}).d.anti, 1);
  // A number other than 0 or 1 after a keyword is a range number.
  Styled r = Styled().apply({W("bold"), N(126)});
  EXPECT_EQ(r.d.weight, 700);
  EXPECT_EQ(r.last, 126);
  EXPECT_EQ(Styled().apply({W("draft")}).d.quality, 1);
  EXPECT_EQ(Styled().apply({W("proof"), W("draft"), W("off")}).d.quality, 0);
}

TEST(FontStyle, NumbersSetTheRangeWithClamping) {
  Styled a = Styled().apply({N(126)});
  EXPECT_EQ(a.first, 0);
  EXPECT_EQ(a.last, 126);
  Styled b = Styled().apply({N(32), N(126)});
  EXPECT_EQ(b.first, 32);
  EXPECT_EQ(b.last, 126);
  Styled c = Styled().apply({N(-5), N(999)});
  EXPECT_EQ(c.first, 0);
  EXPECT_EQ(c.last, 255);
  Styled d = Styled().apply({N(10), N(20), N(30)});
  EXPECT_EQ(d.first, 20);
  EXPECT_EQ(d.last, 30);
  Styled e = Styled().apply({N(40), W("dos")});
  EXPECT_EQ(e.last, 255);
}

TEST(FontStyle, FamilyAndPitchKeepEachOther) {
  EXPECT_EQ(Styled().apply({W("fixed"), W("swiss")}).d.pitch_family, 0x21);
  EXPECT_EQ(Styled().apply({W("swiss"), W("fixed"), W("variable")}).d.pitch_family, 0x22);
  EXPECT_EQ(Styled().apply({W("variable"), W("script"), W("modern")}).d.pitch_family, 0x32);
  EXPECT_EQ(Styled().apply({W("fixed"), W("decorative")}).d.pitch_family, 0x31);
  EXPECT_EQ(Styled().apply({W("fixed"), W("swiss"), W("dontcare")}).d.pitch_family, 0x01);
  // A family keyword switched off leaves the family cleared, the pitch kept.
  EXPECT_EQ(Styled().apply({W("variable"), W("swiss"), W("script"), W("off")}).d.pitch_family, 0x02);
}

TEST(FontStyle, CharsetsPrecisionsAndUnknownWords) {
  EXPECT_EQ(Styled().apply({W("oem")}).d.charset, 255);
  EXPECT_EQ(Styled().apply({W("shiftjis")}).d.charset, 128);
  EXPECT_EQ(Styled().apply({W("hangeul")}).d.charset, 129);
  EXPECT_EQ(Styled().apply({W("chinesebig5")}).d.charset, 136);
  EXPECT_EQ(Styled().apply({W("symbol"), W("default")}).d.charset, 1);
  EXPECT_EQ(Styled().apply({W("truetypeonly")}).d.out_precision, 7);
  EXPECT_EQ(Styled().apply({W("raster"), W("device")}).d.out_precision, 5);
  Styled s = Styled().apply({W("nonsense"), W("wide"), W("bold"), W("render")});
  EXPECT_EQ(s.d.weight, 700);
  EXPECT_TRUE(s.render);
  EXPECT_EQ(face_of(s.d), "Arial");
}

TEST(SystemFace, WindowsNamesFindMetricCompatibleFaces) {
  auto family = [](const char* face) {
    SystemFontDesc d = text::default_system_desc();
    std::memset(d.face, 0, sizeof d.face);
    std::strncpy(d.face, face, sizeof d.face - 1);
    text::ResolvedFace r;
    std::string error;
    EXPECT_TRUE(text::resolve_system_face(d, &r, &error)) << error;
    return r.family;
  };
  EXPECT_EQ(family("Arial"), "Liberation Sans");
  EXPECT_EQ(family("Times New Roman"), "Liberation Serif");
  EXPECT_EQ(family("Courier New"), "Liberation Mono");
  EXPECT_NE(family("No Such Face At All").find("Sans"), std::string::npos);
  EXPECT_NE(family("").find("Sans"), std::string::npos);
}

TEST(SystemFace, CodePointsOfTheCharacterSets) {
  EXPECT_EQ(text::system_code_point(0x80, 0), 0x20ACu);  // euro sign
  EXPECT_EQ(text::system_code_point(0x81, 0), 0u);       // unassigned
  EXPECT_EQ(text::system_code_point(0xE9, 1), 0xE9u);
  EXPECT_EQ(text::system_code_point(0xC4, 255), 0x2500u);  // a box-drawing line
  EXPECT_EQ(text::system_code_point(9, 0), 0u);
  EXPECT_EQ(text::system_code_point(127, 0), 0u);
  EXPECT_EQ(text::system_code_point('A', 128), uint32_t('A'));
}

class SysFont : public VmTest {
 protected:
  void TearDown() override {
    for (uint32_t h : fonts) vm::element_release(h);
    VmTest::TearDown();
  }
  // A font rasterised from a description (null when it fails).
  Font* make(const char* face, int32_t height, void (*edit)(SystemFontDesc&) = nullptr,
             text::SystemFontLayout layout = {}) {
    uint32_t h = text::font_create();
    fonts.push_back(h);
    Font* f = text::font_of(h);
    f->sys = text::default_system_desc();
    std::memset(f->sys.face, 0, sizeof f->sys.face);
    std::strncpy(f->sys.face, face, sizeof f->sys.face - 1);
    f->sys.height = height;
    if (edit) edit(f->sys);
    error.clear();
    return text::rasterize_system_font(*f, layout, &error) ? f : nullptr;
  }
  // Ink pixels of a glyph's cell (coverage of at least 128).
  static int ink(const Font& f, uint8_t c) {
    const uint8_t* cell = f.cell(c);
    int n = 0;
    for (int32_t y = 0; cell && y < f.h.cell_height; y++)
      for (int32_t x = 0; x < f.h.cell_width; x++) n += f.coverage(cell, x, y) >= 128;
    return n;
  }
  // The ink's bounding box of a glyph's cell: {x1, y1, x2, y2}, inclusive.
  static std::vector<int32_t> box(const Font& f, uint8_t c) {
    std::vector<int32_t> b{INT32_MAX, INT32_MAX, -1, -1};
    const uint8_t* cell = f.cell(c);
    for (int32_t y = 0; cell && y < f.h.cell_height; y++)
      for (int32_t x = 0; x < f.h.cell_width; x++)
        if (f.coverage(cell, x, y) >= 128) {
          b[0] = std::min(b[0], x), b[1] = std::min(b[1], y);
          b[2] = std::max(b[2], x), b[3] = std::max(b[3], y);
        }
    return b;
  }
  Font* current() {
    gfx::Image* img = gfx::target(*ctx);
    return img ? text::font_of(img->st.font) : nullptr;
  }
  std::vector<uint32_t> fonts;
  std::string error;
};

TEST_F(SysFont, ArialMetricsAreProportionalAndConsistent) {
  Font* f = make("Arial", -16);
  ASSERT_NE(f, nullptr) << error;
  EXPECT_TRUE(f->is_system);
  EXPECT_EQ(f->h.bits_per_pixel, 1);
  EXPECT_EQ(f->h.anti, 0);
  EXPECT_EQ(f->h.first_char, 32);
  EXPECT_EQ(f->h.first_char + f->h.cell_count - 1, 255);
  EXPECT_GE(f->h.cell_height, 17);  // a 16-pixel em plus the face's internal leading
  EXPECT_LE(f->h.cell_height, 20);
  EXPECT_GT(f->h.space_width, 0);
  EXPECT_EQ(f->h.space_width, f->h.glyphs[int(' ')].advance);
  EXPECT_LT(f->h.glyphs[int('i')].advance, f->h.glyphs[int('W')].advance);
  EXPECT_GT(f->h.tab_unit, 0);
  EXPECT_EQ(f->h.gap_char, 0);
  EXPECT_GE(f->h.gap_line, 0);
  EXPECT_EQ(f->h.glyphs[0x81].advance, 0);  // unassigned in Windows-1252
  EXPECT_GT(f->h.glyphs[0x80].advance, 0);  // the euro sign
  EXPECT_GT(ink(*f, 0x80), 0);
  int32_t widest = 0, largest = 0;
  for (int c = 0; c < 256; c++) {
    const text::Glyph& g = f->h.glyphs[c];
    if (c < f->h.first_char) {
      EXPECT_EQ(g.advance, 0) << c;
    }
    if (!g.advance) continue;
    EXPECT_EQ(g.ink_left, 0) << c;
    EXPECT_EQ(g.advance, g.x_offset + g.ink_right + g.bearing) << c;  // A + B + C
    widest = std::max(widest, g.ink_right);
    largest = std::max(largest, g.advance);
  }
  EXPECT_EQ(f->h.cell_width, widest);
  EXPECT_EQ(f->h.max_advance, largest);
  EXPECT_EQ(int64_t(f->h.data_size), int64_t(f->row_bytes) * f->h.cell_height * f->h.cell_count);
  // The glyph's ink lies where its metrics say: 'l' fills its ink columns.
  std::vector<int32_t> l = box(*f, 'l');
  EXPECT_EQ(l[0], 0);
  EXPECT_EQ(l[2], f->h.glyphs[int('l')].ink_right - 1);
  EXPECT_EQ(ink(*f, ' '), 0);
}

TEST_F(SysFont, CourierNewIsMonospacedAndHeightsFollowTheirSign) {
  Font* f = make("Courier New", -16);
  ASSERT_NE(f, nullptr) << error;
  int32_t adv = f->h.glyphs[int('M')].advance;
  EXPECT_GT(adv, 0);
  for (int c = 32; c < 256; c++)
    if (f->h.glyphs[c].advance) {
      EXPECT_EQ(f->h.glyphs[c].advance, adv) << c;
    }
  EXPECT_EQ(f->h.max_advance, adv);
  EXPECT_EQ(f->h.space_width, adv);
  // A positive height is the cell height itself.
  for (int32_t h : {12, 20, 33}) {
    Font* g = make("Arial", h);
    ASSERT_NE(g, nullptr) << error;
    EXPECT_EQ(g->h.cell_height, h);
  }
  // A larger character height gives larger glyphs.
  Font* big = make("Arial", -32);
  Font* small = make("Arial", -16);
  ASSERT_TRUE(big && small);
  EXPECT_GT(big->h.glyphs[int('W')].advance, small->h.glyphs[int('W')].advance * 3 / 2);
}

TEST_F(SysFont, AntiBoldItalicWidthAndCharacterRange) {
  Font* anti = make("Arial", -16, [](SystemFontDesc& d) { d.anti = 1; });
  ASSERT_NE(anti, nullptr) << error;
  EXPECT_EQ(anti->h.bits_per_pixel, 8);
  EXPECT_EQ(anti->h.anti, 1);
  const uint8_t* o = anti->cell('O');
  bool grey = false;
  for (int32_t y = 0; y < anti->h.cell_height; y++)
    for (int32_t x = 0; x < anti->h.cell_width; x++) {
      uint8_t v = anti->coverage(o, x, y);
      grey |= v > 0 && v < 255;
    }
  EXPECT_TRUE(grey);

  Font* regular = make("Arial", -24);
  Font* bold = make("Arial", -24, [](SystemFontDesc& d) { d.weight = 700; });
  ASSERT_TRUE(regular && bold);
  EXPECT_GT(ink(*bold, 'H'), ink(*regular, 'H') * 5 / 4);

  Font* italic = make("Arial", -24, [](SystemFontDesc& d) { d.italic = 1; });
  ASSERT_NE(italic, nullptr);
  // The upright 'l' is one stroke wide at every row; the italic one leans.
  std::vector<int32_t> up = box(*regular, 'l'), lean = box(*italic, 'l');
  EXPECT_GT(lean[2] - lean[0], up[2] - up[0] + 2);

  Font* wide = make("Arial", -16, [](SystemFontDesc& d) { d.width = 16; });
  Font* narrow = make("Arial", -16, [](SystemFontDesc& d) { d.width = 4; });
  ASSERT_TRUE(wide && narrow);
  EXPECT_GT(wide->h.glyphs[int('n')].advance, 2 * narrow->h.glyphs[int('n')].advance);
  EXPECT_NEAR(wide->h.tab_unit, 16, 1);

  // The range limits the cells; a reversed range is the same range.
  Font* digits = make("Arial", -16);
  digits->h.range_first = 57;
  digits->h.range_last = 48;
  ASSERT_TRUE(text::rasterize_system_font(*digits, &error)) << error;
  EXPECT_EQ(digits->h.first_char, 48);
  EXPECT_EQ(digits->h.cell_count, 10);
  EXPECT_EQ(digits->h.glyphs[int('A')].advance, 0);
  EXPECT_EQ(digits->h.range_first, 57);  // the description is kept as given
}

TEST_F(SysFont, FacesWithoutBoldOrItalicAreThickenedAndSlanted) {
  // DejaVu Sans Light has only an extra-light face (fonts-dejavu-extra).
  SystemFontDesc d = text::default_system_desc();
  std::strcpy(d.face, "DejaVu Sans Light");
  d.weight = 700;
  d.italic = 1;
  text::ResolvedFace r;
  if (!text::resolve_system_face(d, &r, &error) || r.style != "ExtraLight") GTEST_SKIP() << "DejaVu Sans Light is not installed";
  Font* light = make("DejaVu Sans Light", -24);
  Font* bold = make("DejaVu Sans Light", -24, [](SystemFontDesc& e) { e.weight = 700; });
  Font* italic = make("DejaVu Sans Light", -24, [](SystemFontDesc& e) { e.italic = 1; });
  ASSERT_TRUE(light && bold && italic) << error;
  EXPECT_GT(ink(*bold, 'H'), ink(*light, 'H') * 3 / 2);
  EXPECT_GT(bold->h.glyphs[int('H')].advance, light->h.glyphs[int('H')].advance);
  std::vector<int32_t> up = box(*light, 'l'), lean = box(*italic, 'l');
  EXPECT_GT(lean[2] - lean[0], up[2] - up[0] + 2);
}

TEST_F(SysFont, UnderlineAndStrikeoutJoinFromGlyphToGlyph) {
  Font* plain = make("Arial", -20);
  Font* under = make("Arial", -20, [](SystemFontDesc& d) { d.underline = 1; });
  Font* strike = make("Arial", -20, [](SystemFontDesc& d) { d.strikeout = 1; });
  ASSERT_TRUE(plain && under && strike);
  for (Font* f : {under, strike}) {
    for (uint8_t c : {uint8_t(' '), uint8_t('i'), uint8_t('W')}) {
      const text::Glyph& g = f->h.glyphs[c];
      EXPECT_EQ(g.advance, plain->h.glyphs[c].advance);
      EXPECT_LE(g.x_offset, 0);
      EXPECT_GE(g.x_offset + g.ink_right, g.advance);
      // Some row is inked across the whole advance.
      const uint8_t* cell = f->cell(c);
      bool full_row = false;
      for (int32_t y = 0; y < f->h.cell_height && !full_row; y++) {
        bool all = true;
        for (int32_t x = -g.x_offset; x < g.advance - g.x_offset; x++) all &= f->coverage(cell, x, y) >= 128;
        full_row = all;
      }
      EXPECT_TRUE(full_row) << int(c);
    }
  }
  // The underline lies below the baseline, the strikeout above it.
  std::vector<int32_t> u = box(*under, ' '), s = box(*strike, ' ');
  EXPECT_GT(u[1], s[3]);
}

TEST_F(SysFont, RotatedFontsTurnTheirGlyphs) {
  Font* upright = make("Arial", -24);
  Font* turned = make("Arial", -24, [](SystemFontDesc& d) { d.orientation = 900; });
  ASSERT_TRUE(upright && turned) << error;
  std::vector<int32_t> a = box(*upright, 'l'), b = box(*turned, 'l');
  EXPECT_GT(a[3] - a[1], 3 * (a[2] - a[0] + 1));  // tall and thin
  EXPECT_GT(b[2] - b[0], 3 * (b[3] - b[1] + 1));  // long and flat
  // Text still runs left to right: every glyph advances.
  EXPECT_GT(turned->h.glyphs[int('l')].advance, 0);
  EXPECT_GT(turned->h.space_width, 0);
  Font* tilted = make("Arial", -24, [](SystemFontDesc& d) {
    d.orientation = -450;
    d.underline = 1;
  });
  ASSERT_NE(tilted, nullptr) << error;
  EXPECT_GT(ink(*tilted, 'M'), 0);
}

TEST_F(SysFont, SizesBeyondTheBoundsAreRefusedAndTheFontKept) {
  Font* f = make("Arial", -16);
  ASSERT_NE(f, nullptr);
  const uint8_t* data = f->data;
  text::FontHeader before = f->h;
  for (int32_t h : {-1001, 1001, INT32_MIN, INT32_MAX}) {
    f->sys.height = h;
    EXPECT_FALSE(text::rasterize_system_font(*f, &error)) << h;
    EXPECT_NE(error.find("height"), std::string::npos) << error;
  }
  f->sys.height = -16;
  f->sys.width = 1001;
  EXPECT_FALSE(text::rasterize_system_font(*f, &error));
  f->sys.width = -3;
  EXPECT_FALSE(text::rasterize_system_font(*f, &error));
  EXPECT_EQ(f->data, data);
  EXPECT_EQ(std::memcmp(&before, &f->h, sizeof before), 0);
  // The largest height is drawn (a few characters, so that the cells stay
  // within the data bound).
  Font* big = make("Arial", -16);
  big->sys.height = -1000;
  big->h.range_first = 'A';
  big->h.range_last = 'C';
  ASSERT_TRUE(text::rasterize_system_font(*big, &error)) << error;
  EXPECT_GT(big->h.cell_height, 1000);
  // All of it at 8 bits per pixel would pass the data bound.
  big->sys.anti = 1;
  big->h.range_first = 32;
  big->h.range_last = 255;
  EXPECT_FALSE(text::rasterize_system_font(*big, &error));
  EXPECT_NE(error.find("bytes"), std::string::npos) << error;
  // A range of control characters has nothing to draw.
  big->sys.height = -16;
  big->h.range_first = 1;
  big->h.range_last = 31;
  EXPECT_FALSE(text::rasterize_system_font(*big, &error));
  EXPECT_EQ(big->h.cell_count, 3);
}

TEST_F(SysFont, SharedOffsetsMakeAFontThatVkfHolds) {
  Font* f = make("DejaVu Sans", -16, nullptr, text::SystemFontLayout{true});
  ASSERT_NE(f, nullptr) << error;
  int32_t x_offset = f->h.glyphs[int('A')].x_offset;
  for (int c = 0; c < 256; c++) {
    const text::Glyph& g = f->h.glyphs[c];
    if (!g.advance) continue;
    EXPECT_EQ(g.x_offset, x_offset) << c;
    EXPECT_EQ(g.bearing, 0) << c;
    EXPECT_GE(g.ink_left, 0) << c;
  }
  base::Result<std::vector<uint8_t>> written = text::encode_vkf(*f, true);
  ASSERT_TRUE(written.ok()) << written.error();
  const std::vector<uint8_t>& vkf = written.value();
  base::Result<uint32_t> decoded = text::decode_font(vkf.data(), vkf.size());
  uint32_t h = decoded.value();
  ASSERT_NE(h, 0u) << decoded.error();
  fonts.push_back(h);
  Font* back = text::font_of(h);
  for (uint8_t c : {uint8_t('j'), uint8_t('W'), uint8_t(' ')}) {
    EXPECT_EQ(back->metrics(c).advance, f->metrics(c).advance) << int(c);
    EXPECT_EQ(back->metrics(c).x_offset, f->metrics(c).x_offset) << int(c);
  }
  EXPECT_EQ(std::memcmp(back->data, f->data, size_t(f->h.data_size)), 0);
}

TEST_F(SysFont, FontdefineStoresSelectsAndReadsItsArguments) {
  run0(vm::h_fontdefine, {T("title"), T("Arial"), I(20)});
  Font* f = text::font_of(var("title"));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(current(), f);
  EXPECT_EQ(f->h.cell_height, 20);
  EXPECT_EQ(face_of(f->sys), "Arial");
  EXPECT_EQ(vm::element_text(f->name), "title");
  // The variable and the drawing target hold it.
  EXPECT_EQ(vm::element_entry(var("title"))->refs, 2);

  run0(vm::h_fontdefine, {T("Courier New"), I(-12)});
  Font* g = current();
  ASSERT_NE(g, nullptr);
  EXPECT_NE(g, f);
  EXPECT_EQ(g->sys.height, -12);
  EXPECT_EQ(vm::element_entry(var("title"))->refs, 1);  // no longer selected

  run0(vm::h_fontdefine, {T("turned"), T("Arial"), I(10), I(-16), I(90)});
  Font* t = text::font_of(var("turned"));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->sys.width, 10);
  EXPECT_EQ(t->sys.height, -16);
  EXPECT_EQ(t->sys.orientation, 900);

  // A size in points is the character height: 12 points at 96 dots per inch.
  vm::Value points = call(vm::h_topoints, {I(12)});
  run0(vm::h_fontdefine, {T("body"), T("Times New Roman"), points});
  Font* b = text::font_of(var("body"));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->sys.height, -16);

  // A refused size stores nothing and keeps the selection.
  testing::internal::CaptureStderr();
  run0(vm::h_fontdefine, {T("huge"), T("Arial"), I(-5000)});
  EXPECT_NE(testing::internal::GetCapturedStderr().find("height"), std::string::npos);
  EXPECT_EQ(text::font_of(var("huge")), nullptr);
  EXPECT_EQ(current(), b);
}

TEST_F(SysFont, FontstyleChangesTheCurrentSystemFont) {
  // Without a system font selected, a fresh Arial is made and selected.
  run0(vm::h_fontstyle, {T("init"), T("anti"), T("bold"), T("ansi"), I(265)});
  Font* f = current();
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->is_system);
  EXPECT_EQ(f->sys.anti, 1);
  EXPECT_EQ(f->sys.weight, 700);
  EXPECT_EQ(f->sys.height, -16);
  EXPECT_EQ(face_of(f->sys), "Arial");
  EXPECT_EQ(f->h.range_last, 255);
  EXPECT_EQ(f->h.bits_per_pixel, 8);
  EXPECT_EQ(vm::element_entry(f->self)->refs, 1);  // held by the target only

  // A system font is changed in place and stays selected.
  run0(vm::h_fontstyle, {T("bold"), T("off"), T("32"), T("126")});
  EXPECT_EQ(current(), f);
  EXPECT_EQ(f->sys.weight, 400);
  EXPECT_EQ(f->h.first_char, 32);
  EXPECT_EQ(f->h.first_char + f->h.cell_count - 1, 126);

  // A description that cannot be drawn leaves the font as it was.
  f->sys.height = -4000;
  testing::internal::CaptureStderr();
  run0(vm::h_fontstyle, {T("italic")});
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(f->sys.italic, 0);
  EXPECT_EQ(f->h.cell_count, 95);
}

TEST_F(SysFont, FamilyListIsSortedUniqueWithStyleWords) {
  std::string list = S(vm::h_fontfamilylist, {});
  std::vector<std::string> lines;
  for (size_t at = 0; at <= list.size();) {
    size_t end = list.find("\r\n", at);
    if (end == std::string::npos) end = list.size();
    lines.push_back(list.substr(at, end - at));
    at = end + 2;
  }
  EXPECT_EQ(list.find('\n', 0) == std::string::npos || list[list.find('\n') - 1] == '\r', true);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Liberation Sans (Bold, Italic)"), lines.end()) << list;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Liberation Mono (Bold, Italic)"), lines.end()) << list;
  std::vector<std::string> families;
  for (const std::string& l : lines) families.push_back(l.substr(0, l.find(" (")));
  for (size_t i = 1; i < families.size(); i++)
    EXPECT_LT(strcasecmp(families[i - 1].c_str(), families[i].c_str()), 0) << families[i];
}
