// Dates, times of day and measurement units.
//
// The language has no date type: a date is the integer YYYYMMDD, a time of
// day the integer HHMMSS, and spans are plain counts of days or seconds. A
// day number counts days so that 1 January of year 1 is day 365 and, from
// year 1 on, consecutive dates have consecutive numbers (Gregorian leap years).
//
// Measurements are MEASURE elements made by the unit commands (toinches,
// topoints ...); sizes given as measurements resolve to pixels against the
// current drawing target.
#include "commands/time.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "vm/clock.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/measure.h"
#include "vm/sysvars.h"

namespace vm {

namespace {

// --- dates -------------------------------------------------------------------------------------

constexpr bool is_leap(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr int64_t month_length(int64_t year, int month) {
  constexpr int64_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Date YYYYMMDD to day number. A month of 0 reads as 1 and one above 12 as
// 12; a day of 0 reads as 1 and one past the month's end as its last day.
// Note: dates before year 0 (negative integers) read as 0, 1 January of year 0.
constexpr int64_t date_to_days(int64_t date) {
  if (date < 0) date = 0;
  int64_t year = date / 10000;
  int month = int(std::clamp<int64_t>((date / 100) % 100, 1, 12));
  int64_t day = std::clamp<int64_t>(date % 100, 1, month_length(year, month));
  int64_t p = year > 0 ? year - 1 : 0;
  int64_t leap_days = p / 400 + p / 4 - p / 100;
  int64_t before = 0;
  for (int m = 1; m < month; m++) before += month_length(year, m);
  return day + year * 365 + leap_days + before - 1;
}

// The largest date whose YYYYMMDD form still fits an integer cell.
constexpr int64_t kLastDate = kIntMax / 10000 * 10000 + 1231;
constexpr int64_t kLastDay = date_to_days(kLastDate);

// Day number to date: the exact inverse of date_to_days from year 1 on.
// Whole 400-year cycles (146097 days), centuries (36524 days, the fourth of a
// cycle one more), 4-year blocks (1461 days, the last of a century one less
// unless the century's last year is a leap year) and years are removed from
// the days since 1 January of year 1; the remainder is walked through the
// months of that year.
// Note: day numbers below 365 fall in year 0 (below 0 they read as 0); those
// past the largest representable date read as that date.
constexpr int64_t days_to_date(int64_t n) {
  n = std::clamp<int64_t>(n, 0, kLastDay);
  int64_t year = 0, rest = n;
  if (n >= 365) {
    int64_t z = n - 365;
    int64_t cycles = z / 146097;
    z %= 146097;
    int64_t centuries = std::min<int64_t>(z / 36524, 3);
    z -= centuries * 36524;
    int64_t blocks = z / 1461;
    z %= 1461;
    int64_t years = std::min<int64_t>(z / 365, 3);
    z -= years * 365;
    year = 1 + cycles * 400 + centuries * 100 + blocks * 4 + years;
    rest = z;
  }
  int month = 1;
  while (month < 12 && rest >= month_length(year, month)) rest -= month_length(year, month++);
  return year * 10000 + month * 100 + rest + 1;
}

static_assert(date_to_days(10101) == 365);
static_assert(days_to_date(date_to_days(20000229)) == 20000229);

// --- times of day -------------------------------------------------------------------------------

constexpr int64_t time_to_seconds(int64_t t) {
  return t / 10000 * 3600 + (t / 100) % 100 * 60 + t % 100;
}

// Hours are not reduced modulo 24. The arithmetic wraps (in unsigned form)
// for second counts whose HHMMSS form cannot fit a cell.
constexpr int64_t seconds_to_time(int64_t s) {
  return int64_t(uint64_t(s / 3600) * 10000 + uint64_t((s / 60) % 60 * 100 + s % 60));
}

// Replaces every argument by f(its integer conversion).
template <class F>
void map_integers(Interp& ctx, F f) {
  uint32_t n = close_frame(ctx);
  for (uint32_t i = 0; i < n; i++)
    set_arg_owned(ctx, i, Value::from_int(f(value_to_integer(&ctx, ctx.top[i]))));
}

// The local date (YYYYMMDD) and time of day (HHMMSS) now. A fixed clock
// (--fixed-clock) keeps the dates of a run with its timers and delays: its
// date and time are the start's, moved on as far as the fixed clock moved.
void local_now(int64_t& date, int64_t& time) {
  if (clock_fixed()) {
    const uint64_t s = clock_now() >> 32;  // local seconds since 1 January 2000
    date = days_to_date(date_to_days(20000101) + int64_t(s / 86400));
    time = seconds_to_time(int64_t(s % 86400));
    return;
  }
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  date = int64_t(tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
  time = int64_t(tm.tm_hour) * 10000 + tm.tm_min * 100 + tm.tm_sec;
}

void get_date(Interp& ctx) {
  int64_t date, time;
  local_now(date, time);
  push_int(ctx, date);
}

void get_time(Interp& ctx) {
  int64_t date, time;
  local_now(date, time);
  push_int(ctx, time);
}

// The clock is the system's: setting var_date or var_time changes nothing.
void set_clock(Interp&, Value) {}

// --- measurement units ------------------------------------------------------------------------

// Replaces every argument by a new measurement of x * scale inches, or of
// the fraction x * scale of the extent.
void make_measures(Interp& ctx, double first_scale, double second_scale, bool fraction) {
  uint32_t n = close_frame(ctx);
  for (uint32_t i = 0; i < n; i++) {
    double x = value_to_float(&ctx, ctx.top[i]) * first_scale * second_scale;
    Value v = Value::from_handle(measure_new());
    if (Measure* m = measure_of(v)) {
      if (fraction) {
        m->has_fraction = 1;
        m->fraction = x;
      } else {
        m->has_length = 1;
        m->length = x;
      }
    }
    set_arg_owned(ctx, i, v);
  }
}

constexpr double kInchesPerMeter = 39.370118124291764;

}  // namespace

void time_register() {
  sysvar_register(SV_var_date, {get_date, set_clock});
  sysvar_register(SV_var_time, {get_time, set_clock});
}

// --- commands ------------------------------------------------------------------------------------

void h_timedatetodays(Interp& ctx) { map_integers(ctx, date_to_days); }
void h_timedaystodate(Interp& ctx) { map_integers(ctx, days_to_date); }
void h_timetoseconds(Interp& ctx) { map_integers(ctx, time_to_seconds); }
void h_timefromseconds(Interp& ctx) { map_integers(ctx, seconds_to_time); }

// timedifference t1 t2: seconds(t2) - seconds(t1), brought into -43200..43200
// by whole days, so a span across midnight counts the short way round.
void h_timedifference(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t d = time_to_seconds(value_to_integer(&ctx, arg(ctx, n, 1))) -
              time_to_seconds(value_to_integer(&ctx, arg(ctx, n, 0)));
  if (d < -43200) d += (-43200 - d + 86399) / 86400 * 86400;
  if (d > 43200) d -= (d - 43200 + 86399) / 86400 * 86400;
  pop_n(ctx, n);
  push_int(ctx, d);
}

void h_toinches(Interp& ctx) { make_measures(ctx, 1.0, 1.0, false); }
void h_tocentimeters(Interp& ctx) { make_measures(ctx, kInchesPerMeter, 0.01, false); }
void h_tomillimeters(Interp& ctx) { make_measures(ctx, kInchesPerMeter, 0.001, false); }
void h_topicas(Interp& ctx) { make_measures(ctx, 0.16666666666666666, 1.0, false); }
void h_topoints(Interp& ctx) { make_measures(ctx, 0.013888888888888888, 1.0, false); }
void h_topercentage(Interp& ctx) { make_measures(ctx, 0.01, 1.0, true); }

}  // namespace vm
