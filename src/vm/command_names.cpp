#include "vm/command_names.h"

#include <algorithm>
#include <iterator>

namespace vm {

const CommandName kCommandNames[kCommandNameCount + 1] = {
    {"", false, false, false},
#define QCMD(name, handler, yields) {#name, yields != 0, yields == 2, yields == 3},
#include "vm/commands.def"
#undef QCMD
};

uint32_t command_name_find(std::string_view name) {
  auto begin = kCommandNames + 1, end = kCommandNames + kCommandNameCount + 1;
  auto it = std::lower_bound(begin, end, name, [](const CommandName& c, std::string_view n) { return c.name < n; });
  return it != end && it->name == name ? uint32_t(it - kCommandNames) : 0;
}

namespace {
constexpr CommandArgs kCommandArgs[] = {
#define QARGS(name, min, max, args) {#name, min, max, args},
#include "vm/command_args.def"
#undef QARGS
};
}  // namespace

const CommandArgs* command_args_find(std::string_view name) {
  auto end = std::end(kCommandArgs);
  auto it = std::lower_bound(std::begin(kCommandArgs), end, name,
                             [](const CommandArgs& c, std::string_view n) { return c.name < n; });
  return it != end && it->name == name ? it : nullptr;
}

}  // namespace vm
