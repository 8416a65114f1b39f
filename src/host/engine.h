// The engine start: the one place that knows every family. It makes the
// command table from vm/commands.def with the handlers the families define,
// starts the machine with it and lets each family register what it adds
// (system variables, element clean-ups and conversions, hooks into the
// machine). The player, the tools and the tests start the engine here.
#pragma once

#include "vm/commands.h"

namespace host {

// Entries 0..kCommandCount of the command table; entry 0 has an empty name
// and no handler.
extern const vm::CommandInfo kCommands[vm::kCommandCount + 1];

// Starts the machine with the command table and registers the families.
// Call once before the first context (and again after
// vm::element_free_all()).
void engine_init();

}  // namespace host
