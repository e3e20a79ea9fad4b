#include "app/stall_probe.h"

#include <algorithm>

namespace vorel {

StallProbe::StallProbe(QObject* context) : last_(std::chrono::steady_clock::now()) {
  timer_.setTimerType(Qt::PreciseTimer);
  timer_.setInterval(kIntervalMs);
  QObject::connect(&timer_, &QTimer::timeout, context, [this] {
    const auto now = std::chrono::steady_clock::now();
    const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_).count() - kIntervalMs;
    longestMs_ = std::max<std::int64_t>(longestMs_, late);
    last_ = now;
  });
  timer_.start();
}

}  // namespace vorel
