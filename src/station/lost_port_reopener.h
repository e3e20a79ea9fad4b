// A port whose device went away while it ran (a USB adapter unplugged), or
// that could not be opened at start (a USB adapter or udev link that appears
// later, a device that is busy or not permitted), is opened again by the
// driver itself: under the same device name and line settings, every 5
// seconds until it opens, with the DTR pulse of the start-up so that the
// station sees the driver start. The operator's panel stays running
// meanwhile; stopping it ends the attempts. A port that did not open at start
// shows stopped; the operator's Start, Stop, rescan or pick on its panel ends
// the attempts, since the operator has taken over. The attempts keep the
// device name they began with: a rescan probes other devices through the
// same component. Each failure is logged once with its reason: again only
// when the reason changes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/scheduler.h"
#include "base/severity.h"
#include "serial/CPDrv.h"

namespace vorel {

inline constexpr std::uint32_t kLostPortRetryMs = 5000;

class LostPortReopener {
 public:
  struct Callbacks {
    // Whether the operator still wants the port running (its panel).
    std::function<bool()> wanted;
    // A line for the operator's log, with its level.
    std::function<void(Severity, const std::string&)> log;
    // The port's open state changed: lost, or open again.
    std::function<void()> stateChanged;
  };

  LostPortReopener(TCommPortDriver& port, IClock& clock, IScheduler& scheduler, Callbacks callbacks);

  // The component closed the port because its device went away.
  void DeviceLost();
  // The start-up's open failed: tried again although the panel is stopped,
  // until it opens or the operator takes the port over.
  void NotOpenedAtStart();
  // The operator took the port over (Start, Stop, rescan, pick).
  void EndStartRetries();
  // Every timer tick: one attempt when the pause is over.
  void Tick();
  bool Waiting() const { return waiting_; }

 private:
  std::string Name() const;
  // Logs the port's last error unless it is the one logged last.
  void LogFailure();

  TCommPortDriver& port_;
  IClock& clock_;
  IScheduler& scheduler_;
  Callbacks callbacks_;
  std::string device_;  // the device name the attempts open
  bool waiting_ = false;
  bool fromStart_ = false;
  std::uint32_t lastAttemptTick_ = 0;
  std::optional<SerialError> loggedFailure_;
};

}  // namespace vorel
