#include "compiler/numbers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace compiler {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits with at most one '.', at least one digit.
bool is_decimal(std::string_view s, bool& has_dot) {
  has_dot = false;
  bool digit = false;
  for (char c : s) {
    if (c == '.') {
      if (has_dot) return false;
      has_dot = true;
    } else if (is_digit(c)) {
      digit = true;
    } else {
      return false;
    }
  }
  return digit;
}

// "007.2500" -> "7.25", "640." -> "640", ".5" -> "0.5".
std::string normalise(std::string_view s) {
  std::string whole(s.substr(0, s.find('.')));
  std::string frac(s.find('.') == std::string_view::npos ? std::string_view() : s.substr(s.find('.') + 1));
  size_t lead = whole.find_first_not_of('0');
  whole = lead == std::string::npos ? "0" : whole.substr(lead);
  size_t trail = frac.find_last_not_of('0');
  frac = trail == std::string::npos ? "" : frac.substr(0, trail + 1);
  return frac.empty() ? whole : whole + "." + frac;
}

}  // namespace

NumberKind number_kind(std::string_view word) {
  bool dot = false;
  if (word.size() > 3 && word.substr(word.size() - 3) == "pct") {
    return is_decimal(word.substr(0, word.size() - 3), dot) ? NumberKind::Percent : NumberKind::None;
  }
  if (!is_decimal(word, dot)) return NumberKind::None;
  return dot ? NumberKind::Fraction : NumberKind::Integer;
}

bool parse_decimal(std::string_view digits, uint64_t limit, uint64_t& out) {
  out = 0;
  for (char c : digits) {
    uint64_t d = uint64_t(c - '0');
    if (out > (limit - d) / 10) return false;
    out = out * 10 + d;
  }
  return true;
}


bool fraction_literal(std::string_view decimal, bool negative, uint32_t& word) {
  std::string text(decimal);
  double d = std::strtod(text.c_str(), nullptr);
  float f = float(d);
  if (f == 0 || !pack_float_literal(double(f), word)) return false;
  // Every single has a finite decimal expansion; within the literal range it
  // has at most 31 + 23 fraction digits, which %.60f prints exactly.
  char exact[128];
  std::snprintf(exact, sizeof exact, "%.60f", double(f));
  if (normalise(exact) != normalise(decimal)) return false;
  if (negative) word |= 1u << 29;
  return true;
}

}  // namespace compiler
