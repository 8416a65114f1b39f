// Measurements: sizes given in inches or as a fraction of an extent, which
// commands resolve to pixels against the current drawing target.
//
// A measurement (MEASURE element, type 25) holds a plain number of pixels, a
// length in inches and a fraction of an extent, each with its own presence
// flag. The unit commands (toinches, topoints ...) make them; add and
// subtract combine them; the graphics family tells the machine what they
// resolve against.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "vm/value.h"

namespace vm {

struct Interp;

// The record of a MEASURE element.
struct Measure {
  uint32_t self;          // the element's own handle
  uint32_t has_number;
  double number;          // pixels
  uint32_t has_length;
  double length;          // inches
  uint32_t has_fraction;
  double fraction;        // of the target's extent along the axis
};
// The record is made by clearing bytes (element_create).
static_assert(std::is_trivially_copyable_v<Measure>);

// Registers the display form of measurements. vm_init() calls it.
void measure_register();

// A new measurement with no part present; one reference, the caller's. The
// null handle when memory runs out.
uint32_t measure_new();

// The record of a MEASURE value, or null for any other value.
Measure* measure_of(Value v);

// Measurement arithmetic, used by the binary operators when either operand
// is a measurement: add and subtract combine the parts (each present when
// present in either operand); every other operator gives a measurement with
// no part present. Stores a new measurement (the caller's reference) in `out`.
void measure_arithmetic(Interp& ctx, uint32_t op, Value a, Value b, Value& out);

// What measurements resolve against: the density in dots per inch and the
// size in pixels of the current drawing target along each axis.
struct MeasureTarget {
  double density_x, density_y;
  double width, height;
};

// The drawing target of a context. Until the graphics family sets it, every
// measurement resolves against a 640 x 480 frame at 96 dots per inch.
extern MeasureTarget (*g_measure_target)(Interp&);

enum class Axis { X, Y };

// When `v` is a measurement, stores number + density * length + size *
// fraction along the axis in `pixels` and returns true. Returns false (and
// leaves `pixels` alone) for any other value, which the caller then uses
// as a plain pixel count.
bool measure_to_pixels(Interp& ctx, Value v, Axis axis, double& pixels);

}  // namespace vm
