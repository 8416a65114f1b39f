#include "host/event_script.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

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

bool scripted_events_left() { return g_next < g_events.size(); }

bool next_scripted_event(platform::Event& out) {
  if (g_next >= g_events.size()) return false;
  if (vm::clock_to_ms(vm::clock_now() - g_start) < g_events[g_next].ms) return false;
  out = g_events[g_next++].event;
  return true;
}

}  // namespace host
