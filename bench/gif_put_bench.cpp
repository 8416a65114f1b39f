// GIF decoding and image puts, each beside a reference measured in the same
// run:
//
//   BM_GifReadOurs       gfx::gif::read of a 20-frame 640 x 480 animation
//                        (noisy gradients, a local table per frame, written
//                        here with our LZW encoder)
//   BM_GifReadGiflib     the same bytes through giflib's DGifOpen + DGifSlurp
//   BM_PutAlpha          put_image (what imageput calls) of a 1920 x 1080
//                        32-bit alpha image with varied alpha onto a
//                        1920 x 1080 x 32-bit frame
//   BM_PutOpaque         the same with a 32-bit image without alpha
//   BM_Memcpy            memcpy of the 8,294,400 bytes of such a frame
//
// The reads report the decoded pixels as bytes per second; the puts and
// memcpy the bytes of the frame. bench/gif_put_vs_reference.sh prints the
// ratios and the goals. Run the release build:
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_BENCH=ON
//   ninja -C build/release bench_gif_put && build/release/bench/bench_gif_put
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/engine.h"
#include "graphics/gif.h"
#include "graphics/image.h"
#include "graphics/image_put.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace {

constexpr int32_t kGifWidth = 640, kGifHeight = 480, kGifFrames = 20;
constexpr int64_t kGifPixels = int64_t(kGifWidth) * kGifHeight * kGifFrames;
constexpr int32_t kWidth = 1920, kHeight = 1080;
constexpr int64_t kFrameBytes = int64_t(kWidth) * kHeight * 4;

void init_vm() {
  static bool ready = [] {
    host::engine_init();
    return true;
  }();
  (void)ready;
}

// A small deterministic generator for the noise.
uint32_t next(uint32_t& s) {
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s;
}

// The animation: a GIF89a screen of 640 x 480 and 20 full frames, each with
// a 256-entry local table and indices of a diagonal gradient with noise.
const std::vector<uint8_t>& animation() {
  static const std::vector<uint8_t> file = [] {
    std::vector<uint8_t> out{'G', 'I', 'F', '8', '9', 'a'};
    auto put16 = [&](int v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    put16(kGifWidth);
    put16(kGifHeight);
    out.insert(out.end(), {0x70, 0, 0});  // no global table
    uint32_t seed = 0x9E3779B9u;
    std::vector<uint8_t> pixels(size_t(kGifWidth) * kGifHeight);
    for (int f = 0; f < kGifFrames; f++) {
      out.insert(out.end(), {0x21, 0xF9, 4, 0x04, 4, 0, 0, 0});  // delay 4 cs, no transparency
      out.push_back(0x2C);
      for (int v : {0, 0, kGifWidth, kGifHeight}) put16(v);
      out.push_back(0x87);  // a local table of 256 entries
      for (int k = 0; k < 256; k++) {
        out.insert(out.end(), {uint8_t(k), uint8_t((k * 3 + f * 11) & 0xFF), uint8_t(255 - k)});
      }
      for (int y = 0; y < kGifHeight; y++) {
        for (int x = 0; x < kGifWidth; x++) {
          int v = (x + y + f * 9) * 255 / (kGifWidth + kGifHeight) + int(next(seed) % 9) - 4;
          pixels[size_t(y) * kGifWidth + size_t(x)] = uint8_t(std::clamp(v, 0, 255));
        }
      }
      out.push_back(8);  // minimum code size
      std::vector<uint8_t> data = gfx::gif::lzw_encode(pixels.data(), pixels.size(), 8);
      out.insert(out.end(), data.begin(), data.end());
    }
    out.push_back(0x3B);
    return out;
  }();
  return file;
}

void BM_GifReadOurs(benchmark::State& state) {
  const std::vector<uint8_t>& file = animation();
  for (auto _ : state) {
    gfx::gif::Picture pic = gfx::gif::read(file.data(), file.size());
    if (pic.frames.size() != size_t(kGifFrames) || !pic.error.empty()) {
      state.SkipWithError("our reader did not read the 20 frames");
      return;
    }
    benchmark::DoNotOptimize(pic.frames.back().indices.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kGifPixels);
}
BENCHMARK(BM_GifReadOurs)->Unit(benchmark::kMillisecond)->MinTime(1.0);

struct MemoryInput {
  const std::vector<uint8_t>* data;
  size_t at;
};
int read_memory(GifFileType* g, GifByteType* buf, int len) {
  auto* in = static_cast<MemoryInput*>(g->UserData);
  size_t n = std::min(size_t(len), in->data->size() - in->at);
  std::memcpy(buf, in->data->data() + in->at, n);
  in->at += n;
  return int(n);
}

void BM_GifReadGiflib(benchmark::State& state) {
  const std::vector<uint8_t>& file = animation();
  for (auto _ : state) {
    MemoryInput in{&file, 0};
    int error = 0;
    GifFileType* g = DGifOpen(&in, read_memory, &error);
    if (!g) {
      state.SkipWithError("giflib could not open the file");
      return;
    }
    bool ok = DGifSlurp(g) == GIF_OK && g->ImageCount == kGifFrames;
    if (ok) benchmark::DoNotOptimize(g->SavedImages[kGifFrames - 1].RasterBits);
    DGifCloseFile(g, &error);
    if (!ok) {
      state.SkipWithError("giflib did not read the 20 frames");
      return;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kGifPixels);
}
BENCHMARK(BM_GifReadGiflib)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// A 1920 x 1080 x 32-bit frame and a source image of the same size, released
// at the end.
class PutPair {
 public:
  explicit PutPair(bool alpha) {
    init_vm();
    dst_ = gfx::image_create(kWidth, kHeight, 32, nullptr, nullptr);
    src_ = gfx::image_create(kWidth, kHeight, alpha ? -32 : 32, nullptr, nullptr);
    gfx::Image* d = dst();
    gfx::Image* s = src();
    if (!d || !s) return;
    uint32_t seed = 12345;
    for (int y = 0; y < kHeight; y++) {
      uint8_t* dr = d->row(y);
      uint8_t* sr = s->row(y);
      for (int x = 0; x < kWidth; x++) {
        uint32_t r = next(seed);
        dr[x * 4 + 0] = uint8_t(x);
        dr[x * 4 + 1] = uint8_t(y);
        dr[x * 4 + 2] = uint8_t(x + y);
        dr[x * 4 + 3] = 0;
        sr[x * 4 + 0] = uint8_t(r);
        sr[x * 4 + 1] = uint8_t(r >> 8);
        sr[x * 4 + 2] = uint8_t(r >> 16);
        // Alpha: runs of opaque, clear and partial pixels, as in pictures
        // with soft edges.
        sr[x * 4 + 3] = alpha ? uint8_t((x / 64 + y / 64) % 3 == 0 ? 255 : (x / 64) % 3 == 1 ? 0 : (r >> 24)) : 0;
      }
    }
    if (alpha) s->st.alpha = 1;  // the alpha-enable byte, as imagealphaset leaves it
  }
  ~PutPair() {
    if (dst_) vm::element_release(dst_);
    if (src_) vm::element_release(src_);
  }
  PutPair(const PutPair&) = delete;
  PutPair& operator=(const PutPair&) = delete;
  gfx::Image* dst() { return gfx::image_of(dst_); }
  gfx::Image* src() { return gfx::image_of(src_); }

 private:
  uint32_t dst_ = 0, src_ = 0;
};

void run_put(benchmark::State& state, bool alpha) {
  PutPair pair(alpha);
  gfx::Image* d = pair.dst();
  gfx::Image* s = pair.src();
  if (!d || !s) {
    state.SkipWithError("the images could not be made");
    return;
  }
  for (auto _ : state) {
    gfx::Rect drawn{};
    if (!gfx::put_image(*d, *s, 0, 0, true, &drawn) || drawn.x2 != kWidth - 1 || drawn.y2 != kHeight - 1) {
      state.SkipWithError("the put did not cover the frame");
      return;
    }
    benchmark::DoNotOptimize(d->pixels);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

void BM_PutAlpha(benchmark::State& state) { run_put(state, true); }
BENCHMARK(BM_PutAlpha)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_PutOpaque(benchmark::State& state) { run_put(state, false); }
BENCHMARK(BM_PutOpaque)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> from(size_t(kFrameBytes), 0x5A), to(size_t(kFrameBytes), 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), to.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  if (to.back() != 0x5A) state.SkipWithError("memcpy did not copy");
  state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
