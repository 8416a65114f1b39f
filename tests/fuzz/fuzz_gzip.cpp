// Fuzz target: the gzip opener. The input is presented as the program's own
// archive bytes ("resource:") and opened with stream_open_read_gz, which
// inflates it when it is a gzip member and hands it back raw otherwise; the
// result is read whole either way.
#include <cstdint>
#include <cstring>

#include "host/engine.h"
#include "storage/stream.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace {

vm::Interp* context() {
  static vm::Interp* ctx = [] {
    host::engine_init();
    storage::storage_init();
    return vm::interp_create();
  }();
  return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vm::Interp* ctx = context();
  uint32_t live = vm::g_elements.live;
  storage::set_own_archive(data, size);
  if (uint32_t h = storage::stream_open_read_gz(ctx, "resource:")) {
    storage::Stream* s = storage::stream_of(h);
    // Raw content comes back whole and from its start.
    if (!s->inflated && (s->position != 0 || s->size != int64_t(size))) __builtin_trap();
    char buf[8192];
    int64_t total = 0, n;
    while ((n = storage::stream_read(h, buf, sizeof buf)) > 0) total += n;
    if (!s->inflated && total != int64_t(size)) __builtin_trap();
    storage::stream_close(h);
  }
  storage::set_own_archive(nullptr, 0);
  if (vm::g_elements.live != live) __builtin_trap();  // every element of the run was freed
  return 0;
}
