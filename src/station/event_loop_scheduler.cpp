#include "station/event_loop_scheduler.h"

#include <QTimer>

#include <climits>
#include <utility>

#include "base/uncaught_error.h"

namespace vorel {

void EventLoopScheduler::After(std::uint32_t milliseconds, std::function<void()> task) {
  const int ms = milliseconds > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
  QTimer::singleShot(ms, &context_, [task = std::move(task)] { RunGuarded(task); });
}

}  // namespace vorel
