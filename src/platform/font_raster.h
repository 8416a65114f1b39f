// The font rasteriser of the platform layer: finding installed faces with
// fontconfig and drawing their glyphs with FreeType. The text subsystem
// turns what it gives into bitmap-font records (text/sysfont.cpp); nothing
// outside this pair of files includes fontconfig or FreeType.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// What a script asks for: a family name and the weight (100..900) and slant.
struct FaceRequest {
  std::string family;
  int32_t weight = 400;
  bool italic = false;
};

// The installed face fontconfig chose.
struct FaceMatch {
  std::string family;  // its family name (the first one fontconfig lists)
  std::string style;   // its style name ("Regular", "Bold Italic" ...)
  std::string file;
  int32_t index = 0;   // face index within the file
  int32_t weight = 400;  // the face's own weight (its OS/2 weight class), 1..1000
  bool italic = false;   // the face itself is italic or oblique
};

// Resolves a request: the best match for the family (fontconfig's
// substitutions apply, so "Arial" finds a metric-compatible face), then
// "sans-serif", then "DejaVu Sans". Only a face whose file FreeType can open
// counts. False with a reason when nothing usable is installed.
bool font_match(const FaceRequest& request, FaceMatch* out, std::string* error);

// One installed face of the font list.
struct InstalledFace {
  std::string family;
  int32_t weight = 400;  // 100..900
  bool italic = false;
};
// Every installed face under each of its family names (unsorted).
std::vector<InstalledFace> font_list();

// How glyphs are drawn.
struct RasterSetup {
  // Size: em_height is the character (em) height in pixels, in 1/64 pixel;
  // em_width the horizontal em size (0: the same as em_height).
  int64_t em_height_64 = 16 * 64;
  int64_t em_width_64 = 0;
  bool mono = true;            // 1-bit rendering with hinting for monochrome
  bool embolden = false;       // synthetic bold (the face is lighter than asked)
  bool oblique = false;        // synthetic italic (the face is upright)
  int32_t orientation = 0;     // tenths of a degree, counter-clockwise
};

// Face-wide metrics at the set size, in pixels (y up from the baseline).
struct FaceMetrics {
  int32_t ascender = 0;   // above the baseline, rounded up
  int32_t descender = 0;  // below the baseline, positive, rounded up
  int32_t line_height = 0;  // baseline to baseline
  double avg_char_width = 0;  // the face's average character width; 0 when it gives none
  double underline_position = 0;  // centre of the underline stroke (negative: below)
  double underline_thickness = 0;
  double strikeout_position = 0;  // bottom of the strikeout stroke
  double strikeout_thickness = 0;
  // Font units per em and the face's ascender and descender in font units,
  // for choosing an em size that gives a wanted cell height.
  int32_t units_per_em = 0;
  int32_t ascender_units = 0, descender_units = 0;
};

// One drawn glyph: coverage rows (0..255) placed relative to the pen origin.
struct GlyphImage {
  int32_t left = 0;   // pixels from the pen origin to the first column (right positive)
  int32_t top = 0;    // pixels from the baseline up to the first row
  int32_t width = 0, rows = 0;
  std::vector<uint8_t> coverage;  // rows x width, top row first
  double advance = 0;  // pen advance of the upright glyph, pixels
};

// An open face at one size. Not copyable; one per rasterisation.
class FontRasterizer {
 public:
  FontRasterizer();
  ~FontRasterizer();
  FontRasterizer(const FontRasterizer&) = delete;
  FontRasterizer& operator=(const FontRasterizer&) = delete;

  // Opens the face and reads its unscaled metrics (metrics() then holds
  // units_per_em and the ascender and descender in font units).
  bool open(const FaceMatch& face, std::string* error);
  // Sets the size and the rendering; fills metrics().
  bool configure(const RasterSetup& setup, std::string* error);
  const FaceMetrics& metrics() const { return metrics_; }
  // True when the face maps the code point to a glyph.
  bool has_glyph(uint32_t code_point) const;
  // Selects the face's symbol character map when it has one (code points
  // then are 0xF000 + the character); false when it has none.
  bool use_symbol_map();
  // Draws the glyph of a code point (absent glyphs draw the face's missing
  // glyph). False when FreeType fails.
  bool render(uint32_t code_point, GlyphImage* out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  FaceMetrics metrics_;
  RasterSetup setup_;
};

}  // namespace platform
