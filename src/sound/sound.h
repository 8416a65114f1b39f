// Wave sounds: the SOUND element (type 28), which keeps a wave file's bytes
// as stored, and the commands that load, play, stop and free it. One wave
// sound plays at a time: starting one cuts off the one playing. Its frames
// are decoded when it starts and go through the mixer (sound/mixer.h) like
// the media devices of `mci` (sound/mci.h).
#pragma once

#include <cstdint>

namespace vm {
struct Interp;
}

namespace sound {

// The payload of a SOUND element; the file's bytes follow it in the same
// element.
struct SoundRecord {
  uint32_t self;        // the element's own handle
  const uint8_t* data;  // the wave file's bytes, or null when empty
  int32_t size;         // number of file bytes
  uint32_t reserved;    // zero
  uint8_t playing;      // started and not seen to finish or stopped
};

// Registers the element's clean-up and field query and the context closer.
void sound_register();

}  // namespace sound
