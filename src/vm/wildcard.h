// Whole-text wildcard matching: "*" any run of bytes (none included), "?"
// any one byte, other bytes compared after `fold` (case folding). Greedy
// with one backtrack point at the last "*", which gives the same answer as
// trying the rest of the pattern at every later position, in linear space.
// Header-only: the archive tool uses it without the engine.
#pragma once

#include <cstdint>
#include <string_view>

#include "vm/ascii.h"

namespace vm {

template <typename Fold>
bool wildcard_match_folded(std::string_view p, std::string_view t, Fold fold) {
  size_t pi = 0, ti = 0, star = std::string_view::npos, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      mark = ti;
    } else if (pi < p.size() && (p[pi] == '?' || fold(p[pi]) == fold(t[ti]))) {
      pi++;
      ti++;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') pi++;
  return pi == p.size();
}

}  // namespace vm
