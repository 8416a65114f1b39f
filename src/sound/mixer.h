// The mixer: a few streams of 16-bit stereo frames, each at its own rate,
// resampled (linear interpolation on a 32.32 position) to the output rate,
// scaled by its volume and summed with saturation. The output pulls mixed
// frames through render(); every other call comes from the script thread.
// One lock guards everything, so render() and the commands never see a
// stream half changed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/audio.h"

namespace sound {

inline constexpr uint32_t kOutRate = platform::kAudioRate;

// Where a stream's frames come from: 16-bit stereo at `rate`, read from a
// position that seek() sets. A source never trusts its file: a broken one
// ends early (read gives fewer frames).
class Source {
 public:
  virtual ~Source() = default;
  virtual uint32_t rate() const = 0;
  // Frames in all (what a decoder found out when it opened the file).
  virtual uint64_t length() const = 0;
  // Reads up to `frames` frames from the current position; fewer at the end.
  virtual uint32_t read(int16_t* out, uint32_t frames) = 0;
  // Moves to a frame (clamped to the length).
  virtual void seek(uint64_t frame) = 0;
};

// Frames held in memory.
class PcmSource final : public Source {
 public:
  explicit PcmSource(platform::Pcm pcm) : pcm_(std::move(pcm)) {}
  uint32_t rate() const override { return pcm_.rate; }
  uint64_t length() const override { return pcm_.frames(); }
  uint32_t read(int16_t* out, uint32_t frames) override;
  void seek(uint64_t frame) override { pos_ = frame < length() ? frame : length(); }

 private:
  platform::Pcm pcm_;
  uint64_t pos_ = 0;
};

class Mixer {
 public:
  using Id = uint32_t;
  Mixer() = default;
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  // Adds a stream, stopped at its start; 0 when the source has no rate.
  Id add(std::unique_ptr<Source> source);
  void remove(Id id);
  void clear();

  // Plays from frame `from` (of the source) to frame `to` (exclusive,
  // clamped to the length); with `repeat` it goes back to `from` at `to`.
  void play(Id id, uint64_t from, uint64_t to, bool repeat);
  // Stops where it is; resume() goes on from there to the same end.
  void pause(Id id);
  void resume(Id id);
  void seek(Id id, uint64_t frame);
  void set_volume(Id id, int32_t permille);  // 0 to 1000

  bool playing(Id id);
  uint64_t position(Id id);  // source frame of the next output frame
  uint64_t length(Id id);
  uint32_t rate(Id id);

  // Mixes the next `frames` output frames into `out` (interleaved stereo)
  // and moves every playing stream on.
  void render(int16_t* out, uint32_t frames);
  // The output's fill routine (user: the Mixer).
  static void fill(void* mixer, int16_t* out, uint32_t frames);

  std::mutex& lock() { return lock_; }

 private:
  struct Stream {
    std::unique_ptr<Source> source;
    uint32_t rate = 0;
    uint64_t step = 0;         // source frames per output frame, 32.32
    uint64_t pos = 0;          // source frame of the next output frame
    uint32_t frac = 0;         // and its fraction
    uint64_t from = 0, to = 0;
    bool playing = false, repeat = false;
    int32_t volume = 1024;     // 1024 = unchanged
    std::vector<int16_t> buf;  // frames buf_first .. buf_first + buf_frames of the source
    uint64_t buf_first = 0;
    uint32_t buf_frames = 0;
    uint64_t read_pos = 0;     // where the source reads next
  };
  static void move_to(Stream& s, uint64_t frame);
  static bool fetch(Stream& s, uint64_t frame);
  static void mix_stream(Stream& s, int32_t* acc, uint32_t frames);
  Stream* find(Id id);

  std::mutex lock_;
  std::map<Id, Stream> streams_;
  Id last_id_ = 0;
  std::vector<int32_t> acc_;
};

}  // namespace sound
