// The service reporter with a recording notifier: ready only once the event
// loop runs, pings at half the watchdog time-out and none after the stop,
// a status line only when it changed.
#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "app/service_reporter.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;

class RecordingNotifier final : public ServiceNotifier {
 public:
  explicit RecordingNotifier(std::chrono::microseconds watchdog = 0us) : watchdog_(watchdog) {}

  void Ready() override { told.push_back("ready"); }
  void Alive() override { ++pings; }
  void Stopping() override { told.push_back("stopping"); }
  void Status(const std::string& line) override { told.push_back("status " + line); }
  std::chrono::microseconds WatchdogTimeout() const override { return watchdog_; }

  std::vector<std::string> told;
  int pings = 0;

 private:
  std::chrono::microseconds watchdog_;
};

TEST(ServiceReporter, TellsReadyAtTheEventLoopsFirstPassAndStoppingAtTheEnd) {
  RecordingNotifier notifier;
  ServiceReporter reporter(notifier);
  reporter.Start();
  EXPECT_TRUE(notifier.told.empty()) << "ready before the event loop ran";
  QCoreApplication::processEvents();
  EXPECT_EQ(notifier.told, std::vector<std::string>{"ready"});
  QTest::qWait(20);
  reporter.Stop();
  EXPECT_EQ(notifier.told, (std::vector<std::string>{"ready", "stopping"}));
  EXPECT_EQ(notifier.pings, 0) << "no watchdog, no pings";
}

TEST(ServiceReporter, PingsWhileTheLoopRunsAndNotAfterTheStop) {
  RecordingNotifier notifier(20ms);
  ServiceReporter reporter(notifier);
  reporter.Start();
  EXPECT_TRUE(QTest::qWaitFor([&] { return notifier.pings >= 3; }, 5000));
  reporter.Stop();
  const int atStop = notifier.pings;
  QTest::qWait(50);
  EXPECT_EQ(notifier.pings, atStop);
}

TEST(ServiceReporter, TellsAStatusLineOnlyWhenItChanged) {
  RecordingNotifier notifier;
  ServiceReporter reporter(notifier);
  reporter.SetStatus("port COM1 open");
  reporter.SetStatus("port COM1 open");
  reporter.SetStatus("port COM1 closed\nprotocol 8 down");
  EXPECT_EQ(notifier.told,
            (std::vector<std::string>{"status port COM1 open", "status port COM1 closed protocol 8 down"}));
}

TEST(WatchdogPingPeriod, IsHalfTheTimeOutAtLeastOneMillisecond) {
  const struct {
    std::chrono::microseconds timeout;
    std::chrono::milliseconds period;
  } cases[] = {
      {0us, 0ms},     // no watchdog
      {1us, 1ms},     // never a zero interval, which would spin
      {2500us, 1ms},  // rounded down
      {60s, 30s},
      {std::chrono::hours(24 * 365), std::chrono::milliseconds(std::numeric_limits<int>::max())},
  };
  for (const auto& c : cases) EXPECT_EQ(WatchdogPingPeriod(c.timeout), c.period) << c.timeout.count() << " us";
}

}  // namespace
}  // namespace vorel
