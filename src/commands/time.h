// Dates, times and measurement units: what the family registers. The
// measurement type itself is the machine's (vm/measure.h).
#pragma once

#include <cstdint>

#include "vm/value.h"

namespace vm {

struct Interp;

// Registers the accessors of var_date and var_time. Idempotent; the engine
// start (host/engine.h) calls it.
void time_register();

}  // namespace vm
