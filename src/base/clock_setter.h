// Setting the machine's clock, as the message server may ask the driver to do.
// The request is a local date-time; the system clock runs in UTC, so the
// setter asks the time zone rules which instant shows that local time.
//
// When the environment variable VOREL_CLOCK_FILE names a file, the machine's
// clock is never touched: the requested local date-time is written to that
// file instead, as exactly the 23 characters "YYYY-MM-DD HH:MM:SS.zzz" with no
// line end, replacing what the file held (written aside and renamed, so a
// reader never sees half a value). Tests and demonstrations use this, and
// every test that starts the program sets it. The variable is read at each
// request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/datetime.h"

namespace vorel {

inline constexpr const char* kClockFileVariable = "VOREL_CLOCK_FILE";

class ILocalClockSetter {
 public:
  virtual ~ILocalClockSetter() = default;
  // Sets the clock so that local time reads `local`, to the millisecond.
  // Failures are silent: without the privilege the clock simply stays as it
  // was. A value that names no calendar date-time is ignored.
  virtual void SetLocalDateTime(TDateTime local) = 0;
};

// The machine's clock (or the clock file, see above).
ILocalClockSetter& SystemClockSetter();

// "YYYY-MM-DD HH:MM:SS.zzz" of a local date-time, rounded to the millisecond;
// nullopt for values outside years 1..9999, NaN and infinities.
std::optional<std::string> ClockFileText(TDateTime local);

// The instant the system clock is set to for a local date-time: whole seconds
// since 1970-01-01 00:00 UTC (negative before) and the nanoseconds past them,
// always 0..999'999'999.
struct ClockInstant {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;
  bool operator==(const ClockInstant&) const = default;
};
std::optional<ClockInstant> ClockInstantFor(TDateTime local);

}  // namespace vorel
