// The stand-ins of the sound card: silence that keeps time, and a wave file
// of what would have been heard. The engine advances them by its clock.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/audio.h"

namespace platform {

namespace {

constexpr uint32_t kChunkFrames = 4096;

class SilentOutput final : public AudioOutput {
 public:
  SilentOutput(AudioFill fill, void* user) : fill_(fill), user_(user), buffer_(kChunkFrames * 2) {}
  bool realtime() const override { return false; }
  void advance(uint64_t frames) override {
    while (frames > 0) {
      const uint32_t n = frames < kChunkFrames ? uint32_t(frames) : kChunkFrames;
      fill_(user_, buffer_.data(), n);
      frames -= n;
    }
  }

 private:
  AudioFill fill_;
  void* user_;
  std::vector<int16_t> buffer_;
};

void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

// The 44-byte header of a 48 kHz stereo 16-bit PCM wave file with `bytes`
// bytes of samples.
void wav_header(uint8_t* h, uint32_t bytes) {
  std::memcpy(h, "RIFF", 4);
  put32(h + 4, 36 + bytes);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, 1);  // PCM
  put16(h + 22, 2);
  put32(h + 24, kAudioRate);
  put32(h + 28, kAudioRate * 4);
  put16(h + 32, 4);
  put16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  put32(h + 40, bytes);
}

class WavOutput final : public AudioOutput {
 public:
  WavOutput(std::FILE* f, AudioFill fill, void* user) : file_(f), fill_(fill), user_(user), buffer_(kChunkFrames * 2) {}
  ~WavOutput() override {
    uint8_t h[44];
    wav_header(h, uint32_t(bytes_));
    std::fseek(file_, 0, SEEK_SET);
    std::fwrite(h, 1, sizeof h, file_);
    std::fclose(file_);
  }
  bool realtime() const override { return false; }
  void advance(uint64_t frames) override {
    while (frames > 0) {
      const uint32_t n = frames < kChunkFrames ? uint32_t(frames) : kChunkFrames;
      fill_(user_, buffer_.data(), n);
      frames -= n;
      // A wave file ends at 4 GB; later frames are made but not written.
      if (bytes_ + uint64_t(n) * 4 > kMaxBytes) continue;
      uint8_t out[kChunkFrames * 4];
      for (uint32_t i = 0; i < n * 2; i++) put16(out + i * 2, uint16_t(buffer_[i]));
      std::fwrite(out, 4, n, file_);
      bytes_ += uint64_t(n) * 4;
    }
  }

 private:
  static constexpr uint64_t kMaxBytes = 0xFFFFFFFFull - 36;
  std::FILE* file_;
  AudioFill fill_;
  void* user_;
  std::vector<int16_t> buffer_;
  uint64_t bytes_ = 0;
};

}  // namespace

std::unique_ptr<AudioOutput> open_silent_output(AudioFill fill, void* user) {
  return std::make_unique<SilentOutput>(fill, user);
}

std::unique_ptr<AudioOutput> open_wav_output(const std::string& path, AudioFill fill, void* user, std::string* why) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    if (why) *why = std::strerror(errno);
    return nullptr;
  }
  uint8_t h[44];
  wav_header(h, 0);
  std::fwrite(h, 1, sizeof h, f);
  return std::make_unique<WavOutput>(f, fill, user);
}

}  // namespace platform
