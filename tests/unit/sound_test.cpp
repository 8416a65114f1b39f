// Wave decoding of every sample format against a reference conversion made
// here, and the mixer's resampling and looping.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "sound/mixer.h"

namespace {

void put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}

// A RIFF wave file: format `tag`, `channels`, 48 kHz, `bits`, and the data.
std::vector<uint8_t> wav(uint16_t tag, uint16_t channels, uint16_t bits, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b = {'R', 'I', 'F', 'F'};
  put32(b, uint32_t(4 + 8 + 16 + 8 + data.size()));
  for (char c : std::string("WAVEfmt ")) b.push_back(uint8_t(c));
  put32(b, 16);
  put16(b, tag);
  put16(b, channels);
  put32(b, 48000);
  const uint16_t align = uint16_t(channels * ((bits + 7) / 8));
  put32(b, 48000u * align);
  put16(b, align);
  put16(b, bits);
  for (char c : std::string("data")) b.push_back(uint8_t(c));
  put32(b, uint32_t(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// G.711 as the standard defines it.
int16_t mulaw(uint8_t byte) {
  const uint8_t u = uint8_t(~byte);
  const int32_t magnitude = (((u & 0x0F) << 3) + 0x84) << ((u >> 4) & 7);
  return int16_t((u & 0x80) ? 0x84 - magnitude : magnitude - 0x84);
}
int16_t alaw(uint8_t byte) {
  const uint8_t a = byte ^ 0x55;
  const int32_t exponent = (a >> 4) & 7, mantissa = a & 0x0F;
  const int32_t magnitude = exponent == 0 ? (mantissa << 4) + 8 : ((mantissa << 4) + 0x108) << (exponent - 1);
  return int16_t((a & 0x80) ? magnitude : -magnitude);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// A 16-bit signal whose values every width holds exactly.
std::vector<int16_t> signal() {
  std::vector<int16_t> s;
  for (int i = 0; i < 256; i++) s.push_back(int16_t((i - 128) * 256));
  return s;
}

struct Case {
  const char* name;
  uint16_t tag, channels, bits;
  const char* sox_encoding;  // ADPCM: made and decoded for reference by sox
  int tolerance;             // decoders may round the ADPCM predictor either way
};

TEST(Sound, EveryWaveFormatDecodesToTheReference) {
  const Case cases[] = {
      {"u8", 1, 1, 8, nullptr, 0},       {"s16", 1, 1, 16, nullptr, 0},    {"s16 stereo", 1, 2, 16, nullptr, 0},
      {"s24", 1, 1, 24, nullptr, 0},     {"s32", 1, 1, 32, nullptr, 0},    {"float", 3, 1, 32, nullptr, 0},
      {"4 channels", 1, 4, 16, nullptr, 0}, {"a-law", 6, 1, 8, nullptr, 0}, {"mu-law", 7, 1, 8, nullptr, 0},
      {"ms adpcm", 2, 1, 4, "ms-adpcm", 8}, {"ima adpcm", 0x11, 1, 4, "ima-adpcm", 2},
  };
  const std::vector<int16_t> sig = signal();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> data, file;
    std::vector<int16_t> left, right;  // the reference
    if (c.sox_encoding) {
      if (std::system("command -v sox >/dev/null 2>&1") != 0) continue;
      std::vector<uint8_t> pcm;
      for (int16_t v : sig) put16(pcm, uint16_t(v));
      const std::string dir = testing::TempDir();
      const std::vector<uint8_t> source = wav(1, 1, 16, pcm);
      std::ofstream(dir + "s16.wav", std::ios::binary)
          .write(reinterpret_cast<const char*>(source.data()), std::streamsize(source.size()));
      const std::string cmd = "sox -D " + dir + "s16.wav -e " + c.sox_encoding + " " + dir + "adpcm.wav && sox -D " +
                              dir + "adpcm.wav -e signed -b 16 -t raw " + dir + "ref.raw";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
      file = read_file(dir + "adpcm.wav");
      const std::vector<uint8_t> ref = read_file(dir + "ref.raw");
      for (size_t i = 0; i + 1 < ref.size(); i += 2) left.push_back(int16_t(ref[i] | ref[i + 1] << 8));
      right = left;
    } else if (c.tag == 6 || c.tag == 7) {
      for (int v = 0; v < 256; v++) {
        data.push_back(uint8_t(v));
        left.push_back(c.tag == 6 ? alaw(uint8_t(v)) : mulaw(uint8_t(v)));
      }
      right = left;
    } else {
      for (size_t i = 0; i < sig.size(); i++) {
        const int16_t v = sig[i];
        const int16_t w = sig[sig.size() - 1 - i];  // the second channel runs backward
        for (uint16_t ch = 0; ch < c.channels; ch++) {
          const int32_t x = ch == 1 ? w : ch == 0 ? v : 12345;
          if (c.tag == 3) {
            float f = float(x) / 32768.0f;
            uint32_t u;
            std::memcpy(&u, &f, 4);
            put32(data, u);
          } else if (c.bits == 8) {
            data.push_back(uint8_t((x >> 8) + 128));
          } else if (c.bits == 16) {
            put16(data, uint16_t(x));
          } else if (c.bits == 24) {
            data.push_back(0x7F);  // low bits below 16 are dropped
            put16(data, uint16_t(x));
          } else {
            put32(data, uint32_t(x) << 16 | 0x7FFF);
          }
        }
        left.push_back(v);
        right.push_back(c.channels > 1 ? w : v);
      }
    }
    if (file.empty()) file = wav(c.tag, c.channels, c.bits, data);
    platform::Pcm pcm;
    std::string why;
    ASSERT_TRUE(platform::decode_wav(file.data(), file.size(), pcm, &why)) << why;
    EXPECT_EQ(pcm.rate, 48000u);
    ASSERT_EQ(pcm.frames(), left.size());
    for (size_t i = 0; i < left.size(); i++) {
      ASSERT_LE(std::abs(pcm.samples[i * 2] - left[i]), c.tolerance) << "frame " << i;
      ASSERT_LE(std::abs(pcm.samples[i * 2 + 1] - right[i]), c.tolerance) << "frame " << i;
    }
  }
}

// A 24 kHz source doubles at 48 kHz with the midpoints between its frames;
// repeated, it starts again at its `from` frame; volume 500 halves it.
TEST(Sound, MixerResamplesLoopsAndScales) {
  platform::Pcm pcm;
  pcm.rate = 24000;
  pcm.samples = {0, 0, 1000, -1000, 2000, -2000, 3000, -3000};
  sound::Mixer m;
  const sound::Mixer::Id id = m.add(std::make_unique<sound::PcmSource>(pcm));
  m.play(id, 1, 4, true);
  int16_t out[16];
  m.render(out, 8);
  const int16_t want[16] = {1000, -1000, 1500, -1500, 2000, -2000, 2500, -2500,
                            3000, -3000, 3000, -3000, 1000, -1000, 1500, -1500};
  for (int i = 0; i < 16; i++) EXPECT_EQ(out[i], want[i]) << i;
  m.set_volume(id, 500);
  m.render(out, 1);
  EXPECT_EQ(out[0], 1000);
  m.play(id, 0, 4, false);
  m.render(out, 8);
  EXPECT_FALSE(m.playing(id));
  EXPECT_EQ(m.position(id), 4u);
}

}  // namespace
