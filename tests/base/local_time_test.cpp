#include "base/local_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <time.h>
#include <optional>
#include <string>

#include "base/clock.h"
#include "support/scoped_time_zone.h"

namespace vorel {
namespace {

using test::ScopedTimeZone;


// Central European time, from the zone files and from a rule string that
// needs no files; both change on the last Sundays of March and October.
class CentralEuropeanTime : public testing::TestWithParam<const char*> {
 protected:
  ScopedTimeZone zone_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Zones, CentralEuropeanTime,
                         testing::Values("Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3"),
                         [](const auto& info) { return info.index == 0 ? "ZoneFile" : "RuleString"; });

// 2026: summer time from 2026-03-29 01:00 UTC, back to winter time at 2026-10-25 01:00 UTC.
constexpr UnixMsecs kSpringChange = 1'774'746'000'000;
constexpr UnixMsecs kAutumnChange = 1'792'890'000'000;
constexpr UnixMsecs kHour = 3'600'000;

struct LocalCase {
  UnixMsecs instant;
  int y, mo, d, h, mi, s, ms;
};

TEST_P(CentralEuropeanTime, InstantsMapToLocalFields) {
  const LocalCase cases[] = {
      {kSpringChange - 1, 2026, 3, 29, 1, 59, 59, 999},
      {kSpringChange, 2026, 3, 29, 3, 0, 0, 0},
      {kAutumnChange - kHour / 2, 2026, 10, 25, 2, 30, 0, 0},  // first pass through 02:30
      {kAutumnChange - 1, 2026, 10, 25, 2, 59, 59, 999},
      {kAutumnChange, 2026, 10, 25, 2, 0, 0, 0},
      {kAutumnChange + kHour / 2, 2026, 10, 25, 2, 30, 0, 0},  // second pass
      {1'782'907'200'000, 2026, 7, 1, 14, 0, 0, 0},
      {0, 1970, 1, 1, 1, 0, 0, 0},
      {-1, 1970, 1, 1, 0, 59, 59, 999},
      {-315'619'199'750, 1960, 1, 1, 1, 0, 0, 250},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.instant);
    const auto local = LocalDateTimeFromUnix(c.instant);
    ASSERT_TRUE(local.has_value());
    const auto f = DecodeDateTime(*local);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(c.y, f->year);
    EXPECT_EQ(c.mo, f->month);
    EXPECT_EQ(c.d, f->day);
    EXPECT_EQ(c.h, f->hour);
    EXPECT_EQ(c.mi, f->minute);
    EXPECT_EQ(c.s, f->second);
    EXPECT_EQ(c.ms, f->millisecond);
  }
}

// Local time and back gives the same instant, to the millisecond, except in
// the hour the autumn change repeats, where the earlier pass is taken.
TEST_P(CentralEuropeanTime, RoundTripAcrossTheChanges) {
  for (const UnixMsecs change : {kSpringChange, kAutumnChange}) {
    for (UnixMsecs x = change - 2 * kHour; x <= change + 2 * kHour; x += 59'999) {
      for (const UnixMsecs instant : {x, x + 1}) {
        const auto local = LocalDateTimeFromUnix(instant);
        ASSERT_TRUE(local.has_value()) << instant;
        const bool secondPass = change == kAutumnChange && instant >= change && instant < change + kHour;
        ASSERT_EQ(secondPass ? instant - kHour : instant, UnixFromLocalDateTime(*local))
            << "instant " << instant << " relative to the change: " << instant - change;
      }
    }
  }
}

TEST_P(CentralEuropeanTime, SkippedSpringHourStillGivesAnInstant) {
  const auto local = EncodeDateTime({2026, 3, 29, 2, 30, 0, 0});
  ASSERT_TRUE(local.has_value());
  const auto instant = UnixFromLocalDateTime(*local);
  ASSERT_TRUE(instant.has_value());
  // 02:30 does not exist that night; either neighbouring reading is sound.
  EXPECT_TRUE(*instant == kSpringChange - kHour / 2 || *instant == kSpringChange + kHour / 2) << *instant;
}

TEST(LocalTime, UtcEpochAndRange) {
  ScopedTimeZone utc("UTC0");
  EXPECT_EQ(std::optional<TDateTime>(25569.0), LocalDateTimeFromUnix(0));
  EXPECT_EQ(std::optional<UnixMsecs>(0), UnixFromLocalDateTime(25569.0));
  EXPECT_EQ(std::optional<UnixMsecs>(-2'209'161'600'000 - 18 * kHour), UnixFromLocalDateTime(-1.25));
  EXPECT_EQ(std::optional<UnixMsecs>(-62'135'596'800'000), UnixFromLocalDateTime(-693593.0));  // 0001-01-01
  const UnixMsecs year10000 = 253'402'300'800'000;  // 10000-01-01 00:00 UTC
  EXPECT_EQ(std::optional<UnixMsecs>(year10000 - 1), UnixFromLocalDateTime(*LocalDateTimeFromUnix(year10000 - 1)));
  EXPECT_FALSE(LocalDateTimeFromUnix(year10000).has_value());
  EXPECT_FALSE(UnixFromLocalDateTime(std::nan("")).has_value());
}

UnixMsecs RealtimeMsecs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<UnixMsecs>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

TEST(SystemClock, NowIsTheLocalTimeOfTheMachineClock) {
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const auto before = LocalDateTimeFromUnix(RealtimeMsecs());
  const TDateTime now = SystemClock().Now();
  const auto after = LocalDateTimeFromUnix(RealtimeMsecs());
  ASSERT_TRUE(before && after);
  EXPECT_LE(*before, now);
  EXPECT_LE(now, *after);
}

}  // namespace
}  // namespace vorel
