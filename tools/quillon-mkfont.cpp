// quillon-mkfont: makes the player's default font, a VKF file rasterised
// from a free face through the system-font rasteriser. Run at build time.
//
//   quillon-mkfont -o default.vkf [--face NAME] [--height N] [--preview TEXT]
//                  [--style "WORDS"] [--angle DEGREES]
//
// The face must be found under its own family name (by default DejaVu Sans,
// then Liberation Sans): a substitute chosen by fontconfig would make a
// different default font on every machine, so the tool fails instead.
// --height follows the system-font rule (positive: cell height, negative:
// character height); the default is a 16-pixel cell. The glyphs are 1-bit
// and the file is written compressed; the same face and FreeType give the
// same bytes on every run. --preview prints TEXT drawn with the font as
// text art; --style (fontstyle keywords and numbers) and --angle (counter-
// clockwise) try other descriptions.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host/engine.h"
#include "text/font.h"
#include "text/sysfont.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace {

// TEXT drawn with the font's metrics: each glyph's ink columns at the pen
// plus its x offset; '#' for ink, '.' for the empty cell area.
void preview(const text::Font& f, const std::string& s) {
  int32_t width = 0;
  for (unsigned char c : s) width += f.metrics(c).advance + f.h.gap_char;
  int32_t left = 0;
  for (unsigned char c : s) left = std::min(left, f.metrics(c).x_offset);
  width -= left;
  std::vector<std::string> rows(size_t(f.h.cell_height), std::string(size_t(width + 2), ' '));
  int32_t pen = -left;
  for (unsigned char c : s) {
    text::GlyphMetrics m = f.metrics(c);
    if (const uint8_t* cell = f.cell(c)) {
      for (int32_t y = 0; y < f.h.cell_height; y++)
        for (int32_t x = m.ink_left; x < m.ink_right; x++) {
          int32_t at = pen + m.x_offset + x;
          if (at < 0 || at >= int32_t(rows[0].size())) continue;
          if (f.coverage(cell, x, y) >= 128) rows[size_t(y)][size_t(at)] = '#';
        }
    }
    pen += m.advance + f.h.gap_char;
  }
  for (const std::string& r : rows) std::printf("|%s|\n", r.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string out, face, text_preview;
  int32_t height = 16, angle = 0;
  std::vector<text::StyleArg> style;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-o" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "--face" && i + 1 < argc) {
      face = argv[++i];
    } else if (a == "--height" && i + 1 < argc) {
      height = std::atoi(argv[++i]);
    } else if (a == "--angle" && i + 1 < argc) {
      angle = std::atoi(argv[++i]);
    } else if (a == "--style" && i + 1 < argc) {
      std::string words = argv[++i];
      for (size_t at = 0; at < words.size();) {
        size_t end = words.find(' ', at);
        if (end == std::string::npos) end = words.size();
        std::string w = words.substr(at, end - at);
        if (!w.empty()) {
          bool number = w.find_first_not_of("-0123456789") == std::string::npos;
          style.push_back(number ? text::StyleArg{true, std::atoll(w.c_str()), {}} : text::StyleArg{false, 0, w});
        }
        at = end + 1;
      }
    } else if (a == "--preview" && i + 1 < argc) {
      text_preview = argv[++i];
    } else {
      std::fprintf(stderr, "usage: quillon-mkfont -o OUT.vkf [--face NAME] [--height N] [--preview TEXT] [--style WORDS] [--angle DEG]\n");
      return 2;
    }
  }
  if (out.empty() && text_preview.empty()) {
    std::fprintf(stderr, "usage: quillon-mkfont -o OUT.vkf [--face NAME] [--height N] [--preview TEXT] [--style WORDS] [--angle DEG]\n");
    return 2;
  }
  host::engine_init();

  std::vector<std::string> faces = face.empty() ? std::vector<std::string>{"DejaVu Sans", "Liberation Sans"}
                                                : std::vector<std::string>{face};
  text::SystemFontDesc desc = text::default_system_desc();
  desc.height = height;
  bool found = false;
  for (const std::string& name : faces) {
    std::memset(desc.face, 0, sizeof desc.face);
    std::strncpy(desc.face, name.c_str(), sizeof desc.face - 1);
    text::ResolvedFace r;
    std::string error;
    if (text::resolve_system_face(desc, &r, &error) && r.family == name) {
      found = true;
      break;
    }
  }
  if (!found) {
    std::string names;
    for (const std::string& name : faces) names += (names.empty() ? "" : " or ") + name;
    std::fprintf(stderr,
                 "quillon-mkfont: fontconfig finds no %s; install fonts-dejavu-core or fonts-liberation2 "
                 "(tools/bootstrap does)\n",
                 names.c_str());
    return 1;
  }

  uint32_t handle = text::font_create();
  text::Font* f = text::font_of(handle);
  if (!f) {
    std::fprintf(stderr, "quillon-mkfont: out of memory\n");
    return 1;
  }
  f->sys = desc;
  bool render = false;
  text::apply_font_style(f->sys, f->h.range_first, f->h.range_last, render, style);
  f->sys.orientation = angle * 10;
  std::string error;
  if (!text::rasterize_system_font(*f, text::SystemFontLayout{true}, &error)) {
    std::fprintf(stderr, "quillon-mkfont: %s: %s\n", desc.face, error.c_str());
    return 1;
  }
  if (!text_preview.empty()) preview(*f, text_preview);
  if (!out.empty()) {
    base::Result<std::vector<uint8_t>> written = text::encode_vkf(*f, /*compress=*/true);
    if (!written) {
      std::fprintf(stderr, "quillon-mkfont: the font cannot be written as VKF: %s\n", written.error().c_str());
      return 1;
    }
    const std::vector<uint8_t>& bytes = written.value();
    std::ofstream o(out, std::ios::binary);
    o.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!o) {
      std::fprintf(stderr, "quillon-mkfont: cannot write %s\n", out.c_str());
      return 1;
    }
  }
  vm::element_release(handle);
  return 0;
}
