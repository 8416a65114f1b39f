// Fuzz target: the wave reader. A file it takes must come out as whole
// stereo frames at a rate in range, and play through the mixer to its end.
#include <cstdint>

#include "platform/audio.h"
#include "sound/mixer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::Pcm pcm;
  std::string why;
  if (!platform::decode_wav(data, size, pcm, &why)) {
    if (why.empty()) __builtin_trap();  // a refusal says why
    return 0;
  }
  if (pcm.samples.size() % 2 || pcm.rate < 1000 || pcm.rate > 384000) __builtin_trap();
  const uint64_t frames = pcm.frames();
  sound::Mixer mixer;
  const sound::Mixer::Id id = mixer.add(std::make_unique<sound::PcmSource>(std::move(pcm)));
  mixer.play(id, 0, frames, false);
  int16_t out[2048];
  for (int i = 0; i < 64 && mixer.playing(id); i++) mixer.render(out, 1024);
  return 0;
}
