// Media control strings (`mci`): the command strings are taken as written
// and the common subset is executed on the mixer's streams, one stream per
// open device:
//
//   open FILE [type T] [alias A]      (T: waveaudio, mpegvideo, sequencer;
//                                      without a type, by the extension)
//   play A [from N] [to N] [wait] [repeat]
//   pause A, resume A, stop A
//   seek A to N|start|end
//   status A mode|position|length|ready|time format
//   set A time format milliseconds|ms|samples
//   setaudio A volume to N            (0 to 1000)
//   close A, close all
//
// `notify`, `shareable` and `wait` (where it means nothing) are accepted.
// Keywords and aliases are matched without regard to case. Anything else
// is MCIERR_UNRECOGNIZED_KEYWORD; no input makes it fail otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "sound/mixer.h"

namespace sound {

// The codes whose names the result string shows.
enum MciCode : uint32_t {
  kMciOk = 0,
  kMciUnrecognizedKeyword = 259,
  kMciMissingCommandString = 267,
  kMciParamOverflow = 268,
  kMciMissingStringArgument = 269,
  kMciBadInteger = 270,
  kMciParserInternal = 271,
  kMciBadConstant = 290,
  kMciMissingDeviceName = 292,
  kMciNoClosingQuote = 294,
  kMciDuplicateFlags = 295,
  kMciNewRequiresAlias = 299,
  kMciNotifyOnAutoOpen = 300,
  // Codes without a name in the result: their text says what happened.
  kMciInvalidDeviceName = 263,
  kMciOutOfMemory = 264,
  kMciDeviceOpen = 265,
  kMciCannotLoadDriver = 266,
  kMciUnsupportedFunction = 274,
  kMciFileNotFound = 275,
  kMciOutOfRange = 282,
  kMciFlagsNotCompatible = 284,
  kMciBadTimeFormat = 293,
  kMciInvalidFile = 296,
};

struct MciResult {
  uint32_t code = kMciOk;
  std::string text;
};

// The result string: the code's name (empty for success and unnamed
// codes), ": " when both a name and a text are present, then the text.
std::string mci_result_string(const MciResult& r);

// Longest command string taken; a longer one is MCIERR_PARAM_OVERFLOW.
inline constexpr size_t kMciMaxCommand = 8192;
// Devices one context may have open at once.
inline constexpr size_t kMciMaxDevices = 64;

// Reads a whole file by name; false when it is found nowhere.
using MciOpenFile = std::function<bool(const std::string& name, std::string& bytes)>;
// One step of waiting for `play ... wait` (the clock moves on); false stops
// the wait (the script is ending).
using MciWaitStep = std::function<bool()>;

// What a decoder makes of a device's file: a source, or null with the code
// and text of the failure. The device types are waveaudio, mpegvideo and
// sequencer.
std::unique_ptr<Source> mci_decode(const std::string& type, const std::string& bytes, MciResult& failure);

// The devices of one context.
class MciDevices {
 public:
  MciDevices(Mixer& mixer, MciOpenFile open_file, MciWaitStep wait_step)
      : mixer_(mixer), open_file_(std::move(open_file)), wait_step_(std::move(wait_step)) {}
  ~MciDevices() { close_all(); }
  MciDevices(const MciDevices&) = delete;
  MciDevices& operator=(const MciDevices&) = delete;

  MciResult execute(std::string_view command);
  void close_all();
  size_t open_count() const { return devices_.size(); }

 private:
  struct Device {
    std::string type;
    Mixer::Id stream = 0;
    bool paused = false;
    bool samples = false;  // time format samples, else milliseconds
    bool repeat = false;
    uint64_t to = 0;       // end of the last play, in frames
  };
  Mixer& mixer_;
  MciOpenFile open_file_;
  MciWaitStep wait_step_;
  std::map<std::string, Device> devices_;  // by lower-case alias
};

}  // namespace sound
