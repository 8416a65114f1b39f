// The decoders behind the media device types of `mci`.
#include "platform/audio.h"
#include "sound/mci.h"

namespace sound {

std::unique_ptr<Source> mci_decode(const std::string& type, const std::string& bytes, MciResult& failure) {
  if (type == "waveaudio") {
    platform::Pcm pcm;
    std::string why;
    if (!platform::decode_wav(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), pcm, &why)) {
      failure = {kMciInvalidFile, "the file cannot be played: " + why};
      return nullptr;
    }
    return std::make_unique<PcmSource>(std::move(pcm));
  }
  failure = {kMciCannotLoadDriver, "the " + type + " device is not built into this player"};
  return nullptr;
}

}  // namespace sound
