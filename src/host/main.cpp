// The player: process entry and command line.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "vm/assemble.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/operators.h"

namespace {

// The start-up program built into the player; it runs when no script is named.
constexpr const char* kStartupProgram = R"(
  "startup" 1 LINE_TAIL
  " is ready: no script was named." TAIL var_quillon CALL "Quillon "
  consolewrite CALL
)";

void usage(FILE* out) {
  std::fprintf(out,
               "usage: quillon [--headless] [--help] [--version] [/s | /p N | /c | /a] [NAME]\n"
               "  --headless   run without a window system\n"
               "  --version    print the version and exit\n");
}

void sleep_1ms(vm::Interp&) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; i++) {
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("quillon %s\n", QUILLON_VERSION);
      return 0;
    }
    if (!std::strcmp(argv[i], "--help")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--headless")) continue;
    std::fprintf(stderr, "quillon: unknown option %s\n", argv[i]);
    usage(stderr);
    return 2;
  }
  if (i < argc) {
    std::fprintf(stderr, "quillon: cannot run %s: this build runs only its built-in program\n", argv[i]);
    return 2;
  }

  vm::vm_init();
  vm::g_host.sleep_1ms = sleep_1ms;
  vm::random_seed(uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()));
  vm::Assembly program = vm::assemble(kStartupProgram);
  vm::Interp* ctx = vm::interp_create();
  if (!ctx || !program.error.empty()) {
    std::fprintf(stderr, "quillon: cannot start: %s\n", program.error.c_str());
    return 1;
  }
  vm::interp_attach_code(*ctx, program.words.data(), uint32_t(program.words.size()));
  vm::interp_run(*ctx);
  vm::interp_destroy(ctx);
  vm::element_free_all();
  return 0;
}
