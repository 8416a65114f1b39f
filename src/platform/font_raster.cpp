// Installed faces through fontconfig, glyphs through FreeType; both are
// opened at the first system font (lazy_library.h).
#include "platform/font_raster.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/lazy_library.h"

namespace platform {

namespace {

#define FONTCONFIG_FUNCTIONS(X)                                                                               \
  X(FcInit) X(FcFini) X(FcPatternCreate) X(FcPatternDestroy) X(FcPatternGet) X(FcPatternGetString)            \
  X(FcPatternAddString) X(FcPatternAddInteger) X(FcPatternAddBool) X(FcRangeGetDouble)                        \
  X(FcWeightToOpenTypeDouble) X(FcWeightFromOpenType) X(FcConfigSubstitute) X(FcDefaultSubstitute)            \
  X(FcFontMatch) X(FcFontList) X(FcFontSetDestroy) X(FcObjectSetBuild) X(FcObjectSetDestroy)
FONTCONFIG_FUNCTIONS(QUILLON_LAZY_POINTER)
#define FREETYPE_FUNCTIONS(X)                                                                                 \
  X(FT_Init_FreeType) X(FT_Done_FreeType) X(FT_New_Face) X(FT_Done_Face) X(FT_Get_Sfnt_Table)                 \
  X(FT_Select_Charmap) X(FT_Set_Char_Size) X(FT_Get_Char_Index) X(FT_Load_Glyph) X(FT_Render_Glyph)          \
  X(FT_GlyphSlot_Embolden) X(FT_GlyphSlot_Oblique) X(FT_Outline_Transform)
FREETYPE_FUNCTIONS(QUILLON_LAZY_POINTER)

// FreeType, opened at the first system font; false, with the reason in
// `why`, when it cannot be loaded.
bool freetype_ready(std::string& why) {
  static LazyLibrary freetype;
  return lazy_library_load(freetype, {"libfreetype.so.6"}, [](void* lib) -> const char* {
    return FREETYPE_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr : "this FreeType lacks a function the player calls";
  }, why);
}

// fontconfig (and FreeType, which reads the faces it finds), opened at the
// first system font. Its configuration is loaded once per process and freed
// at exit (FcInit keeps blocks that only FcFini frees). False, with the
// reason in `why`, when either cannot be loaded or the configuration cannot.
bool fc_ready(std::string& why) {
  static LazyLibrary fontconfig;
  if (!freetype_ready(why)) {
    why = "system fonts need FreeType: " + why;
    return false;
  }
  if (!lazy_library_load(fontconfig, {"libfontconfig.so.1"}, [](void* lib) -> const char* {
        if (!(FONTCONFIG_FUNCTIONS(QUILLON_LAZY_BIND) true)) return "this fontconfig lacks a function the player calls";
        if (FcInit() != FcTrue) return "its configuration cannot be loaded";
        std::atexit(FcFini);
        return nullptr;
      }, why)) {
    why = "system fonts need fontconfig: " + why;
    return false;
  }
  return true;
}

std::string fc_string(FcPattern* p, const char* object) {
  FcChar8* s = nullptr;
  if (FcPatternGetString(p, object, 0, &s) != FcResultMatch || !s) return {};
  return reinterpret_cast<const char*>(s);
}

// A number of a pattern, whether fontconfig stored it as an integer or a
// double; a range (variable fonts) gives its lower end.
double fc_number(FcPattern* p, const char* object, double fallback) {
  FcValue v;
  if (FcPatternGet(p, object, 0, &v) != FcResultMatch) return fallback;
  if (v.type == FcTypeInteger) return v.u.i;
  if (v.type == FcTypeDouble) return v.u.d;
  if (v.type == FcTypeRange) {
    double lo = fallback, hi = fallback;
    if (FcRangeGetDouble(v.u.r, &lo, &hi)) return lo;
  }
  return fallback;
}

int32_t ot_weight(FcPattern* p) {
  double w = FcWeightToOpenTypeDouble(fc_number(p, FC_WEIGHT, FC_WEIGHT_REGULAR));
  return w < 0 ? 400 : int32_t(std::lround(w));
}

// Opens the face to check that FreeType can read it, and reads its own
// weight and slant: fontconfig's answer carries the requested ones when its
// configuration asks for synthetic bold or slant (the embolden and matrix
// properties), but the rasteriser must know what the face itself is.
bool face_info(const std::string& file, int32_t index, int32_t* weight, bool* italic) {
  FT_Library lib = nullptr;
  if (FT_Init_FreeType(&lib)) return false;
  FT_Face face = nullptr;
  bool ok = FT_New_Face(lib, file.c_str(), index, &face) == 0;
  if (ok) {
    auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 && os2->version != 0xFFFF && os2->usWeightClass >= 1 && os2->usWeightClass <= 1000)
      *weight = os2->usWeightClass;
    else
      *weight = face->style_flags & FT_STYLE_FLAG_BOLD ? 700 : 400;
    *italic = (face->style_flags & FT_STYLE_FLAG_ITALIC) != 0;
    FT_Done_Face(face);
  }
  FT_Done_FreeType(lib);
  return ok;
}

bool match_one(const std::string& family, const FaceRequest& request, FaceMatch* out) {
  FcPattern* pat = FcPatternCreate();
  if (!pat) return false;
  FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddInteger(pat, FC_WEIGHT, FcWeightFromOpenType(request.weight));
  FcPatternAddInteger(pat, FC_SLANT, request.italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(pat, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, pat, FcMatchPattern);
  FcDefaultSubstitute(pat);
  FcResult result = FcResultNoMatch;
  FcPattern* found = FcFontMatch(nullptr, pat, &result);
  FcPatternDestroy(pat);
  if (!found) return false;
  FaceMatch m;
  m.file = fc_string(found, FC_FILE);
  m.family = fc_string(found, FC_FAMILY);
  m.style = fc_string(found, FC_STYLE);
  m.index = int32_t(fc_number(found, FC_INDEX, 0));
  FcPatternDestroy(found);
  if (m.file.empty() || m.family.empty() || !face_info(m.file, m.index, &m.weight, &m.italic)) return false;
  *out = std::move(m);
  return true;
}

}  // namespace

bool font_match(const FaceRequest& request, FaceMatch* out, std::string* error) {
  if (std::string why; !fc_ready(why)) {
    if (error) *error = why;
    return false;
  }
  // The requested family, then the generic sans face, then a named free
  // face: fontconfig always answers something, but its answer may be a
  // file that is gone or that FreeType cannot read.
  std::string first = request.family.empty() ? std::string("sans-serif") : request.family;
  for (const std::string& family : {first, std::string("sans-serif"), std::string("DejaVu Sans")})
    if (match_one(family, request, out)) return true;
  if (error) *error = "no usable font is installed for \"" + request.family + "\"";
  return false;
}

std::vector<InstalledFace> font_list() {
  std::vector<InstalledFace> list;
  if (std::string why; !fc_ready(why)) {
    static std::once_flag told;
    std::call_once(told, [&] { std::fprintf(stderr, "quillon: installed fonts cannot be listed: %s\n", why.c_str()); });
    return list;
  }
  FcPattern* pat = FcPatternCreate();
  FcObjectSet* os = FcObjectSetBuild(FC_FAMILY, FC_WEIGHT, FC_SLANT, nullptr);
  FcFontSet* set = pat && os ? FcFontList(nullptr, pat, os) : nullptr;
  if (set) {
    for (int i = 0; i < set->nfont; i++) {
      FcPattern* p = set->fonts[i];
      int32_t weight = ot_weight(p);
      bool italic = fc_number(p, FC_SLANT, FC_SLANT_ROMAN) != FC_SLANT_ROMAN;
      FcChar8* name = nullptr;
      for (int k = 0; FcPatternGetString(p, FC_FAMILY, k, &name) == FcResultMatch; k++)
        if (name && *name) list.push_back({reinterpret_cast<const char*>(name), weight, italic});
    }
    FcFontSetDestroy(set);
  }
  if (os) FcObjectSetDestroy(os);
  if (pat) FcPatternDestroy(pat);
  return list;
}

struct FontRasterizer::Impl {
  FT_Library lib = nullptr;
  FT_Face face = nullptr;
  ~Impl() {
    if (face) FT_Done_Face(face);
    if (lib) FT_Done_FreeType(lib);
  }
};

FontRasterizer::FontRasterizer() : impl_(std::make_unique<Impl>()) {}
FontRasterizer::~FontRasterizer() = default;

bool FontRasterizer::open(const FaceMatch& match, std::string* error) {
  if (std::string why; !freetype_ready(why)) {
    if (error) *error = "system fonts need FreeType: " + why;
    return false;
  }
  if (FT_Init_FreeType(&impl_->lib)) {
    if (error) *error = "FreeType cannot start";
    return false;
  }
  if (FT_New_Face(impl_->lib, match.file.c_str(), match.index, &impl_->face)) {
    if (error) *error = "FreeType cannot open " + match.file;
    return false;
  }
  FT_Face face = impl_->face;
  if (!FT_IS_SCALABLE(face) || face->units_per_EM == 0) {
    if (error) *error = match.file + " is not a scalable font";
    return false;
  }
  FT_Select_Charmap(face, FT_ENCODING_UNICODE);
  metrics_ = FaceMetrics{};
  metrics_.units_per_em = face->units_per_EM;
  metrics_.ascender_units = face->ascender;
  metrics_.descender_units = face->descender;
  if (metrics_.ascender_units - metrics_.descender_units <= 0) {
    metrics_.ascender_units = face->bbox.yMax;
    metrics_.descender_units = face->bbox.yMin;
  }
  return true;
}

bool FontRasterizer::configure(const RasterSetup& setup, std::string* error) {
  FT_Face face = impl_->face;
  if (!face) {
    if (error) *error = "no face is open";
    return false;
  }
  setup_ = setup;
  FT_F26Dot6 h = FT_F26Dot6(setup.em_height_64);
  FT_F26Dot6 w = FT_F26Dot6(setup.em_width_64 > 0 ? setup.em_width_64 : setup.em_height_64);
  if (h < 1 || w < 1 || FT_Set_Char_Size(face, w, h, 72, 72)) {
    if (error) *error = "FreeType refuses the size";
    return false;
  }
  FaceMetrics& m = metrics_;
  double x_scale = double(face->size->metrics.x_scale) / 65536.0 / 64.0;  // pixels per font unit
  double y_scale = double(face->size->metrics.y_scale) / 65536.0 / 64.0;
  m.ascender = int32_t(std::ceil(m.ascender_units * y_scale - 1e-6));
  m.descender = int32_t(std::ceil(-m.descender_units * y_scale - 1e-6));
  m.line_height = int32_t(std::lround(face->height * y_scale));
  m.underline_position = face->underline_position * y_scale;
  m.underline_thickness = face->underline_thickness * y_scale;
  m.avg_char_width = 0;
  m.strikeout_position = 0.25 * m.ascender;
  m.strikeout_thickness = m.underline_thickness;
  if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2)); os2 && os2->version != 0xFFFF) {
    m.avg_char_width = os2->xAvgCharWidth * x_scale;
    if (os2->yStrikeoutSize > 0) {
      m.strikeout_position = os2->yStrikeoutPosition * y_scale;
      m.strikeout_thickness = os2->yStrikeoutSize * y_scale;
    }
  }
  return true;
}

bool FontRasterizer::has_glyph(uint32_t code_point) const {
  return impl_->face && FT_Get_Char_Index(impl_->face, code_point) != 0;
}

bool FontRasterizer::use_symbol_map() {
  return impl_->face && FT_Select_Charmap(impl_->face, FT_ENCODING_MS_SYMBOL) == 0;
}

bool FontRasterizer::render(uint32_t code_point, GlyphImage* out) {
  FT_Face face = impl_->face;
  if (!face) return false;
  *out = GlyphImage{};
  bool rotated = setup_.orientation % 3600 != 0;
  bool mono = setup_.mono;
  FT_Int32 flags = FT_LOAD_NO_BITMAP | (mono ? FT_LOAD_TARGET_MONO : FT_LOAD_TARGET_NORMAL);
  // Hinting aligns stems to the pixel grid of upright text only.
  if (rotated) flags |= FT_LOAD_NO_HINTING;
  if (FT_Load_Glyph(face, FT_Get_Char_Index(face, code_point), flags)) return false;
  FT_GlyphSlot slot = face->glyph;
  if (slot->format != FT_GLYPH_FORMAT_OUTLINE) return false;
  if (setup_.embolden) FT_GlyphSlot_Embolden(slot);
  if (setup_.oblique) FT_GlyphSlot_Oblique(slot);
  out->advance = double(slot->advance.x) / 64.0;
  if (rotated) {
    double a = double(setup_.orientation) * M_PI / 1800.0;
    FT_Matrix m;
    m.xx = FT_Fixed(std::lround(std::cos(a) * 65536.0));
    m.xy = FT_Fixed(std::lround(-std::sin(a) * 65536.0));
    m.yx = FT_Fixed(std::lround(std::sin(a) * 65536.0));
    m.yy = FT_Fixed(std::lround(std::cos(a) * 65536.0));
    FT_Outline_Transform(&slot->outline, &m);
  }
  if (FT_Render_Glyph(slot, mono ? FT_RENDER_MODE_MONO : FT_RENDER_MODE_NORMAL)) return false;
  const FT_Bitmap& bm = slot->bitmap;
  out->left = slot->bitmap_left;
  out->top = slot->bitmap_top;
  out->width = int32_t(bm.width);
  out->rows = int32_t(bm.rows);
  out->coverage.assign(size_t(bm.width) * bm.rows, 0);
  int32_t pitch = bm.pitch < 0 ? -bm.pitch : bm.pitch;
  for (int32_t y = 0; y < out->rows; y++) {
    const uint8_t* row = bm.buffer + size_t(bm.pitch >= 0 ? y : out->rows - 1 - y) * size_t(pitch);
    uint8_t* dst = out->coverage.data() + size_t(y) * size_t(out->width);
    for (int32_t x = 0; x < out->width; x++) {
      if (bm.pixel_mode == FT_PIXEL_MODE_MONO) {
        dst[x] = (row[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0;
      } else if (bm.pixel_mode == FT_PIXEL_MODE_GRAY) {
        int32_t levels = bm.num_grays > 1 ? bm.num_grays - 1 : 255;
        dst[x] = uint8_t(row[x] * 255 / levels);
      }
    }
  }
  return true;
}

}  // namespace platform
