#include "station/lost_port_reopener.h"

#include <utility>

#include "station/station_ports.h"

namespace vorel {

LostPortReopener::LostPortReopener(TCommPortDriver& port, IClock& clock, IScheduler& scheduler, Callbacks callbacks)
    : port_(port), clock_(clock), scheduler_(scheduler), callbacks_(std::move(callbacks)) {}

std::string LostPortReopener::Name() const {
  const std::string prefix = DeviceName("");
  return device_.compare(0, prefix.size(), prefix) == 0 ? device_.substr(prefix.size()) : device_;
}

void LostPortReopener::DeviceLost() {
  device_ = port_.PortName();
  waiting_ = true;
  fromStart_ = false;
  lastAttemptTick_ = clock_.TickCount();
  loggedFailure_.reset();
  if (callbacks_.log) callbacks_.log(Severity::Warning, "Порт " + Name() + " потерян, повтор открытия каждые 5 с.");
  if (callbacks_.stateChanged) callbacks_.stateChanged();
}

void LostPortReopener::NotOpenedAtStart() {
  device_ = port_.PortName();
  waiting_ = true;
  fromStart_ = true;
  lastAttemptTick_ = clock_.TickCount();
  loggedFailure_ = port_.LastError();
  if (callbacks_.log)
    callbacks_.log(Severity::Warning, "Порт " + Name() + " не открыт (" + loggedFailure_->text + "), повтор открытия каждые 5 с.");
}

void LostPortReopener::EndStartRetries() {
  if (!fromStart_) return;
  fromStart_ = false;
  waiting_ = false;
}

void LostPortReopener::LogFailure() {
  const SerialError error = port_.LastError();
  if (loggedFailure_ && loggedFailure_->code == error.code) return;
  loggedFailure_ = error;
  if (callbacks_.log) callbacks_.log(Severity::Warning, "Порт " + Name() + " не открыт (" + error.text + ").");
}

void LostPortReopener::Tick() {
  if (!waiting_) return;
  // The operator stopped the port, or started it again by hand.
  if (port_.IsOpen() || (!fromStart_ && callbacks_.wanted && !callbacks_.wanted())) {
    waiting_ = false;
    fromStart_ = false;
    return;
  }
  if (static_cast<std::uint32_t>(clock_.TickCount() - lastAttemptTick_) < kLostPortRetryMs) return;
  lastAttemptTick_ = clock_.TickCount();
  port_.SetPortName(device_);
  if (!OpenWithStartPulse(port_, scheduler_)) {
    LogFailure();
    return;
  }
  waiting_ = false;
  fromStart_ = false;
  if (callbacks_.log) callbacks_.log(Severity::Info, "Порт " + Name() + " снова открыт.");
  if (callbacks_.stateChanged) callbacks_.stateChanged();
}

}  // namespace vorel
