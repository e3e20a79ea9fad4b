// Built where libsystemd is not available: the program runs as before, but
// a service manager hears nothing from it (use Type=simple and no watchdog).
#include "app/service_notifier.h"

namespace vorel {
namespace {

class SilentNotifier final : public ServiceNotifier {
 public:
  void Ready() override {}
  void Alive() override {}
  void Stopping() override {}
  void Status(const std::string&) override {}
  std::chrono::microseconds WatchdogTimeout() const override { return std::chrono::microseconds{0}; }
};

}  // namespace

std::unique_ptr<ServiceNotifier> MakePlatformServiceNotifier() { return std::make_unique<SilentNotifier>(); }

}  // namespace vorel
