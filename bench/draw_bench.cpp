// Drawing and presenting a 1920 x 1080 x 32-bit frame, beside memcpy of the
// same number of bytes (8,294,400) in the same run:
//
//   BM_DrawRectFill      the drawrect command filling the whole frame with a
//                        solid colour (argument reading, clipping, the fill,
//                        the changed-area mark; var_windowupdate is off, so
//                        nothing is presented)
//   BM_PresentFullFrame  the whole frame marked changed and flushed to a
//                        headless window: the frame turned into top-down
//                        BGRA, then copied into the window's surface
//   BM_Memcpy            the reference
//
// Each reports bytes per second (bytes of the frame); the present also
// reports presents per second. bench/draw_vs_memcpy.sh prints the ratios.
// Run the release build:
//   tools/build release bench_draw && build/release/bench/bench_draw
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "host/engine.h"
#include "graphics/draw.h"
#include "graphics/image.h"
#include "host/window.h"
#include "platform/platform.h"
#include "vm/commands.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080, kBits = 32;
constexpr int64_t kFrameBytes = int64_t(kWidth) * kHeight * (kBits / 8);

// One context with a headless window the size of the frame, so that
// presenting copies without stretching.
class Session {
 public:
  Session() {
    static bool ready = [] {
      host::engine_init();
      host::window_init(true, {kWidth, kHeight, 24});
      return true;
    }();
    (void)ready;
    ctx_ = vm::interp_create();
    vm::sysvar_set_int(*ctx_, vm::SV_var_windowsizex, kWidth);
    vm::sysvar_set_int(*ctx_, vm::SV_var_windowsizey, kHeight);
    vm::sysvar_set_int(*ctx_, vm::SV_var_windowbitdepth, kBits);
  }
  ~Session() { vm::interp_destroy(ctx_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  vm::Interp& ctx() { return *ctx_; }
  // The frame, made now; null (with the benchmark skipped) when it cannot be.
  gfx::Image* frame(benchmark::State& state) {
    gfx::Image* f = gfx::frame(*ctx_);
    if (!f || f->width() != kWidth || f->height() != kHeight || f->bits != kBits) {
      state.SkipWithError("the frame is not 1920 x 1080 x 32");
      return nullptr;
    }
    return f;
  }

 private:
  vm::Interp* ctx_ = nullptr;
};

void report_bytes(benchmark::State& state) {
  state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

// drawrect 0 0 1919 1079 in a colour that changes every time, called as the
// interpreter calls a command: an open argument frame, the arguments
// pushed last first, the handler.
void BM_DrawRectFill(benchmark::State& state) {
  Session s;
  vm::Interp& ctx = s.ctx();
  gfx::Image* f = s.frame(state);
  if (!f) return;
  vm::sysvar_set_int(ctx, vm::SV_var_windowupdate, 0);
  const vm::Value box[4] = {vm::Value::from_int(0), vm::Value::from_int(0), vm::Value::from_int(kWidth - 1),
                            vm::Value::from_int(kHeight - 1)};
  uint32_t color = 0x102030;
  for (auto _ : state) {
    f->st.color = color;
    color += 0x010101;
    vm::open_frame(ctx);
    for (int k = 3; k >= 0; k--) vm::push(ctx, box[k]);
    vm::h_drawrect(ctx);
    benchmark::DoNotOptimize(f->pixels);
    benchmark::ClobberMemory();
  }
  // The last colour must be everywhere, the alpha bytes untouched.
  uint32_t last = (color - 0x010101) & 0xFFFFFF;
  if (gfx::get_pixel(*f, 0, 0) != last || gfx::get_pixel(*f, kWidth - 1, kHeight - 1) != last ||
      f->row(kHeight / 2)[kWidth / 2 * 4 + 3] != 0)
    state.SkipWithError("drawrect did not fill the frame");
  report_bytes(state);
}
BENCHMARK(BM_DrawRectFill)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The whole frame marked changed and flushed, as windowupdate does: the
// flush hook converts it to BGRA and presents it to the headless window.
void BM_PresentFullFrame(benchmark::State& state) {
  Session s;
  vm::Interp& ctx = s.ctx();
  gfx::Image* f = s.frame(state);
  if (!f) return;
  vm::sysvar_set_int(ctx, vm::SV_var_windowupdate, 1);
  gfx::fill_rect(*f, 0, 0, kWidth - 1, kHeight - 1, 0x336699);
  gfx::set_pixel(*f, kWidth - 1, 0, 0xABCDEF);
  gfx::mark_all_changed(ctx);
  gfx::finish_drawing(ctx);  // opens the window
  platform::Window* w = host::main_window(ctx);
  if (!w || w->spec().width != kWidth || w->spec().height != kHeight) {
    state.SkipWithError("the headless window did not open at the frame's size");
    return;
  }
  for (auto _ : state) {
    gfx::mark_all_changed(ctx);
    gfx::finish_drawing(ctx);
  }
  const std::vector<uint32_t>* surface = platform::headless_surface(*w);
  if (!surface || (*surface)[0] != 0xFF336699u || (*surface)[kWidth - 1] != 0xFFABCDEFu ||
      surface->back() != 0xFF336699u)
    state.SkipWithError("the window does not show the frame");
  report_bytes(state);
  state.counters["presents_per_second"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PresentFullFrame)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The reference: memcpy of the frame's byte count between two buffers that
// were written before, so that no page is first touched while timed.
void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> from(size_t(kFrameBytes), 0x5A), to(size_t(kFrameBytes), 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), to.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  if (to.back() != 0x5A) state.SkipWithError("memcpy did not copy");
  report_bytes(state);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
