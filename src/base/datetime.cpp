#include "base/datetime.h"

#include <cmath>

namespace vorel {
namespace {

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days from 0001-01-01 (day 1) to 1899-12-30: the offset of the date-time epoch.
constexpr std::int64_t kDateDelta = 693594;

// Day number counted from 0001-01-01 = 1.
std::int64_t DayNumber(int y, int m, int d) {
  std::int64_t days = d;
  for (int i = 1; i < m; ++i) days += DaysInMonth(y, i);
  const std::int64_t py = y - 1;
  return days + py * 365 + py / 4 - py / 100 + py / 400;
}

constexpr std::int64_t kMinDays = 1;        // 0001-01-01
constexpr std::int64_t kMaxDays = 3652059;  // 9999-12-31

}  // namespace

std::optional<TDateTime> EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return std::nullopt;
  return static_cast<TDateTime>(DayNumber(year, month, day) - kDateDelta);
}

std::optional<TDateTime> EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999)
    return std::nullopt;
  const std::int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
  return static_cast<TDateTime>(ms) / static_cast<TDateTime>(kMsecsPerDay);
}

std::optional<TDateTime> EncodeDateTime(const DateTimeFields& f) {
  const auto date = EncodeDate(f.year, f.month, f.day);
  const auto time = EncodeTime(f.hour, f.minute, f.second, f.millisecond);
  if (!date || !time) return std::nullopt;
  // Before the epoch the time of day is added away from zero.
  return *date >= 0 ? *date + *time : *date - *time;
}

std::optional<std::int64_t> RoundToMsecs(TDateTime value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double ms = std::round(value * static_cast<double>(kMsecsPerDay));
  if (std::fabs(ms) > static_cast<double>(kMaxDays + kDateDelta) * kMsecsPerDay)
    return std::nullopt;
  return static_cast<std::int64_t>(ms);
}

std::optional<DateTimeFields> DecodeDateTime(TDateTime value) {
  const auto total = RoundToMsecs(value);
  if (!total) return std::nullopt;
  const std::int64_t dayNumber = *total / kMsecsPerDay + kDateDelta;  // truncates toward zero
  std::int64_t msOfDay = *total % kMsecsPerDay;
  if (msOfDay < 0) msOfDay = -msOfDay;
  if (dayNumber < kMinDays || dayNumber > kMaxDays) return std::nullopt;

  DateTimeFields f;
  // Years of 400, 100, 4 and 1 year from day 1 (0001-01-01).
  std::int64_t d = dayNumber - 1;
  int year = 1;
  year += static_cast<int>(d / 146097) * 400;
  d %= 146097;
  std::int64_t c = d / 36524;
  if (c == 4) c = 3;
  year += static_cast<int>(c) * 100;
  d -= c * 36524;
  year += static_cast<int>(d / 1461) * 4;
  d %= 1461;
  std::int64_t y = d / 365;
  if (y == 4) y = 3;
  year += static_cast<int>(y);
  d -= y * 365;
  int month = 1;
  while (d >= DaysInMonth(year, month)) d -= DaysInMonth(year, month++);
  f.year = year;
  f.month = month;
  f.day = static_cast<int>(d) + 1;
  f.dayOfWeek = static_cast<int>(dayNumber % 7);  // 0001-01-01 was a Monday: day 1 → 1

  f.hour = static_cast<int>(msOfDay / 3'600'000);
  f.minute = static_cast<int>(msOfDay / 60'000 % 60);
  f.second = static_cast<int>(msOfDay / 1000 % 60);
  f.millisecond = static_cast<int>(msOfDay % 1000);
  return f;
}

}  // namespace vorel
