// Wave decoding and the sound card through SDL2.
#include <SDL.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/audio.h"
#include "platform/lazy_library.h"

namespace platform {

namespace {

#define SDL_AUDIO_FUNCTIONS(X)                                                                             \
  X(SDL_CloseAudioDevice) X(SDL_FreeWAV) X(SDL_GetError) X(SDL_InitSubSystem) X(SDL_LoadWAV_RW)            \
  X(SDL_OpenAudioDevice) X(SDL_PauseAudioDevice) X(SDL_QuitSubSystem) X(SDL_RWFromConstMem) X(SDL_SetHint)
SDL_AUDIO_FUNCTIONS(QUILLON_LAZY_POINTER)

// SDL2, opened at the first wave decoded or sound card opened (the window's
// side opens it too, see sdl.cpp); false, with the reason in `why`, when it
// cannot be loaded.
bool sdl_audio_ready(std::string* why) {
  static LazyLibrary sdl;
  std::string reason;
  if (lazy_library_load(sdl, {"libSDL2-2.0.so.0", "libSDL2.so"}, [](void* lib) -> const char* {
        return SDL_AUDIO_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr : "this SDL2 lacks a function the player calls";
      }, reason))
    return true;
  if (why) *why = "sound needs SDL2: " + reason;
  return false;
}

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

// Checks the RIFF structure of a copy of the file and makes its sizes true
// before SDL sees it: the RIFF size becomes what follows it, a chunk that
// claims more than is left is cut to what is left (the last chunk of a
// truncated file). Refuses a file without "fmt " and "data" chunks, with
// no channels or with a rate outside 1 kHz to 384 kHz.
bool check_riff(std::vector<uint8_t>& b, std::string* why) {
  auto fail = [&](const char* text) {
    if (why) *why = text;
    return false;
  };
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
    return fail("not a RIFF wave file");
  if (b.size() - 8 > 0xFFFFFFFFu) return fail("file too large");
  put32(b.data() + 4, uint32_t(b.size() - 8));
  bool fmt = false, data = false;
  size_t at = 12;
  while (b.size() - at >= 8) {
    uint8_t* c = b.data() + at;
    uint64_t left = b.size() - at - 8;
    uint64_t length = le32(c + 4);
    if (length > left) {
      length = left;
      put32(c + 4, uint32_t(length));
    }
    if (std::memcmp(c, "fmt ", 4) == 0) {
      if (length < 16) return fail("format chunk too short");
      const uint16_t channels = le16(c + 8 + 2);
      const uint32_t rate = le32(c + 8 + 4);
      if (channels == 0) return fail("no channels");
      if (rate < 1000 || rate > 384000) return fail("sample rate out of range");
      fmt = true;
    } else if (std::memcmp(c, "data", 4) == 0) {
      data = fmt;
      if (length & 1) length++;  // the pad byte, if any
    } else if (length & 1) {
      length++;
    }
    at += 8 + std::min<uint64_t>(length, left);
  }
  if (!fmt) return fail("no format chunk");
  if (!data) return fail("no data chunk after the format chunk");
  return true;
}

}  // namespace

bool decode_wav(const uint8_t* data, size_t size, Pcm& out, std::string* why) {
  out = Pcm{};
  std::vector<uint8_t> bytes(data, data + size);
  if (!check_riff(bytes, why) || !sdl_audio_ready(why)) return false;
  SDL_SetHint(SDL_HINT_WAVE_RIFF_CHUNK_SIZE, "force");
  SDL_SetHint(SDL_HINT_WAVE_TRUNCATION, "dropframe");
  SDL_SetHint(SDL_HINT_WAVE_FACT_CHUNK, "ignore");
  SDL_RWops* rw = SDL_RWFromConstMem(bytes.data(), int(bytes.size()));
  if (!rw) {
    if (why) *why = SDL_GetError();
    return false;
  }
  SDL_AudioSpec spec;
  Uint8* buf = nullptr;
  Uint32 len = 0;
  if (!SDL_LoadWAV_RW(rw, 1, &spec, &buf, &len)) {
    if (why) *why = SDL_GetError();
    return false;
  }
  const uint32_t width = SDL_AUDIO_BITSIZE(spec.format) / 8;
  const uint32_t channels = spec.channels;
  bool ok = width != 0 && channels != 0 && spec.freq >= 1000 && spec.freq <= 384000;
  const uint64_t frames = ok ? len / (uint64_t(width) * channels) : 0;
  if (ok && frames > kMaxWavFrames) ok = false;
  if (!ok) {
    SDL_FreeWAV(buf);
    if (why) *why = "unsupported or too long wave data";
    return false;
  }
  out.rate = uint32_t(spec.freq);
  out.samples.resize(size_t(frames) * 2);
  // One sample of channel `ch` of frame `f` as 16 bits.
  auto sample = [&](uint64_t f, uint32_t ch) -> int16_t {
    const uint8_t* p = buf + (f * channels + ch) * width;
    switch (spec.format) {
      case AUDIO_U8: return int16_t((int32_t(p[0]) - 128) * 256);
      case AUDIO_S8: return int16_t(int32_t(int8_t(p[0])) * 256);
      case AUDIO_S16LSB: return int16_t(le16(p));
      case AUDIO_S32LSB: return int16_t(int32_t(le32(p)) >> 16);
      case AUDIO_F32LSB: {
        float x;
        std::memcpy(&x, p, 4);
        if (!(x == x)) return 0;  // NaN
        const float scaled = std::nearbyint(std::clamp(x, -1.0f, 1.0f) * 32768.0f);
        return int16_t(std::clamp(scaled, -32768.0f, 32767.0f));
      }
      default: return 0;
    }
  };
  for (uint64_t f = 0; f < frames; f++) {
    out.samples[f * 2] = sample(f, 0);
    out.samples[f * 2 + 1] = sample(f, channels > 1 ? 1 : 0);
  }
  SDL_FreeWAV(buf);
  return true;
}

namespace {

// Runs `fn` with standard error sent to /dev/null: the sound libraries
// behind SDL (ALSA above all) print their probing failures there.
template <typename Fn>
auto quietly(Fn fn) {
  std::fflush(stderr);
  const int saved = ::dup(2);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) ::dup2(null, 2);
  auto result = fn();
  if (saved >= 0) {
    ::dup2(saved, 2);
    ::close(saved);
  }
  if (null >= 0) ::close(null);
  return result;
}

class SoundCard final : public AudioOutput {
 public:
  SoundCard(AudioFill fill, void* user) : fill_(fill), user_(user) {}
  ~SoundCard() override {
    if (device_) SDL_CloseAudioDevice(device_);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
  bool realtime() const override { return true; }

  bool open(std::string* why) {
    SDL_AudioSpec want{};
    want.freq = int(kAudioRate);
    want.format = AUDIO_S16SYS;
    want.channels = 2;
    want.samples = 1024;
    want.callback = callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    device_ = quietly([&] { return SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0); });
    if (!device_) {
      if (why) *why = SDL_GetError();
      return false;
    }
    SDL_PauseAudioDevice(device_, 0);
    return true;
  }

 private:
  static void callback(void* self, Uint8* stream, int len) {
    auto* card = static_cast<SoundCard*>(self);
    card->fill_(card->user_, reinterpret_cast<int16_t*>(stream), uint32_t(len) / 4);
  }

  AudioFill fill_;
  void* user_;
  SDL_AudioDeviceID device_ = 0;
};

}  // namespace

std::unique_ptr<AudioOutput> open_sound_card(AudioFill fill, void* user, std::string* why) {
  if (!sdl_audio_ready(why)) return nullptr;
  if (quietly([] { return SDL_InitSubSystem(SDL_INIT_AUDIO); }) != 0) {
    if (why) *why = SDL_GetError();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return nullptr;
  }
  auto card = std::make_unique<SoundCard>(fill, user);
  if (!card->open(why)) return nullptr;
  return card;
}

}  // namespace platform
