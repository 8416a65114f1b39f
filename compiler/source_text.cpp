#include "compiler/source_text.h"

#include <cstdint>
#include <cstdio>

#include "base/code_page.h"

namespace compiler {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The length of the UTF-8 sequence at `i` and its code point; 0 when the
// bytes there are no well-formed sequence (overlong forms and surrogates
// included).
size_t utf8_sequence(std::string_view s, size_t i, uint32_t& cp) {
  uint8_t c = uint8_t(s[i]);
  size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
  for (size_t k = 1; k < n; k++) {
    uint8_t b = uint8_t(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b & 0x3F);
  }
  static constexpr uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool is_utf8_with_multibyte(std::string_view s) {
  bool multibyte = false;
  for (size_t i = 0; i < s.size();) {
    uint32_t cp;
    size_t n = utf8_sequence(s, i, cp);
    if (n == 0) return false;
    multibyte |= n > 1;
    i += n;
  }
  return multibyte;
}

std::string hex(uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, unsigned(v));
  return buf;
}

}  // namespace

std::string source_to_code_page(const std::string& file, std::string_view text, Diagnostics& diag) {
  bool bom = text.substr(0, 3) == kBom;
  if (bom) text.remove_prefix(3);
  if (!bom && !is_utf8_with_multibyte(text)) return std::string(text);
  std::string out;
  out.reserve(text.size());
  int line = 1, column = 1;
  // Where the character stands: comments take any character (as '?').
  bool quoted = false, comment = false;
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    size_t n = utf8_sequence(text, i, cp);
    if (n == 0) {
      diag.error(file, line, column,
                 "the byte 0x" + hex(uint8_t(text[i]), 2) + " is not UTF-8, but the file starts with the UTF-8 mark");
      out += '?';
      i++;
      column++;
      continue;
    }
    std::string_view ch = text.substr(i, n);
    i += n;
    if (cp == '\n' || cp == '\r') {
      out += char(cp);
      if (cp == '\r' && i < text.size() && text[i] == '\n') out += text[i++];
      line++;
      column = 1;
      comment = false;
      continue;
    }
    if (!comment) {
      if (cp == '"') quoted = !quoted;
      else if (quoted && cp == '\\' && i < text.size() && (text[i] == '"' || text[i] == '\\')) {
        out += '\\';
        out += text[i++];
        column += 2;
        continue;
      } else if (!quoted && cp == ';') comment = true;
    }
    int byte = base::cp1252_byte(cp);
    if (byte < 0) {
      if (!comment)
        diag.error(file, line, column,
                   "the character " + std::string(ch) + " (U+" + hex(cp, 4) +
                       ") is not in the player's code page (Windows-1252), so it cannot be written in the compiled script");
      byte = '?';
    }
    out += char(byte);
    column++;
  }
  return out;
}

}  // namespace compiler
