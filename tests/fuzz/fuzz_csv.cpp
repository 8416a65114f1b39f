// Fuzz target: the comma-separated file reader. The first byte chooses the
// delimiters (even: the default double quotes; odd: the next two bytes as
// start and end delimiter); the rest is the file. It is parsed, written
// back and parsed again, which must give the same rows; then it is read by
// filegetarray and filegetarraynamed from a "mem:" buffer, and every
// element made on the way must be freed again.
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
    vm::Interp* c = vm::interp_create();
    vm::sysvar_set_int(*c, vm::SV_var_filegzip, 0);  // the gzip target covers inflation
    return c;
  }();
  return ctx;
}

// A delimiter the writer can always enclose with.
bool plain(char c) { return c != ',' && c != '\r' && c != '\n'; }

void set_text(vm::Interp& ctx, vm::SysVar var, std::string_view s) {
  vm::value_store(ctx.sysvars[var], vm::Value::from_handle(vm::text_intern(s)));
  vm::element_release(ctx.sysvars[var].handle());  // the cell keeps the one reference
}

void read_through(vm::Interp& ctx, vm::CommandHandler h) {
  vm::open_frame(ctx);
  vm::push_owned(ctx, vm::Value::from_handle(vm::text_intern("mem:fuzzdata")));
  h(ctx);
  vm::pop_n(ctx, vm::stack_depth(ctx));
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

  storage::CsvRows rows = storage::csv_parse(file, d);
  if (plain(d.start[0]) && plain(d.end[0])) {
    storage::CsvRows again = storage::csv_parse(storage::csv_format(rows, d), d);
    if (again != rows) __builtin_trap();
  }

  uint32_t live = vm::g_elements.live;
  set_text(ctx, vm::SV_var_filestringstart, d.start);
  set_text(ctx, vm::SV_var_filestringend, d.end);
  int32_t dim = int32_t(file.size() + 1);
  uint32_t buf = storage::membuf_new(&dim, 1);
  std::memcpy(storage::membuf_of(vm::Value::from_handle(buf))->data, file.data(), file.size());
  storage::membuf_resize(buf, int64_t(file.size()));
  uint32_t name = vm::text_intern("fuzzdata");
  vm::value_store(*vm::var_for_set(ctx, vm::Value::from_handle(name)), vm::Value::from_handle(buf));
  vm::element_release(buf);
  read_through(ctx, vm::h_filegetarray);
  read_through(ctx, vm::h_filegetarraynamed);
  vm::var_delete(ctx, vm::Value::from_handle(name));
  vm::element_release(name);
  vm::value_store(ctx.sysvars[vm::SV_var_filestringstart], vm::Value::null());
  vm::value_store(ctx.sysvars[vm::SV_var_filestringend], vm::Value::null());
  // The first run leaves the table of scopes behind; every later one nothing.
  static bool warm = false;
  if (warm && vm::g_elements.live != live) __builtin_trap();
  warm = true;
  return 0;
}
