#include "sound/mci.h"

#include <algorithm>
#include <vector>

namespace sound {

namespace {

const char* code_name(uint32_t code) {
  switch (code) {
    case kMciUnrecognizedKeyword: return "MCIERR_UNRECOGNIZED_KEYWORD";
    case kMciMissingCommandString: return "MCIERR_MISSING_COMMAND_STRING";
    case kMciParamOverflow: return "MCIERR_PARAM_OVERFLOW";
    case kMciMissingStringArgument: return "MCIERR_MISSING_STRING_ARGUMENT";
    case kMciBadInteger: return "MCIERR_BAD_INTEGER";
    case kMciParserInternal: return "MCIERR_PARSER_INTERNAL";
    case kMciBadConstant: return "MCIERR_BAD_CONSTANT";
    case kMciMissingDeviceName: return "MCIERR_MISSING_DEVICE_NAME";
    case kMciNoClosingQuote: return "MCIERR_NO_CLOSING_QUOTE";
    case kMciDuplicateFlags: return "MCIERR_DUPLICATE_FLAGS";
    case kMciNewRequiresAlias: return "MCIERR_NEW_REQUIRES_ALIAS";
    case kMciNotifyOnAutoOpen: return "MCIERR_NOTIFY_ON_AUTO_OPEN";
    default: return "";
  }
}

MciResult fail(uint32_t code, std::string text = {}) { return {code, std::move(text)}; }
MciResult ok(std::string text = {}) { return {kMciOk, std::move(text)}; }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

// Splits at blanks; a double-quoted word keeps its blanks. False on a
// quote that does not close.
bool split(std::string_view s, std::vector<std::string>& words) {
  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      i++;
      continue;
    }
    if (c == '"') {
      const size_t end = s.find('"', i + 1);
      if (end == std::string_view::npos) return false;
      words.emplace_back(s.substr(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    size_t end = i;
    while (end < s.size() && s[end] != ' ' && s[end] != '\t' && s[end] != '\r' && s[end] != '\n') end++;
    words.emplace_back(s.substr(i, end - i));
    i = end;
  }
  return true;
}

bool parse_number(const std::string& w, uint64_t& out) {
  if (w.empty() || w.size() > 10) return false;
  out = 0;
  for (char c : w) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + uint64_t(c - '0');
  }
  return out <= 0xFFFFFFFFu;
}

std::string extension_of(const std::string& file) {
  const size_t slash = file.find_last_of("/\\:");
  const size_t dot = file.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return lower(file.substr(dot + 1));
}

// The words after the device name, read as the verb's flags: each flag at
// most once, values where a flag takes one.
struct Flags {
  std::map<std::string, std::string> values;  // flag -> its value ("" when none)
  MciResult error;
};

// `spec` lists the flags: "word" alone, "word=" with one value.
Flags read_flags(const std::vector<std::string>& words, size_t from, std::initializer_list<const char*> spec) {
  Flags f;
  for (size_t i = from; i < words.size(); i++) {
    std::string w = lower(words[i]);
    // Two-word flags.
    if ((w == "time" || w == "audio") && i + 1 < words.size() && lower(words[i + 1]) == "format") {
      w = "time format";
      i++;
    }
    bool known = false, takes_value = false;
    for (const char* s : spec) {
      std::string_view sv(s);
      if (sv.back() == '=' ? sv.substr(0, sv.size() - 1) == w : sv == w) {
        known = true;
        takes_value = sv.back() == '=';
      }
    }
    if (!known) {
      f.error = fail(kMciUnrecognizedKeyword);
      return f;
    }
    if (f.values.count(w)) {
      f.error = fail(kMciDuplicateFlags);
      return f;
    }
    std::string value;
    if (takes_value) {
      if (i + 1 >= words.size()) {
        f.error = fail(w == "from" || w == "to" ? kMciBadInteger : kMciMissingStringArgument);
        return f;
      }
      value = words[++i];
    }
    f.values[w] = value;
  }
  return f;
}

}  // namespace

std::string mci_result_string(const MciResult& r) {
  std::string out = code_name(r.code);
  if (!out.empty() && !r.text.empty()) out += ": ";
  out += r.text;
  return out;
}

MciResult MciDevices::execute(std::string_view command) {
  if (command.size() > kMciMaxCommand) return fail(kMciParamOverflow);
  std::vector<std::string> words;
  if (!split(command, words)) return fail(kMciNoClosingQuote);
  if (words.empty()) return fail(kMciMissingCommandString);
  const std::string verb = lower(words[0]);
  if (words.size() < 2) {
    static const char* const kVerbs[] = {"open", "play", "pause", "resume", "stop", "seek",
                                         "status", "set", "setaudio", "close"};
    for (const char* v : kVerbs)
      if (verb == v) return fail(kMciMissingDeviceName);
    return fail(kMciUnrecognizedKeyword);
  }
  std::string name = words[1];
  const std::string key = lower(name);

  if (verb == "open") {
    Flags f = read_flags(words, 2, {"type=", "alias=", "shareable", "wait", "notify"});
    if (f.error.code) return f.error;
    std::string type = f.values.count("type") ? lower(f.values["type"]) : std::string();
    std::string file = name;
    if (const size_t bang = name.find('!'); bang != std::string::npos) {  // type!file
      type = lower(name.substr(0, bang));
      file = name.substr(bang + 1);
    }
    if (key == "new") return f.values.count("alias") ? fail(kMciUnsupportedFunction, "recording is not supported")
                                                     : fail(kMciNewRequiresAlias);
    if (type.empty()) {
      const std::string ext = extension_of(file);
      if (ext == "wav") type = "waveaudio";
      else if (ext == "mp3" || ext == "mpg" || ext == "mpeg" || ext == "ogg") type = "mpegvideo";
      else if (ext == "mid" || ext == "midi" || ext == "rmi") type = "sequencer";
      else return fail(kMciInvalidDeviceName, "no device type is known for \"" + file + "\"; give one with type");
    }
    if (type != "waveaudio" && type != "mpegvideo" && type != "sequencer")
      return fail(kMciInvalidDeviceName, "unknown device type \"" + type + "\"");
    const std::string alias = lower(f.values.count("alias") ? f.values["alias"] : name);
    if (alias == "all" || alias.empty()) return fail(kMciBadConstant);
    if (devices_.count(alias)) return fail(kMciDeviceOpen, "the alias \"" + alias + "\" is already open");
    if (devices_.size() >= kMciMaxDevices) return fail(kMciOutOfMemory, "too many devices are open");
    std::string bytes;
    if (!open_file_(file, bytes)) return fail(kMciFileNotFound, "file not found: \"" + file + "\"");
    MciResult failure;
    std::unique_ptr<Source> source = mci_decode(type, bytes, failure);
    if (!source) return failure;
    Device d;
    d.type = type;
    d.stream = mixer_.add(std::move(source));
    if (!d.stream) return fail(kMciInvalidFile, "the file holds no sound");
    d.to = mixer_.length(d.stream);
    devices_[alias] = d;
    return ok();
  }

  if (verb == "close" && key == "all") {
    Flags f = read_flags(words, 2, {"wait", "notify"});
    if (f.error.code) return f.error;
    close_all();
    return ok();
  }

  static const char* const kVerbs[] = {"play", "pause", "resume", "stop", "seek", "status", "set", "setaudio", "close"};
  if (std::find_if(std::begin(kVerbs), std::end(kVerbs), [&](const char* v) { return verb == v; }) ==
      std::end(kVerbs))
    return fail(kMciUnrecognizedKeyword);
  auto it = devices_.find(key);
  if (it == devices_.end()) return fail(kMciInvalidDeviceName, "the device \"" + name + "\" is not open");
  Device& d = it->second;
  const uint32_t rate = mixer_.rate(d.stream);
  const uint64_t length = mixer_.length(d.stream);
  auto to_frames = [&](uint64_t t) { return d.samples ? t : t * rate / 1000; };
  auto from_frames = [&](uint64_t f) { return d.samples ? f : f * 1000 / rate; };
  auto time_arg = [&](Flags& f, const char* flag, uint64_t& frames, MciResult& err) {
    if (!f.values.count(flag)) return false;
    uint64_t t;
    if (!parse_number(f.values[flag], t)) {
      err = fail(kMciBadInteger);
      return false;
    }
    frames = to_frames(t);
    if (frames > length) err = fail(kMciOutOfRange, "the position is past the end");
    return true;
  };

  if (verb == "play") {
    Flags f = read_flags(words, 2, {"from=", "to=", "wait", "repeat", "notify"});
    if (f.error.code) return f.error;
    MciResult err;
    uint64_t from = mixer_.position(d.stream), to = length;
    const bool from_given = time_arg(f, "from", from, err);
    if (err.code) return err;
    time_arg(f, "to", to, err);
    if (err.code) return err;
    if (f.values.count("wait") && f.values.count("repeat"))
      return fail(kMciFlagsNotCompatible, "wait and repeat together would never end");
    if (from > to) return fail(kMciOutOfRange, "from is after to");
    if (!from_given && from >= to) from = 0;  // played to the end: again from the start
    d.paused = false;
    d.repeat = f.values.count("repeat") != 0;
    d.to = to;
    mixer_.play(d.stream, from, to, d.repeat);
    if (f.values.count("wait"))
      while (mixer_.playing(d.stream) && wait_step_()) {
      }
    return ok();
  }
  if (verb == "pause" || verb == "stop") {
    Flags f = read_flags(words, 2, {"wait", "notify"});
    if (f.error.code) return f.error;
    const bool was_playing = mixer_.playing(d.stream);
    mixer_.pause(d.stream);
    d.paused = verb == "pause" && (was_playing || d.paused);
    return ok();
  }
  if (verb == "resume") {
    Flags f = read_flags(words, 2, {"wait", "notify"});
    if (f.error.code) return f.error;
    if (d.paused) mixer_.resume(d.stream);
    d.paused = false;
    return ok();
  }
  if (verb == "seek") {
    Flags f = read_flags(words, 2, {"to=", "wait", "notify"});
    if (f.error.code) return f.error;
    if (!f.values.count("to")) return fail(kMciUnrecognizedKeyword);
    const std::string where = lower(f.values["to"]);
    uint64_t frame = 0;
    if (where == "start") {
      frame = 0;
    } else if (where == "end") {
      frame = length;
    } else {
      MciResult err;
      time_arg(f, "to", frame, err);
      if (err.code) return err;
    }
    mixer_.pause(d.stream);
    d.paused = false;
    mixer_.seek(d.stream, frame);
    return ok();
  }
  if (verb == "status") {
    Flags f = read_flags(words, 2, {"mode", "position", "length", "ready", "time format", "wait", "notify"});
    if (f.error.code) return f.error;
    std::vector<std::string> items;
    for (const char* item : {"mode", "position", "length", "ready", "time format"})
      if (f.values.count(item)) items.emplace_back(item);
    if (items.size() != 1) return fail(items.empty() ? kMciMissingStringArgument : kMciFlagsNotCompatible,
                                       items.empty() ? "" : "ask for one item at a time");
    const std::string& item = items[0];
    if (item == "mode") return ok(mixer_.playing(d.stream) ? "playing" : d.paused ? "paused" : "stopped");
    if (item == "position") return ok(std::to_string(from_frames(mixer_.position(d.stream))));
    if (item == "length") return ok(std::to_string(from_frames(length)));
    if (item == "ready") return ok("true");
    return ok(d.samples ? "samples" : "milliseconds");
  }
  if (verb == "set") {
    Flags f = read_flags(words, 2, {"time format=", "wait", "notify"});
    if (f.error.code) return f.error;
    if (!f.values.count("time format")) return fail(kMciUnrecognizedKeyword);
    const std::string format = lower(f.values["time format"]);
    if (format == "milliseconds" || format == "ms") {
      d.samples = false;
    } else if (format == "samples") {
      if (d.type != "waveaudio") return fail(kMciBadTimeFormat, "samples are a time format of waveaudio only");
      d.samples = true;
    } else {
      return fail(kMciBadConstant);
    }
    return ok();
  }
  if (verb == "setaudio") {
    Flags f = read_flags(words, 2, {"volume", "to=", "wait", "notify"});
    if (f.error.code) return f.error;
    if (!f.values.count("volume") || !f.values.count("to")) return fail(kMciUnrecognizedKeyword);
    uint64_t v;
    if (!parse_number(f.values["to"], v)) return fail(kMciBadInteger);
    if (v > 1000) return fail(kMciOutOfRange, "the volume goes from 0 to 1000");
    mixer_.set_volume(d.stream, int32_t(v));
    return ok();
  }
  // close
  Flags f = read_flags(words, 2, {"wait", "notify"});
  if (f.error.code) return f.error;
  mixer_.remove(d.stream);
  devices_.erase(it);
  return ok();
}

void MciDevices::close_all() {
  for (auto& [alias, d] : devices_) mixer_.remove(d.stream);
  devices_.clear();
}

}  // namespace sound
