#include "vm/measure.h"

#include <algorithm>
#include <cstdio>

#include "vm/convert.h"
#include "vm/element.h"
#include "vm/opcodes.h"

namespace vm {

MeasureTarget (*g_measure_target)(Interp&) = nullptr;

namespace {

// A number with at most two decimals and no trailing zeros ("1.5", "2", "-0.25").
std::string two_decimals(double x) {
  char buf[400];
  int len = std::snprintf(buf, sizeof buf, "%.2f", x);
  std::string s(buf, size_t(std::clamp(len, 0, int(sizeof buf) - 1)));
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s.erase(0, 1);
  return s;
}

// Display form: the plain number, the inches followed by "in", the
// percentage followed by "pct"; each only when present and not 0, a "+"
// before a positive part that follows another.
// Note: a measurement with no part to show displays as "0".
void measure_display(Interp*, uint32_t, void* payload, std::string& out) {
  const auto* m = static_cast<const Measure*>(payload);
  std::string s;
  auto part = [&](bool present, double x, const char* unit) {
    if (!present || x == 0) return;
    if (!s.empty() && x > 0) s += '+';
    s += two_decimals(x);
    s += unit;
  };
  part(m->has_number, m->number, "");
  part(m->has_length, m->length, "in");
  part(m->has_fraction, m->fraction * 100, "pct");
  out += s.empty() ? "0" : s;
}

// An operand of measurement arithmetic: a measurement's parts, or any other
// value as a plain number (its float conversion).
Measure operand(Interp& ctx, Value v) {
  if (const Measure* m = measure_of(v)) return *m;
  Measure m{};
  m.has_number = 1;
  m.number = value_to_float(&ctx, v);
  return m;
}

}  // namespace

void measure_arithmetic(Interp& ctx, uint32_t op, Value a, Value b, Value& out) {
  Measure x = operand(ctx, a), y = operand(ctx, b);
  uint32_t h = measure_new();
  out = Value::from_handle(h);
  Measure* r = measure_of(out);
  if (!r || (op != OP_ADD && op != OP_SUBTRACT)) return;
  double sign = op == OP_ADD ? 1.0 : -1.0;
  r->has_number = x.has_number | y.has_number;
  r->number = x.number + sign * y.number;
  r->has_length = x.has_length | y.has_length;
  r->length = x.length + sign * y.length;
  r->has_fraction = x.has_fraction | y.has_fraction;
  r->fraction = x.fraction + sign * y.fraction;
}

void measure_register() { element_set_conversions(kTypeMeasure, {nullptr, measure_display, nullptr}); }

Measure* measure_of(Value v) { return static_cast<Measure*>(element_lookup(v, kTypeMeasure)); }

uint32_t measure_new() {
  uint32_t h = element_create(nullptr, sizeof(Measure), kTypeMeasure);
  if (auto* m = static_cast<Measure*>(element_lookup(h, kTypeMeasure))) m->self = h;
  return h;
}

bool measure_to_pixels(Interp& ctx, Value v, Axis axis, double& pixels) {
  const Measure* m = measure_of(v);
  if (!m) return false;
  MeasureTarget t = g_measure_target ? g_measure_target(ctx) : MeasureTarget{96, 96, 640, 480};
  bool x = axis == Axis::X;
  pixels = (m->has_number ? m->number : 0) + (m->has_length ? (x ? t.density_x : t.density_y) * m->length : 0) +
           (m->has_fraction ? (x ? t.width : t.height) * m->fraction : 0);
  return true;
}

}  // namespace vm
