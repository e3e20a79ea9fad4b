#include "app/service_reporter.h"

#include <algorithm>
#include <limits>

namespace vorel {

std::chrono::milliseconds WatchdogPingPeriod(std::chrono::microseconds timeout) {
  using std::chrono::milliseconds;
  if (timeout.count() <= 0) return milliseconds{0};
  const auto half = std::chrono::duration_cast<milliseconds>(timeout / 2);
  // A QTimer interval is an int of milliseconds.
  return std::clamp(half, milliseconds{1}, milliseconds{std::numeric_limits<int>::max()});
}

ServiceReporter::ServiceReporter(ServiceNotifier& notifier, QObject* parent) : QObject(parent), notifier_(notifier) {
  connect(&pingTimer_, &QTimer::timeout, this, [this] { notifier_.Alive(); });
}

void ServiceReporter::Start() {
  QTimer::singleShot(0, this, [this] { notifier_.Ready(); });
  const auto period = WatchdogPingPeriod(notifier_.WatchdogTimeout());
  if (period.count() == 0) return;
  pingTimer_.start(period);
}

void ServiceReporter::Stop() {
  if (stopped_) return;
  stopped_ = true;
  pingTimer_.stop();
  notifier_.Stopping();
}

void ServiceReporter::SetStatus(const std::string& line) {
  std::string oneLine = line;
  std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
  if (oneLine == status_) return;
  status_ = oneLine;
  notifier_.Status(status_);
}

}  // namespace vorel
