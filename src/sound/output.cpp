#include "sound/output.h"

#include <cstdio>

#include "vm/clock.h"

namespace sound {

namespace {

struct Output {
  bool headless = false;
  std::string wav_path;
  std::unique_ptr<platform::AudioOutput> out;
  uint64_t origin = 0;    // engine clock at output frame 0
  uint64_t rendered = 0;  // frames given to a clock-driven output
};

Output g_output;
Mixer g_mixer;

// Output frames from the origin to engine time `now`: whole seconds apart
// from the fraction, and the fraction rounded, so that a whole number of
// milliseconds gives exactly 48 frames per millisecond.
uint64_t frames_at(uint64_t now) {
  if (now <= g_output.origin) return 0;
  const uint64_t d = now - g_output.origin;
  return (d >> 32) * kOutRate + (((d & 0xFFFFFFFFu) * kOutRate + 0x80000000u) >> 32);
}

void open_output() {
  if (g_output.out) return;
  g_output.origin = vm::clock_now();
  g_output.rendered = 0;
  if (!g_output.headless) {
    std::string why;
    g_output.out = platform::open_sound_card(Mixer::fill, &g_mixer, &why);
    if (!g_output.out) std::fprintf(stderr, "quillon: no sound output (%s); sounds play silently\n", why.c_str());
  }
  if (!g_output.out) g_output.out = platform::open_silent_output(Mixer::fill, &g_mixer);
}

}  // namespace

bool output_configure(bool headless, const std::string& wav_path, std::string* why) {
  output_close();
  g_output.headless = headless;
  g_output.wav_path = wav_path;
  if (!wav_path.empty()) {
    g_output.out = platform::open_wav_output(wav_path, Mixer::fill, &g_mixer, why);
    if (!g_output.out) return false;
    g_output.origin = vm::clock_now();
    g_output.rendered = 0;
  }
  return true;
}

Mixer& output_mixer() {
  open_output();
  return g_mixer;
}

void output_sync() {
  open_output();
  if (g_output.out->realtime()) return;
  const uint64_t due = frames_at(vm::clock_now());
  if (due > g_output.rendered) {
    g_output.out->advance(due - g_output.rendered);
    g_output.rendered = due;
  }
}

void output_close() {
  if (!g_output.out) return;
  output_sync();
  g_mixer.clear();
  g_output.out.reset();
}

}  // namespace sound
