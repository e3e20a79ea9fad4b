// The longest time the GUI thread's event loop was held, as a timer that
// should fire every 10 ms sees it: a tick that comes N ms late means nothing
// else ran on the loop for those N ms (a sleep, a blocking call, a wait for
// another thread). Switched on by VOREL_STALL_PROBE; the status file reports
// the figure, so tests and benchmarks read it from outside the program.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>

namespace vorel {

class StallProbe {
 public:
  static constexpr int kIntervalMs = 10;

  explicit StallProbe(QObject* context);
  // The longest delay beyond the interval so far, in whole milliseconds.
  std::int64_t LongestMs() const { return longestMs_; }

 private:
  QTimer timer_;
  std::chrono::steady_clock::time_point last_;
  std::int64_t longestMs_ = 0;
};

}  // namespace vorel
