#include "base/clock_setter.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>

#include "base/clock.h"
#include "support/scoped_time_zone.h"

namespace vorel {
namespace {

using test::ScopedTimeZone;

constexpr double kMsec = 1.0 / 86'400'000.0;

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};


TEST(ClockFileText, CalendarFieldsToTheMillisecond) {
  const struct {
    double value;
    std::optional<std::string> text;
  } cases[] = {
      {46366.5, "2026-12-10 12:00:00.000"},
      {46366.5 + 123 * kMsec, "2026-12-10 12:00:00.123"},
      {46366.5 + 0.4 * kMsec, "2026-12-10 12:00:00.000"},
      {46366.5 + 0.6 * kMsec, "2026-12-10 12:00:00.001"},
      {46367.0 - kMsec, "2026-12-10 23:59:59.999"},
      {46367.0 - 0.4 * kMsec, "2026-12-11 00:00:00.000"},
      {0.0, "1899-12-30 00:00:00.000"},
      {-1.25, "1899-12-29 06:00:00.000"},
      {-693593.0, "0001-01-01 00:00:00.000"},
      {2958465.0 + 86'399'999 * kMsec, "9999-12-31 23:59:59.999"},
      {2958466.0, std::nullopt},
      {-693594.0, std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
      {std::numeric_limits<double>::infinity(), std::nullopt},
      {1e300, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ClockFileText(c.value), c.text) << c.value;
}

TEST(ClockInstantFor, LocalFieldsBecomeTheInstantOfTheZone) {
  const struct {
    const char* tz;
    double local;
    std::optional<ClockInstant> instant;
  } cases[] = {
      {"UTC0", 25569.0, ClockInstant{0, 0}},
      {"UTC0", 25569.5 + 123 * kMsec, ClockInstant{43200, 123'000'000}},
      {"UTC0", 25569.0 - 1500 * kMsec, ClockInstant{-2, 500'000'000}},  // before 1970
      {"XXX-3", 25569.125, ClockInstant{0, 0}},                         // three hours east
      {"UTC0", 46366.5 + 0.6 * kMsec, ClockInstant{1796904000, 1'000'000}},
      {"UTC0", std::numeric_limits<double>::quiet_NaN(), std::nullopt},
  };
  for (const auto& c : cases) {
    ScopedTimeZone zone(c.tz);
    EXPECT_EQ(ClockInstantFor(c.local), c.instant) << c.tz << " " << c.local;
  }
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file mode must never reach the machine's clock. Even so, every request
// here is the current time, so that a setter that wrongly set the clock would
// move it by no more than a moment.
class ClockFileMode : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorel-clock-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
};

TEST_F(ClockFileMode, WritesTheRequestedLocalTimeInsteadOfSettingTheClock) {
  const auto file = dir_ / "clock.txt";
  std::ofstream(file) << "an older and much longer content than one date-time\n";
  ScopedEnv env(kClockFileVariable, file.string());

  const TDateTime now = SystemClock().Now();
  SystemClockSetter().SetLocalDateTime(now);
  EXPECT_EQ(ReadAll(file), *ClockFileText(now));
  EXPECT_EQ(ReadAll(file).size(), 23u);

  const TDateTime later = now + 1000 * kMsec;
  SystemClockSetter().SetLocalDateTime(later);
  EXPECT_EQ(ReadAll(file), *ClockFileText(later)) << "each request replaces the content";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1) << "nothing left beside it";
}

TEST_F(ClockFileMode, ValueThatIsNoDateTimeLeavesTheFileAlone) {
  const auto file = dir_ / "clock.txt";
  std::ofstream(file) << "kept";
  ScopedEnv env(kClockFileVariable, file.string());
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(), 1e300})
    SystemClockSetter().SetLocalDateTime(bad);
  EXPECT_EQ(ReadAll(file), "kept");
}

TEST_F(ClockFileMode, UnwritableFileIsSilentAndStillLeavesTheClockAlone) {
  ScopedEnv env(kClockFileVariable, (dir_ / "missing" / "clock.txt").string());
  const TDateTime now = SystemClock().Now();
  EXPECT_NO_THROW(SystemClockSetter().SetLocalDateTime(now));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

}  // namespace
}  // namespace vorel
