#include <stdio.h>
#include <time.h>

#include <cstdlib>
#include <string>

#include "base/clock_setter.h"
#include "base/local_time.h"

namespace vorel {
namespace {

// Writes the text beside the file and renames it over the file. Every failure
// is silent, like a refused clock setting.
void ReplaceFileContent(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  FILE* out = fopen(temporary.c_str(), "wb");
  if (!out) return;
  const bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
  if (fclose(out) != 0 || !written) {
    remove(temporary.c_str());
    return;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) remove(temporary.c_str());
}

class PosixClockSetter final : public ILocalClockSetter {
 public:
  void SetLocalDateTime(TDateTime local) override {
    const char* file = std::getenv(kClockFileVariable);
    if (file && *file) {
      if (const auto text = ClockFileText(local)) ReplaceFileContent(file, *text);
      return;
    }
    const auto instant = ClockInstantFor(local);
    if (!instant) return;
    if (static_cast<std::int64_t>(static_cast<time_t>(instant->seconds)) != instant->seconds) return;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(instant->seconds);
    ts.tv_nsec = instant->nanoseconds;
    // EPERM without CAP_SYS_TIME: the clock stays as it was, nothing is said.
    (void)clock_settime(CLOCK_REALTIME, &ts);
  }
};

}  // namespace

ILocalClockSetter& SystemClockSetter() {
  static PosixClockSetter setter;
  return setter;
}

std::optional<std::string> ClockFileText(TDateTime local) {
  const auto f = DecodeDateTime(local);
  if (!f) return std::nullopt;
  char text[32];
  snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", f->year, f->month, f->day, f->hour,
           f->minute, f->second, f->millisecond);
  return std::string(text);
}

std::optional<ClockInstant> ClockInstantFor(TDateTime local) {
  const auto ms = UnixFromLocalDateTime(local);
  if (!ms) return std::nullopt;
  // Floor division, so that instants before 1970 keep their nanoseconds positive.
  std::int64_t seconds = *ms / 1000;
  std::int64_t rest = *ms % 1000;
  if (rest < 0) {
    rest += 1000;
    --seconds;
  }
  return ClockInstant{seconds, static_cast<std::int32_t>(rest * 1'000'000)};
}

}  // namespace vorel
