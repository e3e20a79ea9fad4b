#include <systemd/sd-daemon.h>

#include <cstdint>

#include "app/service_notifier.h"

namespace vorel {
namespace {

// sd_notify does nothing (and returns 0) without NOTIFY_SOCKET, and its
// failures are not ours to act on: the driver runs on either way.
class SystemdNotifier final : public ServiceNotifier {
 public:
  void Ready() override { sd_notify(0, "READY=1"); }
  void Alive() override { sd_notify(0, "WATCHDOG=1"); }
  void Stopping() override { sd_notify(0, "STOPPING=1"); }
  void Status(const std::string& line) override { sd_notify(0, ("STATUS=" + line).c_str()); }

  std::chrono::microseconds WatchdogTimeout() const override {
    std::uint64_t usec = 0;
    // Only for this process: WATCHDOG_PID names the one the manager watches.
    if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds{0};
    return std::chrono::microseconds{usec};
  }
};

}  // namespace

std::unique_ptr<ServiceNotifier> MakePlatformServiceNotifier() { return std::make_unique<SystemdNotifier>(); }

}  // namespace vorel
