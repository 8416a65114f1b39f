#include "vm/convert.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace vm {
namespace {

ElementConversions g_conv[kElementTypeCount];

constexpr size_t kTextLimit = 511;  // value_to_text keeps at most this many bytes

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Skips blanks and one "-"; returns the position of the digits.
size_t parse_prefix(std::string_view s, bool& negative) {
  size_t i = 0;
  while (i < s.size() && is_blank(s[i])) i++;
  negative = i < s.size() && s[i] == '-';
  if (negative) i++;
  return i;
}

bool hex_prefix(std::string_view s, size_t i) {
  return s.size() - i >= 3 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X');
}

uint64_t parse_hex(std::string_view s, size_t i) {
  uint64_t n = 0;
  for (i += 2; i < s.size(); i++) {
    int d = hex_digit(s[i]);
    if (d < 0) break;
    n = n * 16 + uint64_t(d);
  }
  return n;
}

int64_t double_to_int64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return INT64_MAX;
  if (d <= -9223372036854775808.0) return INT64_MIN;
  return int64_t(d);  // truncates toward zero
}

void append_int(std::string& out, int64_t i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(i));
  out += buf;
}

void display_into(Interp* ctx, Value v, std::string& out, int depth);

void display_element(Interp* ctx, Value v, std::string& out, int depth) {
  ElementEntry* e = element_entry(v);
  if (!e) {
    out += v.is_null() ? "NULLT" : "0";
    return;
  }
  uint32_t type = e->type;
  void* payload = e->payload;
  if (type < kElementTypeCount && g_conv[type].display) {
    g_conv[type].display(ctx, v.handle(), payload, out);
    return;
  }
  switch (type) {
    case kTypeString:
      out.append(static_cast<const char*>(payload), size_t(e->size));
      return;
    case kTypeArrayPath: {
      const auto* p = static_cast<const ArrayPathRecord*>(payload);
      display_into(ctx, p->base, out, depth + 1);
      for (uint32_t i = 0; i < p->count; i++) {
        out += '[';
        display_into(ctx, p->index[i], out, depth + 1);
        out += ']';
      }
      return;
    }
    case kTypeArray: {
      const auto* a = static_cast<const ArrayRecord*>(payload);
      if (element_type_of(a->label) == kTypeString) {
        out += element_text(a->label);
        out += ':';
      }
      out += '(';
      for (uint32_t i = 0; i < a->count; i++) {
        if (i) out += ',';
        display_into(ctx, a->items[i].value, out, depth + 1);
        if (out.size() > 4096) break;
      }
      out += ')';
      return;
    }
    default:
      append_int(out, value_to_integer(ctx, v));
      return;
  }
}

void display_into(Interp* ctx, Value v, std::string& out, int depth) {
  if (depth > 16) {
    out += "...";
    return;
  }
  if (v.is_int()) {
    append_int(out, v.as_int());
  } else if (v.is_marker()) {
    out += "_TAIL";
  } else if (v.is_float()) {
    out += float_to_text(ctx, v.as_double(), 14);
  } else {
    display_element(ctx, v, out, depth);
  }
}

}  // namespace

void element_set_conversions(uint32_t type, ElementConversions conv) {
  if (type < kElementTypeCount) g_conv[type] = conv;
}

int64_t parse_integer(std::string_view s) {
  bool negative;
  size_t i = parse_prefix(s, negative);
  uint64_t n = 0;
  if (hex_prefix(s, i)) {
    n = parse_hex(s, i);
  } else {
    for (; i < s.size() && is_digit(s[i]); i++) n = n * 10 + uint64_t(s[i] - '0');
  }
  return int64_t(negative ? 0 - n : n);
}

// Note: an exponent suffix scales by the usual power of ten ("1e3" is 1000).
double parse_float(std::string_view s) {
  bool negative;
  size_t i = parse_prefix(s, negative);
  if (hex_prefix(s, i)) {
    double d = double(parse_hex(s, i));
    return negative ? -d : d;
  }
  // A plain decimal of at most 15 significant digits and 22 decimals (how
  // float literals are written) is its digits divided by a power of ten:
  // both are exact doubles, so the one division rounds as strtod does.
  {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    size_t j = i;
    uint64_t digits = 0;
    int decimals = -1;  // -1 before the dot
    bool exact = true;
    for (; j < s.size(); j++) {
      char c = s[j];
      if (is_digit(c)) {
        digits = digits * 10 + uint64_t(c - '0');
        if (decimals >= 0) decimals++;
        if (digits >= 1000000000000000ull || decimals > 22) {
          exact = false;
          break;
        }
      } else if (c == '.' && decimals < 0) {
        decimals = 0;
      } else {
        break;
      }
    }
    if (exact && (j == s.size() || (s[j] != 'e' && s[j] != 'E'))) {
      double d = double(digits) / kPowers[decimals < 0 ? 0 : decimals];
      return negative ? -d : d;
    }
  }
  // Copy the recognised characters and let strtod round them correctly.
  char buf[400];
  size_t n = 0;
  auto put = [&](char c) {
    if (n + 1 < sizeof buf) buf[n++] = c;
  };
  put('0');
  for (; i < s.size() && is_digit(s[i]); i++) put(s[i]);
  if (i < s.size() && s[i] == '.') {
    put('.');
    for (i++; i < s.size() && is_digit(s[i]); i++) put(s[i]);
  }
  if (s.size() - i >= 2 && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    bool eneg = false;
    if (j < s.size() && (s[j] == '-' || s[j] == '+')) eneg = s[j++] == '-';
    if (j < s.size() && is_digit(s[j])) {
      put('e');
      if (eneg) put('-');
      for (; j < s.size() && is_digit(s[j]); j++) put(s[j]);
    }
  }
  buf[n] = 0;
  double d = std::strtod(buf, nullptr);
  return negative ? -d : d;
}

bool looks_like_float(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) i++;
  size_t digits = 0, dots = 0;
  for (; i < s.size() && (is_digit(s[i]) || s[i] == '.'); i++) (s[i] == '.' ? dots : digits)++;
  if (digits == 0 || dots == 0) return false;
  if (i == s.size()) return true;
  if (s[i] == 'e' || s[i] == 'E') {
    size_t j = i + 1;
    if (j < s.size() && s[j] == '-') j++;
    size_t k = j;
    while (k < s.size() && is_digit(s[k]) && k - j < 4) k++;
    size_t n = k - j;
    return n >= 1 && n <= 3 && (k == s.size() || !is_letter(s[k]));
  }
  return !is_letter(s[i]);
}

int64_t value_to_integer(Interp* ctx, Value v) {
  (void)ctx;
  if (v.is_int()) return v.as_int();
  if (v.is_float()) return double_to_int64(v.as_double());
  ElementEntry* e = element_entry(v);
  if (!e) return 0;
  switch (e->type) {
    case kTypeString:
      return parse_integer(std::string_view(static_cast<const char*>(e->payload), size_t(e->size)));
    case kTypeMemBuf:
    case kTypeDll: {
      // The record's first field: the buffer's data address, the library's
      // handle. Note: read whole (pointer-sized), since a 64-bit address cut
      // to 32 bits would name memory the buffer does not own.
      intptr_t first;
      std::memcpy(&first, e->payload, sizeof first);
      return int64_t(first);
    }
    default:
      if (e->type < kElementTypeCount && g_conv[e->type].to_integer)
        return g_conv[e->type].to_integer(v.handle(), e->payload);
      return int64_t(reinterpret_cast<intptr_t>(e->payload));
  }
}

double value_to_float(Interp* ctx, Value v) {
  (void)ctx;
  if (v.is_int()) return double(v.as_int());
  if (v.is_float()) return v.as_double();
  ElementEntry* e = element_entry(v);
  if (!e || e->type != kTypeString) return 0.0;
  return parse_float(std::string_view(static_cast<const char*>(e->payload), size_t(e->size)));
}

std::string value_to_string(Interp* ctx, Value v) {
  Value t = value_to_text(ctx, v);
  std::string s(element_text(t));
  value_release(t);
  return s;
}

bool value_to_switch(Interp* ctx, Value v, bool& on) {
  if (element_type_of(v) != kTypeString) {
    on = value_to_integer(ctx, v) != 0;
    return true;
  }
  std::string_view s = element_text(v);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  auto is = [&](std::string_view word) {
    if (s.size() != word.size()) return false;
    for (size_t i = 0; i < s.size(); i++)
      if (char(std::tolower(uint8_t(s[i]))) != word[i]) return false;
    return true;
  };
  if (is("on") || is("true")) return on = true, true;
  if (is("off") || is("false")) return on = false, true;
  const size_t digit = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (s.size() <= digit || !std::isdigit(uint8_t(s[digit]))) return false;
  on = value_to_integer(ctx, v) != 0;
  return true;
}

bool switch_argument(Interp* ctx, Value v) {
  bool on = false;
  return value_to_switch(ctx, v, on) ? on : value_to_integer(ctx, v) != 0;
}

Value value_to_text(Interp* ctx, Value v) {
  std::string out;
  if (v.is_int()) {
    append_int(out, v.as_int());
  } else if (v.is_float()) {
    out = float_to_text(ctx, v.as_double(), 14);
  } else if (v.is_marker()) {
    out = "_TAIL";
  } else {
    ElementEntry* e = element_entry(v);
    if (!e) return v.is_null() ? Value::null() : Value::from_handle(text_intern("0"));
    switch (e->type) {
      case kTypeString:
        if (e->size <= int32_t(kTextLimit)) {
          value_ref(v);
          return v;
        }
        return Value::from_handle(text_intern(element_text(v).substr(0, kTextLimit)));
      case kTypeArrayPath:
      case kTypeTimer:
      case kTypeMeasure:
        display_into(ctx, v, out, 0);
        if (out.size() > kTextLimit) out.resize(kTextLimit);
        break;
      default:
        append_int(out, value_to_integer(ctx, v));
        break;
    }
  }
  return Value::from_handle(text_intern(out));
}

Value value_from_float(Interp* ctx, double d) {
  if (ctx) {
    // The cell is read directly when it holds an integer: every float
    // result passes here.
    Value round = ctx->sysvars[SV_var_floatround];
    int64_t n = round.is_int() ? round.as_int() : sysvar_int(*ctx, SV_var_floatround);
    if (n != 0 && std::isfinite(d)) {
      double scale = std::pow(10.0, double(n));
      double y = d * scale;
      y = y >= 0 ? std::floor(y + 0.5) : std::ceil(y - 0.5);
      double r = y / scale;
      if (std::isfinite(r)) d = r;
    }
  }
  return Value::from_double(d);
}

size_t value_display(Interp* ctx, Value v, char* buffer, size_t limit) {
  if (limit == 0) return 0;
  std::string out;
  display_into(ctx, v, out, 0);
  size_t n = out.size() < limit - 1 ? out.size() : limit - 1;
  std::memcpy(buffer, out.data(), n);
  buffer[n] = 0;
  return n;
}

std::string value_display(Interp* ctx, Value v) {
  std::string out;
  display_into(ctx, v, out, 0);
  return out;
}

std::string float_to_text(Interp* ctx, double x, int digits) {
  std::string out;
  if (std::isnan(x)) x = 0;
  if (x < 0) {
    out += '-';
    x = -x;
  }
  double ipart = std::floor(x);
  double frac = x - ipart;
  if (frac > 0.9999999999) {
    ipart += 1;
    frac = 0;
  }
  // Note: every integer digit is written, also beyond 14 digits.
  char ibuf[400];
  std::snprintf(ibuf, sizeof ibuf, "%.0f", ipart);
  out += ibuf;
  int n = int(std::strlen(ibuf));
  if (ctx) {
    digits = int(sysvar_int(*ctx, SV_var_floatdigits));
  } else if (digits < 0 && frac != 0) {
    digits = -digits;
  }
  // The nudge of 10^(n-16) absorbs binary representation error. Note: with
  // a fixed digit count it is capped at half a unit of the last digit, so
  // that large integers do not print a stray fraction (12345678901234.01).
  double nudge = std::pow(10.0, double((n < 14 ? n : 14) - 16));
  if (digits >= 0) nudge = std::min(nudge, 0.5 * std::pow(10.0, -double(digits)));
  double t = frac + nudge;
  bool european = ctx && sysvar_int(*ctx, SV_var_floateuropean) != 0;
  if (ctx || t != 0) out += european ? ',' : '.';
  auto next_digit = [&]() {
    t *= 10;
    double d = std::trunc(t);
    if (d > 9) d = 9;
    t -= d;
    out += char('0' + int(d));
  };
  if (digits >= 0) {
    for (int k = 0; k < digits && k < 400; k++) next_digit();
  } else {
    int base = (n < 14 ? n : 14) - 16;
    for (int k = 1; k <= 14 && std::pow(10.0, double(base + k)) < t; k++) next_digit();
  }
  return out;
}

std::string element_description(Interp* ctx, uint32_t handle) {
  std::string out;
  ElementEntry* e = element_entry(handle);
  if (!e) return out;
  uint32_t type = e->type;
  switch (type) {
    case kTypeString:
    case kTypeArray:
    case kTypeArrayPath:
    case kTypeImageBits:
    case kTypeMeasure:
    case kTypeInputField:
    case kTypeFade:
    case kTypeSound:
      display_into(ctx, Value::from_handle(handle), out, 0);
      break;
    default: {
      out = element_type_name(type);
      out += ' ';
      if (type < kElementTypeCount && g_conv[type].describe) {
        g_conv[type].describe(handle, e->payload, out);
      } else {
        display_into(ctx, Value::from_handle(handle), out, 0);
      }
    }
  }
  if (out.size() > 255) out.resize(255);
  return out;
}

}  // namespace vm
