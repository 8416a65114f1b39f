// Whole transitions on a 1920 x 1080 x 32-bit headless window, beside one
// full-frame present, in the same run:
//
//   BM_FullPresent   the whole frame marked changed and flushed through the
//                    window glue (converted into the window's copy and
//                    presented)
//   BM_AlphaPut      a 1920 x 1080 32-bit image with alpha put onto the frame
//                    (unmarked): the measure of one blend step
//   BM_Memcpy        memcpy of the frame's 8,294,400 bytes: the fixed
//                    reference the goals are stated in (a present's cost
//                    changes with the window code; a copy's does not)
//   BM_Transition    effect e (0: a gradient pattern, 1..36) with cells of
//                    c x c, duration 0, from imagefadebegin to the last check;
//                    the counter `steps` gives the step count
//
// bench/transitions_vs_present.sh prints the ratios. Run the release build:
//   tools/build release bench_transitions && bench/transitions_vs_present.sh build/release
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "graphics/image_put.h"
#include "graphics/transitions.h"
#include "host/engine.h"
#include "host/window.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080;

struct Scene {
  vm::Interp* ctx = nullptr;
  uint32_t image = 0, pattern = 0, alpha = 0;
};

uint32_t make_image(int32_t bits, uint32_t seed) {
  uint32_t h = gfx::image_create(kWidth, kHeight, bits, nullptr, nullptr);
  gfx::Image* img = gfx::image_of(h);
  for (int32_t y = 0; y < kHeight; y++) {
    uint8_t* p = img->row(y);
    for (int32_t x = 0; x < kWidth; x++, p += 4)
      p[0] = uint8_t(x + seed), p[1] = uint8_t(y), p[2] = uint8_t((x + y) >> 3), p[3] = uint8_t(x ^ y);
  }
  return h;
}

// One context with its frame shown in a headless window, made once.
Scene& scene() {
  static Scene s = [] {
    Scene n;
    host::engine_init();
    host::window_init(true, {kWidth, kHeight, 24});
    n.ctx = vm::interp_create();
    vm::sysvar_set_int(*n.ctx, vm::SV_var_windowsizex, kWidth);
    vm::sysvar_set_int(*n.ctx, vm::SV_var_windowsizey, kHeight);
    vm::sysvar_set_int(*n.ctx, vm::SV_var_windowbitdepth, 32);
    gfx::frame(*n.ctx);
    gfx::mark_all_changed(*n.ctx);
    gfx::finish_drawing(*n.ctx);  // opens the window
    n.image = make_image(32, 0);
    n.alpha = make_image(-32, 7);
    gfx::image_of(n.alpha)->st.alpha = 1;
    // A diagonal gradient: 256 levels after the cap.
    n.pattern = gfx::image_create(kWidth, kHeight, 24, nullptr, nullptr);
    gfx::Image* p = gfx::image_of(n.pattern);
    for (int32_t y = 0; y < kHeight; y++)
      for (int32_t x = 0; x < kWidth; x++) gfx::set_pixel(*p, x, y, uint32_t((x + y) * 255 / (kWidth + kHeight)));
    return n;
  }();
  return s;
}

bool frame_ok(Scene& s) {
  gfx::Image* f = gfx::frame(*s.ctx);
  return f && f->width() == kWidth && f->height() == kHeight && f->bits == 32;
}

void BM_FullPresent(benchmark::State& state) {
  Scene& s = scene();
  if (!frame_ok(s)) return state.SkipWithError("the frame is not 1920 x 1080 x 32");
  for (auto _ : state) {
    gfx::mark_all_changed(*s.ctx);
    gfx::finish_drawing(*s.ctx);
  }
}
BENCHMARK(BM_FullPresent)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_AlphaPut(benchmark::State& state) {
  Scene& s = scene();
  if (!frame_ok(s)) return state.SkipWithError("the frame is not 1920 x 1080 x 32");
  for (auto _ : state) gfx::put_image(*gfx::frame(*s.ctx), *gfx::image_of(s.alpha), 0, 0, true);
}
BENCHMARK(BM_AlphaPut)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_Memcpy(benchmark::State& state) {
  const size_t bytes = size_t(kWidth) * kHeight * 4;
  std::vector<uint8_t> from(bytes, 0x5A), to(bytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  if (to.back() != 0x5A) state.SkipWithError("memcpy did not copy");
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_Transition(benchmark::State& state) {
  Scene& s = scene();
  if (!frame_ok(s)) return state.SkipWithError("the frame is not 1920 x 1080 x 32");
  gfx::TransitionSpec spec;
  spec.effect = int(state.range(0));
  spec.image = gfx::image_of(s.image);
  spec.pattern = gfx::image_of(s.pattern);
  spec.cell_w = spec.cell_h = int32_t(state.range(1));
  int64_t steps = 0;
  for (auto _ : state) {
    gfx::Transition* t = gfx::transition_begin(*s.ctx, spec);
    while (gfx::transition_check(*s.ctx, *t)) {
    }
    steps = gfx::transition_steps(*t);
    gfx::transition_delete(t);
  }
  state.counters["steps"] = double(steps);
  state.SetLabel(gfx::effect_name(spec.effect));
}
BENCHMARK(BM_Transition)
    ->ArgsProduct({benchmark::CreateDenseRange(0, gfx::kEffectCount - 1, 1), {2, 8}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.2);

}  // namespace

BENCHMARK_MAIN();
