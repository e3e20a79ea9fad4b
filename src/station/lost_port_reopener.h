// A port whose device went away while it ran (a USB adapter unplugged) is
// opened again by the driver itself: under the same device name and line
// settings, every 5 seconds until the device is back, with the DTR pulse of
// the start-up so that the station sees the driver start. The operator's
// panel stays running meanwhile; stopping it ends the attempts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/clock.h"
#include "base/scheduler.h"
#include "serial/CPDrv.h"

namespace vorel {

inline constexpr std::uint32_t kLostPortRetryMs = 5000;

class LostPortReopener {
 public:
  struct Callbacks {
    // Whether the operator still wants the port running (its panel).
    std::function<bool()> wanted;
    // A line for the operator's log.
    std::function<void(const std::string&)> log;
    // The port's open state changed: lost, or open again.
    std::function<void()> stateChanged;
  };

  LostPortReopener(TCommPortDriver& port, IClock& clock, IScheduler& scheduler, Callbacks callbacks);

  // The component closed the port because its device went away.
  void DeviceLost();
  // Every timer tick: one attempt when the pause is over.
  void Tick();
  bool Waiting() const { return waiting_; }

 private:
  std::string Name() const;

  TCommPortDriver& port_;
  IClock& clock_;
  IScheduler& scheduler_;
  Callbacks callbacks_;
  bool waiting_ = false;
  std::uint32_t lastAttemptTick_ = 0;
};

}  // namespace vorel
