// Fuzz target: media control strings. Each line of the input is one
// command string; "a.wav" names a small wave file, "in.wav", "in.mp3" and
// "in.mid" the input itself (so the decoders meet it too), other names
// nothing. `play ... wait` may wait a bounded number of steps. Every
// command must give a result, and closing all must leave no stream.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "sound/mci.h"

namespace {

std::string small_wav() {
  std::string b = "RIFF";
  auto put32 = [&b](uint32_t v) {
    for (int i = 0; i < 4; i++) b += char(v >> (8 * i));
  };
  auto put16 = [&b](uint16_t v) {
    b += char(v);
    b += char(v >> 8);
  };
  put32(36 + 400);
  b += "WAVEfmt ";
  put32(16);
  put16(1);      // PCM
  put16(1);      // mono
  put32(8000);   // 8 kHz
  put32(16000);
  put16(2);
  put16(16);
  b += "data";
  put32(400);
  for (int i = 0; i < 200; i++) put16(uint16_t(i * 100));
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  sound::Mixer mixer;
  int waits = 0;
  int16_t out[960];
  {
    sound::MciDevices devices(
        mixer,
        [&](const std::string& name, std::string& bytes) {
          if (name == "a.wav") bytes = small_wav();
          else if (name.rfind("in.", 0) == 0) bytes = input;
          else return false;
          return true;
        },
        [&] {
          mixer.render(out, 480);
          return ++waits < 2000;
        });
    std::string_view rest(input);
    for (int n = 0; n < 256 && !rest.empty(); n++) {
      const size_t nl = rest.find('\n');
      const std::string_view line = rest.substr(0, nl);
      rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
      sound::MciResult r = devices.execute(line);
      if (r.code == 0 && line.find_first_not_of(" \t\r") == std::string_view::npos) __builtin_trap();
      mixer.render(out, 480);
    }
    devices.close_all();
    if (devices.open_count() != 0) __builtin_trap();
  }
  return 0;
}
