#include "base/datetime_text.h"

#include <ctime>

namespace vorel {
namespace {

std::string Format(const DateTimeFields& f, const std::string& pattern) {
  if (pattern.empty()) return {};
  std::tm t{};
  t.tm_year = f.year - 1900;
  t.tm_mon = f.month - 1;
  t.tm_mday = f.day;
  t.tm_hour = f.hour;
  t.tm_min = f.minute;
  t.tm_sec = f.second;
  t.tm_wday = f.dayOfWeek;
  t.tm_isdst = -1;
  char buffer[256];
  const std::size_t n = std::strftime(buffer, sizeof buffer, pattern.c_str(), &t);
  return std::string(buffer, n);
}

}  // namespace

std::string DateTimeToStr(TDateTime value, const LocaleFormats& formats) {
  const auto f = DecodeDateTime(value);
  if (!f) return {};
  std::string text = Format(*f, formats.shortDate);
  if (f->hour != 0 || f->minute != 0 || f->second != 0 || f->millisecond != 0)
    text += ' ' + Format(*f, formats.longTime);
  return text;
}

std::string TimeToStr(TDateTime value, const LocaleFormats& formats) {
  const auto f = DecodeDateTime(value);
  if (!f) return {};
  return Format(*f, formats.longTime);
}

}  // namespace vorel
