// "Did you mean": the closest known name to a word an author mistyped.
#pragma once

#include <string>
#include <vector>

namespace compiler {

// The name among `names` (and, with `commands`, the built-in commands that
// authors write: not the control tokens) closest to `word` by edit
// distance (a swap of two neighbours counts as one edit), when it is close
// enough to be a slip: one edit for words of up to 4 characters, two up to
// 8, three beyond. "" when none is, and for words shorter than 3.
std::string closest_name(const std::string& word, const std::vector<std::string>& names, bool commands);

// "; did you mean 'x'?" for closest_name, or "".
std::string did_you_mean(const std::string& word, const std::vector<std::string>& names, bool commands);

}  // namespace compiler
