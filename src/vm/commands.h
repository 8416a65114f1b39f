// The command table: entry 0 empty, entries 1 to 976 the built-in command
// names in ascending byte order with their handlers (vm/commands.def). The
// table itself is made above every family (host/engine.cpp), which defines
// the handlers; the machine receives it at vm_init() and knows no family.
#pragma once

#include <cstdint>
#include <string_view>

#include "vm/element.h"

namespace vm {

struct CommandInfo {
  const char* name;
  CommandHandler handler;
  bool yields;  // leaves a result on the stack
};

inline constexpr uint32_t kCommandCount = 976;

// The entry number of a command name, or 0.
uint32_t command_find(std::string_view name);

// Enters every command name of `table` (entries 0..kCommandCount, entry 0
// empty) into the symbol table as a static name with its handler (dropping
// any earlier common value or handler of that name). Safe to call again
// after element_free_all(). vm_init() calls it.
void commands_register(const CommandInfo* table);

// Handlers shared by many entries.
void not_present(Interp& ctx);     // discard the arguments, push 0
void without_effect(Interp& ctx);  // discard the arguments, push nothing
void sysvar(Interp& ctx);          // placeholder; replaced by the variable's handler

// Every handler named in the table.
#define QCMD(name, handler, yields) void handler(Interp& ctx);
#include "vm/commands.def"
#undef QCMD

}  // namespace vm
