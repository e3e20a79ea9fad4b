// The driver's date-time value, as its servers and spool files carry it: a
// double counting days since
// 1899-12-30 00:00 local time, the fraction being the time of day. Event
// records, spool names, the clock frame and every displayed time use it.
#pragma once

#include <cstdint>
#include <optional>

namespace vorel {

using TDateTime = double;

inline constexpr std::int64_t kMsecsPerDay = 86'400'000;
inline constexpr TDateTime kOneDay = 1.0;

struct DateTimeFields {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int dayOfWeek = 0;  // 0 = Sunday .. 6 = Saturday; filled by decoding only
};

// Exact encodings. Dates run from 0001-01-01 to 9999-12-31; invalid fields
// give nullopt.
std::optional<TDateTime> EncodeDate(int year, int month, int day);
std::optional<TDateTime> EncodeTime(int hour, int minute, int second, int millisecond);
std::optional<TDateTime> EncodeDateTime(const DateTimeFields& f);

// Rounds to the nearest millisecond, then splits into calendar fields. For
// values before 1899-12-30 the date counts back whole days and the time of day
// is the absolute fraction: that is how such stored values are read.
// nullopt for NaN, infinities and values outside years 1..9999.
std::optional<DateTimeFields> DecodeDateTime(TDateTime value);

// Whole milliseconds of a duration or of the time-of-day part, rounded.
std::optional<std::int64_t> RoundToMsecs(TDateTime value);

}  // namespace vorel
