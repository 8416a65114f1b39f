// System fonts rasterised into bitmap-font records; fontstyle keywords; the
// family list.
#include "text/sysfont.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "base/code_page.h"
#include "platform/font_raster.h"

namespace text {

namespace {

// Code page 437 characters 0x80..0xFF.
constexpr uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

constexpr uint8_t kCharsetAnsi = 0, kCharsetDefault = 1, kCharsetSymbol = 2, kCharsetOem = 255;

platform::FaceRequest request_of(const SystemFontDesc& d) {
  platform::FaceRequest r;
  r.family.assign(d.face, strnlen(d.face, sizeof d.face));
  r.weight = d.weight <= 0 ? 400 : std::clamp<int32_t>(d.weight, 100, 1000);
  r.italic = d.italic != 0;
  return r;
}

// One rendered glyph and where its ink lies in layout coordinates: x from
// the left end of the glyph's advance box, which the pen reaches.
struct Drawn {
  platform::GlyphImage img;  // its coverage is dropped once measured
  uint32_t code_point = 0;
  bool present = false;
  int32_t ink_x = 0;     // A: layout x of the first ink column
  int32_t advance = 0;   // layout advance
  int32_t pen_x = 0;     // layout x of the pen origin the glyph was drawn from
  double pen_advance = 0;  // advance along the (turned) baseline
};

// Writes coverage v at (x, y) of a cell of `bits` per pixel, keeping the
// larger coverage where something is drawn already.
void put_cell(uint8_t* cell, int32_t row_bytes, int32_t bits, int32_t x, int32_t y, uint8_t v) {
  uint8_t* row = cell + size_t(y) * size_t(row_bytes);
  if (bits == 8) {
    row[x] = std::max(row[x], v);
  } else if (v >= 128) {
    row[x >> 3] |= uint8_t(0x80u >> (x & 7));
  }
}

}  // namespace

SystemFontDesc default_system_desc() {
  SystemFontDesc d{};
  d.height = -16;
  std::memcpy(d.face, "Arial", 6);
  return d;
}

uint32_t system_code_point(uint8_t c, uint8_t charset) {
  if (c < 32) return 0;
  if (c < 127) return c;
  if (c == 127) return 0;
  switch (charset) {
    case kCharsetAnsi:
    case kCharsetDefault:
      return base::cp1252_code_point(c);
    case kCharsetOem:
      return kCp437High[c - 0x80];
    default:
      return c < 0xA0 ? 0 : c;
  }
}

bool resolve_system_face(const SystemFontDesc& d, ResolvedFace* out, std::string* error) {
  platform::FaceMatch m;
  if (!platform::font_match(request_of(d), &m, error)) return false;
  out->family = m.family;
  out->style = m.style;
  return true;
}

bool rasterize_system_font(Font& f, std::string* error) { return rasterize_system_font(f, SystemFontLayout{}, error); }

bool rasterize_system_font(Font& f, const SystemFontLayout& layout, std::string* error) {
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  const SystemFontDesc& d = f.sys;
  int32_t height = d.height == 0 ? -16 : d.height;
  if (height < -kMaxSystemFontHeight || height > kMaxSystemFontHeight)
    return fail("font height " + std::to_string(height) + " is beyond " + std::to_string(kMaxSystemFontHeight) +
                " pixels");
  if (d.width < 0 || d.width > kMaxSystemFontWidth)
    return fail("font width " + std::to_string(d.width) + " is outside 0.." + std::to_string(kMaxSystemFontWidth));

  platform::FaceMatch match;
  if (!platform::font_match(request_of(d), &match, error)) return false;
  platform::FontRasterizer raster;
  if (!raster.open(match, error)) return false;

  // The em size: the character height itself, or the share of the cell
  // height that the face's em takes.
  const platform::FaceMetrics& fm = raster.metrics();
  int64_t em64 = int64_t(-height) * 64;
  if (height > 0) {
    int64_t units = int64_t(fm.ascender_units) - fm.descender_units;
    em64 = std::max<int64_t>(64, int64_t(height) * 64 * fm.units_per_em / units);
  }
  platform::RasterSetup setup;
  setup.em_height_64 = em64;
  setup.mono = d.anti == 0;
  int32_t weight = d.weight <= 0 ? 400 : d.weight;
  setup.embolden = weight >= 600 && match.weight < 600;
  setup.oblique = d.italic && !match.italic;
  setup.orientation = d.orientation % 3600;
  if (!raster.configure(setup, error)) return false;
  if (d.width > 0) {
    // Stretch horizontally so that the average character is d.width wide.
    double natural = fm.avg_char_width > 0 ? fm.avg_char_width : double(em64) / 64.0 / 2.0;
    setup.em_width_64 = std::clamp<int64_t>(std::llround(double(em64) * d.width / natural), 1, 64 * 4000);
    if (!raster.configure(setup, error)) return false;
  }

  const bool rotated = setup.orientation != 0;
  const double angle = double(setup.orientation) * M_PI / 1800.0;
  const double cos_a = std::cos(angle), sin_a = std::sin(angle);
  bool symbol_map = d.charset == kCharsetSymbol && raster.use_symbol_map();
  int32_t lo = std::clamp(std::min(f.h.range_first, f.h.range_last), 0, 255);
  int32_t hi = std::clamp(std::max(f.h.range_first, f.h.range_last), 0, 255);

  // The cell's rows: upright fonts from the ascender to the descender (a
  // positive height is the cell height exactly); turned fonts as tall as
  // the tallest turned advance box.
  int32_t ascent = fm.ascender, descent = fm.descender;
  if (height > 0) {
    ascent = std::min(ascent, height);
    descent = height - ascent;
  }

  std::vector<Drawn> glyphs(256);
  double top = 0, bottom = 0;
  int32_t first = -1, last = -1;
  for (int32_t c = lo; c <= hi; c++) {
    uint32_t cp = symbol_map ? (c >= 32 ? 0xF000u + uint32_t(c) : 0) : system_code_point(uint8_t(c), d.charset);
    // The space is always there: a face without one lends it the advance
    // of its missing glyph, without the ink.
    bool has = cp != 0 && raster.has_glyph(cp);
    if (!has && c != 32) continue;
    if (!has) cp = 32;
    Drawn& g = glyphs[size_t(c)];
    if (!raster.render(cp, &g.img)) continue;
    if (!has) g.img.width = g.img.rows = 0;
    g.present = true;
    g.pen_advance = g.img.advance;
    if (!rotated) {
      g.pen_x = 0;
      g.advance = int32_t(std::lround(g.img.advance));
    } else {
      // The advance box [0, advance] x [-descent, ascent], turned.
      double xs[4], ys[4];
      const double bx[4] = {0, g.img.advance, g.img.advance, 0};
      const double by[4] = {-double(descent), -double(descent), double(ascent), double(ascent)};
      for (int k = 0; k < 4; k++) {
        xs[k] = bx[k] * cos_a - by[k] * sin_a;
        ys[k] = bx[k] * sin_a + by[k] * cos_a;
      }
      double xmin = *std::min_element(xs, xs + 4), xmax = *std::max_element(xs, xs + 4);
      top = std::max(top, *std::max_element(ys, ys + 4));
      bottom = std::min(bottom, *std::min_element(ys, ys + 4));
      g.pen_x = -int32_t(std::floor(xmin));
      g.advance = int32_t(std::ceil(xmax - 1e-9)) + g.pen_x;
    }
    g.ink_x = g.img.width > 0 ? g.pen_x + g.img.left : 0;
    g.code_point = cp;
    // Large fonts would hold hundreds of megabytes of glyph images before
    // the size check: the glyphs are measured now and drawn again below.
    g.img.coverage = {};
    if (first < 0) first = c;
    last = c;
  }
  if (first < 0) return fail("the face has no character in the range " + std::to_string(lo) + ".." + std::to_string(hi));
  if (rotated) {
    ascent = int32_t(std::ceil(top - 1e-9));
    descent = int32_t(std::ceil(-bottom - 1e-9));
  }
  int32_t cell_height = std::max(1, ascent + descent);

  // Metrics. The ink of a glyph spans layout columns [from, to); with a
  // line those widen to the whole advance. Its cell starts at column
  // `left`: the ink's own start, or the start shared by every glyph.
  const bool lines = d.underline || d.strikeout;
  auto ink_from = [&](const Drawn& g) { return lines ? std::min(0, g.ink_x) : g.ink_x; };
  auto ink_to = [&](const Drawn& g) { return lines ? std::max(g.ink_x + g.img.width, g.advance) : g.ink_x + g.img.width; };
  auto empty = [&](const Drawn& g) { return g.img.width == 0 && !lines; };
  int32_t shared_left = 0;
  if (layout.shared_offsets)
    for (int32_t c = first; c <= last; c++)
      if (glyphs[size_t(c)].present && !empty(glyphs[size_t(c)]))
        shared_left = std::min(shared_left, ink_from(glyphs[size_t(c)]));
  FontHeader h{};
  std::memcpy(h.magic, "QNF", 3);
  h.version = 1;
  h.first_char = first;
  h.cell_count = last - first + 1;
  h.cell_height = cell_height;
  h.bits_per_pixel = d.anti ? 8 : 1;
  h.anti = d.anti ? 1 : 0;
  h.range_first = f.h.range_first;
  h.range_last = f.h.range_last;
  h.scale = 1;
  std::vector<int32_t> cell_left(256, 0);
  for (int32_t c = first; c <= last; c++) {
    const Drawn& g = glyphs[size_t(c)];
    if (!g.present) continue;
    int32_t from = empty(g) ? 0 : ink_from(g), to = empty(g) ? 0 : ink_to(g);
    int32_t left = layout.shared_offsets ? shared_left : from;
    Glyph& m = h.glyphs[c];
    m.x_offset = left;
    // The ink box starts at pen x + x_offset with cell column 0, so a cell
    // shared with other glyphs' offset keeps its leading blank columns.
    m.ink_left = 0;
    m.ink_right = empty(g) ? 0 : to - left;
    m.bearing = layout.shared_offsets ? 0 : g.advance - to;
    m.advance = g.advance;
    cell_left[size_t(c)] = left;
    h.cell_width = std::max(h.cell_width, m.ink_right);
    h.max_advance = std::max(h.max_advance, m.advance);
  }
  h.cell_width = std::max(h.cell_width, 1);
  h.space_width = h.glyphs[32].advance;
  h.gap_char = 0;
  h.gap_line = std::max(0, fm.line_height - (fm.ascender + fm.descender));
  if (fm.avg_char_width > 0) {
    h.tab_unit = int32_t(std::lround(fm.avg_char_width));
  } else {
    int64_t sum = 0, count = 0;
    for (int32_t c = first; c <= last; c++)
      if (h.glyphs[c].advance > 0) sum += h.glyphs[c].advance, count++;
    h.tab_unit = count ? int32_t(sum / count) : h.space_width;
  }
  if (h.space_width <= 0) h.space_width = h.tab_unit;

  int64_t row_bytes = (int64_t(h.bits_per_pixel) * h.cell_width + 7) / 8;
  int64_t cell_bytes = row_bytes * cell_height;
  int64_t data_size = cell_bytes * h.cell_count;
  if (h.cell_width > kMaxFontCellSide || cell_height > kMaxFontCellSide)
    return fail("the font's cells (" + std::to_string(h.cell_width) + " x " + std::to_string(cell_height) +
                ") are larger than " + std::to_string(kMaxFontCellSide) + " pixels");
  if (data_size > kMaxFontDataBytes)
    return fail("the font's cells need " + std::to_string(data_size) + " bytes, more than " +
                std::to_string(kMaxFontDataBytes));
  h.data_size = int32_t(data_size);

  // The cells: the ink, then the underline and strikeout strokes.
  std::vector<uint8_t> data(size_t(data_size), 0);
  auto stroke = [&](double center_or_bottom, double thickness, bool from_bottom, int32_t& y_lo, int32_t& y_hi) {
    int32_t t = std::max(1, int32_t(std::lround(thickness)));
    y_lo = from_bottom ? int32_t(std::lround(center_or_bottom)) : int32_t(std::lround(center_or_bottom + t / 2.0)) - t;
    if (!rotated && y_lo < -descent) y_lo = -descent;  // keep it inside the cell
    y_hi = y_lo + t;
  };
  int32_t under_lo = 0, under_hi = 0, strike_lo = 0, strike_hi = 0;
  stroke(fm.underline_position, fm.underline_thickness, false, under_lo, under_hi);
  stroke(fm.strikeout_position, fm.strikeout_thickness, true, strike_lo, strike_hi);
  for (int32_t c = first; c <= last; c++) {
    const Drawn& g = glyphs[size_t(c)];
    if (!g.present) continue;
    uint8_t* cell = data.data() + size_t(c - first) * size_t(cell_bytes);
    int32_t left = cell_left[size_t(c)];
    platform::GlyphImage img;
    if (!raster.render(g.code_point, &img)) img = platform::GlyphImage{};
    int32_t rows = std::min(img.rows, g.img.rows), width = std::min(img.width, g.img.width);
    for (int32_t y = 0; y < rows; y++) {
      int32_t row = ascent - g.img.top + y;
      if (row < 0 || row >= cell_height) continue;
      for (int32_t x = 0; x < width; x++) {
        int32_t col = g.ink_x + x - left;
        uint8_t v = img.coverage[size_t(y) * size_t(img.width) + size_t(x)];
        if (v && col >= 0 && col < h.cell_width) put_cell(cell, int32_t(row_bytes), h.bits_per_pixel, col, row, v);
      }
    }
    if (!lines) continue;
    // A cell pixel is on a stroke when its centre, taken back to the upright
    // glyph's coordinates (pen origin, y up), lies in the stroke's rectangle.
    for (int32_t row = 0; row < cell_height; row++) {
      for (int32_t col = 0; col < h.glyphs[c].ink_right; col++) {
        double px = left + col + 0.5 - g.pen_x, py = ascent - (row + 0.5);
        double ux = px * cos_a + py * sin_a, uy = -px * sin_a + py * cos_a;
        if (ux < 0 || ux >= (rotated ? g.pen_advance : double(g.advance))) continue;
        bool on = (d.underline && uy >= under_lo && uy < under_hi) || (d.strikeout && uy >= strike_lo && uy < strike_hi);
        if (on) put_cell(cell, int32_t(row_bytes), h.bits_per_pixel, col, row, 255);
      }
    }
  }

  f.h = h;
  if (!font_set_data(f, std::move(data))) return fail("the font's sizes disagree");
  f.is_system = true;
  return true;
}

// --- fontstyle ------------------------------------------------------------------------------------

namespace {

enum class Kw {
  Ansi, Anti, Bold, ChineseBig5, Decorative, Default, Device, DontCare, Dos, Draft, ExtraBold, ExtraLight, Fixed,
  Hangeul, Heavy, Init, Italic, Light, Medium, Modern, Normal, Oem, Proof, Raster, Render, Script, SemiBold,
  ShiftJis, Strikeout, Swiss, Symbol, Thin, TrueType, TrueTypeOnly, Underline, Variable, Wide,
};

struct KwEntry {
  const char* word;
  Kw kw;
};
constexpr KwEntry kKeywords[] = {
    {"ansi", Kw::Ansi}, {"anti", Kw::Anti}, {"bold", Kw::Bold}, {"chinesebig5", Kw::ChineseBig5},
    {"decorative", Kw::Decorative}, {"default", Kw::Default}, {"device", Kw::Device}, {"dontcare", Kw::DontCare},
    {"dos", Kw::Dos}, {"draft", Kw::Draft}, {"extrabold", Kw::ExtraBold}, {"extralight", Kw::ExtraLight},
    {"fixed", Kw::Fixed}, {"hangeul", Kw::Hangeul}, {"heavy", Kw::Heavy}, {"init", Kw::Init},
    {"italic", Kw::Italic}, {"light", Kw::Light}, {"medium", Kw::Medium}, {"modern", Kw::Modern},
    {"normal", Kw::Normal}, {"oem", Kw::Oem}, {"proof", Kw::Proof}, {"raster", Kw::Raster},
    {"render", Kw::Render}, {"script", Kw::Script}, {"semibold", Kw::SemiBold}, {"shiftjis", Kw::ShiftJis},
    {"strikeout", Kw::Strikeout}, {"swiss", Kw::Swiss}, {"symbol", Kw::Symbol}, {"thin", Kw::Thin},
    {"truetype", Kw::TrueType}, {"truetypeonly", Kw::TrueTypeOnly}, {"underline", Kw::Underline},
    {"variable", Kw::Variable}, {"wide", Kw::Wide},
};

bool find_keyword(std::string_view word, Kw* out) {
  std::string lower(word);
  for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  for (const KwEntry& e : kKeywords)
    if (lower == e.word) {
      *out = e.kw;
      return true;
    }
  return false;
}

// The on/off word after a keyword: 1 on, 0 off, -1 none.
int switch_of(const StyleArg& a) {
  if (a.is_number) return a.number == 1 ? 1 : a.number == 0 ? 0 : -1;
  std::string lower(a.word);
  for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  return lower == "on" ? 1 : lower == "off" ? 0 : -1;
}

}  // namespace

// Note: keywords without an effect of their own for `off` set their field to
// 0 (character set, output precision, family, pitch, render flag); `dos`,
// `init`, `normal`, `anti` and `wide` ignore it.
void apply_font_style(SystemFontDesc& d, int32_t& range_first, int32_t& range_last, bool& render_now,
                      const std::vector<StyleArg>& args) {
  bool had_number = false;
  for (size_t i = 0; i < args.size(); i++) {
    const StyleArg& a = args[i];
    if (a.is_number) {
      int32_t n = int32_t(std::clamp<int64_t>(a.number, 0, 255));
      if (had_number) range_first = range_last;
      range_last = n;
      had_number = true;
      continue;
    }
    Kw kw;
    if (!find_keyword(a.word, &kw)) continue;  // unknown words are skipped
    bool on = true;
    if (i + 1 < args.size()) {
      int s = switch_of(args[i + 1]);
      if (s >= 0) {
        on = s == 1;
        i++;
      }
    }
    auto weight = [&](int32_t w) { d.weight = on ? w : 400; };
    auto charset = [&](uint8_t cs) { d.charset = on ? cs : 0; };
    auto precision = [&](uint8_t p) { d.out_precision = on ? p : 0; };
    auto family = [&](uint8_t fam) { d.pitch_family = uint8_t((d.pitch_family & 0x0F) | (on ? fam : 0)); };
    auto pitch = [&](uint8_t p) { d.pitch_family = uint8_t((d.pitch_family & 0xF0) | (on ? p : 0)); };
    switch (kw) {
      case Kw::Ansi: charset(0); break;
      case Kw::Anti: d.anti = 1; break;
      case Kw::Bold: weight(700); break;
      case Kw::ChineseBig5: charset(136); break;
      case Kw::Decorative: family(0x30); break;
      case Kw::Default: charset(1); break;
      case Kw::Device: precision(5); break;
      case Kw::DontCare: family(0); break;
      case Kw::Dos: range_last = 255; break;
      case Kw::Draft: d.quality = on ? 1 : 0; break;
      case Kw::ExtraBold: weight(800); break;
      case Kw::ExtraLight: weight(200); break;
      case Kw::Fixed: pitch(1); break;
      case Kw::Hangeul: charset(129); break;
      case Kw::Heavy: weight(900); break;
      case Kw::Init:
        if (on) {
          d = default_system_desc();
          range_first = 0;
          range_last = 255;
        }
        break;
      case Kw::Italic: d.italic = on; break;
      case Kw::Light: weight(300); break;
      case Kw::Medium: weight(500); break;
      case Kw::Modern: family(0x30); break;
      case Kw::Normal: d.weight = 400; break;
      case Kw::Oem: charset(255); break;
      case Kw::Proof: d.quality = on ? 2 : 0; break;
      case Kw::Raster: precision(6); break;
      case Kw::Render: render_now = on; break;
      case Kw::Script: family(0x40); break;
      case Kw::SemiBold: weight(600); break;
      case Kw::ShiftJis: charset(128); break;
      case Kw::Strikeout: d.strikeout = on; break;
      case Kw::Swiss: family(0x20); break;
      case Kw::Symbol: charset(2); break;
      case Kw::Thin: weight(100); break;
      case Kw::TrueType: precision(4); break;
      case Kw::TrueTypeOnly: precision(7); break;
      case Kw::Underline: d.underline = on; break;
      case Kw::Variable: pitch(2); break;
      case Kw::Wide: break;
    }
  }
}

// --- fontfamilylist -------------------------------------------------------------------------------

std::string font_family_list() {
  // Style words in a fixed order: the weights from light to heavy, then italic.
  static const char* const kWords[] = {"Thin", "ExtraLight", "Light", "Medium", "SemiBold",
                                       "Bold", "ExtraBold",  "Heavy", "Italic"};
  auto weight_word = [](int32_t w) -> int {
    if (w < 150) return 0;
    if (w < 250) return 1;
    if (w < 350) return 2;
    if (w < 450) return -1;  // regular: no word
    if (w < 550) return 3;
    if (w < 650) return 4;
    if (w < 750) return 5;
    if (w < 850) return 6;
    return 7;
  };
  struct Less {
    bool operator()(const std::string& a, const std::string& b) const {
      int c = strcasecmp(a.c_str(), b.c_str());
      return c != 0 ? c < 0 : a < b;
    }
  };
  std::map<std::string, std::set<int>, Less> families;
  for (const platform::InstalledFace& face : platform::font_list()) {
    std::set<int>& words = families[face.family];
    if (int w = weight_word(face.weight); w >= 0) words.insert(w);
    if (face.italic) words.insert(8);
  }
  std::string out;
  for (const auto& [family, words] : families) {
    if (!out.empty()) out += "\r\n";
    out += family;
    if (words.empty()) continue;
    out += " (";
    bool first = true;
    for (int w : words) {
      if (!first) out += ", ";
      out += kWords[w];
      first = false;
    }
    out += ")";
  }
  return out;
}

}  // namespace text
