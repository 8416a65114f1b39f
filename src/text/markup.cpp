// The HTML reader: tags, entities and white space turned into decoded
// characters with their fonts and colours, links and inline images.
#include "text/markup.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "graphics/image_load.h"
#include "text/sysfont.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace text {

namespace {

MarkupHooks g_hooks;

constexpr size_t kMaxTagName = 15, kMaxAttrName = 63, kMaxAttrValue = 1023, kMaxFace = 255;
constexpr size_t kFontStackDepth = 16, kMaxListDepth = 16;
constexpr int32_t kListIndent = 4;  // spaces per list level
constexpr uint8_t kBullet = 183;

// The Latin-1 entities, codes 161..255 in order.
constexpr const char* kLatin1[95] = {
    "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",   "ordf",
    "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",   "acute",
    "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12", "frac34",
    "iquest", "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave",
    "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve",
    "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",
    "Yacute", "THORN",  "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",
    "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave", "uacute",
    "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

// The character of a named entity (case-sensitive), or 0.
int entity_code(std::string_view name) {
  if (name == "amp") return '&';
  if (name == "lt") return '<';
  if (name == "gt") return '>';
  if (name == "quot") return '"';
  for (int k = 0; k < 95; k++)
    if (name == kLatin1[k]) return 161 + k;
  return 0;
}

bool is_alnum(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool is_alpha(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
uint8_t lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 32) : c; }

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); k++)
    if (lower(uint8_t(a[k])) != lower(uint8_t(b[k]))) return false;
  return true;
}

// A whole number at the start of s (leading blanks and a sign allowed),
// clamped; `fallback` when there is none.
int64_t number_of(std::string_view s, int64_t fallback) {
  size_t k = 0;
  while (k < s.size() && is_blank(uint8_t(s[k]))) k++;
  bool neg = k < s.size() && s[k] == '-';
  if (k < s.size() && (s[k] == '-' || s[k] == '+')) k++;
  if (k >= s.size() || s[k] < '0' || s[k] > '9') return fallback;
  int64_t v = 0;
  for (; k < s.size() && s[k] >= '0' && s[k] <= '9'; k++) v = std::min<int64_t>(v * 10 + (s[k] - '0'), 1000000);
  return neg ? -v : v;
}

struct Attr {
  std::string name;  // lower case
  std::string value;
};

// Point sizes of the font sizes 1..7.
constexpr int32_t kPointSizes[7] = {8, 10, 12, 14, 18, 24, 36};

struct Style {
  std::string face;
  int32_t size = 0;  // points; 0: the base font's
  uint32_t color = 0;
};

class HtmlReader {
 public:
  HtmlReader(vm::Interp* ctx, std::string_view text, const Font& base, uint32_t color, const TextState& st)
      : ctx_(ctx), s_(text), st_(st) {
    d_.fonts.push_back(&base);
    style_.color = base_color_ = color;
  }

  Decoded run() {
    while (!s_.empty() && s_.back() == '\0') s_.remove_suffix(1);
    d_.src_size = uint32_t(s_.size());
    d_.items.reserve(s_.size());
    while (i_ < s_.size()) {
      if (ctx_ && ctx_->stop) break;
      const uint8_t c = uint8_t(s_[i_]);
      if (c == '<') {
        if (!tag()) break;
      } else if (c == '&') {
        entity();
      } else if (c == ' ' || c == '\r' || c == '\n' || (c == '\t' && !st_.html_tabs)) {
        pending_space_ = true;
        i_++;
      } else {
        visible(c, i_);
        i_++;
      }
    }
    return std::move(d_);
  }

 private:
  // --- output ------------------------------------------------------------------------------

  void push(uint8_t c, size_t src, uint16_t image = 0) {
    d_.items.push_back(Item{c, font_index(), image, style_.color, uint32_t(src)});
  }
  bool at_line_start() const { return d_.items.empty() || d_.items.back().c == '\n'; }

  // A character that shows: preceded by the collapsed white space before it.
  void visible(uint8_t c, size_t src) {
    if (suppress_) return;
    collapsed_space(src);
    push(c, src);
  }
  // The one space that white space before a visible character gives, in the
  // font and colour of the text before it (an underline ends at the word).
  void collapsed_space(size_t src) {
    if (pending_space_ && !at_line_start()) {
      Item sp = d_.items.back();
      sp.c = ' ', sp.image = 0, sp.src = uint32_t(src);
      d_.items.push_back(sp);
    }
    pending_space_ = false;
  }
  void line_break(size_t src) {
    pending_space_ = false;
    if (!suppress_) push('\n', src);
  }

  // --- fonts -------------------------------------------------------------------------------

  // The font of the current style: the base font until the mark-up names a
  // face, a size or a style; else a system font cached in a variable.
  uint8_t font_index() {
    if (font_ready_) return font_;
    font_ready_ = true;
    font_ = 0;
    if (!ctx_ || !st_.html_win || (style_.face.empty() && style_.size == 0 && !bold_ && !italic_ && !underline_))
      return font_;
    const std::string face = style_.face.empty() ? "Times New Roman" : style_.face;
    const int32_t points = style_.size > 0 ? style_.size : 12;
    std::string key;
    for (char ch : face)
      if (ch != ' ') key += char(lower(uint8_t(ch)));
    key += std::to_string(points);
    if (bold_) key += 'b';
    if (italic_) key += 'i';
    if (underline_) key += 'u';
    if (auto it = made_.find(key); it != made_.end()) return font_ = it->second;
    const Font* f = cached_font(key, face, points);
    if (f && d_.fonts.size() < 255) {
      auto it = std::find(d_.fonts.begin(), d_.fonts.end(), f);
      font_ = uint8_t(it - d_.fonts.begin());
      if (it == d_.fonts.end()) d_.fonts.push_back(f);
    }
    made_[key] = font_;
    return font_;
  }

  const Font* cached_font(const std::string& key, const std::string& face, int32_t points) {
    vm::Value name = vm::Value::from_handle(vm::text_intern(key));
    const Font* found = nullptr;
    if (vm::Value* cell = vm::var_find(*ctx_, name)) {
      const Font* f = font_of(*cell);
      if (f && f->is_system && f->sys.anti == (st_.html_anti ? 1 : 0)) found = f;
    }
    if (!found) {
      SystemFontDesc desc = default_system_desc();
      std::memset(desc.face, 0, sizeof desc.face);
      std::memcpy(desc.face, face.data(), std::min(face.size(), sizeof desc.face - 1));
      desc.height = -std::max(1, (points * 96 + 36) / 72);
      desc.weight = bold_ ? 700 : 400;
      desc.italic = italic_;
      desc.underline = underline_;
      desc.anti = st_.html_anti ? 1 : 0;
      uint32_t handle = font_create();
      Font* f = font_of(handle);
      std::string error;
      if (f) {
        f->sys = desc;
        if (rasterize_system_font(*f, &error)) {
          vm::value_release(f->name);
          f->name = vm::Value::from_handle(vm::text_intern(key));
          if (vm::Value* cell = vm::var_for_set(*ctx_, name)) {
            vm::value_store(*cell, vm::Value::from_handle(handle));
            found = f;
          }
        }
      }
      vm::element_release(handle);
    }
    vm::value_release(name);
    return found;
  }

  void style_changed() { font_ready_ = false; }

  // --- entities ----------------------------------------------------------------------------

  void entity() {
    const size_t start = i_;
    size_t k = i_ + 1;
    if (k < s_.size() && s_[k] == '#') {
      int64_t v = 0;
      size_t digits = 0;
      for (k++; k < s_.size() && s_[k] >= '0' && s_[k] <= '9' && digits < 7; k++, digits++) v = v * 10 + (s_[k] - '0');
      // The code of a character: 1..255 (nothing else is a byte of the font).
      if (digits > 0 && k < s_.size() && s_[k] == ';' && v > 0 && v <= 255) {
        visible(uint8_t(v), start);
        i_ = k + 1;
        return;
      }
    } else {
      size_t len = 0;
      while (k < s_.size() && is_alnum(uint8_t(s_[k])) && len <= 7) k++, len++;
      if (len > 0 && len <= 7 && k < s_.size() && s_[k] == ';') {
        std::string_view name = s_.substr(i_ + 1, len);
        if (iequal(name, "nbsp")) {
          // A space that white space never collapses.
          if (!suppress_) {
            collapsed_space(start);
            push(' ', start);
          }
          pending_space_ = false;
          i_ = k + 1;
          return;
        }
        if (int code = entity_code(name)) {
          visible(uint8_t(code), start);
          i_ = k + 1;
          return;
        }
      }
    }
    visible('&', start);
    i_ = start + 1;
  }

  // --- tags --------------------------------------------------------------------------------

  // Reads the tag at i_; false when the text ends inside it (which ends the text).
  bool tag() {
    const size_t start = i_;
    size_t k = i_ + 1;
    if (s_.substr(k, 3) == "!--") {
      size_t end = s_.find("--", k + 3);
      while (end != std::string_view::npos) {
        if (s_.substr(end + 2, 1) == ">") {
          i_ = end + 3;
          return true;
        }
        if (s_.substr(end + 2, 2) == "!>") {
          i_ = end + 4;
          return true;
        }
        end = s_.find("--", end + 1);
      }
      return false;
    }
    bool closing = false;
    if (k < s_.size() && s_[k] == '/') closing = true, k++;
    if (k >= s_.size() || (!is_alpha(uint8_t(s_[k])) && s_[k] != '!' && s_[k] != '?')) {
      // Not a tag: a "<" that shows.
      visible('<', start);
      i_ = start + 1;
      return true;
    }
    std::string name;
    for (; k < s_.size() && is_alnum(uint8_t(s_[k])); k++)
      if (name.size() <= kMaxTagName) name += char(lower(uint8_t(s_[k])));
    if (name.size() > kMaxTagName) name.clear();  // too long: known to nobody
    std::vector<Attr> attrs;
    while (true) {
      while (k < s_.size() && is_blank(uint8_t(s_[k]))) k++;
      if (k >= s_.size()) return false;
      if (s_[k] == '>') break;
      if (!is_alnum(uint8_t(s_[k]))) {
        k++;
        continue;
      }
      Attr a;
      for (; k < s_.size() && is_alnum(uint8_t(s_[k])); k++)
        if (a.name.size() < kMaxAttrName) a.name += char(lower(uint8_t(s_[k])));
      while (k < s_.size() && is_blank(uint8_t(s_[k]))) k++;
      if (k < s_.size() && s_[k] == '=') {
        k++;
        while (k < s_.size() && is_blank(uint8_t(s_[k]))) k++;
        if (k < s_.size() && s_[k] == '"') {
          size_t close = s_.find('"', k + 1);
          if (close == std::string_view::npos) return false;
          a.value = std::string(s_.substr(k + 1, std::min(close - k - 1, kMaxAttrValue)));
          k = close + 1;
        } else {
          size_t b = k;
          while (k < s_.size() && !is_blank(uint8_t(s_[k])) && s_[k] != '>') k++;
          a.value = std::string(s_.substr(b, std::min(k - b, kMaxAttrValue)));
        }
      }
      if (attrs.size() < 64) attrs.push_back(std::move(a));
    }
    i_ = k + 1;
    apply(name, closing, attrs, start);
    return true;
  }

  static const std::string* attr(const std::vector<Attr>& attrs, std::string_view name) {
    for (const Attr& a : attrs)
      if (a.name == name) return &a.value;
    return nullptr;
  }

  // A colour value: "#" and hexadecimal digits, or a colour name.
  bool colour(const std::string& v, uint32_t& out) {
    if (!v.empty() && v[0] == '#') {
      uint32_t rgb = 0;
      size_t n = 0;
      for (size_t k = 1; k < v.size() && n < 6; k++, n++) {
        char c = v[k];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) break;
        rgb = rgb << 4 | uint32_t(d);
      }
      if (n == 0) return false;
      out = rgb;
      return true;
    }
    if (!ctx_ || v.empty()) return false;
    vm::push_owned(*ctx_, vm::Value::from_handle(vm::text_intern(v)));
    uint32_t k = 0;
    uint32_t c = gfx::read_color(*ctx_, 1, k);
    vm::pop_n(*ctx_, 1);
    if (k == 0) return false;
    out = c;
    return true;
  }

  void apply(const std::string& name, bool closing, const std::vector<Attr>& attrs, size_t src) {
    if (name == "html") {
      if (closing) return;
      // A fresh reader: the base colour, Times New Roman, no styles, lists or link.
      style_ = Style{"Times New Roman", 0, base_color_};
      stack_.clear();
      lists_.clear();
      list_depth_ = 0;
      bold_ = italic_ = underline_ = suppress_ = pending_space_ = false;
      href_.clear();
      if (ctx_) text_state(*ctx_).html_links = 0;
      style_changed();
    } else if (name == "title") {
      suppress_ = !closing;
    } else if (name == "body") {
      if (closing) return;
      if (const std::string* v = attr(attrs, "text")) {
        colour(*v, style_.color);
        base_color_ = style_.color;
      }
      // bgcolor, link, vlink, alink: accepted; the background is the script's.
    } else if (name == "font") {
      if (closing) {
        if (!stack_.empty()) {
          style_ = stack_.back();
          stack_.pop_back();
        }
      } else {
        if (stack_.size() == kFontStackDepth) stack_.erase(stack_.begin());
        stack_.push_back(style_);
        if (const std::string* v = attr(attrs, "color")) colour(*v, style_.color);
        if (const std::string* v = attr(attrs, "face")) style_.face = v->substr(0, kMaxFace);
        if (const std::string* v = attr(attrs, "size")) {
          // 1..7, or +n / -n from 3.
          int64_t n = number_of(*v, 3);
          if (!v->empty() && ((*v)[0] == '+' || (*v)[0] == '-')) n += 3;
          style_.size = kPointSizes[std::clamp<int64_t>(n, 1, 7) - 1];
        }
      }
      style_changed();
    } else if (name == "b" || name == "i" || name == "u") {
      (name == "b" ? bold_ : name == "i" ? italic_ : underline_) = !closing;
      style_changed();
    } else if (name == "a") {
      if (!closing) {
        const std::string* v = attr(attrs, "href");
        href_ = v ? *v : std::string();
        link_begin_ = d_.items.size();
      } else if (!href_.empty()) {
        if (d_.items.size() > link_begin_) d_.links.push_back(TextLink{link_begin_, d_.items.size(), href_});
        href_.clear();
      }
    } else if (name == "img") {
      if (!closing) image(attrs, src);
    } else if (name == "ul" || name == "ol") {
      if (!closing) {
        if (lists_.size() < kMaxListDepth) lists_.push_back(List{name == "ol", 0});
        list_depth_++;
      } else if (list_depth_ > 0) {
        if (list_depth_ <= lists_.size()) lists_.pop_back();
        list_depth_--;
      }
      line_break(src);
    } else if (name == "li") {
      if (closing) return;
      if (!at_line_start()) line_break(src);
      if (suppress_) return;
      const size_t level = std::max<size_t>(1, std::min(list_depth_, lists_.size()));
      for (size_t k = 0; k < level * kListIndent; k++) push(' ', src);
      if (!lists_.empty()) {
        List& l = lists_[level - 1];
        if (l.ordered) {
          for (char ch : std::to_string(++l.counter) + ".") push(uint8_t(ch), src);
        } else {
          push(kBullet, src);
        }
      } else {
        push(kBullet, src);
      }
      push(' ', src);
      pending_space_ = false;
    } else if (name == "br" || name == "p" || name == "div" || name == "center" || name == "hr" ||
               name == "blockquote" || name == "pre" || name == "table" || name == "tr" || name == "h1" ||
               name == "h2" || name == "h3" || name == "h4" || name == "h5" || name == "h6") {
      line_break(src);
    }
    // Anything else is skipped.
  }

  void image(const std::vector<Attr>& attrs, size_t src) {
    int32_t w = -1, h = -1, hspace = 0, vspace = 0;
    const std::string* name = nullptr;
    for (const Attr& a : attrs) {
      auto num = [&](int32_t& out) { out = int32_t(std::clamp<int64_t>(number_of(a.value, 0), 0, 4096)); };
      if (a.name == "width") num(w);
      else if (a.name == "height") num(h);
      else if (a.name == "hspace") num(hspace);
      else if (a.name == "vspace") num(vspace);
      else if (a.name != "border") name = &a.value;
    }
    if (!ctx_ || !name || name->empty() || suppress_ || d_.images.size() >= 65535) return;
    vm::Value text = vm::Value::from_handle(vm::text_intern(*name));
    vm::Value found = gfx::image_arg(*ctx_, text);
    vm::value_release(text);
    std::vector<gfx::Image*> pics = gfx::images_of(found);
    if (pics.empty() || !pics[0]->pixels) return;
    const gfx::Image* pic = pics[0];
    if (w <= 0) w = pic->width();
    if (h <= 0) h = pic->height();
    if (w <= 0 || h <= 0) return;
    d_.images.push_back(InlineImage{pic, w, h, hspace, vspace});
    collapsed_space(src);
    push(0, src, uint16_t(d_.images.size()));
  }

  struct List {
    bool ordered;
    int32_t counter;
  };

  vm::Interp* ctx_;
  std::string_view s_;
  const TextState& st_;
  size_t i_ = 0;
  Decoded d_;
  Style style_;
  uint32_t base_color_ = 0;
  std::vector<Style> stack_;
  std::vector<List> lists_;
  size_t list_depth_ = 0;  // levels opened, beyond those kept
  bool bold_ = false, italic_ = false, underline_ = false;
  bool suppress_ = false, pending_space_ = false;
  bool font_ready_ = false;
  uint8_t font_ = 0;
  std::map<std::string, uint8_t> made_;
  std::string href_;
  size_t link_begin_ = 0;
};

}  // namespace

Decoded decode_html(vm::Interp* ctx, std::string_view text, const Font& base, uint32_t color,
                    const TextState& st) {
  return HtmlReader(ctx, text, base, color, st).run();
}

void set_markup_hooks(const MarkupHooks& hooks) { g_hooks = hooks; }
const MarkupHooks& markup_hooks() { return g_hooks; }

void make_link_hotspots(vm::Interp& ctx, const Decoded& d, const std::vector<gfx::Rect>& rects) {
  if (!g_hooks.link) return;
  for (size_t k = 0; k < d.links.size() && k < rects.size(); k++) {
    const gfx::Rect& r = rects[k];
    if (r.x1 > r.x2 || ctx.stop) continue;
    int32_t& counter = text_state(ctx).html_links;
    counter = counter < 1000000 ? counter + 1 : 1;
    g_hooks.link(ctx, "_htmlhot" + std::to_string(counter), r.x1, r.y1, r.x2, r.y2, d.links[k].href);
  }
}

void markup_register() {
#define QHTMLFLAG(var, field)                                                                   \
  vm::sysvar_register(vm::SV_##var, {[](vm::Interp& c) { vm::push_int(c, text_state(c).field); }, \
                                     [](vm::Interp& c, vm::Value v) {                             \
                                       text_state(c).field = vm::value_to_integer(&c, v) != 0;    \
                                     }});
  QHTMLFLAG(var_texthtmltabs, html_tabs)
  QHTMLFLAG(var_texthtmlantifont, html_anti)
  QHTMLFLAG(var_texthtmlwinfont, html_win)
#undef QHTMLFLAG
}

}  // namespace text
