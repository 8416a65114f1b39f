// The engine clock: a 64-bit count of seconds with 32 fraction bits since
// midnight at the start of 1 January 2000, local time. It is read from the
// local date and time once at start-up and advanced from then on by the
// monotonic clock, or, with a fixed clock, by exactly 1 ms per idle step so
// that timed scripts give the same results on every run.
#pragma once

#include <cstdint>

namespace vm {

// Reads the local date and time; with `fixed` the clock stands still
// except for clock_advance_ms.
void clock_init(bool fixed);
uint64_t clock_now();
extern bool g_clock_fixed;  // set by clock_init
inline bool clock_fixed() { return g_clock_fixed; }
// Moves a fixed clock on (a running clock ignores it).
void clock_advance_ms(uint64_t ms);

constexpr uint64_t ms_to_clock(uint64_t ms) { return (ms << 32) / 1000; }
// Whole and fractional parts apart, so that no product overflows.
constexpr uint64_t clock_to_ms(uint64_t d) { return (d >> 32) * 1000 + (((d & 0xFFFFFFFFu) * 1000) >> 32); }

}  // namespace vm
