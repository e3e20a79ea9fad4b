// Keeps the service manager informed from the GUI thread. Ready is told at
// the event loop's first pass, after the main window's start-up opened the
// ports and started the links. The watchdog pings come from a timer of the
// same thread, so a main thread that hangs misses them and the manager
// restarts the program; modal dialogs keep the loop, and the pings, going.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <string>

#include "app/service_notifier.h"

namespace vorel {

// Half of the watchdog time-out, at least 1 ms; zero when there is none.
std::chrono::milliseconds WatchdogPingPeriod(std::chrono::microseconds timeout);

class ServiceReporter : public QObject {
  Q_OBJECT

 public:
  explicit ServiceReporter(ServiceNotifier& notifier, QObject* parent = nullptr);

  // Ready once the event loop runs; the watchdog pings from now on.
  void Start();
  // Stopping, and no more pings; once.
  void Stop();
  // A status line, told only when it differs from the last one; line breaks
  // become blanks.
  void SetStatus(const std::string& line);

 private:
  ServiceNotifier& notifier_;
  QTimer pingTimer_;
  std::string status_;
  bool stopped_ = false;
};

}  // namespace vorel
