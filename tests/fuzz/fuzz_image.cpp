// Fuzz target: the picture readers. The first byte chooses the reader (0 by
// content, then bitmap, our own format, icon, PNG, JPEG, TIFF); the rest is
// the file. Each reader must refuse or decode without a fault, stay within
// the size limits, and every image it makes must be freed again.
#include <cstdint>

#include "host/engine.h"
#include "graphics/image.h"
#include "graphics/image_load.h"
#include "graphics/metafile.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace {

// Set up at the first input, after every static object of the engine.
bool ready() {
  static bool done = [] {
    host::engine_init();  // registers the image clean-up
    return true;
  }();
  return done;
}

using Reader = base::Result<uint32_t> (*)(const uint8_t*, size_t, const gfx::Image*);
constexpr Reader kReaders[] = {gfx::decode,   gfx::read_bmp,  gfx::read_own, gfx::read_icon,
                               gfx::read_png, gfx::read_jpeg, gfx::read_tiff};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || !ready()) return 0;
  uint32_t live = vm::g_elements.live;
  Reader read = kReaders[data[0] % (sizeof kReaders / sizeof kReaders[0])];
  uint32_t h = read(data + 1, size - 1, nullptr).value();
  // A metafile keeps its bytes: play them into a small picture with the
  // player of its kind, and measure its size as imagesize does.
  if (gfx::Image* img = gfx::image_of(h); img && img->metafile) {
    const bool enhanced = gfx::detect_format(data + 1, size - 1) == gfx::Format::Emf;
    uint32_t canvas = gfx::image_create(64, 48, 32, nullptr, nullptr);
    if (gfx::Image* c = gfx::image_of(canvas)) {
      // Only that playing stays safe matters here, not whether it finished.
      if (enhanced) (void)gfx::emf::play(data + 1, size - 1, *c);
      else (void)gfx::wmf::play(data + 1, size - 1, *c);
    }
    vm::element_release(canvas);
    int32_t w = 0, h2 = 0;
    const bool sized = enhanced ? gfx::emf::frame_size(data + 1, size - 1, w, h2)
                                : gfx::wmf::placeable_size(data + 1, size - 1, w, h2);
    if (sized && (w < 1 || h2 < 1 || w > gfx::kMaxSide || h2 > gfx::kMaxSide || int64_t(w) * h2 > gfx::kMaxPixels))
      __builtin_trap();
  }
  if (gfx::Image* img = gfx::image_of(h)) {
    if (img->width() > gfx::kMaxSide || img->height() > gfx::kMaxSide ||
        int64_t(img->width()) * img->height() > gfx::kMaxPixels)
      __builtin_trap();
    // Touch every pixel: the store must be as large as the record says.
    uint64_t sum = 0;
    for (int32_t y = 0; y < img->height(); y++)
      for (int32_t x = 0; x < img->width(); x++) sum += gfx::get_pixel(*img, x, y);
    // The sum is handed to an empty asm statement so that the loop is kept.
    // (A test on its value would stop on good pictures whose colours add up
    // to it.)
    asm volatile("" : : "r"(sum));
  }
  vm::element_release(h);
  if (vm::g_elements.live != live) __builtin_trap();
  return 0;
}
