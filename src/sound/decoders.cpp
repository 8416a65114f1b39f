// The decoders behind the media device types of `mci`: waveaudio through
// the wave reader, mpegvideo through libmpg123 (MP3) or libvorbisfile (Ogg
// Vorbis, told by its "OggS" start), sequencer through FluidSynth with a
// General MIDI SoundFont (a build feature, QUILLON_MIDI). Each file is
// decoded whole when it is opened, to at most kMaxDecodedFrames frames, so
// positions and lengths are those of the decoded sound and a broken file
// costs no more than a good one of the same length. The decoding libraries
// are opened at their first file (platform/lazy_library.h).
#include <mpg123.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/audio.h"
#include "platform/lazy_library.h"
#include "sound/mci.h"

#if QUILLON_MIDI
#include <fluidsynth.h>
#endif

namespace sound {

namespace {

// Twenty minutes at 48 kHz: what one device may hold decoded (230 MB).
constexpr uint64_t kMaxDecodedFrames = uint64_t(48000) * 60 * 20;

// Appends `frames` frames of `channels` interleaved samples as stereo.
void append_stereo(platform::Pcm& pcm, const int16_t* in, size_t frames, int channels) {
  for (size_t f = 0; f < frames; f++) {
    pcm.samples.push_back(in[f * size_t(channels)]);
    pcm.samples.push_back(in[f * size_t(channels) + (channels > 1 ? 1 : 0)]);
  }
}

#define MPG123_FUNCTIONS(X)                                                                                  \
  X(mpg123_new) X(mpg123_delete) X(mpg123_param) X(mpg123_format_none) X(mpg123_rates) X(mpg123_format)     \
  X(mpg123_open_feed) X(mpg123_feed) X(mpg123_read) X(mpg123_getformat)
MPG123_FUNCTIONS(QUILLON_LAZY_POINTER)
#define VORBISFILE_FUNCTIONS(X) X(ov_open_callbacks) X(ov_info) X(ov_read) X(ov_clear)
VORBISFILE_FUNCTIONS(QUILLON_LAZY_POINTER)

// libmpg123 and libvorbisfile, opened at the first file of their kind;
// false, with the reason in `why`, when they cannot be loaded.
bool mpg123_ready(std::string& why) {
  static platform::LazyLibrary mpg123;
  return platform::lazy_library_load(mpg123, {"libmpg123.so.0"}, [](void* lib) -> const char* {
    return MPG123_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr : "this libmpg123 lacks a function the player calls";
  }, why);
}
bool vorbisfile_ready(std::string& why) {
  static platform::LazyLibrary vorbisfile;
  return platform::lazy_library_load(vorbisfile, {"libvorbisfile.so.3"}, [](void* lib) -> const char* {
    return VORBISFILE_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr
                                                        : "this libvorbisfile lacks a function the player calls";
  }, why);
}

bool decode_mp3(const std::string& bytes, platform::Pcm& pcm) {
  int err = 0;
  mpg123_handle* mh = mpg123_new(nullptr, &err);
  if (!mh) return false;
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_FORCE_STEREO | MPG123_QUIET, 0);
  mpg123_format_none(mh);
  const long* rates = nullptr;
  size_t count = 0;
  mpg123_rates(&rates, &count);
  for (size_t i = 0; i < count; i++) mpg123_format(mh, rates[i], MPG123_STEREO, MPG123_ENC_SIGNED_16);
  bool ok = mpg123_open_feed(mh) == MPG123_OK &&
            mpg123_feed(mh, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == MPG123_OK;
  std::vector<int16_t> buf(8192);
  while (ok && pcm.frames() < kMaxDecodedFrames) {
    size_t done = 0;
    const int r = mpg123_read(mh, buf.data(), buf.size() * 2, &done);
    if (r == MPG123_NEW_FORMAT) {
      long rate = 0;
      int channels = 0, encoding = 0;
      mpg123_getformat(mh, &rate, &channels, &encoding);
      if (pcm.rate == 0) pcm.rate = uint32_t(rate);
      continue;
    }
    append_stereo(pcm, buf.data(), done / 4, 2);
    if (r != MPG123_OK) break;  // the end (more data needed), or an error: keep what came
  }
  mpg123_delete(mh);
  return pcm.rate != 0;
}

// Vorbisfile reads through these from memory.
struct Memory {
  const std::string* bytes;
  size_t pos;
};
size_t mem_read(void* out, size_t size, size_t n, void* src) {
  auto* m = static_cast<Memory*>(src);
  const size_t want = size * n;
  const size_t got = std::min(want, m->bytes->size() - m->pos);
  std::memcpy(out, m->bytes->data() + m->pos, got);
  m->pos += got;
  return size ? got / size : 0;
}
int mem_seek(void* src, ogg_int64_t offset, int whence) {
  auto* m = static_cast<Memory*>(src);
  const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? int64_t(m->pos) : int64_t(m->bytes->size());
  const int64_t to = base + offset;
  if (to < 0 || to > int64_t(m->bytes->size())) return -1;
  m->pos = size_t(to);
  return 0;
}
long mem_tell(void* src) { return long(static_cast<Memory*>(src)->pos); }

bool decode_ogg(const std::string& bytes, platform::Pcm& pcm) {
  Memory m{&bytes, 0};
  OggVorbis_File vf;
  const ov_callbacks callbacks = {mem_read, mem_seek, nullptr, mem_tell};
  if (ov_open_callbacks(&m, &vf, nullptr, 0, callbacks) != 0) return false;
  const vorbis_info* info = ov_info(&vf, -1);
  const int channels = info ? info->channels : 0;
  if (!info || channels < 1 || channels > 255 || info->rate < 1000 || info->rate > 384000) {
    ov_clear(&vf);
    return false;
  }
  pcm.rate = uint32_t(info->rate);
  std::vector<int16_t> buf(size_t(4096) * size_t(channels));
  int section = 0;
  while (pcm.frames() < kMaxDecodedFrames) {
    const long got = ov_read(&vf, reinterpret_cast<char*>(buf.data()), int(buf.size() * 2), 0, 2, 1, &section);
    if (got == OV_HOLE) continue;  // a gap in the stream: go on after it
    if (got <= 0) break;
    // A later link of a chained stream may have other channels: its frames
    // are read with the first link's layout only when they agree.
    const vorbis_info* now = ov_info(&vf, section);
    if (!now || now->channels != channels) break;
    append_stereo(pcm, buf.data(), size_t(got) / 2 / size_t(channels), channels);
  }
  ov_clear(&vf);
  return true;
}

#if QUILLON_MIDI
#define FLUID_FUNCTIONS(X)                                                                                    \
  X(fluid_set_log_function) X(new_fluid_settings) X(delete_fluid_settings) X(fluid_settings_setnum)          \
  X(fluid_settings_setstr) X(fluid_settings_setint) X(new_fluid_synth) X(delete_fluid_synth)                 \
  X(fluid_synth_sfload) X(fluid_synth_write_s16) X(new_fluid_player) X(delete_fluid_player)                  \
  X(fluid_player_add_mem) X(fluid_player_play) X(fluid_player_get_status) X(fluid_player_get_total_ticks)
FLUID_FUNCTIONS(QUILLON_LAZY_POINTER)

// FluidSynth, opened at the first MIDI file; false, with the reason in
// `why`, when it cannot be loaded.
bool fluidsynth_ready(std::string& why) {
  static platform::LazyLibrary fluidsynth;
  auto bind = [](void* lib) -> const char* {
    return FLUID_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr : "this libfluidsynth lacks a function the player calls";
  };
  return platform::lazy_library_load(fluidsynth, {"libfluidsynth.so.3", "libfluidsynth.so.2"}, bind, why);
}

void quiet_log(int, const char*, void*) {}

const char* soundfont_path() {
  static const char* const kPaths[] = {QUILLON_SOUNDFONT, "/usr/share/sounds/sf2/TimGM6mb.sf2",
                                       "/usr/share/sounds/sf2/default-GM.sf2"};
  for (const char* p : kPaths)
    if (std::FILE* f = std::fopen(p, "rb")) {
      std::fclose(f);
      return p;
    }
  return nullptr;
}

// Renders the whole MIDI file at 48 kHz, the player timed by the samples
// made (not the wall clock), so the sound is the same on every run.
bool decode_midi(const std::string& bytes, platform::Pcm& pcm, MciResult& failure) {
  if (bytes.size() < 14 || std::memcmp(bytes.data(), "MThd", 4) != 0) {
    failure = {kMciInvalidFile, "the file is no MIDI file"};
    return false;
  }
  const char* font = soundfont_path();
  if (!font) {
    failure = {kMciCannotLoadDriver, "no General MIDI SoundFont is installed"};
    return false;
  }
  if (std::string why; !fluidsynth_ready(why)) {
    failure = {kMciCannotLoadDriver, "MIDI files need FluidSynth: " + why};
    return false;
  }
  for (int level = FLUID_PANIC; level < LAST_LOG_LEVEL; level++) fluid_set_log_function(level, quiet_log, nullptr);
  fluid_settings_t* settings = new_fluid_settings();
  fluid_settings_setnum(settings, "synth.sample-rate", 48000.0);
  fluid_settings_setstr(settings, "player.timing-source", "sample");
  fluid_settings_setint(settings, "synth.lock-memory", 0);
  fluid_synth_t* synth = new_fluid_synth(settings);
  fluid_player_t* player = synth ? new_fluid_player(synth) : nullptr;
  bool ok = player && fluid_synth_sfload(synth, font, 1) != FLUID_FAILED &&
            fluid_player_add_mem(player, bytes.data(), bytes.size()) == FLUID_OK &&
            fluid_player_play(player) == FLUID_OK;
  if (ok) {
    pcm.rate = 48000;
    std::vector<int16_t> buf(1024 * 2);
    while (fluid_player_get_status(player) == FLUID_PLAYER_PLAYING && pcm.frames() < kMaxDecodedFrames) {
      fluid_synth_write_s16(synth, 1024, buf.data(), 0, 2, buf.data(), 1, 2);
      pcm.samples.insert(pcm.samples.end(), buf.begin(), buf.end());
    }
    // A file whose tracks could not be read plays nothing at all.
    if (fluid_player_get_total_ticks(player) <= 0) {
      ok = false;
      failure = {kMciInvalidFile, "the MIDI file holds no events"};
    }
  } else {
    failure = {kMciInvalidFile, "the MIDI file cannot be played"};
  }
  if (player) delete_fluid_player(player);
  if (synth) delete_fluid_synth(synth);
  delete_fluid_settings(settings);
  return ok;
}
#endif

}  // namespace

std::unique_ptr<Source> mci_decode(const std::string& type, const std::string& bytes, MciResult& failure) {
  platform::Pcm pcm;
  if (type == "waveaudio") {
    std::string why;
    if (!platform::decode_wav(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), pcm, &why)) {
      failure = {kMciInvalidFile, "the file cannot be played: " + why};
      return nullptr;
    }
  } else if (type == "mpegvideo") {
    const bool ogg = bytes.size() >= 4 && std::memcmp(bytes.data(), "OggS", 4) == 0;
    if (std::string why; !(ogg ? vorbisfile_ready(why) : mpg123_ready(why))) {
      // Refused as a file of the kind that cannot be read; the reason is
      // told once on standard error too, as the script may not show it.
      const char* need = ogg ? "Ogg Vorbis sounds need libvorbisfile: " : "MP3 sounds need libmpg123: ";
      failure = {kMciInvalidFile, need + why};
      static std::once_flag told[2];
      std::call_once(told[ogg], [&] { std::fprintf(stderr, "quillon: %s\n", failure.text.c_str()); });
      return nullptr;
    }
    if (!(ogg ? decode_ogg(bytes, pcm) : decode_mp3(bytes, pcm))) {
      failure = {kMciInvalidFile, ogg ? "the file is no Ogg Vorbis sound" : "the file is no MP3 sound"};
      return nullptr;
    }
  } else {
#if QUILLON_MIDI
    if (!decode_midi(bytes, pcm, failure)) return nullptr;
#else
    failure = {kMciCannotLoadDriver, "MIDI is not built into this player (QUILLON_MIDI is off)"};
    return nullptr;
#endif
  }
  if (pcm.frames() == 0) {
    failure = {kMciInvalidFile, "the file holds no sound"};
    return nullptr;
  }
  return std::make_unique<PcmSource>(std::move(pcm));
}

}  // namespace sound
