#include "base/datetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace vorel {
namespace {

constexpr double kMsec = 1.0 / 86'400'000.0;  // one millisecond in days

DateTimeFields Fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  DateTimeFields f;
  f.year = y, f.month = mo, f.day = d, f.hour = h, f.minute = mi, f.second = s, f.millisecond = ms;
  return f;
}

void ExpectSameFields(const DateTimeFields& want, const DateTimeFields& got) {
  EXPECT_EQ(want.year, got.year);
  EXPECT_EQ(want.month, got.month);
  EXPECT_EQ(want.day, got.day);
  EXPECT_EQ(want.hour, got.hour);
  EXPECT_EQ(want.minute, got.minute);
  EXPECT_EQ(want.second, got.second);
  EXPECT_EQ(want.millisecond, got.millisecond);
}

// Values worked out independently (Python's datetime, counting from 1899-12-30).
struct KnownValue {
  DateTimeFields fields;
  double value;
  int dayOfWeek;  // 0 = Sunday
};

TEST(DateTime, KnownValuesEncodeAndDecode) {
  const KnownValue cases[] = {
      {Fields(1899, 12, 30), 0.0, 6},
      {Fields(1900, 1, 1), 2.0, 1},
      {Fields(1900, 2, 28), 60.0, 3},
      {Fields(1900, 3, 1), 61.0, 4},  // 1900 is not a leap year
      {Fields(2000, 2, 29), 36585.0, 2},
      {Fields(2000, 3, 1), 36586.0, 3},
      {Fields(2024, 2, 29), 45351.0, 4},
      {Fields(1970, 1, 1), 25569.0, 4},
      {Fields(2026, 12, 10, 12), 46366.5, 4},
      {Fields(1899, 12, 29, 6), -1.25, 5},  // before the epoch the time runs away from zero
      {Fields(1, 1, 1), -693593.0, 1},
      {Fields(9999, 12, 31, 23, 59, 59, 999), 2958465.0 + 86'399'999 * kMsec, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.fields.year << '-' << c.fields.month << '-' << c.fields.day);
    const auto value = EncodeDateTime(c.fields);
    ASSERT_TRUE(value.has_value());
    EXPECT_NEAR(c.value, *value, 1e-10);
    const auto decoded = DecodeDateTime(c.value);
    ASSERT_TRUE(decoded.has_value());
    ExpectSameFields(c.fields, *decoded);
    EXPECT_EQ(c.dayOfWeek, decoded->dayOfWeek);
  }
}

TEST(DateTime, InvalidFieldsGiveNothing) {
  const DateTimeFields cases[] = {
      Fields(1900, 2, 29),  Fields(2100, 2, 29),  Fields(2023, 2, 29), Fields(2023, 4, 31),
      Fields(2023, 13, 1),  Fields(2023, 0, 1),   Fields(2023, 1, 0),  Fields(0, 12, 31),
      Fields(10000, 1, 1),  Fields(2023, 1, 1, 24), Fields(2023, 1, 1, 0, 60),
      Fields(2023, 1, 1, 0, 0, 60), Fields(2023, 1, 1, 0, 0, 0, 1000), Fields(2023, 1, 1, 0, 0, 0, -1),
      Fields(2023, 1, 1, -1),
  };
  for (const auto& f : cases) {
    SCOPED_TRACE(testing::Message() << f.year << '-' << f.month << '-' << f.day << ' ' << f.hour << ':'
                                    << f.minute << ':' << f.second << '.' << f.millisecond);
    EXPECT_FALSE(EncodeDateTime(f).has_value());
  }
  EXPECT_TRUE(EncodeDate(2000, 2, 29).has_value());
  EXPECT_TRUE(EncodeDate(1600, 2, 29).has_value());
}

// Every millisecond of the first and last minute of a day, and every second of
// the day, must come back exactly and in order.
TEST(DateTime, RoundTripIsExactToTheMillisecond) {
  const DateTimeFields days[] = {Fields(1, 1, 1),       Fields(1899, 12, 28), Fields(1899, 12, 29),
                                 Fields(1899, 12, 30),  Fields(2026, 12, 10), Fields(9999, 12, 31)};
  for (const auto& day : days) {
    SCOPED_TRACE(testing::Message() << day.year << '-' << day.month << '-' << day.day);
    std::vector<std::int64_t> msOfDay;
    for (std::int64_t ms = 0; ms < 60'000; ++ms) msOfDay.push_back(ms);
    for (std::int64_t s = 60; s < 86'340; ++s) msOfDay.push_back(s * 1000 + s % 1000);
    for (std::int64_t ms = 86'340'000; ms < kMsecsPerDay; ++ms) msOfDay.push_back(ms);

    double previous = std::numeric_limits<double>::quiet_NaN();
    for (const std::int64_t ms : msOfDay) {
      DateTimeFields f = day;
      f.hour = static_cast<int>(ms / 3'600'000);
      f.minute = static_cast<int>(ms / 60'000 % 60);
      f.second = static_cast<int>(ms / 1000 % 60);
      f.millisecond = static_cast<int>(ms % 1000);
      const auto value = EncodeDateTime(f);
      ASSERT_TRUE(value.has_value()) << ms;
      const auto back = DecodeDateTime(*value);
      ASSERT_TRUE(back.has_value()) << ms;
      if (back->hour != f.hour || back->minute != f.minute || back->second != f.second ||
          back->millisecond != f.millisecond || back->day != f.day || back->month != f.month ||
          back->year != f.year) {
        FAIL() << "millisecond " << ms << " of the day came back as " << back->hour << ':' << back->minute
               << ':' << back->second << '.' << back->millisecond;
      }
      // Time runs forward on both sides of the epoch, by its absolute value before it.
      if (!std::isnan(previous)) {
        ASSERT_GT(std::fabs(*value), std::fabs(previous)) << ms;
      }
      previous = *value;
    }
  }
}

TEST(DateTime, DecodingRoundsToTheNearestMillisecond) {
  const double noon = 46366.5;  // 2026-12-10 12:00
  struct Case {
    double value;
    DateTimeFields want;
  } cases[] = {
      {noon + 1000 * kMsec - 0.4 * kMsec, Fields(2026, 12, 10, 12, 0, 1, 0)},
      {noon + 1000 * kMsec - 0.6 * kMsec, Fields(2026, 12, 10, 12, 0, 0, 999)},
      {46367.0 - 0.4 * kMsec, Fields(2026, 12, 11)},  // rounds over midnight into the next day
      {-1.25 - 0.4 * kMsec, Fields(1899, 12, 29, 6)},
      {-2.0 + 0.4 * kMsec, Fields(1899, 12, 28)},  // 1899-12-29 23:59:59.9996 rounds to the 28th's 0:00
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hexfloat << c.value);
    const auto f = DecodeDateTime(c.value);
    ASSERT_TRUE(f.has_value());
    ExpectSameFields(c.want, *f);
  }
}

TEST(DateTime, ValuesThatAreNotDateTimesGiveNothing) {
  const double inf = std::numeric_limits<double>::infinity();
  const double cases[] = {std::nan(""), inf, -inf, 2958466.0, -693594.0, 1e300, -1e300, 2958466.0 - 0.4 * kMsec};
  for (const double v : cases) EXPECT_FALSE(DecodeDateTime(v).has_value()) << v;
  EXPECT_FALSE(RoundToMsecs(std::nan("")).has_value());
  EXPECT_FALSE(RoundToMsecs(inf).has_value());
  EXPECT_FALSE(RoundToMsecs(1e300).has_value());
}

TEST(DateTime, RoundToMsecsOfDurations) {
  const struct {
    double value;
    std::int64_t ms;
  } cases[] = {
      {0.0, 0}, {kMsec, 1}, {0.4 * kMsec, 0}, {0.6 * kMsec, 1}, {25.0 / 24.0, 90'000'000},
      {-0.5, -43'200'000}, {10.0 / 1440.0, 600'000}, {46366.5, 46366LL * 86'400'000 + 43'200'000},
  };
  for (const auto& c : cases) EXPECT_EQ(c.ms, RoundToMsecs(c.value)) << c.value;
}

}  // namespace
}  // namespace vorel
