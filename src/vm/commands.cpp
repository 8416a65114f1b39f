#include "vm/commands.h"

#include <cstring>

#include "vm/command_names.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace vm {

static_assert(kCommandCount == kCommandNameCount);

uint32_t command_find(std::string_view name) { return command_name_find(name); }

void commands_register(const CommandInfo* table) {
  for (uint32_t i = 1; i <= kCommandCount; i++) {
    const CommandInfo& c = table[i];
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
    names_rebound();
    e->refs = e->refs > 0 ? e->refs : 1;
  }
}

void not_present(Interp& ctx) { discard_args_push_zero(ctx, close_frame(ctx)); }

void without_effect(Interp& ctx) { pop_n(ctx, close_frame(ctx)); }

void sysvar(Interp& ctx) { not_present(ctx); }

}  // namespace vm
