// What the program tells the service manager that started it: that it is
// ready, that its main thread is still alive, that it is stopping, and a
// one-line status. Where no manager listens, every call does nothing.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace vorel {

class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;

  virtual void Ready() = 0;
  virtual void Alive() = 0;
  virtual void Stopping() = 0;
  virtual void Status(const std::string& line) = 0;
  // How long the manager waits for the next Alive() before it restarts the
  // program; zero when it does not watch.
  virtual std::chrono::microseconds WatchdogTimeout() const = 0;
};

// systemd's notification socket (NOTIFY_SOCKET, WATCHDOG_USEC) where the
// program was built with libsystemd; otherwise a notifier that does nothing.
std::unique_ptr<ServiceNotifier> MakePlatformServiceNotifier();

}  // namespace vorel
