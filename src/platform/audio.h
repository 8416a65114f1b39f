// Sound output and wave decoding: the sound card through SDL, and two
// stand-ins that the engine drives by its clock (silence, or a wave file).
// Every output takes 48 kHz stereo 16-bit frames from one fill routine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

inline constexpr uint32_t kAudioRate = 48000;

// Decoded sound: interleaved signed 16-bit stereo frames at `rate`.
struct Pcm {
  uint32_t rate = 0;
  std::vector<int16_t> samples;  // two per frame
  uint64_t frames() const { return samples.size() / 2; }
};

// Decodes the bytes of a RIFF wave file (PCM of 8 to 32 bits, float,
// ADPCM, A-law, mu-law) to 16-bit stereo at the file's own rate: mono is
// doubled, more channels keep the first two. Refuses (false, with why)
// what is no wave file, has no channels, a rate outside 1 kHz to 384 kHz
// or more than kMaxWavFrames frames. Chunk sizes are checked against the
// bytes present first: a data chunk that claims more than the file holds
// gives what is there.
inline constexpr uint64_t kMaxWavFrames = uint64_t(384000) * 60 * 30;  // half an hour at the highest rate
bool decode_wav(const uint8_t* data, size_t size, Pcm& out, std::string* why);

// Fills `frames` stereo frames; called on the sound card's thread for the
// card, on the caller's thread for the stand-ins.
using AudioFill = void (*)(void* user, int16_t* stereo, uint32_t frames);

class AudioOutput {
 public:
  virtual ~AudioOutput() = default;
  // True when a sound card pulls the frames in real time; false for the
  // stand-ins, which take frames only through advance().
  virtual bool realtime() const = 0;
  // Stand-ins: takes the next `frames` frames from the fill routine now.
  virtual void advance(uint64_t frames) { (void)frames; }
};

// The sound card through SDL's audio subsystem; null with the reason when
// there is none (no card, no sound server). The audio libraries' own
// complaints while probing are kept off standard error.
std::unique_ptr<AudioOutput> open_sound_card(AudioFill fill, void* user, std::string* why);
// Silence that keeps time: the frames are made and dropped.
std::unique_ptr<AudioOutput> open_silent_output(AudioFill fill, void* user);
// A wave file of 48 kHz stereo 16-bit frames, written as they come and
// completed when the output is destroyed; null with why when it cannot be
// created.
std::unique_ptr<AudioOutput> open_wav_output(const std::string& path, AudioFill fill, void* user,
                                             std::string* why);

}  // namespace platform
