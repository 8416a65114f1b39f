// The system-font commands: fontdefine / winfont, fontstyle / winfontstyle
// and fontfamilylist.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "text/font.h"
#include "text/sysfont.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {

namespace {

// A text that reads as a number: its first non-blank character is a digit,
// a sign or a point.
bool numeric_text(std::string_view s) {
  size_t i = s.find_first_not_of(" \t\r\n");
  if (i == std::string_view::npos) return false;
  char c = s[i];
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.';
}

// A word argument: a text that does not read as a number.
bool is_word(Value v) { return element_type_of(v) == kTypeString && !numeric_text(element_text(v)); }

// Makes `handle` the drawing target's font (the target keeps a reference).
void select_font(Interp& ctx, uint32_t handle) {
  gfx::Image* img = gfx::target(ctx);
  if (!img) return;
  element_ref(handle);
  element_release(img->st.font);
  img->st.font = handle;
}

void set_font_name(text::Font& f, std::string_view name) {
  Value old = f.name;
  f.name = Value::from_handle(text_intern(name));
  value_release(old);
}

void copy_face(text::SystemFontDesc& d, const std::string& face) {
  std::memset(d.face, 0, sizeof d.face);
  std::memcpy(d.face, face.data(), std::min(face.size(), sizeof d.face - 1));
}

}  // namespace

// fontdefine / winfont [name] face [width] height [angle]: describes a
// system font, rasterises it, stores it in the variable `name` (when given)
// and selects it for drawing.
// Note: the first argument is the variable name when the second is a text
// that does not read as a number; after the face, one number is the height,
// two are width and height, three add the angle in degrees (counter-
// clockwise). A height given as a measurement (topoints ...) is the
// character height, as point sizes are; a plain number keeps its sign rule
// (negative: character height, positive: cell height). Without a height the
// font is 16 pixels high. The font is selected so that fontstyle can refine
// it and so that a font defined without a name is not lost.
void h_fontdefine(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  Value var = Value::null();
  if (n >= 2 && is_word(ctx.top[1])) var = ctx.top[i++];
  std::string face = i < n ? value_to_string(&ctx, ctx.top[i++]) : std::string();
  auto size = [&](uint32_t k, bool x_axis) -> int64_t {
    Value v = ctx.top[k];
    int64_t px = gfx::read_coord(ctx, v, x_axis);
    if (element_type_of(v) == kTypeMeasure) px = -std::llabs(px);
    return px;
  };
  text::SystemFontDesc d = text::default_system_desc();
  if (!face.empty()) copy_face(d, face);
  uint32_t nums = n - i;
  if (nums == 1) {
    d.height = int32_t(size(i, false));
  } else if (nums >= 2) {
    d.width = int32_t(std::llabs(size(i, true)));
    d.height = int32_t(size(i + 1, false));
  }
  if (nums >= 3) {
    double degrees = value_to_float(&ctx, ctx.top[i + 2]);
    if (!std::isfinite(degrees)) degrees = 0;
    d.orientation = int32_t(std::lround(std::fmod(degrees, 360.0) * 10.0));
  }
  if (d.height == 0) d.height = -16;

  uint32_t handle = text::font_create();
  text::Font* f = text::font_of(handle);
  std::string error;
  if (f) {
    f->sys = d;
    if (!text::rasterize_system_font(*f, &error)) f = nullptr;
  } else {
    error = "out of memory";
  }
  if (f) {
    set_font_name(*f, var.is_null() ? std::string_view(f->sys.face, strnlen(f->sys.face, sizeof f->sys.face))
                                    : element_text(var));
    if (!var.is_null())
      if (Value* cell = var_for_set(ctx, var)) value_store(*cell, Value::from_handle(handle));
    select_font(ctx, handle);
  } else {
    std::fprintf(stderr, "quillon: font \"%s\" cannot be made: %s\n", face.c_str(), error.c_str());
  }
  element_release(handle);
  pop_n(ctx, n);
}

// fontstyle / winfontstyle keywords and numbers: changes the description of
// the current system font and rasterises it again; the font stays selected.
// When the current font is not a system font, a new one ("Arial", 16-pixel
// characters) is made, changed and selected. When the changed description
// cannot be rasterised the font keeps its old description and glyphs.
void h_fontstyle(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::vector<text::StyleArg> args(n);
  for (uint32_t k = 0; k < n; k++) {
    Value v = ctx.top[k];
    text::StyleArg& a = args[k];
    if (element_type_of(v) == kTypeString) {
      if (numeric_text(element_text(v))) {
        a.is_number = true;
        a.number = value_to_integer(&ctx, v);
      } else {
        a.word = std::string(element_text(v));
      }
    } else if (!v.is_element()) {
      a.is_number = true;
      a.number = value_to_integer(&ctx, v);
    }
  }
  gfx::Image* img = gfx::target(ctx);
  text::Font* cur = img ? text::font_of(img->st.font) : nullptr;
  std::string error;
  if (cur && cur->is_system) {
    text::SystemFontDesc old = cur->sys;
    int32_t old_first = cur->h.range_first, old_last = cur->h.range_last;
    bool old_render = cur->render_now;
    text::apply_font_style(cur->sys, cur->h.range_first, cur->h.range_last, cur->render_now, args);
    if (!text::rasterize_system_font(*cur, &error)) {
      std::fprintf(stderr, "quillon: fontstyle: %s\n", error.c_str());
      cur->sys = old;
      cur->h.range_first = old_first;
      cur->h.range_last = old_last;
      cur->render_now = old_render;
    }
  } else if (img) {
    uint32_t handle = text::font_create();
    if (text::Font* f = text::font_of(handle)) {
      f->sys = text::default_system_desc();
      text::apply_font_style(f->sys, f->h.range_first, f->h.range_last, f->render_now, args);
      if (text::rasterize_system_font(*f, &error)) {
        set_font_name(*f, std::string_view(f->sys.face, strnlen(f->sys.face, sizeof f->sys.face)));
        select_font(ctx, handle);
      } else {
        std::fprintf(stderr, "quillon: fontstyle: %s\n", error.c_str());
      }
    }
    element_release(handle);
  }
  pop_n(ctx, n);
}

// fontfamilylist: the installed families, sorted, CR LF between them, each
// with the style words of its faces: "DejaVu Sans (ExtraLight, Bold, Italic)".
void h_fontfamilylist(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  pop_n(ctx, n);
  push_owned(ctx, Value::from_handle(text_intern(text::font_family_list())));
}

}  // namespace vm
