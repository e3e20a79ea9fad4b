// Work for later on the caller's own event loop: a pause (a port closed for
// 5 s, a DTR pulse of 300 ms) becomes a state that ends when its time is up,
// so that the loop goes on reading ports and running timers meanwhile.
#pragma once

#include <cstdint>
#include <functional>

namespace vorel {

class IScheduler {
 public:
  virtual ~IScheduler() = default;
  // Runs `task` once, `milliseconds` from now, never from inside this call.
  // Tasks still waiting when the scheduler goes are dropped.
  virtual void After(std::uint32_t milliseconds, std::function<void()> task) = 0;
};

}  // namespace vorel
