// Conversions between the machine's clock (UTC instants) and local date-times.
// Each conversion asks the time zone rules for that very instant, so values on
// either side of a daylight-saving change come out right.
#pragma once

#include <cstdint>
#include <optional>

#include "base/datetime.h"

namespace vorel {

// An instant as milliseconds since 1970-01-01 00:00 UTC.
using UnixMsecs = std::int64_t;

// Local date-time of an instant; nullopt outside years 1..9999.
std::optional<TDateTime> LocalDateTimeFromUnix(UnixMsecs instant);

// The instant at which the local clock shows the given date-time. In the hour
// that a daylight-saving change repeats, the earlier instant is taken.
std::optional<UnixMsecs> UnixFromLocalDateTime(TDateTime local);

}  // namespace vorel
