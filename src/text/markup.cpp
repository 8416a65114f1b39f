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

// The system fonts of mark-up text, cached in script variables named after
// the face, size and styles (timesnewroman12b), and their indexes in the
// decoded text's font list (index 0, the base font, when none can be made).
class FontMaker {
 public:
  FontMaker(vm::Interp* ctx, const TextState& st, Decoded& d) : ctx_(ctx), st_(st), d_(d) {}

  uint8_t index(const std::string& face, int32_t points, bool bold, bool italic, bool underline) {
    if (!ctx_ || !st_.html_win) return 0;
    std::string key;
    for (char ch : face)
      if (ch != ' ') key += char(lower(uint8_t(ch)));
    if (points > 0) key += std::to_string(points);
    if (bold) key += 'b';
    if (italic) key += 'i';
    if (underline) key += 'u';
    if (auto it = made_.find(key); it != made_.end()) return it->second;
    uint8_t index = 0;
    const Font* f = cached(key, face, points, bold, italic, underline);
    if (f && d_.fonts.size() < 255) {
      auto it = std::find(d_.fonts.begin(), d_.fonts.end(), f);
      index = uint8_t(it - d_.fonts.begin());
      if (it == d_.fonts.end()) d_.fonts.push_back(f);
    }
    if (made_.size() < 1024) made_[key] = index;
    return index;
  }

 private:
  const Font* cached(const std::string& key, const std::string& face, int32_t points, bool bold, bool italic,
                     bool underline) {
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
      desc.height = -std::clamp((std::max(points, 1) * 96 + 36) / 72, 1, 400);
      desc.weight = bold ? 700 : 400;
      desc.italic = italic;
      desc.underline = underline;
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

  vm::Interp* ctx_;
  const TextState& st_;
  Decoded& d_;
  std::map<std::string, uint8_t> made_;
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
    d_.items.push_back(Item{c, font_index(), image, style_.color, uint32_t(src), 0});
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
  // face, a size or a style.
  uint8_t font_index() {
    if (font_ready_) return font_;
    font_ready_ = true;
    if (style_.face.empty() && style_.size == 0 && !bold_ && !italic_ && !underline_) return font_ = 0;
    return font_ = fonts_.index(style_.face.empty() ? "Times New Roman" : style_.face, style_.size > 0 ? style_.size : 12,
                                bold_, italic_, underline_);
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
  FontMaker fonts_{ctx_, st_, d_};
  std::string href_;
  size_t link_begin_ = 0;
};

// --- RTF -------------------------------------------------------------------------------------

enum class Kind : uint8_t { Char, Dest, Prop, Spec };
// Properties (kind Prop indexes).
enum Prop : int32_t {
  kPropFamily = 0, kPropRed = 1, kPropGreen = 2, kPropBlue = 3, kPropFont = 4, kPropSize = 5, kPropBack = 6,
  kPropFore = 7, kPropBold = 8, kPropItalic = 9, kPropUnderline = 10, kPropLeft = 11, kPropRight = 12,
  kPropFirst = 13, kPropPaperW = 18, kPropPaperH = 19, kPropMargL = 20, kPropMargR = 21, kPropMargT = 22,
  kPropMargB = 23, kPropSection = 25, kPropPageNum = 26, kPropAlign = 29, kPropPar = 30, kPropPard = 31,
  kPropRtf = 32, kPropPlain = 33, kPropSectd = 34, kPropIgnored = 99,
};
// Destinations (kind Dest indexes); 9 is skipped.
enum Dest : int32_t { kDestFonts = 0, kDestColors = 1, kDestSkip = 9, kDestNormal = 100 };
constexpr int32_t kTabCode = 65545;

struct Keyword {
  const char* word;
  int32_t def;
  bool use_def;
  Kind kind;
  int32_t index;
};
// Sorted by keyword (byte order); looked up by exact comparison.
constexpr Keyword kKeywords[] = {
    {"\n", 0, false, Kind::Char, 10},
    {"\r", 0, false, Kind::Char, 10},
    {"'", 0, false, Kind::Spec, 1},
    {"*", 0, false, Kind::Spec, 2},
    {"\\", 0, false, Kind::Char, 92},
    {"author", 0, false, Kind::Dest, 5},
    {"b", 1, false, Kind::Prop, kPropBold},
    {"bin", 0, false, Kind::Spec, 0},
    {"bkmkend", 0, false, Kind::Dest, kDestSkip},
    {"bkmkstart", 0, false, Kind::Dest, kDestSkip},
    {"blue", 0, false, Kind::Prop, kPropBlue},
    {"buptim", 0, false, Kind::Dest, kDestSkip},
    {"cb", 1, false, Kind::Prop, kPropBack},
    {"cf", 1, false, Kind::Prop, kPropFore},
    {"colortbl", 0, false, Kind::Dest, kDestColors},
    {"cols", 1, false, Kind::Prop, kPropIgnored},
    {"comment", 0, false, Kind::Dest, kDestSkip},
    {"creatim", 0, false, Kind::Dest, kDestSkip},
    {"doccomm", 0, false, Kind::Dest, kDestSkip},
    {"f", 0, false, Kind::Prop, kPropFont},
    {"facingp", 1, true, Kind::Prop, kPropIgnored},
    {"fbidi", 7, true, Kind::Prop, kPropFamily},
    {"fdecor", 5, true, Kind::Prop, kPropFamily},
    {"fi", 0, false, Kind::Prop, kPropFirst},
    {"fmodern", 3, true, Kind::Prop, kPropFamily},
    {"fnil", 0, true, Kind::Prop, kPropFamily},
    {"fonttbl", 0, false, Kind::Dest, kDestFonts},
    {"footer", 0, false, Kind::Dest, kDestSkip},
    {"footerf", 0, false, Kind::Dest, kDestSkip},
    {"footerl", 0, false, Kind::Dest, kDestSkip},
    {"footerr", 0, false, Kind::Dest, kDestSkip},
    {"footnote", 0, false, Kind::Dest, kDestSkip},
    {"froman", 1, true, Kind::Prop, kPropFamily},
    {"fs", 24, false, Kind::Prop, kPropSize},
    {"fscript", 4, true, Kind::Prop, kPropFamily},
    {"fswiss", 2, true, Kind::Prop, kPropFamily},
    {"ftech", 6, true, Kind::Prop, kPropFamily},
    {"ftncn", 0, false, Kind::Dest, kDestSkip},
    {"ftnsep", 0, false, Kind::Dest, kDestSkip},
    {"ftnsepc", 0, false, Kind::Dest, kDestSkip},
    {"green", 0, false, Kind::Prop, kPropGreen},
    {"header", 0, false, Kind::Dest, kDestSkip},
    {"headerf", 0, false, Kind::Dest, kDestSkip},
    {"headerl", 0, false, Kind::Dest, kDestSkip},
    {"headerr", 0, false, Kind::Dest, kDestSkip},
    {"i", 1, false, Kind::Prop, kPropItalic},
    {"info", 0, false, Kind::Dest, 2},
    {"keywords", 0, false, Kind::Dest, kDestSkip},
    {"landscape", 1, true, Kind::Prop, kPropIgnored},
    {"ldblquote", 0, false, Kind::Char, 34},
    {"li", 0, false, Kind::Prop, kPropLeft},
    {"line", 0, false, Kind::Char, 10},
    {"margb", 1440, false, Kind::Prop, kPropMargB},
    {"margl", 1800, false, Kind::Prop, kPropMargL},
    {"margr", 1800, false, Kind::Prop, kPropMargR},
    {"margt", 1440, false, Kind::Prop, kPropMargT},
    {"operator", 0, false, Kind::Dest, kDestSkip},
    {"paperh", 15480, false, Kind::Prop, kPropPaperH},
    {"paperw", 12240, false, Kind::Prop, kPropPaperW},
    {"par", 0, false, Kind::Prop, kPropPar},
    {"pard", 0, false, Kind::Prop, kPropPard},
    {"pgndec", 0, true, Kind::Prop, kPropPageNum},
    {"pgnlcltr", 4, true, Kind::Prop, kPropPageNum},
    {"pgnlcrm", 2, true, Kind::Prop, kPropPageNum},
    {"pgnstart", 1, true, Kind::Prop, kPropIgnored},
    {"pgnucltr", 3, true, Kind::Prop, kPropPageNum},
    {"pgnucrm", 1, true, Kind::Prop, kPropPageNum},
    {"pgnx", 0, false, Kind::Prop, kPropIgnored},
    {"pgny", 0, false, Kind::Prop, kPropIgnored},
    {"pict", 0, false, Kind::Dest, kDestSkip},
    {"plain", 0, false, Kind::Prop, kPropPlain},
    {"pn", 0, false, Kind::Dest, kDestSkip},
    {"pnf", 0, false, Kind::Prop, kPropIgnored},
    {"pnindent", 0, false, Kind::Prop, kPropIgnored},
    {"pnlvlblt", 0, false, Kind::Prop, kPropIgnored},
    {"pntext", 0, false, Kind::Dest, kDestSkip},
    {"pntxta", 0, false, Kind::Dest, 7},
    {"pntxtb", 0, false, Kind::Dest, 8},
    {"printim", 0, false, Kind::Dest, kDestSkip},
    {"private", 0, false, Kind::Dest, kDestSkip},
    {"qc", 3, true, Kind::Prop, kPropAlign},
    {"qj", 4, true, Kind::Prop, kPropAlign},
    {"ql", 1, true, Kind::Prop, kPropAlign},
    {"qr", 2, true, Kind::Prop, kPropAlign},
    {"rdblquote", 0, false, Kind::Char, 34},
    {"red", 0, false, Kind::Prop, kPropRed},
    {"revtim", 0, false, Kind::Dest, kDestSkip},
    {"ri", 0, false, Kind::Prop, kPropRight},
    {"rtf", 0, false, Kind::Prop, kPropRtf},
    {"rxe", 0, false, Kind::Dest, kDestSkip},
    {"sbkcol", 1, true, Kind::Prop, kPropSection},
    {"sbkeven", 3, true, Kind::Prop, kPropSection},
    {"sbknone", 0, true, Kind::Prop, kPropSection},
    {"sbkodd", 4, true, Kind::Prop, kPropSection},
    {"sbkpage", 2, true, Kind::Prop, kPropSection},
    {"sectd", 0, false, Kind::Prop, kPropSectd},
    {"stylesheet", 0, false, Kind::Dest, kDestSkip},
    {"subject", 0, false, Kind::Dest, 4},
    {"tab", 0, false, Kind::Char, kTabCode},
    {"tc", 0, false, Kind::Dest, kDestSkip},
    {"title", 0, false, Kind::Dest, 3},
    {"tx", 0, false, Kind::Prop, kPropIgnored},
    {"txe", 0, false, Kind::Dest, kDestSkip},
    {"ul", 1, false, Kind::Prop, kPropUnderline},
    {"ulnone", 0, true, Kind::Prop, kPropUnderline},
    {"xe", 0, false, Kind::Dest, kDestSkip},
    {"{", 0, false, Kind::Char, 123},
    {"}", 0, false, Kind::Char, 125},
};

const Keyword* find_keyword(std::string_view w) {
  for (const Keyword& k : kKeywords)
    if (w == k.word) return &k;
  return nullptr;
}

constexpr size_t kMaxGroupDepth = 256, kMaxFonts = 256, kMaxColors = 256, kMaxFaceName = 255;

class RtfReader {
 public:
  RtfReader(vm::Interp* ctx, std::string_view text, const Font& base, uint32_t color, const TextState& st)
      : ctx_(ctx), s_(text), st_(st), default_color_(color) {
    d_.fonts.push_back(&base);
  }

  Decoded run() {
    while (!s_.empty() && s_.back() == '\0') s_.remove_suffix(1);
    d_.src_size = uint32_t(s_.size());
    d_.items.reserve(s_.size());
    while (i_ < s_.size() && !d_.error) {
      if (ctx_ && ctx_->stop) break;
      const char c = s_[i_];
      if (c == '{') {
        i_++;
        if (stack_.size() >= kMaxGroupDepth) {
          d_.error = 2;
          break;
        }
        stack_.push_back(state_);
      } else if (c == '}') {
        i_++;
        if (stack_.empty()) {
          d_.error = 1;
          break;
        }
        end_group();
      } else if (c == '\\') {
        control();
      } else if (c == '\r' || c == '\n') {
        i_++;
      } else {
        character(uint8_t(c), i_);
        i_++;
      }
    }
    if (!d_.error && !stack_.empty() && !(ctx_ && ctx_->stop)) d_.error = 3;
    return std::move(d_);
  }

 private:
  struct State {
    int32_t dest = kDestNormal;
    int32_t font = 0, half_points = 24, fore = 0;
    bool bold = false, italic = false, underline = false;
    uint8_t align = 0;
  };
  struct FontEntry {
    std::string face;
    int32_t family = 0;
  };

  void end_group() {
    // A font-table entry ends with its group too.
    if (state_.dest == kDestFonts && !entry_face_.empty()) finish_font_entry();
    state_ = stack_.back();
    stack_.pop_back();
  }

  void finish_font_entry() {
    if (font_table_.size() < kMaxFonts || font_table_.count(entry_number_))
      font_table_[entry_number_] = FontEntry{entry_face_, entry_family_};
    entry_face_.clear();
    entry_family_ = 0;
  }

  // A character of the text in the current destination.
  void character(uint8_t c, size_t src) {
    switch (state_.dest) {
      case kDestNormal: emit(c, src); break;
      case kDestFonts:
        if (c == ';') finish_font_entry();
        else if (entry_face_.size() < kMaxFaceName) entry_face_ += char(c);
        break;
      case kDestColors:
        if (c == ';' && colors_.size() < kMaxColors) colors_.push_back(red_ << 16 | green_ << 8 | blue_), red_ = green_ = blue_ = 0;
        break;
      default: break;  // read and dropped (info, title, ...) or skipped
    }
  }

  void emit(uint8_t c, size_t src) {
    if (c == 0) return;
    uint8_t font = font_index();
    uint32_t color = default_color_;
    if (state_.fore > 0 && size_t(state_.fore) < colors_.size()) color = colors_[size_t(state_.fore)];
    d_.items.push_back(Item{c, font, 0, color, uint32_t(src), state_.align});
  }

  uint8_t font_index() {
    const State& s = state_;
    if (applied_ && s.font == last_.font && s.half_points == last_.half_points && s.bold == last_.bold &&
        s.italic == last_.italic && s.underline == last_.underline)
      return font_;
    applied_ = true;
    last_ = s;
    std::string face = "Times New Roman";
    if (auto it = font_table_.find(s.font); it != font_table_.end()) {
      std::string_view f = it->second.face;
      while (!f.empty() && f.front() == ' ') f.remove_prefix(1);
      if (!f.empty()) face = std::string(f);
      else if (it->second.family == 2) face = "Arial";
      else if (it->second.family == 3) face = "Courier New";
    }
    return font_ = fonts_.index(face, std::max(1, (s.half_points + 1) / 2), s.bold, s.italic, s.underline);
  }

  // A backslash: a control word, a control symbol, \'hh or \bin.
  void control() {
    const size_t start = i_;
    i_++;
    if (i_ >= s_.size()) return;  // a lone backslash at the end
    std::string_view word;
    bool has_param = false;
    int64_t param = 0;
    if (is_alpha(uint8_t(s_[i_]))) {
      size_t b = i_;
      while (i_ < s_.size() && is_alpha(uint8_t(s_[i_])) && i_ - b < 32) i_++;
      word = s_.substr(b, i_ - b);
      bool neg = i_ < s_.size() && s_[i_] == '-';
      size_t p = i_ + (neg ? 1 : 0);
      if (p < s_.size() && s_[p] >= '0' && s_[p] <= '9') {
        has_param = true;
        i_ = p;
        for (; i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; i_++) param = std::min<int64_t>(param * 10 + (s_[i_] - '0'), 1 << 30);
        if (neg) param = -param;
      }
      if (i_ < s_.size() && s_[i_] == ' ') i_++;  // the delimiter
    } else {
      word = s_.substr(i_, 1);
      i_++;
    }
    const Keyword* k = find_keyword(word);
    const bool skippable = skip_next_;
    skip_next_ = false;
    if (!k) {
      if (skippable) state_.dest = kDestSkip;
      return;
    }
    switch (k->kind) {
      case Kind::Char:
        if (k->index == kTabCode) character('\t', start);
        else if (k->index == 10 && state_.dest == kDestNormal) emit('\n', start);
        else if (k->index != 10) character(uint8_t(k->index), start);
        break;
      case Kind::Dest:
        state_.dest = k->index == kDestFonts || k->index == kDestColors ? k->index : kDestSkip;
        if (k->index == kDestColors) red_ = green_ = blue_ = 0;
        break;
      case Kind::Prop: property(k->index, has_param && !k->use_def ? param : k->def, start); break;
      case Kind::Spec:
        if (k->index == 0) {
          // \binN: N bytes of data, skipped (never past the end).
          int64_t n = has_param ? std::max<int64_t>(param, 0) : 0;
          i_ += size_t(std::min<int64_t>(n, int64_t(s_.size() - i_)));
        } else if (k->index == 1) {
          hex_byte(start);
        } else {
          skip_next_ = true;
        }
        break;
    }
  }

  void hex_byte(size_t start) {
    int v = 0;
    for (int n = 0; n < 2; n++) {
      int h = i_ < s_.size() ? hex(s_[i_]) : -1;
      if (h < 0) {
        d_.error = 4;
        return;
      }
      v = v * 16 + h;
      i_++;
    }
    character(uint8_t(v), start);
  }

  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  void property(int32_t index, int64_t v, size_t src) {
    State& s = state_;
    switch (index) {
      case kPropFamily: entry_family_ = int32_t(v); break;
      case kPropRed: red_ = uint32_t(std::clamp<int64_t>(v, 0, 255)); break;
      case kPropGreen: green_ = uint32_t(std::clamp<int64_t>(v, 0, 255)); break;
      case kPropBlue: blue_ = uint32_t(std::clamp<int64_t>(v, 0, 255)); break;
      case kPropFont:
        if (s.dest == kDestFonts) {
          if (!entry_face_.empty()) finish_font_entry();
          entry_number_ = int32_t(v);
        } else {
          s.font = int32_t(v);
        }
        break;
      case kPropSize: s.half_points = int32_t(std::clamp<int64_t>(v, 2, 400)); break;
      case kPropFore: s.fore = int32_t(std::clamp<int64_t>(v, 0, 1 << 20)); break;
      case kPropBold: s.bold = v != 0; break;
      case kPropItalic: s.italic = v != 0; break;
      case kPropUnderline: s.underline = v != 0; break;
      case kPropAlign: s.align = uint8_t(std::clamp<int64_t>(v, 1, 4)); break;
      case kPropPar:
        if (s.dest == kDestNormal) emit('\n', src);
        break;
      case kPropPard: s.align = 0; break;
      case kPropPlain:
        s.font = 0, s.half_points = 24, s.fore = 0;
        s.bold = s.italic = s.underline = false;
        break;
      default: break;  // background colour, indents, page and section properties: read, not used
    }
  }

  vm::Interp* ctx_;
  std::string_view s_;
  const TextState& st_;
  uint32_t default_color_;
  size_t i_ = 0;
  Decoded d_;
  State state_, last_;
  std::vector<State> stack_;
  bool skip_next_ = false, applied_ = false;
  uint8_t font_ = 0;
  std::map<int32_t, FontEntry> font_table_;
  std::string entry_face_;
  int32_t entry_number_ = 0, entry_family_ = 0;
  std::vector<uint32_t> colors_;  // \colortbl entries (entry 0, "auto", stands for the text colour)
  uint32_t red_ = 0, green_ = 0, blue_ = 0;
  FontMaker fonts_{ctx_, st_, d_};
};

}  // namespace

Decoded decode_html(vm::Interp* ctx, std::string_view text, const Font& base, uint32_t color,
                    const TextState& st) {
  return HtmlReader(ctx, text, base, color, st).run();
}

Decoded decode_rtf(vm::Interp* ctx, std::string_view text, const Font& base, uint32_t color,
                   const TextState& st) {
  return RtfReader(ctx, text, base, color, st).run();
}

void report_rtf_error(vm::Interp& ctx, int32_t error) {
  // The reader's numbers start at 1, the normal end's code: the script error
  // gets a code of its own, -1000 less the number, and names the number.
  const std::string text = ", reader error " + std::to_string(error) + " in RTF Parsing";
  vm::raise_error(ctx, -1000 - error, text.c_str());
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
