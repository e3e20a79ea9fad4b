// Date-time texts as the operator sees them: the short date, a blank and the
// long time of the system's locale, the time left out at exactly midnight.
#pragma once

#include <string>

#include "base/datetime.h"

namespace vorel {

// strftime patterns of the short date and the long time.
struct LocaleFormats {
  std::string shortDate;
  std::string longTime;
};

// The formats of the current LC_TIME locale (set with setlocale at start).
LocaleFormats SystemLocaleFormats();

// Date, blank, time; only the date when the value is exactly midnight.
// Values that are not a date-time give an empty text.
std::string DateTimeToStr(TDateTime value, const LocaleFormats& formats);

// The time-of-day part in the long time format (a duration of 25 hours shows
// as one hour).
std::string TimeToStr(TDateTime value, const LocaleFormats& formats);

}  // namespace vorel
