// Composing layers over a 1280 x 720 x 32-bit scene, beside memcpy of the
// pixels the layers cover, in the same run:
//
//   BM_LayerCompose   200 layers, each a 64 x 64 32-bit alpha image (opaque
//                     middle, a half-transparent ring, clear corners), all
//                     moved every frame: each layer's position set and
//                     redrawn (bounds, changed areas), then the flush brings
//                     the composite up to date (frame copied in, layers put
//                     over it); the window's present is left out
//   BM_CoveredMemcpy  the reference: memcpy, row by row, of the old and the
//                     new bounds of every layer of one such frame
//
// Both report the covered bytes per second (the bytes of the old and new
// bounds), so that the ratio of the rates is the ratio of the times.
// bench/layers_vs_memcpy.sh prints it. Run the release build:
//   tools/build release bench_layers && bench/layers_vs_memcpy.sh build/release
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "graphics/layers.h"
#include "host/engine.h"
#include "host/window.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace {

constexpr int32_t kWidth = 1280, kHeight = 720, kSprite = 64, kLayers = 200;

// The place of layer i in frame t: a walk around the screen that moves
// every layer every frame and keeps some of each sprite off the edges.
void place(int32_t i, int64_t t, int32_t& x, int32_t& y) {
  x = int32_t((i * 97 + t * (3 + i % 5)) % (kWidth + kSprite)) - kSprite / 2;
  y = int32_t((i * 53 + t * (2 + i % 3)) % (kHeight + kSprite)) - kSprite / 2;
}

// The bytes of a sprite's bounds at (x, y), clamped to the frame.
int64_t covered(int32_t x, int32_t y, gfx::Rect& r) {
  r = {std::max(x, 0), std::max(y, 0), std::min(x + kSprite - 1, kWidth - 1), std::min(y + kSprite - 1, kHeight - 1)};
  if (r.x1 > r.x2 || r.y1 > r.y2) return 0;
  return int64_t(r.x2 - r.x1 + 1) * (r.y2 - r.y1 + 1) * 4;
}

// The covered bytes of frame t (old bounds of frame t - 1, new of frame t).
int64_t frame_bytes(int64_t t, std::vector<gfx::Rect>* rects) {
  int64_t bytes = 0;
  for (int32_t i = 0; i < kLayers; i++)
    for (int64_t when : {t - 1, t}) {
      int32_t x, y;
      place(i, when, x, y);
      gfx::Rect r;
      int64_t b = covered(x, y, r);
      bytes += b;
      if (b && rects) rects->push_back(r);
    }
  return bytes;
}

void no_present(vm::Interp&, gfx::Image&, const gfx::Rect*, size_t) {}

// A 64 x 64 alpha sprite: opaque within radius 20, half see-through to 30,
// clear beyond.
uint32_t make_sprite(int32_t k) {
  uint32_t h = gfx::image_create(kSprite, kSprite, -32, nullptr, nullptr);
  gfx::Image* img = gfx::image_of(h);
  if (!img) return 0;
  img->st.alpha = 1;
  for (int32_t y = 0; y < kSprite; y++) {
    uint8_t* p = img->row(y);
    for (int32_t x = 0; x < kSprite; x++, p += 4) {
      const int32_t dx = x - 32, dy = y - 32, d2 = dx * dx + dy * dy;
      p[0] = uint8_t(40 * k), p[1] = uint8_t(x * 4), p[2] = uint8_t(y * 4);
      p[3] = d2 < 400 ? 255 : d2 < 900 ? 128 : 0;
    }
  }
  return h;
}

void BM_LayerCompose(benchmark::State& state) {
  static bool ready = [] {
    host::engine_init();
    host::window_init(true, {kWidth, kHeight, 24});
    return true;
  }();
  (void)ready;
  gfx::set_flush_hook(no_present);
  vm::Interp* ctx = vm::interp_create();
  vm::sysvar_set_int(*ctx, vm::SV_var_windowsizex, kWidth);
  vm::sysvar_set_int(*ctx, vm::SV_var_windowsizey, kHeight);
  vm::sysvar_set_int(*ctx, vm::SV_var_windowbitdepth, 32);
  gfx::Image* f = gfx::frame(*ctx);
  if (!f || f->width() != kWidth || f->height() != kHeight || f->bits != 32) {
    state.SkipWithError("the frame is not 1280 x 720 x 32");
    vm::interp_destroy(ctx);
    return;
  }
  for (int32_t y = 0; y < kHeight; y++)
    for (int32_t x = 0; x < kWidth; x++) gfx::set_pixel(*f, x, y, uint32_t(x * 255 / kWidth) << 16 | uint32_t(y * 255 / kHeight));
  std::vector<uint32_t> sprites, layers;
  for (int32_t k = 0; k < 4; k++) sprites.push_back(make_sprite(k));
  for (int32_t i = 0; i < kLayers; i++) {
    uint32_t name = vm::text_intern("sprite" + std::to_string(i));
    uint32_t h = gfx::layer_create(*ctx, vm::Value::from_handle(name));
    vm::element_release(name);
    gfx::Layer* l = gfx::layer_of(vm::Value::from_handle(h));
    if (!l) continue;
    vm::value_store(l->image, vm::Value::from_handle(sprites[size_t(i % 4)]));
    place(i, 0, l->x, l->y);
    gfx::layer_redraw(*l);
    layers.push_back(h);
  }
  gfx::finish_drawing(*ctx);
  int64_t t = 0, bytes = 0;
  for (auto _ : state) {
    t++;
    for (size_t i = 0; i < layers.size(); i++) {
      gfx::Layer* l = gfx::layer_of(vm::Value::from_handle(layers[i]));
      place(int32_t(i), t, l->x, l->y);
      gfx::layer_redraw(*l);
    }
    gfx::finish_drawing(*ctx);
    bytes += frame_bytes(t, nullptr);
  }
  // The composite shows the last sprite's opaque middle; the frame under it
  // keeps the scene.
  gfx::Image* shown = gfx::shown_image(*ctx);
  int32_t x, y;
  place(kLayers - 1, t, x, y);
  const int32_t cx = std::clamp(x + 32, 0, kWidth - 1), cy = std::clamp(y + 32, 0, kHeight - 1);
  const uint32_t scene = uint32_t(cx * 255 / kWidth) << 16 | uint32_t(cy * 255 / kHeight);
  if (!shown || shown == f || gfx::get_pixel(*f, cx, cy) != scene || gfx::get_pixel(*shown, cx, cy) == scene)
    state.SkipWithError("the composite does not show the layers over the scene");
  for (uint32_t h : layers) vm::element_release(h);
  for (uint32_t h : sprites) vm::element_release(h);
  vm::interp_destroy(ctx);
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_LayerCompose)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_CoveredMemcpy(benchmark::State& state) {
  std::vector<uint8_t> from(size_t(kWidth) * kHeight * 4, 0x5A), to(from.size(), 0);
  std::vector<gfx::Rect> rects;
  const int64_t per_frame = frame_bytes(1, &rects);
  int64_t bytes = 0;
  for (auto _ : state) {
    for (const gfx::Rect& r : rects) {
      const size_t row = size_t(r.x2 - r.x1 + 1) * 4;
      for (int32_t y = r.y1; y <= r.y2; y++) {
        const size_t at = (size_t(y) * kWidth + size_t(r.x1)) * 4;
        std::memcpy(to.data() + at, from.data() + at, row);
      }
    }
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
    bytes += per_frame;
  }
  if (to[(size_t(rects[0].y1) * kWidth + size_t(rects[0].x1)) * 4] != 0x5A) state.SkipWithError("memcpy did not copy");
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_CoveredMemcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
