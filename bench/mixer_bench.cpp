// The mixer: eight streams resampled from 44.1 kHz and mixed into 48 kHz
// stereo output, 1024 frames a call (what a sound card asks for), against
// memcpy of the same samples (eight streams' frames into one buffer).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "sound/mixer.h"

namespace {

constexpr uint32_t kStreams = 8;
constexpr uint32_t kFrames = 1024;

platform::Pcm tone(uint32_t rate, uint32_t seconds, int seed) {
  platform::Pcm pcm;
  pcm.rate = rate;
  pcm.samples.resize(size_t(rate) * seconds * 2);
  uint32_t x = uint32_t(seed) * 2654435761u;
  for (int16_t& s : pcm.samples) {
    x = x * 1664525u + 1013904223u;
    s = int16_t(x >> 20);  // quiet noise: eight streams stay below clipping
  }
  return pcm;
}

void BM_Mix8Resampled(benchmark::State& state) {
  sound::Mixer mixer;
  std::vector<sound::Mixer::Id> ids;
  for (uint32_t i = 0; i < kStreams; i++) {
    ids.push_back(mixer.add(std::make_unique<sound::PcmSource>(tone(44100, 10, int(i) + 1))));
    mixer.play(ids.back(), 0, ~uint64_t(0), true);
  }
  std::vector<int16_t> out(kFrames * 2);
  for (auto _ : state) {
    mixer.render(out.data(), kFrames);
    benchmark::DoNotOptimize(out.data());
  }
  for (sound::Mixer::Id id : ids)
    if (!mixer.playing(id)) state.SkipWithError("a stream stopped");
  state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);  // output frames
  state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * 4 * kStreams);
}
BENCHMARK(BM_Mix8Resampled);

void BM_Memcpy8(benchmark::State& state) {
  std::vector<int16_t> in(size_t(kFrames) * 2 * kStreams, 7), out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size() * 2);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
  state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * 4 * kStreams);
}
BENCHMARK(BM_Memcpy8);

}  // namespace

BENCHMARK_MAIN();
