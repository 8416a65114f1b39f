// Dates, times of day and measurement units.
#include <ctime>
#include <initializer_list>
#include <vector>

#include "commands/time.h"
#include "vm/commands.h"
#include "vm/measure.h"
#include "vm/operators.h"
#include "vm_fixture.h"

using namespace vm;

class Dates : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    time_register();
  }

  static Value I(int64_t x) { return Value::from_int(x); }

  // Calls a command with its arguments in script order; its results stay
  // on the stack (the first on top).
  void call(CommandHandler h, std::initializer_list<Value> args) {
    open_frame(*ctx);
    std::vector<Value> list(args);
    for (auto it = list.rbegin(); it != list.rend(); ++it) push(*ctx, *it);
    h(*ctx);
  }
  int64_t one(CommandHandler h, int64_t x) {
    call(h, {I(x)});
    int64_t r = int_at(0);
    pop(*ctx);
    return r;
  }
  int64_t days(int64_t date) { return one(h_timedatetodays, date); }
  int64_t date(int64_t day) { return one(h_timedaystodate, day); }
  double pixels(Value v, Axis axis = Axis::X) {
    double px = -1;
    EXPECT_TRUE(measure_to_pixels(*ctx, v, axis, px));
    return px;
  }
};

TEST_F(Dates, DayNumbersAndClamping) {
  EXPECT_EQ(days(10101), 365);  // 1 January of year 1
  EXPECT_EQ(date(days(20000229)), 20000229);
  EXPECT_EQ(days(19000229), days(19000228));  // 1900 is no leap year
  EXPECT_EQ(date(days(19000229)), 19000228);
  EXPECT_EQ(days(20041300), days(20041201));  // month 13 reads as 12, day 0 as 1
  EXPECT_EQ(days(20040015), days(20040115));
  EXPECT_EQ(days(20040231), days(20040229));
  for (int64_t d : {19991231, 20000101, 21000228, 21000301, 20000301, 16000229, 17000301, 10101})
    EXPECT_EQ(date(days(d)), d) << d;
  EXPECT_EQ(days(20000301) - days(20000228), 2);
  EXPECT_EQ(days(21000301) - days(21000228), 1);
  // Element-wise: each argument becomes its day number, in place.
  run("TAIL 20050101 20040101 timedatetodays CALL");
  ASSERT_EQ(depth(), 2u);
  EXPECT_EQ(int_at(1) - int_at(0), 366);
}

TEST_F(Dates, EveryDayFromYearOneIsAnExactInverse) {
  // Walks the calendar independently, 20000 days per call, over 2400 years.
  std::vector<int64_t> expect;
  int64_t y = 1, m = 1, d = 1;
  auto month_days = [](int64_t year, int64_t month) {
    static const int k[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : k[month - 1];
  };
  int64_t first = 365;
  while (y <= 2401) {
    expect.clear();
    for (int k = 0; k < 20000 && y <= 2401; k++) {
      expect.push_back(y * 10000 + m * 100 + d);
      if (++d > month_days(y, m)) {
        d = 1;
        if (++m > 12) m = 1, y++;
      }
    }
    uint32_t count = uint32_t(expect.size());
    open_frame(*ctx);
    for (uint32_t k = count; k-- > 0;) push_int(*ctx, first + k);
    h_timedaystodate(*ctx);
    ASSERT_EQ(depth(), count);
    for (uint32_t k = 0; k < count; k++) ASSERT_EQ(int_at(k), expect[k]) << first + k;
    pop_n(*ctx, count);
    open_frame(*ctx);
    for (uint32_t k = count; k-- > 0;) push_int(*ctx, expect[k]);
    h_timedatetodays(*ctx);
    for (uint32_t k = 0; k < count; k++) ASSERT_EQ(int_at(k), first + k) << expect[k];
    pop_n(*ctx, count);
    first += int64_t(expect.size());
  }
}

TEST_F(Dates, OutOfRangeDaysAndDates) {
  EXPECT_EQ(date(-5), 101);  // below the range: day 0, 1 January of year 0
  EXPECT_EQ(days(-20000101), 0);
  EXPECT_EQ(date(364), 1230);
  int64_t last = date(kIntMax);  // the largest date that fits a cell
  EXPECT_EQ(last % 10000, 1231);
  EXPECT_EQ(date(days(last)), last);
}

TEST_F(Dates, TimesOfDay) {
  EXPECT_EQ(one(h_timetoseconds, 235959), 86399);
  EXPECT_EQ(one(h_timefromseconds, 86399), 235959);
  EXPECT_EQ(one(h_timefromseconds, 90061), 250101);  // hours are not reduced
  EXPECT_EQ(one(h_timefromseconds, -61), -101);
  auto diff = [&](std::initializer_list<Value> args) {
    call(h_timedifference, args);
    EXPECT_EQ(depth(), 1u);
    int64_t r = int_at(0);
    pop(*ctx);
    return r;
  };
  EXPECT_EQ(diff({I(235900), I(100)}), 120);  // across midnight
  EXPECT_EQ(diff({I(100), I(235900)}), -120);
  EXPECT_EQ(diff({I(0), I(120000)}), 43200);
  EXPECT_EQ(diff({I(0), I(120001)}), -43199);
  EXPECT_EQ(diff({I(120001), I(0)}), 43199);
  EXPECT_EQ(diff({I(0), I(480001)}), 1);  // whole days removed
  EXPECT_EQ(diff({I(10000), I(20000), I(7)}), 3600);  // further arguments are removed
}

TEST_F(Dates, ClockVariablesAreLocalDateAndTime) {
  for (int attempt = 0; attempt < 3; attempt++) {
    std::time_t before = std::time(nullptr);
    run("TAIL var_date CALL  TAIL var_time CALL");
    std::time_t after = std::time(nullptr);
    if (before != after) continue;
    std::tm tm{};
    localtime_r(&before, &tm);
    EXPECT_EQ(int_at(1), (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday);
    EXPECT_EQ(int_at(0), tm.tm_hour * 10000 + tm.tm_min * 100 + tm.tm_sec);
    return;
  }
  FAIL() << "the clock kept moving";
}

TEST_F(Dates, UnitCommandsMakeMeasurements) {
  call(h_toinches, {I(1), Value::from_double(0.5)});
  ASSERT_EQ(depth(), 2u);
  EXPECT_EQ(element_type_of(cell(0)), kTypeMeasure);
  EXPECT_EQ(pixels(cell(0)), 96.0);
  EXPECT_EQ(pixels(cell(1)), 48.0);
  EXPECT_EQ(text_at(0), "1in");
  pop_n(*ctx, 2);
  call(h_topoints, {I(72)});
  EXPECT_NEAR(pixels(cell(0)), 96.0, 1e-9);
  call(h_topicas, {I(6)});
  EXPECT_NEAR(pixels(cell(0)), 96.0, 1e-9);
  call(h_tocentimeters, {Value::from_double(2.54)});
  EXPECT_NEAR(pixels(cell(0)), 96.0, 1e-4);
  call(h_tomillimeters, {Value::from_double(25.4)});
  EXPECT_NEAR(pixels(cell(0)), 96.0, 1e-4);
  call(h_topercentage, {I(50)});
  EXPECT_EQ(pixels(cell(0)), 320.0);
  EXPECT_EQ(pixels(cell(0), Axis::Y), 240.0);
  EXPECT_EQ(text_at(0), "50pct");
  double px = 7;
  EXPECT_FALSE(measure_to_pixels(*ctx, I(12), Axis::X, px));  // a plain number is the caller's
  EXPECT_EQ(px, 7);
  // Measurements are freed with their last reference.
  uint32_t live = g_elements.live;
  pop_n(*ctx, depth());
  EXPECT_EQ(g_elements.live, live - 5);
}

TEST_F(Dates, MeasurementArithmeticAndDisplay) {
  run("TAIL  TAIL 50 topercentage CALL  10 ADD");
  ASSERT_EQ(depth(), 1u);
  EXPECT_EQ(pixels(cell(0)), 330.0);
  EXPECT_EQ(text_at(0), "10+50pct");
  run("TAIL  10  TAIL 1 toinches CALL  SUBTRACT");
  EXPECT_EQ(pixels(cell(0)), 10.0 - 96.0);
  EXPECT_EQ(text_at(0), "10-1in");
  run("TAIL  TAIL 2 toinches CALL  TAIL 1 toinches CALL  SUBTRACT");
  EXPECT_EQ(text_at(0), "1in");
  run("TAIL  TAIL 1 toinches CALL  TAIL 1 toinches CALL  SUBTRACT");
  EXPECT_EQ(text_at(0), "0");  // nothing left to show
  EXPECT_EQ(pixels(cell(0)), 0.0);
  run("TAIL  TAIL 1 toinches CALL  3 MULTIPLY");  // other operators: no part present
  EXPECT_EQ(element_type_of(cell(0)), kTypeMeasure);
  EXPECT_EQ(text_at(0), "0");
  run("TAIL  TAIL 1.25 toinches CALL  TAIL 1 topercentage CALL  0.5 ADD");
  EXPECT_EQ(text_at(0), "0.5+1.25in+1pct");
  run("TAIL  TAIL 33 topercentage CALL  str CALL");  // the text form is the display form
  EXPECT_EQ(element_type_of(cell(0)), kTypeString);
  EXPECT_EQ(text_at(0), "33pct");
  call(h_tocentimeters, {Value::from_double(1.0)});
  EXPECT_EQ(text_at(0), "0.39in");  // at most two decimals
}

TEST_F(Dates, MeasurementsResolveAgainstTheDrawingTarget) {
  g_measure_target = [](Interp&) { return MeasureTarget{300, 150, 1000, 200}; };
  run("TAIL  TAIL 2 toinches CALL  TAIL 10 topercentage CALL  ADD");
  EXPECT_EQ(pixels(cell(0), Axis::X), 600.0 + 100.0);
  EXPECT_EQ(pixels(cell(0), Axis::Y), 300.0 + 20.0);
  g_measure_target = nullptr;
}
