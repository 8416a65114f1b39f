// Fuzz target: the compiled script loader. The input is checked, loaded
// (names interned, operands relocated, labels linked) and run for a bounded
// number of tokens, then unloaded. (Elements may outlive a run by design:
// `common` names keep a hold for the whole process.)
#include <cstdint>

#include "host/engine.h"
#include "scripts/program.h"
#include "storage/stream.h"
#include "vm/control.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace {

int g_budget;

void setup() {
  static bool done = [] {
    host::engine_init();
    storage::storage_init();
    scripts::scripts_init();
    // Declared library functions are not called: a fuzzed script would
    // call whatever it declared with made-up arguments.
    vm::g_library_call = nullptr;
    // At most 2000 tokens a run; errors are expected and stay quiet.
    vm::g_host.tick = [](vm::Interp& c) {
      if (--g_budget <= 0) vm::raise(c, vm::kStopNormal);
    };
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup();
  vm::Interp* ctx = vm::interp_create();
  vm::sysvar_set_int(*ctx, vm::SV_var_errormessage, 0);
  if (scripts::load_program_image(*ctx, data, size)) {
    g_budget = 2000;
    vm::interp_run(*ctx);
  }
  vm::interp_destroy(ctx);
  return 0;
}
