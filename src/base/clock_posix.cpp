#include <time.h>

#include <cerrno>

#include "base/clock.h"
#include "base/local_time.h"

namespace vorel {
namespace {

class PosixClock final : public IClock {
 public:
  TDateTime Now() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const UnixMsecs ms = static_cast<UnixMsecs>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
    return LocalDateTimeFromUnix(ms).value_or(0.0);
  }

  std::uint32_t TickCount() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms =
        static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000;
    return static_cast<std::uint32_t>(ms);
  }
};

}  // namespace

IClock& SystemClock() {
  // Never destroyed: a name look-up thread still waiting at the program's end
  // may ask it the time while the statics go.
  static PosixClock* const clock = new PosixClock;
  return *clock;
}

}  // namespace vorel
