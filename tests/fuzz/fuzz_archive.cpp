// Fuzz target: the library archive directory reader and member streams.
// The input is presented as the program's own archive ("resource:"), opened
// with archive_open; every listed member is then opened and read whole, and
// so is a member named through "resource::NAME".
#include <cstdint>
#include <cstring>
#include <string>

#include "host/engine.h"
#include "storage/archive.h"
#include "storage/stream.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

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

void drain(uint32_t stream) {
  char buf[4096];
  while (storage::stream_read(stream, buf, sizeof buf) > 0) {
  }
  storage::stream_seek(stream, -7, 2);
  storage::stream_read(stream, buf, 100);
  storage::stream_close(stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vm::Interp* ctx = context();
  uint32_t live = vm::g_elements.live;
  storage::set_own_archive(data, size);
  if (storage::archive_open(ctx, "resource:")) {
    vm::Value list = storage::archive_list_members("*");
    std::string names(vm::element_text(list));
    vm::value_release(list);
    size_t at = 0, end, opened = 0;
    while ((end = names.find("\r\n", at)) != std::string::npos && opened < 64) {
      std::string name = names.substr(at, end - at);
      at = end + 2;
      if (uint32_t h = storage::archive_find_member(name, true, false)) {
        drain(h);
        opened++;
      }
      // The first member once more through a resource name.
      if (opened == 1 && name.find(':') == std::string::npos)
        if (uint32_t h = storage::stream_open_read(ctx, "resource::" + name)) drain(h);
    }
    storage::archive_close_all();
  }
  storage::set_own_archive(nullptr, 0);
  if (vm::g_elements.live != live) __builtin_trap();  // every element of the run was freed
  return 0;
}
