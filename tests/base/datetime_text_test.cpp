#include "base/datetime_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <string>

namespace vorel {
namespace {

const LocaleFormats kRussian{"%d.%m.%Y", "%H:%M:%S"};
constexpr double kMsec = 1.0 / 86'400'000.0;

TEST(DateTimeText, DateBlankTimeAndMidnightWithoutTime) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {46366.0, "10.12.2026"},
      {46366.0 + kMsec, "10.12.2026 00:00:00"},  // not exactly midnight
      {46366.5, "10.12.2026 12:00:00"},
      {46367.0 - kMsec, "10.12.2026 23:59:59"},
      {46367.0 - 0.4 * kMsec, "11.12.2026"},  // rounds to the next midnight
      {0.0, "30.12.1899"},
      {-1.25, "29.12.1899 06:00:00"},
      {std::nan(""), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, DateTimeToStr(c.value, kRussian)) << c.value;
}

TEST(DateTimeText, TimeToStrShowsOnlyTheTimeOfDay) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {25.0 / 24.0, "01:00:00"},  // a 25-hour duration
      {0.0, "00:00:00"},
      {46366.75, "18:00:00"},
      {10.0 / 1440.0, "00:10:00"},
      {-1.25, "06:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, TimeToStr(c.value, kRussian)) << c.value;
}

TEST(DateTimeText, SystemFormatsOfTheCLocale) {
  const std::string old = std::setlocale(LC_TIME, nullptr);
  std::setlocale(LC_TIME, "C");
  const LocaleFormats formats = SystemLocaleFormats();
  std::setlocale(LC_TIME, old.c_str());
  EXPECT_EQ("12/10/26 12:00:00", DateTimeToStr(46366.5, formats));
}

}  // namespace
}  // namespace vorel
