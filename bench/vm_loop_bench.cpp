// The interpreter's speed on the statement `set x @x+1` in a counting loop,
// hand-assembled in the token words the compiler produces:
//
//   loop:  if not (@x < 10000000) goto done    ; _LINE, _TAIL _TAIL, AT x, literal, LESSTHAN, label, _IFNOT
//          set x @x+1                          ; _LINE _TAIL, _TAIL _TAIL, AT x, ADD 1, SET x
//          goto loop                           ; _GOTO loop
//   done:
//
// Reported per token word and per iteration. Run the release build:
//   tools/build release bench_vm && build/release/bench/bench_vm
#include <benchmark/benchmark.h>

#include "host/engine.h"
#include "vm/assemble.h"
#include "vm/control.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace {

constexpr int kIterations = 10000000;

const char* const kProgram = R"(
    "bench.qns" 1 LINE_TAIL  TAIL 0 x SET
  LABEL:loop
    "bench.qns" LINE#2  TAIL_TAIL AT:x 10000000 LESSTHAN  done IFNOT
    "bench.qns" LINE_TAIL#3  TAIL_TAIL AT:x ADD#1  SET:x
    GOTO:loop
  LABEL:done
)";

// Token words run per iteration: 8 for the test, 6 for the statement, 1 for the jump.
constexpr int kWordsPerIteration = 15;

void BM_CountingLoop(benchmark::State& state) {
  host::engine_init();
  vm::Assembly a = vm::assemble(kProgram);
  if (!a.error.empty()) {
    state.SkipWithError(a.error.c_str());
    return;
  }
  vm::bind_labels(nullptr, a.words.data(), uint32_t(a.words.size()));
  double total_ns = 0;
  for (auto _ : state) {
    vm::Interp* ctx = vm::interp_create();
    vm::interp_attach_code(*ctx, a.words.data(), uint32_t(a.words.size()));
    auto t0 = std::chrono::steady_clock::now();
    vm::interp_run(*ctx);
    auto t1 = std::chrono::steady_clock::now();
    total_ns += double(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
    if (ctx->stop != 0) state.SkipWithError("the loop stopped with an error");
    const vm::Value* x = vm::var_find(*ctx, vm::Value::from_handle(vm::static_name_intern("x", 1)));
    if (!x || !x->is_int() || x->as_int() != kIterations) state.SkipWithError("the loop counted wrong");
    vm::interp_destroy(ctx);
  }
  double runs = double(state.iterations());
  state.counters["ns_per_iteration"] = total_ns / runs / kIterations;
  state.counters["ns_per_token"] = total_ns / runs / (double(kIterations) * kWordsPerIteration);
  vm::unbind_labels(a.words.data(), uint32_t(a.words.size()));
}
BENCHMARK(BM_CountingLoop)->Unit(benchmark::kMillisecond)->Iterations(3);

// Reference in the same run: the same count as a plain C++ loop that the
// compiler cannot fold away, to show the machine's speed that day.
void BM_NativeReference(benchmark::State& state) {
  for (auto _ : state) {
    volatile int64_t x = 0;
    while (x < kIterations) x = x + 1;
  }
}
BENCHMARK(BM_NativeReference)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
