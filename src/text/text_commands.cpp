// The font and text commands and the var_font / var_text variables.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/draw_args.h"
#include "graphics/image.h"
#include "storage/membuf.h"
#include "storage/stream.h"
#include "text/font.h"
#include "text/layout.h"
#include "text/markup.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/measure.h"
#include "vm/queries.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace text {

namespace {

using vm::Interp;
using vm::Value;

int64_t to_int(Interp& ctx, Value v) { return vm::value_to_integer(&ctx, v); }

// A shadow distance: the size of the number, at most 100000 (computed
// without negating, which overflows for the most negative number).
int32_t shadow_distance(int64_t v) {
  return int32_t(v < 0 ? std::min<uint64_t>(0 - uint64_t(v), 100000) : std::min<int64_t>(v, 100000));
}

// The texts of arguments [from, n) joined.
std::string joined(Interp& ctx, uint32_t n, uint32_t from) {
  std::string s;
  for (uint32_t i = from; i < n; i++) s += vm::value_to_string(&ctx, ctx.top[i]);
  return s;
}


// The gzip file of `bytes` (compression level 9).
std::vector<uint8_t> gzip_of(const std::vector<uint8_t>& bytes) {
  z_stream z{};
  std::vector<uint8_t> out;
  if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) return out;
  out.resize(deflateBound(&z, uLong(bytes.size())) + 32);
  z.next_in = const_cast<uint8_t*>(bytes.data());
  z.avail_in = uInt(bytes.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  int rc = deflate(&z, Z_FINISH);
  out.resize(rc == Z_STREAM_END ? z.total_out : 0);
  deflateEnd(&z);
  return out;
}

void save_font(Interp& ctx, bool compressed) {
  uint32_t n = vm::close_frame(ctx);
  Font* f = n >= 1 ? font_of(find_font(ctx, ctx.top[0], false)) : nullptr;
  std::string name = n >= 2 ? vm::value_to_string(&ctx, ctx.top[1]) : std::string();
  if (f && !name.empty()) {
    size_t sep = name.find_last_of("/\\:");
    if (name.find('.', sep == std::string::npos ? 0 : sep + 1) == std::string::npos) name += ".qnf";
    std::vector<uint8_t> bytes = encode_qnf(*f);
    if (compressed) bytes = gzip_of(bytes);
    uint32_t s = storage::stream_create(&ctx, name);
    bool ok = s && !bytes.empty() &&
              storage::stream_write(s, bytes.data(), int64_t(bytes.size())) == int64_t(bytes.size());
    if (s) storage::stream_close(s);
    if (!ok) std::fprintf(stderr, "quillon: cannot write font \"%s\"\n", name.c_str());
  }
  vm::pop_n(ctx, n);
}

// The x words of text: "center"/"centre", "left", "right".
enum class XWord { None, Center, Left, Right };
XWord x_word(Value v) {
  if (vm::element_type_of(v) != vm::kTypeString) return XWord::None;
  std::string w(vm::element_text(v));
  for (char& c : w) c = char(std::tolower(uint8_t(c)));
  if (w == "center" || w == "centre") return XWord::Center;
  if (w == "left") return XWord::Left;
  if (w == "right") return XWord::Right;
  return XWord::None;
}

bool is_coordinate(Interp& ctx, Value v) {
  if (v.is_int() || v.is_float()) return true;
  double px;
  return vm::element_type_of(v) == vm::kTypeString && vm::measure_to_pixels(ctx, v, vm::Axis::X, px);
}

void set_alignment(TextState& st, XWord w) {
  st.center = w == XWord::Center;
  st.left = w == XWord::Left;
  st.right = w == XWord::Right;
  st.justified = 0;
}

// text / textln: [x y] texts.
void text_command(Interp& ctx, bool line_end) {
  uint32_t n = vm::close_frame(ctx);
  gfx::Image* img = gfx::target(ctx);
  TextState& st = text_state(ctx);
  uint32_t first = 0;
  XWord word = XWord::None;
  if (img && n >= 2) {
    word = x_word(ctx.top[0]);
    if ((word != XWord::None || is_coordinate(ctx, ctx.top[0])) && is_coordinate(ctx, ctx.top[1])) {
      first = 2;
      img->st.text_y = int32_t(gfx::read_coord(ctx, ctx.top[1], false));
      if (word == XWord::None) img->st.text_x = int32_t(gfx::read_coord(ctx, ctx.top[0], true));
    } else {
      word = XWord::None;
    }
  }
  std::string s = joined(ctx, n, first);
  if (line_end) s += st.html ? "<br>" : "\n";
  if (img) {
    TextState saved = st;
    if (word != XWord::None) {
      // The x word places the text between the clip edges for this call.
      img->st.text_x = img->st.minx;
      set_alignment(st, word);
    }
    draw_text(ctx, s);
    if (word != XWord::None) {
      st.center = saved.center, st.left = saved.left, st.right = saved.right, st.justified = saved.justified;
    }
  }
  vm::pop_n(ctx, n);
}

void measure_width(Interp& ctx, bool last) {
  uint32_t n = vm::close_frame(ctx);
  std::string s = joined(ctx, n, 0);
  vm::pop_n(ctx, n);
  const Font* f = current_font(ctx);
  gfx::Image* img = gfx::target(ctx);
  int32_t w = 0;
  if (f) w = text_width(decode_text(&ctx, s, *f, img ? img->st.color : 0, text_state(ctx)), text_state(ctx), last);
  vm::push_int(ctx, w);
}

// --- variables ---------------------------------------------------------------------------

#define QTEXTFLAG(var, field)                                                                  \
  vm::sysvar_register(vm::SV_##var, {[](Interp& c) { vm::push_int(c, text_state(c).field); },  \
                                     [](Interp& c, Value v) { text_state(c).field = to_int(c, v) != 0; }});
#define QTEXTINT(var, field)                                                                   \
  vm::sysvar_register(vm::SV_##var, {[](Interp& c) { vm::push_int(c, text_state(c).field); },  \
                                     [](Interp& c, Value v) {                                  \
                                       text_state(c).field = int32_t(std::clamp<int64_t>(to_int(c, v), -1000000, 1000000)); \
                                     }});
#define QALIGN(var, field)                                                                     \
  vm::sysvar_register(vm::SV_##var, {[](Interp& c) { vm::push_int(c, text_state(c).field); },  \
                                     [](Interp& c, Value v) {                                  \
                                       TextState& s = text_state(c);                           \
                                       bool on = to_int(c, v) != 0;                            \
                                       if (on) s.center = s.justified = s.left = s.right = 0;  \
                                       s.field = on;                                           \
                                     }});
#define QFONTINT(var, expr)                                                                    \
  vm::sysvar_register(vm::SV_##var, {[](Interp& c) {                                           \
                                       const Font* f = current_font(c);                        \
                                       vm::push_int(c, f ? int64_t(expr) : 0);                 \
                                     },                                                        \
                                     [](Interp&, Value) {}});
#define QFONTGAP(var, field)                                                                   \
  vm::sysvar_register(vm::SV_##var, {[](Interp& c) {                                           \
                                       const Font* f = current_font(c);                        \
                                       vm::push_int(c, f ? f->h.field : 0);                    \
                                     },                                                        \
                                     [](Interp& c, Value v) {                                  \
                                       if (Font* f = current_font(c))                          \
                                         f->h.field = int32_t(std::clamp<int64_t>(to_int(c, v), -100000, 100000)); \
                                     }});

void register_variables() {
  QTEXTFLAG(var_textclip, clip)
  QTEXTFLAG(var_textcolorcodes, colorcodes)
  QTEXTFLAG(var_textfontcodes, fontcodes)
  QTEXTFLAG(var_textdraw, draw)
  QTEXTFLAG(var_textdrawback, drawback)
  QTEXTFLAG(var_texthtml, html)
  QTEXTFLAG(var_textrtf, rtf)
  QTEXTFLAG(var_textindent, indent)
  QTEXTFLAG(var_textmonospace, monospace)
  QTEXTFLAG(var_textquick, quick)
  QTEXTFLAG(var_textscroll, scroll)
  QTEXTFLAG(var_textwrap, wrap)
  QTEXTFLAG(var_textwrappunct, wrappunct)
  QTEXTINT(var_textkern, kern)
  QTEXTINT(var_texttabsize, tab_size)
  vm::sysvar_register(vm::SV_var_textshadowfilter,
                      {[](Interp& c) { vm::push_int(c, text_state(c).shadow_filter); },
                       [](Interp& c, Value v) {
                         text_state(c).shadow_filter = int32_t(std::clamp<int64_t>(to_int(c, v), 0, 255));
                       }});
  QALIGN(var_textcenter, center)
  QALIGN(var_textjustified, justified)
  QALIGN(var_textleft, left)
  QALIGN(var_textright, right)
  vm::sysvar_register(vm::SV_var_textposx, {[](Interp& c) {
                                              gfx::Image* i = gfx::target(c);
                                              vm::push_int(c, i ? i->st.text_x : 0);
                                            },
                                            [](Interp& c, Value v) {
                                              if (gfx::Image* i = gfx::target(c))
                                                i->st.text_x = int32_t(gfx::read_coord(c, v, true));
                                            }});
  vm::sysvar_register(vm::SV_var_textposy, {[](Interp& c) {
                                              gfx::Image* i = gfx::target(c);
                                              vm::push_int(c, i ? i->st.text_y : 0);
                                            },
                                            [](Interp& c, Value v) {
                                              if (gfx::Image* i = gfx::target(c))
                                                i->st.text_y = int32_t(gfx::read_coord(c, v, false));
                                            }});
  QTEXTINT(var_fontshadowpos, shadow_pos)
  vm::sysvar_register(vm::SV_var_fontshadowx,
                      {[](Interp& c) { vm::push_int(c, text_state(c).shadow_x); },
                       [](Interp& c, Value v) {
                         text_state(c).shadow_x = shadow_distance(to_int(c, v));
                       }});
  vm::sysvar_register(vm::SV_var_fontshadowy,
                      {[](Interp& c) { vm::push_int(c, text_state(c).shadow_y); },
                       [](Interp& c, Value v) {
                         text_state(c).shadow_y = shadow_distance(to_int(c, v));
                       }});
  QFONTGAP(var_fontgapchar, gap_char)
  QFONTGAP(var_fontgapspace, space_width)
  QFONTGAP(var_fontgapline, gap_line)
  QFONTINT(var_fontsizex, f->h.cell_width)
  QFONTINT(var_fontsizey, f->h.cell_height)
  QFONTINT(var_fontscanwidth, f->row_bytes)
  QFONTINT(var_fontoffsetleft, f->h.first_char)
  vm::sysvar_register(vm::SV_var_fontaddress, {[](Interp& c) {
                                                 const Font* f = current_font(c);
                                                 if (!f || !f->data) return vm::push_int(c, 0);
                                                 storage::script_memory_add(f->self, f->data, f->h.data_size);
                                                 vm::push_int(c, storage::address_of(f->data));
                                               },
                                               [](Interp&, Value) {}});
  vm::sysvar_register(vm::SV_var_fontname, {[](Interp& c) {
                                              const Font* f = current_font(c);
                                              Value v = f && !f->name.is_null() ? f->name
                                                                                : Value::from_handle(vm::text_intern(""));
                                              if (f && !f->name.is_null()) vm::push(c, v);
                                              else vm::push_owned(c, v);
                                            },
                                            [](Interp&, Value) {}});
}

#undef QTEXTFLAG
#undef QTEXTINT
#undef QALIGN
#undef QFONTINT
#undef QFONTGAP

// The font fields of the ele_ queries.
bool read_font_field(Interp&, vm::EleField field, Value element, int64_t& out) {
  const Font* f = font_of(element);
  if (!f) return false;
  switch (field) {
    case vm::EleField::SizeX: out = f->h.cell_width; return true;
    case vm::EleField::SizeY: out = f->h.cell_height; return true;
    case vm::EleField::Bits: out = f->h.bits_per_pixel; return true;
    default: return false;
  }
}

}  // namespace

void text_register() {
  font_register();
  register_variables();
  markup_register();
  vm::ele_register(vm::kTypeFont, read_font_field);
  vm::interp_add_closer(text_state_free);
}

}  // namespace text

namespace vm {

using text::Font;

// font [font]: selects a font; with none, or one that cannot be found, the default font.
void h_font(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Value found = n >= 1 ? text::find_font(ctx, ctx.top[0], false) : Value::null();
  if (found.is_null()) found = text::default_font(ctx);
  if (gfx::Image* img = gfx::target(ctx)) {
    uint32_t h = text::font_of(found) ? found.handle() : kHandleBase;
    element_ref(h);
    element_release(img->st.font);
    img->st.font = h;
  }
  pop_n(ctx, n);
}

// fontload name [file]: loads a font into its variable without selecting it.
void h_fontload(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n == 1) {
    text::find_font(ctx, ctx.top[0], true);
  } else if (n >= 2) {
    Value var = ctx.top[0];
    Value* cell = var_find(ctx, var);
    if (!cell || !text::font_of(*cell)) {
      Value found = text::find_font(ctx, ctx.top[1], true);
      if (!found.is_null())
        if (Value* out = var_for_set(ctx, var)) value_store(*out, found);
    }
  }
  pop_n(ctx, n);
}

// fontgaps [char [space [line]]]: restores the gaps as loaded, then sets those given.
void h_fontgaps(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (Font* f = text::current_font(ctx)) {
    f->h.gap_char = f->saved_gap_char;
    f->h.space_width = f->saved_space_width;
    f->h.gap_line = f->saved_gap_line;
    int32_t* fields[3] = {&f->h.gap_char, &f->h.space_width, &f->h.gap_line};
    for (uint32_t i = 0; i < n && i < 3; i++)
      *fields[i] = int32_t(std::clamp<int64_t>(value_to_integer(&ctx, ctx.top[i]), -100000, 100000));
  }
  pop_n(ctx, n);
}

void h_fontsave(Interp& ctx) { text::save_font(ctx, false); }
void h_fontsavecompressed(Interp& ctx) { text::save_font(ctx, true); }

// fontshadow direction [x [y]].
void h_fontshadow(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  text::TextState& st = text::text_state(ctx);
  if (n >= 1) {
    int64_t dir = value_to_integer(&ctx, ctx.top[0]);
    int64_t x = n >= 2 ? value_to_integer(&ctx, ctx.top[1]) : 0;
    int64_t y = n >= 3 ? value_to_integer(&ctx, ctx.top[2]) : x;
    st.shadow_x = text::shadow_distance(x);
    st.shadow_y = text::shadow_distance(y);
    if (dir == 0 && (x || y)) {
      // The direction from the signs of the distances.
      static constexpr int8_t kByRow[3][3] = {{4, 3, 2}, {5, 0, 1}, {6, 7, 8}};  // [sx+1][sy+1]
      dir = kByRow[(x > 0) - (x < 0) + 1][(y > 0) - (y < 0) + 1];
    }
    st.shadow_pos = int32_t(std::clamp<int64_t>(dir, 0, 8));
  }
  pop_n(ctx, n);
}

void h_text(Interp& ctx) { text::text_command(ctx, false); }
void h_textln(Interp& ctx) { text::text_command(ctx, true); }
void h_textwidth(Interp& ctx) { text::measure_width(ctx, false); }
void h_textwidthlast(Interp& ctx) { text::measure_width(ctx, true); }

// textheight text [max width [start [max height]]].
void h_textheight(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string s = n >= 1 ? value_to_string(&ctx, ctx.top[0]) : std::string();
  int64_t max_width = n >= 2 ? value_to_integer(&ctx, ctx.top[1]) : 0;
  int64_t start = n >= 3 ? value_to_integer(&ctx, ctx.top[2]) : 1;
  int64_t max_height = n >= 4 ? value_to_integer(&ctx, ctx.top[3]) : 0;
  pop_n(ctx, n);
  start = std::clamp<int64_t>(start, 1, int64_t(s.size()) + 1);
  const Font* f = text::current_font(ctx);
  int64_t result = 0;
  if (f) {
    gfx::Image* img = gfx::target(ctx);
    text::Decoded d = text::decode_text(&ctx, std::string_view(s).substr(size_t(start - 1)), *f,
                                        img ? img->st.color : 0, text::text_state(ctx));
    result = text::text_height(&ctx, d, text::text_state(ctx), int32_t(std::clamp<int64_t>(max_width, -1, 1 << 24)),
                               int32_t(std::clamp<int64_t>(max_height, -(1 << 30), 1 << 30)));
  }
  push_int(ctx, result);
}

}  // namespace vm
