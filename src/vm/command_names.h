// The command names and whether each yields a result, without handlers:
// what the compiler needs of the command table (the player's table with
// handlers is vm/commands.h; both come from vm/commands.def).
#pragma once

#include <cstdint>
#include <string_view>

namespace vm {

struct CommandName {
  const char* name;
  bool yields;
  bool frameless;  // takes no argument frame: works on the top of the stack
  bool pure;       // its result depends on its arguments alone (commands.def)
};

inline constexpr uint32_t kCommandNameCount = 976;
// Entries 0..976 in ascending byte order; entry 0 is empty.
extern const CommandName kCommandNames[kCommandNameCount + 1];

// The entry number of a command name, or 0.
uint32_t command_name_find(std::string_view name);

// The argument counts of a command (vm/command_args.def, counted from the
// command reference vm/commands.ref by tools/quillon-ref):
// fewest, most (-1: any number) and the arguments as documented.
struct CommandArgs {
  const char* name;
  int16_t min, max;
  const char* args;
};
// The entry of a command, or nullptr when its arguments are not listed.
const CommandArgs* command_args_find(std::string_view name);

}  // namespace vm
