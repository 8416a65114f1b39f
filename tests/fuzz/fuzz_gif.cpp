// Fuzz target: the GIF reader. Every frame read must hold all its pixels
// and become an image (with its mask) that is freed again; the first frame's
// indices, written back by the encoder with a palette of 256 distinct
// colours, must read back unchanged.
#include <cstdint>
#include <cstring>

#include "host/engine.h"
#include "graphics/gif.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace {

// Small enough to keep every run fast; the real limit is tested elsewhere.
constexpr int64_t kFuzzPixels = int64_t(1) << 16;

void init() {
  static bool done = [] {
    host::engine_init();
    return true;
  }();
  (void)done;
}

void round_trip(const gfx::gif::Frame& f) {
  uint32_t palette[256];
  for (uint32_t i = 0; i < 256; i++) palette[i] = i * 0x010101u ^ (i & 1 ? 0x800000u : 0);
  std::vector<uint8_t> bytes = gfx::gif::encode(f.indices.data(), f.width, f.height, palette, 256);
  if (bytes.empty()) __builtin_trap();
  gfx::gif::Picture back = gfx::gif::read(bytes.data(), bytes.size());
  if (!back.error.empty() || back.frames.size() != 1) __builtin_trap();
  const gfx::gif::Frame& g = back.frames[0];
  if (g.width != f.width || g.height != f.height || !g.complete) __builtin_trap();
  for (size_t k = 0; k < f.indices.size(); k++)
    if (g.palette[g.indices[k]] != palette[f.indices[k]]) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  init();
  uint32_t live = vm::g_elements.live;
  gfx::gif::Picture pic = gfx::gif::read(data, size, kFuzzPixels);
  for (const gfx::gif::Frame& f : pic.frames) {
    if (f.width < 1 || f.height < 1 || f.indices.size() != size_t(f.width) * size_t(f.height)) __builtin_trap();
    gfx::gif::FrameImage fi = gfx::gif::frame_to_image(f, nullptr).value();
    if (!fi.image || (f.transparent >= 0) != (fi.mask != 0)) __builtin_trap();
    vm::element_release(fi.image);
    if (fi.mask) vm::element_release(fi.mask);
  }
  if (!pic.frames.empty()) round_trip(pic.frames[0]);
  if (vm::g_elements.live != live) __builtin_trap();  // every image of the run was freed
  return 0;
}
