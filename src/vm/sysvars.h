// System variables: the `var_` commands that read or set one setting each.
#pragma once

#include <cstdint>

namespace vm {

struct Interp;
struct Value;

enum class SysVarKind : uint8_t { Integer, Text, Flag, Float, Computed };

enum SysVar : uint32_t {
#define QSYSVAR(name, kind, dint, dtext) SV_##name,
#include "vm/sysvars.def"
#undef QSYSVAR
  kSysVarCount
};

struct SysVarInfo {
  const char* name;
  SysVarKind kind;
  int64_t default_int;
  const char* default_text;
};
extern const SysVarInfo kSysVars[kSysVarCount];

// Accessors of a computed variable. `get` pushes the current value (one
// cell); `set` takes the new value (borrowed). Registered by the subsystem
// that owns the state.
struct SysVarAccess {
  void (*get)(Interp&) = nullptr;
  void (*set)(Interp&, Value) = nullptr;
};
void sysvar_register(SysVar var, SysVarAccess access);

// The index of a `var_` name, or kSysVarCount.
uint32_t sysvar_find(const char* name, uint32_t length);

// Sets every cell to its default (context creation).
void sysvars_init(Interp& ctx);

// The integer value of an integer, flag or computed-without-accessor cell
// (the default when the cell is null). Cheap: used by the interpreter for
// var_sysmessageskip, var_floatdigits and the like.
int64_t sysvar_int(const Interp& ctx, SysVar var);
// Stores an integer into an integer or flag cell (kept as 32 bits).
void sysvar_set_int(Interp& ctx, SysVar var, int64_t v);

// The handler of a `var_` command (pushes or stores; part of the command table).
using SysVarHandler = void (*)(Interp&);
SysVarHandler sysvar_handler(uint32_t index);

// The cell of system variable `index` when reading it only takes its value
// (no getter is registered), with its default put in at the first read as
// its command does; null otherwise.
Value* sysvar_plain_cell(Interp& ctx, uint32_t index);
// True when storing into system variable `index` only converts the value
// and keeps it in its cell (no setter is registered): its command then
// changes nothing else and cannot fail.
bool sysvar_plain_store(uint32_t index);

}  // namespace vm
