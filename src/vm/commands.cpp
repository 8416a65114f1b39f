#include "vm/commands.h"

#include <algorithm>
#include <cstring>

#include "vm/interp.h"
#include "vm/sysvars.h"

namespace vm {

const CommandInfo kCommands[kCommandCount + 1] = {
    {"", nullptr, false},
#define QCMD(name, handler, yields) {#name, handler, yields != 0},
#include "vm/commands.def"
#undef QCMD
};


uint32_t command_find(std::string_view name) {
  auto begin = kCommands + 1, end = kCommands + kCommandCount + 1;
  auto it = std::lower_bound(begin, end, name,
                             [](const CommandInfo& c, std::string_view n) { return c.name < n; });
  return it != end && it->name == name ? uint32_t(it - kCommands) : 0;
}

void commands_register() {
  for (uint32_t i = 1; i <= kCommandCount; i++) {
    const CommandInfo& c = kCommands[i];
    CommandHandler h = c.handler;
    if (h == sysvar) {
      uint32_t sv = sysvar_find(c.name, uint32_t(std::strlen(c.name)));
      h = sv < kSysVarCount ? sysvar_handler(sv) : not_present;
    }
    uint32_t handle = static_name_intern(c.name, int64_t(std::strlen(c.name)));
    ElementEntry* e = element_entry(handle);
    if (!e) continue;
    if (e->flags & kFlagGlobalValue) {
      Value old = e->global;
      e->global = Value::null();
      e->flags &= ~kFlagGlobalValue;
      value_release(old);
      e = element_entry(handle);
    }
    e->handler = h;
    e->flags |= kFlagHasCommand | kFlagBuiltin;
    e->refs = e->refs > 0 ? e->refs : 1;
  }
}

void not_present(Interp& ctx) { discard_args_push_zero(ctx, close_frame(ctx)); }

void without_effect(Interp& ctx) { pop_n(ctx, close_frame(ctx)); }

void sysvar(Interp& ctx) { not_present(ctx); }

}  // namespace vm
