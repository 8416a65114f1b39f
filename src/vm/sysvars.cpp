#include "vm/sysvars.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <array>
#include <string_view>
#include <utility>

#include "vm/convert.h"
#include "vm/element.h"
#include "vm/heap.h"
#include "vm/interp.h"

namespace vm {

const SysVarInfo kSysVars[kSysVarCount] = {
#define QSYSVAR(name, kind, dint, dtext) {#name, SysVarKind::kind, dint, dtext},
#include "vm/sysvars.def"
#undef QSYSVAR
};

namespace {

SysVarAccess g_access[kSysVarCount];

Value default_value(uint32_t i) {
  const SysVarInfo& info = kSysVars[i];
  switch (info.kind) {
    case SysVarKind::Text:
      return Value::from_handle(text_intern(info.default_text));
    case SysVarKind::Float:
      return Value::from_double(std::strtod(info.default_text, nullptr));
    default:
      return Value::from_int(info.default_int);
  }
}

// Reads or sets variable I: no argument pushes the value, one argument sets
// it, further arguments are discarded.
template <uint32_t I>
void sysvar_command(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  const SysVarInfo& info = kSysVars[I];
  Value& cell = ctx.sysvars[I];
  if (n == 0) {
    if (g_access[I].get) {
      g_access[I].get(ctx);
      return;
    }
    if (cell.is_null()) cell = default_value(I);
    push(ctx, cell);
    return;
  }
  Value v = ctx.top[0];
  if (g_access[I].set) {
    g_access[I].set(ctx, v);
  } else {
    switch (info.kind) {
      case SysVarKind::Text: {
        Value t = element_type_of(v) == kTypeString ? (value_ref(v), v) : value_to_text(&ctx, v);
        Value old = cell;
        cell = t;
        value_release(old);
        break;
      }
      case SysVarKind::Flag:
        value_store(cell, Value::from_int(value_to_integer(&ctx, v) != 0 ? 1 : 0));
        break;
      case SysVarKind::Float:
        value_store(cell, value_from_float(&ctx, value_to_float(&ctx, v)));
        break;
      default:
        value_store(cell, Value::from_int(int32_t(value_to_integer(&ctx, v))));
        break;
    }
  }
  pop_n(ctx, n);
}

template <uint32_t... I>
constexpr auto make_handlers(std::integer_sequence<uint32_t, I...>) {
  return std::array<SysVarHandler, sizeof...(I)>{sysvar_command<I>...};
}
const auto kHandlers = make_handlers(std::make_integer_sequence<uint32_t, kSysVarCount>{});

// var_memused reports the bytes in use of the element heap.
void get_memused(Interp& ctx) { push_int(ctx, heap_bytes_in_use()); }

}  // namespace

void sysvar_register(SysVar var, SysVarAccess access) {
  if (var < kSysVarCount) g_access[var] = access;
}

uint32_t sysvar_find(const char* name, uint32_t length) {
  std::string_view key(name, length);
  uint32_t lo = 0, hi = kSysVarCount;
  while (lo < hi) {
    uint32_t mid = (lo + hi) / 2;
    std::string_view m = kSysVars[mid].name;
    if (m == key) return mid;
    if (m < key)
      lo = mid + 1;
    else
      hi = mid;
  }
  return kSysVarCount;
}

void sysvars_init(Interp& ctx) {
  for (uint32_t i = 0; i < kSysVarCount; i++) {
    Value old = ctx.sysvars[i];
    ctx.sysvars[i] = default_value(i);
    value_release(old);
  }
  if (!g_access[SV_var_memused].get) g_access[SV_var_memused].get = get_memused;
}

Value* sysvar_plain_cell(Interp& ctx, uint32_t index) {
  if (index >= kSysVarCount || g_access[index].get) return nullptr;
  Value& cell = ctx.sysvars[index];
  if (cell.is_null()) cell = default_value(index);
  return &cell;
}

bool sysvar_plain_store(uint32_t index) { return index < kSysVarCount && !g_access[index].set; }

int64_t sysvar_int(const Interp& ctx, SysVar var) {
  Value v = ctx.sysvars[var];
  if (v.is_int()) return v.as_int();
  if (v.is_null()) return kSysVars[var].default_int;
  return value_to_integer(const_cast<Interp*>(&ctx), v);
}

void sysvar_set_int(Interp& ctx, SysVar var, int64_t v) {
  value_store(ctx.sysvars[var], Value::from_int(int32_t(v)));
}

SysVarHandler sysvar_handler(uint32_t index) { return index < kSysVarCount ? kHandlers[index] : nullptr; }

}  // namespace vm
