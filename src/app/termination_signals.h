// SIGTERM and SIGINT end the program as the server's close command does:
// without the close password, with exit status 0. The signal handler only
// writes a byte into a pipe; the event loop picks it up.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace vorel {

class TerminationSignals : public QObject {
  Q_OBJECT

 public:
  explicit TerminationSignals(QObject* parent = nullptr);
  ~TerminationSignals() override;

 signals:
  // signalNumber: SIGTERM or SIGINT.
  void terminationRequested(int signalNumber);

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vorel
