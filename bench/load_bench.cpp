// Picture loading: each file named on the command line read from memory
// with gfx::decode (format detection, the reader, the new image), one
// benchmark a file, named BM_Load_<extension>:
//
//   build/release/bench/bench_load photo.jpg photo.png photo.tif photo.bmp
//
// Each reports the picture's pixels per second. bench/load_vs_convert.sh
// makes the pictures with ImageMagick and times its `convert` beside these.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "graphics/image.h"
#include "graphics/image_load.h"
#include "host/engine.h"
#include "vm/element.h"

namespace {

void load(benchmark::State& state, const std::vector<uint8_t>& bytes) {
  int64_t pixels = 0;
  for (auto _ : state) {
    base::Result<uint32_t> img = gfx::decode(bytes.data(), bytes.size(), nullptr);
    if (!img) {
      state.SkipWithError(img.error().c_str());
      return;
    }
    const gfx::Image* i = gfx::image_of(img.value());
    pixels = i ? int64_t(i->width()) * i->height() : 0;
    vm::element_release(img.value());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * pixels);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  host::engine_init();
  for (int i = 1; i < argc; i++) {
    std::ifstream in(argv[i], std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) return 2;
    std::string path = argv[i], ext = path.substr(path.find_last_of('.') + 1);
    benchmark::RegisterBenchmark(("BM_Load_" + ext).c_str(), [bytes](benchmark::State& s) { load(s, bytes); })
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.5);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
