// The clock that everything time-dependent reads: packet time-outs, the
// station link supervision, replay pacing, the reconnect rules, the retries
// of lost ports. Pauses on the GUI thread (a restart's 5 s, the DTR pulse)
// are timers of its scheduler, never sleeps. Production code uses
// SystemClock(); tests substitute a fake.
#pragma once

#include <cstdint>

#include "base/datetime.h"

namespace vorel {

class IClock {
 public:
  virtual ~IClock() = default;
  // Current local date-time.
  virtual TDateTime Now() = 0;
  // Milliseconds since an arbitrary start, wrapping at 2^32 (about 49.7 days).
  virtual std::uint32_t TickCount() = 0;
};

// The machine's clock; safe to use from any thread.
IClock& SystemClock();

}  // namespace vorel
