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
bool (*g_engine_pump)(vm::Interp&);  // the engine's message pump

// At most about 2000 tokens a run; errors are expected and stay quiet.
// Counted by a per-token hook, which makes the main loop see every word,
// or by the message pump, which runs every 21 tokens (the script cannot
// stretch that: the pump sets the interval again before it is read), so
// that the loop also runs many words at a time.
void count_token(vm::Interp& c) {
  if (--g_budget <= 0) vm::raise(c, vm::kStopNormal);
}
bool count_pump(vm::Interp& c) {
  g_budget -= 21;
  if (g_budget <= 0) vm::raise(c, vm::kStopNormal);
  vm::sysvar_set_int(c, vm::SV_var_sysmessageskip, 20);
  return g_engine_pump && g_engine_pump(c);
}

void setup() {
  static bool done = [] {
    host::engine_init();
    storage::storage_init();
    scripts::scripts_init();
    // Declared library functions are not called: a fuzzed script would
    // call whatever it declared with made-up arguments.
    vm::g_library_call = nullptr;
    g_engine_pump = vm::g_host.pump;
    return true;
  }();
  (void)done;
}

void run_once(const uint8_t* data, size_t size, bool per_token) {
  vm::g_host.tick = per_token ? count_token : nullptr;
  vm::g_host.pump = per_token ? g_engine_pump : count_pump;
  vm::Interp* ctx = vm::interp_create();
  vm::sysvar_set_int(*ctx, vm::SV_var_errormessage, 0);
  if (scripts::load_program_image(*ctx, data, size)) {
    g_budget = 2000;
    vm::interp_run(*ctx);
  }
  vm::interp_destroy(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup();
  run_once(data, size, true);
  run_once(data, size, false);
  return 0;
}
