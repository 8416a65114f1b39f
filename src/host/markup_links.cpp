// The links of HTML text as hotspots: the text family lays the link out and
// reports its rectangle; here it becomes `hotspot name position x1 y1 x2 y2
// label action`.
//
// The action of an href starting with "http:" or "ftp:" is the call
// netopenwebpage with the address. Any other href is script words separated
// by blanks or commas: the first names the label called (lower-cased), the
// others are its arguments; a word followed by ":(" is a nested call whose
// arguments run to the matching ")" (it is passed as a call value: an array
// labelled with its name), and a word in double or single quotes may hold
// blanks and commas.
#include <string>
#include <string_view>
#include <vector>

#include "host/hotspots.h"
#include "text/markup.h"
#include "vm/commands.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace host {

namespace {

using vm::Value;

constexpr int kMaxCallDepth = 16;

Value text_value(std::string_view s) { return Value::from_handle(vm::text_intern(s)); }

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(uint8_t(c)));
  return out;
}

// A call: an array labelled `label` holding the arguments (owned values,
// released here).
Value call_of(std::string_view label, std::vector<Value>& args) {
  Value cell = Value::from_handle(vm::array_new());
  if (vm::ArrayRecord* a = vm::array_of(cell)) vm::value_store(a->label, text_value(lowered(label)));
  for (Value v : args) {
    vm::array_append(cell, v);
    vm::value_release(v);
  }
  args.clear();
  return cell;
}

struct HrefParser {
  std::string_view s;
  size_t i = 0;

  void skip_separators() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',' || s[i] == '\r' || s[i] == '\n')) i++;
  }

  // The next word, a nested call or null at the end (or at a ")" that
  // closes the call being read).
  Value next(int depth) {
    skip_separators();
    if (i >= s.size() || s[i] == ')') return Value::null();
    if (s[i] == '"' || s[i] == '\'') {
      size_t close = s.find(s[i], i + 1);
      if (close == std::string_view::npos) close = s.size();
      Value v = text_value(s.substr(i + 1, close - i - 1));
      i = std::min(close + 1, s.size());
      return v;
    }
    size_t b = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != ',' && s[i] != ')' && s[i] != '\r' && s[i] != '\n' &&
           !(s[i] == ':' && i + 1 < s.size() && s[i + 1] == '('))
      i++;
    std::string_view word = s.substr(b, i - b);
    if (i < s.size() && s[i] == ':' && depth < kMaxCallDepth) {
      i += 2;  // ":("
      std::vector<Value> args;
      while (true) {
        Value v = next(depth + 1);
        if (v.is_null()) break;
        args.push_back(v);
      }
      if (i < s.size() && s[i] == ')') i++;
      return call_of(word, args);
    }
    if (word.empty()) {  // a ":(" past the depth limit: shown as it is
      word = s.substr(i, 2);
      i += word.size();
    }
    return text_value(word);
  }
};

// The action of a link: a label name (text) or a call (array); owned.
Value action_of(std::string_view href) {
  std::string head = lowered(href.substr(0, 5));
  if (head.starts_with("http:") || head.starts_with("ftp:")) {
    std::vector<Value> args{text_value(href)};
    return call_of("netopenwebpage", args);
  }
  HrefParser p{href};
  Value first = p.next(0);
  if (first.is_null()) return Value::null();
  std::vector<Value> args;
  while (p.i < href.size()) {
    Value v = p.next(0);
    if (v.is_null()) {
      p.i++;  // a stray ")"
      continue;
    }
    args.push_back(v);
  }
  if (args.empty() && vm::is_text(first)) {
    Value label = text_value(lowered(vm::element_text(first)));
    vm::value_release(first);
    return label;
  }
  if (vm::is_text(first)) {
    Value call = call_of(vm::element_text(first), args);
    vm::value_release(first);
    return call;
  }
  // A nested call first: its own arguments, then the words after it.
  if (vm::array_of(first))
    for (Value v : args) vm::array_append(first, v);
  for (Value v : args) vm::value_release(v);
  return first;
}

void make_link(vm::Interp& ctx, const std::string& name, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
               std::string_view href) {
  Value action = action_of(href);
  if (action.is_null()) return;
  // hotspot name position x1 y1 x2 y2 label action, the first argument on top.
  vm::open_frame(ctx);
  vm::push_owned(ctx, action);
  vm::push_owned(ctx, text_value("label"));
  vm::push_int(ctx, y2);
  vm::push_int(ctx, x2);
  vm::push_int(ctx, y1);
  vm::push_int(ctx, x1);
  vm::push_owned(ctx, text_value("position"));
  vm::push_owned(ctx, text_value(name));
  vm::h_hotspot(ctx);
}

}  // namespace

void markup_links_register() { text::set_markup_hooks({make_link}); }

}  // namespace host
