// A clock that moves only when told: Now and TickCount advance together.
#pragma once

#include <cstdint>

#include "base/clock.h"

namespace vorel::test {

class FakeClock final : public IClock {
 public:
  explicit FakeClock(TDateTime now = 46000.5, std::uint32_t tick = 1000) : now_(now), tick_(tick) {}

  TDateTime Now() override { return now_; }
  std::uint32_t TickCount() override { return tick_; }
  void Advance(std::uint32_t ms) {
    tick_ += ms;  // wraps like the real tick counter
    now_ += static_cast<double>(ms) / static_cast<double>(kMsecsPerDay);
  }
  void SetNow(TDateTime now) { now_ = now; }
  void SetTick(std::uint32_t tick) { tick_ = tick; }

 private:
  TDateTime now_;
  std::uint32_t tick_;
};

}  // namespace vorel::test
