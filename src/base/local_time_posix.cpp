#include <time.h>

#include "base/local_time.h"

namespace vorel {

std::optional<TDateTime> LocalDateTimeFromUnix(UnixMsecs instant) {
  time_t seconds = static_cast<time_t>(instant / 1000);
  int ms = static_cast<int>(instant % 1000);
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return std::nullopt;
  DateTimeFields f;
  f.year = local.tm_year + 1900;
  f.month = local.tm_mon + 1;
  f.day = local.tm_mday;
  f.hour = local.tm_hour;
  f.minute = local.tm_min;
  f.second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second shows as :59
  f.millisecond = ms;
  return EncodeDateTime(f);
}

std::optional<UnixMsecs> UnixFromLocalDateTime(TDateTime local) {
  const auto f = DecodeDateTime(local);
  if (!f) return std::nullopt;
  tm fields{};
  fields.tm_year = f->year - 1900;
  fields.tm_mon = f->month - 1;
  fields.tm_mday = f->day;
  fields.tm_hour = f->hour;
  fields.tm_min = f->minute;
  fields.tm_sec = f->second;
  // Daylight time first, so that an hour that the change repeats resolves to
  // its first occurrence; keep the reading that reproduces the fields. A time
  // that the change skips matches no reading and is left to mktime to place.
  for (int isdst : {1, 0}) {
    tm probe = fields;
    probe.tm_isdst = isdst;
    const time_t seconds = mktime(&probe);
    const bool same = probe.tm_year == fields.tm_year && probe.tm_mon == fields.tm_mon &&
                      probe.tm_mday == fields.tm_mday && probe.tm_hour == fields.tm_hour &&
                      probe.tm_min == fields.tm_min && probe.tm_sec == fields.tm_sec;
    if (same) return static_cast<UnixMsecs>(seconds) * 1000 + f->millisecond;
  }
  tm probe = fields;
  probe.tm_isdst = -1;
  const time_t seconds = mktime(&probe);
  if (seconds == static_cast<time_t>(-1)) return std::nullopt;
  return static_cast<UnixMsecs>(seconds) * 1000 + f->millisecond;
}

}  // namespace vorel
