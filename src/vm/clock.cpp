#include "vm/clock.h"

#include <chrono>
#include <ctime>

namespace vm {

bool g_clock_fixed = false;

namespace {

using Steady = std::chrono::steady_clock;

uint64_t g_base = 0;  // the clock at g_start
Steady::time_point g_start;
uint64_t g_fixed_ms = 0;  // milliseconds a fixed clock has moved on

// Seconds from 1 January 2000 to the local date and time now.
uint64_t local_seconds_since_2000() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::tm epoch{};
  epoch.tm_year = 100;
  epoch.tm_mday = 1;
  // Both read as UTC so that the difference is the local wall-clock one.
  int64_t s = int64_t(timegm(&local)) - int64_t(timegm(&epoch));
  return s > 0 ? uint64_t(s) : 0;
}

}  // namespace

void clock_init(bool fixed) {
  g_clock_fixed = fixed;
  g_base = local_seconds_since_2000() << 32;
  g_fixed_ms = 0;
  g_start = Steady::now();
}

uint64_t clock_now() {
  if (g_clock_fixed) return g_base + ms_to_clock(g_fixed_ms);
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - g_start).count();
  uint64_t n = uint64_t(ns);
  // Nanoseconds to 32.32 seconds without overflow.
  return g_base + ((n / 1000000000u) << 32) + (((n % 1000000000u) << 32) / 1000000000u);
}


void clock_advance_ms(uint64_t ms) {
  if (g_clock_fixed) g_fixed_ms += ms;
}

}  // namespace vm
