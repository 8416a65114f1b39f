#include "host/event_script.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "host/window.h"
#include "vm/clock.h"

namespace host {

namespace {

using platform::Event;
using platform::EventKind;

std::vector<ScriptedEvent> g_events;
size_t g_next = 0;
// Dialog answers are kept apart from the input events: a dialog takes one
// when it opens, not when its time comes.
std::vector<std::pair<uint64_t, std::string>> g_answers;
size_t g_next_answer = 0;
uint64_t g_start = 0;

bool equal_folded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y));
         });
}

struct KeyPress {
  int32_t key = platform::kKeyNone;
  uint16_t mods = 0;
  std::string text;  // what the key types, if anything
};

// A key name as the window system would deliver it: "a", "A" (shift with
// a), "ctrl-x", "shift-f1", "return", "esc", "space", "?".
bool parse_key(std::string_view name, KeyPress& out) {
  static const struct {
    const char* name;
    int32_t key;
  } kNamed[] = {
      {"return", platform::kKeyReturn},  {"enter", platform::kKeyReturn},   {"esc", platform::kKeyEscape},
      {"tab", platform::kKeyTab},        {"backsp", platform::kKeyBackspace}, {"del", platform::kKeyDelete},
      {"ins", platform::kKeyInsert},     {"home", platform::kKeyHome},      {"end", platform::kKeyEnd},
      {"pgup", platform::kKeyPageUp},    {"pgdn", platform::kKeyPageDown},  {"left", platform::kKeyLeft},
      {"right", platform::kKeyRight},    {"up", platform::kKeyUp},          {"down", platform::kKeyDown},
      {"shift", platform::kKeyShift},    {"ctrl", platform::kKeyCtrl},      {"alt", platform::kKeyAlt},
  };
  for (;;) {
    if (name.size() > 6 && equal_folded(name.substr(0, 6), "shift-")) {
      out.mods |= platform::kModShift;
      name.remove_prefix(6);
    } else if (name.size() > 5 && equal_folded(name.substr(0, 5), "ctrl-")) {
      out.mods |= platform::kModCtrl;
      name.remove_prefix(5);
    } else if (name.size() > 4 && equal_folded(name.substr(0, 4), "alt-")) {
      out.mods |= platform::kModAlt;
      name.remove_prefix(4);
    } else {
      break;
    }
  }
  const bool types = (out.mods & (platform::kModCtrl | platform::kModAlt)) == 0;
  if (name.size() == 1) {
    char c = name[0];
    if (uint8_t(c) < 33 || uint8_t(c) > 126) return false;
    if (std::isupper(uint8_t(c))) {
      out.mods |= platform::kModShift;
      c = char(std::tolower(uint8_t(c)));
    }
    out.key = c;
    if (types) out.text = std::string(1, (out.mods & platform::kModShift) && std::islower(uint8_t(c)) ? char(std::toupper(uint8_t(c))) : c);
    return true;
  }
  if (equal_folded(name, "space")) {
    out.key = ' ';
    if (types) out.text = " ";
    return true;
  }
  if (name.size() >= 2 && (name[0] == 'f' || name[0] == 'F')) {
    int n = 0;
    auto r = std::from_chars(name.data() + 1, name.data() + name.size(), n);
    if (r.ec == std::errc() && r.ptr == name.data() + name.size() && n >= 1 && n <= 12) {
      out.key = platform::kKeyF1 + n - 1;
      return true;
    }
  }
  for (const auto& k : kNamed)
    if (equal_folded(name, k.name)) {
      out.key = k.key;
      return true;
    }
  return false;
}

bool parse_int(const std::string& field, int64_t& out) {
  auto r = std::from_chars(field.data(), field.data() + field.size(), out);
  return r.ec == std::errc() && r.ptr == field.data() + field.size();
}

Event make(EventKind kind, int32_t code = 0, int32_t x = 0, int32_t y = 0, uint16_t mods = 0) {
  Event e;
  e.kind = kind;
  e.code = code;
  e.x = x;
  e.y = y;
  e.mods = mods;
  return e;
}

}  // namespace

bool parse_event_script(const std::string& text, std::vector<ScriptedEvent>& out, std::string* error) {
  g_answers.clear();
  g_next_answer = 0;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& why) {
    if (error) *error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    number++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream fields(line);
    std::string time_field, kind;
    if (!(fields >> time_field) || time_field[0] == '#') continue;
    int64_t ms = 0;
    if (!parse_int(time_field, ms) || ms < 0) return fail("the time \"" + time_field + "\" is not milliseconds");
    if (!(fields >> kind)) return fail("an event is missing after the time");
    std::vector<std::string> args;
    if (kind == "answer") {
      // The rest of the line after one blank, as it stands; empty cancels.
      std::string rest;
      std::getline(fields, rest);
      if (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) rest.erase(0, 1);
      g_answers.emplace_back(uint64_t(ms), rest);
      continue;
    }
    if (kind == "text") {
      // The rest of the line after one blank, as it stands.
      std::string rest;
      std::getline(fields, rest);
      if (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) rest.erase(0, 1);
      if (rest.empty()) return fail("text needs the characters to type");
      Event e = make(EventKind::Text);
      e.text = rest;
      out.push_back({uint64_t(ms), e});
      continue;
    }
    for (std::string a; fields >> a;) {
      if (a[0] == '#') break;
      args.push_back(a);
    }
    auto want = [&](size_t n) {
      return args.size() == n ? true : fail(kind + " takes " + std::to_string(n) + " argument" + (n == 1 ? "" : "s"));
    };
    if (kind == "key" || kind == "keydown" || kind == "keyup") {
      if (!want(1)) return false;
      KeyPress k;
      if (!parse_key(args[0], k)) return fail("no key is named \"" + args[0] + "\"");
      if (kind != "keyup") {
        out.push_back({uint64_t(ms), make(EventKind::KeyDown, k.key, 0, 0, k.mods)});
        if (!k.text.empty()) {
          Event t = make(EventKind::Text, 0, 0, 0, k.mods);
          t.text = k.text;
          out.push_back({uint64_t(ms), t});
        }
      }
      if (kind != "keydown") out.push_back({uint64_t(ms), make(EventKind::KeyUp, k.key, 0, 0, k.mods)});
    } else if (kind == "move") {
      if (!want(2)) return false;
      int64_t x, y;
      if (!parse_int(args[0], x) || !parse_int(args[1], y)) return fail("move needs X and Y numbers");
      out.push_back({uint64_t(ms), make(EventKind::MouseMove, 0, int32_t(x), int32_t(y))});
    } else if (kind == "down" || kind == "up" || kind == "click") {
      if (!want(3)) return false;
      int64_t b, x, y;
      if (!parse_int(args[0], b) || b < 1 || b > 3) return fail("the button must be 1, 2 or 3");
      if (!parse_int(args[1], x) || !parse_int(args[2], y)) return fail(kind + " needs X and Y numbers");
      if (kind != "up") out.push_back({uint64_t(ms), make(EventKind::MouseDown, int32_t(b), int32_t(x), int32_t(y))});
      if (kind != "down") out.push_back({uint64_t(ms), make(EventKind::MouseUp, int32_t(b), int32_t(x), int32_t(y))});
    } else if (kind == "close") {
      if (!want(0)) return false;
      out.push_back({uint64_t(ms), make(EventKind::Close)});
    } else {
      return fail("unknown event \"" + kind + "\"");
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const ScriptedEvent& a, const ScriptedEvent& b) { return a.ms < b.ms; });
  std::stable_sort(g_answers.begin(), g_answers.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return true;
}

void set_event_script(std::vector<ScriptedEvent> events) {
  want_pump();
  g_events = std::move(events);
  g_next = 0;
  g_start = vm::clock_now();
}

bool next_scripted_answer(std::string& out) {
  if (g_next_answer >= g_answers.size()) return false;
  if (vm::clock_to_ms(vm::clock_now() - g_start) < g_answers[g_next_answer].first) return false;
  out = g_answers[g_next_answer++].second;
  return true;
}

// --- recording ---------------------------------------------------------------------------

namespace {

FILE* g_record = nullptr;
uint64_t g_record_start = 0;
bool g_record_failed = false;
// A key press waits for the text it types, which the window system sends
// as an event of its own: in the format a key's name carries its text.
bool g_key_pending = false;
Event g_pending_key;
uint64_t g_pending_ms = 0;
// The name each key held down was written with, for its release.
std::map<int32_t, std::string> g_down_names;

// The name of a key in the format, or "" when the format has none for it
// (the keypad, keys without a use here).
std::string key_name(int32_t key, uint16_t mods, bool shift_in_name) {
  std::string base;
  if (key == ' ') {
    base = "space";
  } else if (key > 32 && key < 127) {
    base = std::string(1, char(key));
  } else if (key >= platform::kKeyF1 && key <= platform::kKeyF12) {
    base = "f" + std::to_string(key - platform::kKeyF1 + 1);
  } else {
    static const std::pair<int32_t, const char*> kNamed[] = {
        {platform::kKeyReturn, "return"}, {platform::kKeyEscape, "esc"},  {platform::kKeyTab, "tab"},
        {platform::kKeyBackspace, "backsp"}, {platform::kKeyDelete, "del"}, {platform::kKeyInsert, "ins"},
        {platform::kKeyHome, "home"},     {platform::kKeyEnd, "end"},     {platform::kKeyPageUp, "pgup"},
        {platform::kKeyPageDown, "pgdn"}, {platform::kKeyLeft, "left"},   {platform::kKeyRight, "right"},
        {platform::kKeyUp, "up"},         {platform::kKeyDown, "down"},   {platform::kKeyShift, "shift"},
        {platform::kKeyCtrl, "ctrl"},     {platform::kKeyAlt, "alt"},
    };
    for (const auto& [k, name] : kNamed)
      if (k == key) base = name;
    if (base.empty()) return {};
  }
  std::string prefix;
  if (mods & platform::kModCtrl) prefix += "ctrl-";
  if (mods & platform::kModAlt) prefix += "alt-";
  if ((mods & platform::kModShift) && shift_in_name) {
    // A shifted letter is its capital; other keys take the prefix.
    if (base.size() == 1 && std::islower(uint8_t(base[0])))
      base[0] = char(std::toupper(uint8_t(base[0])));
    else
      prefix += "shift-";
  }
  return prefix + base;
}

void write_line(uint64_t ms, const std::string& text) {
  if (!g_record) return;
  if (std::fprintf(g_record, "%llu %s\n", static_cast<unsigned long long>(ms), text.c_str()) < 0 ||
      std::fflush(g_record) != 0)
    g_record_failed = true;
}

// Writes a key press whose text did not come (or came as a text of its own).
void flush_key() {
  if (!g_key_pending) return;
  g_key_pending = false;
  // A key that types nothing: the name must not imply a text, which only
  // ctrl and alt keys and named keys do not.
  std::string name = key_name(g_pending_key.code, g_pending_key.mods, true);
  bool implies_text = g_pending_key.code >= 32 && g_pending_key.code < 127 &&
                      !(g_pending_key.mods & (platform::kModCtrl | platform::kModAlt));
  if (name.empty() || implies_text) {
    write_line(g_pending_ms, "# a key press the format cannot write");
    return;
  }
  g_down_names[g_pending_key.code] = name;
  write_line(g_pending_ms, "keydown " + name);
}

}  // namespace

bool start_recording(const std::string& path, std::string* error) {
  g_record = std::fopen(path.c_str(), "w");
  if (!g_record) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  g_record_start = vm::clock_now();
  g_record_failed = false;
  std::fputs("# recorded by quillon --record: engine-clock milliseconds and events\n", g_record);
  return true;
}

void record_event(const platform::Event& e) {
  if (!g_record) return;
  uint64_t ms = vm::clock_to_ms(vm::clock_now() - g_record_start);
  if (e.kind == EventKind::Text && g_key_pending && g_pending_ms == ms && e.text.size() == 1 &&
      uint8_t(e.text[0]) > 32 && uint8_t(e.text[0]) < 127 &&
      !(g_pending_key.mods & (platform::kModCtrl | platform::kModAlt))) {
    // The key and its text are one line: the name of the character typed
    // ("A", "?"), which gives that text again.
    g_key_pending = false;
    std::string name(1, e.text[0]);
    g_down_names[g_pending_key.code] = name;
    write_line(ms, "keydown " + name);
    return;
  }
  if (e.kind == EventKind::Text && g_key_pending && g_pending_ms == ms && e.text == " " &&
      g_pending_key.code == ' ') {
    g_key_pending = false;
    g_down_names[' '] = "space";
    write_line(ms, "keydown space");
    return;
  }
  flush_key();
  switch (e.kind) {
    case EventKind::KeyDown:
      g_key_pending = true;
      g_pending_key = e;
      g_pending_ms = ms;
      break;
    case EventKind::KeyUp: {
      auto it = g_down_names.find(e.code);
      if (it != g_down_names.end()) {
        write_line(ms, "keyup " + it->second);
        g_down_names.erase(it);
      }
      break;
    }
    case EventKind::Text:
      if (!e.text.empty()) write_line(ms, "text " + e.text);
      break;
    case EventKind::MouseMove:
      write_line(ms, "move " + std::to_string(e.x) + " " + std::to_string(e.y));
      break;
    case EventKind::MouseDown:
    case EventKind::MouseUp:
      if (e.code >= 1 && e.code <= 3)
        write_line(ms, std::string(e.kind == EventKind::MouseDown ? "down " : "up ") + std::to_string(e.code) + " " +
                           std::to_string(e.x) + " " + std::to_string(e.y));
      break;
    case EventKind::Close:
      write_line(ms, "close");
      break;
  }
}

bool stop_recording() {
  if (!g_record) return true;
  flush_key();
  bool ok = std::fclose(g_record) == 0 && !g_record_failed;
  g_record = nullptr;
  g_down_names.clear();
  return ok;
}
bool scripted_events_left() { return g_next < g_events.size(); }

bool next_scripted_event(platform::Event& out) {
  if (g_next >= g_events.size()) return false;
  if (vm::clock_to_ms(vm::clock_now() - g_start) < g_events[g_next].ms) return false;
  out = g_events[g_next++].event;
  return true;
}

}  // namespace host
