#include "compiler/suggest.h"

#include <algorithm>

#include "vm/command_names.h"

namespace compiler {
namespace {

// Optimal string alignment distance, stopping early once every entry of a
// row passes `limit` (the answer is then limit + 1).
size_t distance(const std::string& a, const std::string& b, size_t limit) {
  size_t n = a.size(), m = b.size();
  if ((n > m ? n - m : m - n) > limit) return limit + 1;
  std::vector<size_t> before(m + 1), prev(m + 1), cur(m + 1);
  for (size_t j = 0; j <= m; j++) prev[j] = j;
  for (size_t i = 1; i <= n; i++) {
    cur[0] = i;
    size_t best = cur[0];
    for (size_t j = 1; j <= m; j++) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) cur[j] = std::min(cur[j], before[j - 2] + 1);
      best = std::min(best, cur[j]);
    }
    if (best > limit) return limit + 1;
    before.swap(prev);
    prev.swap(cur);
  }
  return prev[m];
}

}  // namespace

std::string closest_name(const std::string& word, const std::vector<std::string>& names, bool commands) {
  if (word.size() < 3) return "";  // one edit turns a short name into too many others
  size_t limit = word.size() <= 4 ? 1 : word.size() <= 8 ? 2 : 3;
  std::string best;
  size_t best_distance = limit + 1;
  auto consider = [&](const std::string& name) {
    if (name.empty() || name == word) return;
    size_t d = distance(word, name, limit);
    if (d < best_distance || (d == best_distance && name < best)) {
      best = name;
      best_distance = d;
    }
  };
  for (const std::string& n : names) consider(n);
  if (commands) {
    for (uint32_t k = 1; k <= vm::kCommandNameCount; k++)
      if (vm::kCommandNames[k].name[0] != '_') consider(vm::kCommandNames[k].name);
  }
  return best;
}

std::string did_you_mean(const std::string& word, const std::vector<std::string>& names, bool commands) {
  std::string c = closest_name(word, names, commands);
  return c.empty() ? "" : "; did you mean '" + c + "'?";
}

}  // namespace compiler
