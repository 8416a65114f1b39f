// Fuzz target: the variables-file reader. The first byte chooses the
// delimiters (even: the default double quotes; odd: the next two bytes as
// start and end delimiter); the rest is the file. It is parsed, written
// back and parsed again, which must give the same names and values; then
// filegetvariables applies it from a "mem:" buffer to a context, whose
// variables and settings are cleared afterwards.
#include <cstdint>
#include <cstring>
#include <string>

#include "host/engine.h"
#include "storage/files.h"
#include "storage/membuf.h"
#include "storage/stream.h"
#include "vm/commands.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace {

vm::Interp* context() {
  static vm::Interp* ctx = [] {
    host::engine_init();
    storage::storage_init();
    return vm::interp_create();
  }();
  return ctx;
}

// A delimiter the writer can always enclose with: the reader skips blanks
// before a value and splits lines at CR and LF.
bool plain(char c) { return c != ' ' && c != '\t' && c != '\r' && c != '\n'; }

bool same(const std::vector<storage::VarEntry>& a, const std::vector<storage::VarEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].name != b[i].name || a[i].value != b[i].value) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  vm::Interp& ctx = *context();
  storage::Delimiters d{"\"", "\""};
  size_t skip = 1;
  if ((data[0] & 1) && size >= 3) {
    d = {std::string(1, char(data[1])), std::string(1, char(data[2]))};
    skip = 3;
  }
  std::string_view file(reinterpret_cast<const char*>(data) + skip, size - skip);

  std::vector<storage::VarEntry> entries = storage::varfile_parse(file, d);
  if (plain(d.start[0]) && plain(d.end[0])) {
    std::string out;
    for (const auto& e : entries) storage::varfile_append(out, e.name, e.value, d);
    if (!same(storage::varfile_parse(out, d), entries)) __builtin_trap();
  }

  for (vm::SysVar v : {vm::SV_var_filestringstart, vm::SV_var_filestringend}) {
    vm::value_store(ctx.sysvars[v], vm::Value::from_handle(vm::text_intern(v == vm::SV_var_filestringstart ? d.start : d.end)));
    vm::element_release(ctx.sysvars[v].handle());
  }
  int32_t dim = int32_t(file.size() + 1);
  uint32_t buf = storage::membuf_new(&dim, 1);
  std::memcpy(storage::membuf_of(vm::Value::from_handle(buf))->data, file.data(), file.size());
  storage::membuf_resize(buf, int64_t(file.size()));
  uint32_t name = vm::text_intern("fuzzdata");
  vm::value_store(*vm::var_for_set(ctx, vm::Value::from_handle(name)), vm::Value::from_handle(buf));
  vm::element_release(buf);
  vm::element_release(name);

  vm::open_frame(ctx);
  vm::push_owned(ctx, vm::Value::from_handle(vm::text_intern("mem:fuzzdata")));
  vm::h_filegetvariables(ctx);
  vm::pop_n(ctx, vm::stack_depth(ctx));

  // Back to a clean context: no variables, every setting at its default.
  vm::scope_delete(ctx, 1);
  vm::scope_delete(ctx, 0);
  for (vm::Value& cell : ctx.sysvars) vm::value_store(cell, vm::Value::null());
  ctx.stop = 0;
  return 0;
}
