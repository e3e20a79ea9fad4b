// The driver's status without its window: the status file's text, when it is
// written, what "vorel --status" makes of it, and the log lines on standard
// error.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/operator_log.h"
#include "app/program_status.h"
#include "app/status_command.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const TDateTime kNoon = 46366.5;           // 2026-12-10 12:00:00
const TDateTime kSecond = 1.0 / 86400.0;  // one second as a date-time

ProgramStatus Sample() {
  ProgramStatus s;
  s.pid = 4242;
  s.started = kNoon;
  s.main = {"/dev/serial/by-id/usb-station", true, true, kNoon + 65 * kSecond};
  s.second = {"COM255", false, false, std::nullopt};
  s.protocol7 = LinkState::Off;
  s.protocol8 = LinkState::Down;
  s.ddmFiles = 0;
  s.dd8Files = 3;
  return s;
}

TEST(ProgramStatus, RunningAndEndedTexts) {
  EXPECT_EQ(ComposeStatus(Sample()),
            "state=running\n"
            "pid=4242\n"
            "started=2026-12-10T12:00:00\n"
            "main.port=/dev/serial/by-id/usb-station\n"
            "main.open=yes\n"
            "main.station=up\n"
            "second.port=COM255\n"
            "second.open=no\n"
            "second.station=down\n"
            "protocol7=off\n"
            "protocol8=down\n"
            "main.last_frame=2026-12-10T12:01:05\n"
            "second.last_frame=none\n"
            "spool.ddm=0\n"
            "spool.dd8=3\n");
  ProgramStatus ended = Sample();
  ended.running = false;
  EXPECT_EQ(ComposeStatus(ended),
            "state=stopped\n"
            "pid=4242\n"
            "started=2026-12-10T12:00:00\n"
            "main.last_frame=2026-12-10T12:01:05\n"
            "second.last_frame=none\n"
            "spool.ddm=0\n"
            "spool.dd8=3\n")
      << "an ended driver holds no port and no link; what waits in the spool still counts";
}

// What node_exporter's textfile collector accepts: every sample under its
// own family's HELP and TYPE, the families one after the other, label values
// escaped, and the values an alert rule looks at.
TEST(ProgramStatus, MetricsInPrometheusTextFormat) {
  ProgramStatus s = Sample();
  s.main.name = "/dev/vorel/\"north\"\\COM1";
  s.protocol7 = LinkState::Up;
  s.protocol8 = LinkState::Connecting;
  s.dd8OldestAge = 125.5;
  s.alarms.received = 7;
  s.alarms.receivedSecond = 6;
  s.alarms.acknowledged = 5;
  s.alarms.notAcknowledged = 1;
  s.alarms.awaitingAck = 1;
  s.alarms.notKept = 2;
  s.alarms.dropped = 8;
  s.alarms.deliveredProtocol7 = 4;
  s.alarms.deliveredProtocol8 = 3;
  const std::string text = ComposeMetrics(s, kNoon + 100 * kSecond);

  const std::regex help(R"(# HELP (vorel_[a-z0-9_]+) \S.*)");
  const std::regex type(R"(# TYPE (vorel_[a-z0-9_]+) (gauge|counter))");
  const std::regex sample(R"re((vorel_[a-z0-9_]+)(\{[a-z]+="(?:[^"\\]|\\.)*"(?:,[a-z]+="(?:[^"\\]|\\.)*")*\})? -?[0-9]+(\.[0-9]+)?)re");
  std::istringstream lines(text);
  std::vector<std::string> families;
  std::string typed;
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, help)) {
      ASSERT_EQ(std::count(families.begin(), families.end(), m[1].str()), 0) << "a family twice: " << line;
      families.push_back(m[1]);
    } else if (std::regex_match(line, m, type)) {
      ASSERT_FALSE(families.empty());
      EXPECT_EQ(m[1].str(), families.back()) << line;
      typed = m[1];
      if (m[2] == "counter") {
        EXPECT_TRUE(typed.ends_with("_total")) << line;
      }
    } else {
      ASSERT_TRUE(std::regex_match(line, m, sample)) << "not a sample: " << line;
      EXPECT_EQ(m[1].str(), typed) << "a sample outside its family: " << line;
    }
  }
  for (const char* expected : {
           "vorel_up 1\n",
           "vorel_port_open{port=\"main\",name=\"/dev/vorel/\\\"north\\\"\\\\COM1\"} 1\n",
           "vorel_port_open{port=\"second\",name=\"COM255\"} 0\n",
           "vorel_station_link_up{port=\"main\"} 1\n",
           "vorel_station_link_up{port=\"second\"} 0\n",
           "vorel_server_link_enabled{protocol=\"7\"} 1\n",
           "vorel_server_link_up{protocol=\"7\"} 1\n",
           "vorel_server_link_up{protocol=\"8\"} 0\n",
           "vorel_server_link_connecting{protocol=\"7\"} 0\n",
           "vorel_server_link_connecting{protocol=\"8\"} 1\n",
           "vorel_last_frame_age_seconds{port=\"main\"} 35.000\n",
           "vorel_spool_files{kind=\"ddm\"} 0\n",
           "vorel_spool_files{kind=\"dd8\"} 3\n",
           "vorel_spool_oldest_age_seconds{kind=\"dd8\"} 125.500\n",
           "vorel_alarms_received_total{port=\"main\"} 7\n",
           "vorel_alarms_received_total{port=\"second\"} 6\n",
           "vorel_alarms_awaiting_ack 1\n",
           "vorel_alarms_dropped_total 8\n",
           "vorel_alarms_acknowledged_total 5\n",
           "vorel_alarms_not_acknowledged_total 1\n",
           "vorel_alarms_not_kept_total 2\n",
           "vorel_delivered_total{protocol=\"7\"} 4\n",
           "vorel_delivered_total{protocol=\"8\"} 3\n",
       })
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nin:\n" << text;
  EXPECT_EQ(text.find("last_frame_age_seconds{port=\"second\""), std::string::npos) << "no frame, no age";
  EXPECT_EQ(text.find("spool_oldest_age_seconds{kind=\"ddm\""), std::string::npos) << "no file, no age";

  s.running = false;
  const std::string ended = ComposeMetrics(s, kNoon);
  EXPECT_NE(ended.find("vorel_up 0\n"), std::string::npos);
  EXPECT_EQ(ended.find("vorel_port_open"), std::string::npos) << "an ended driver holds no port";
}

TEST(ProgramStatus, OneLineForTheServiceManager) {
  EXPECT_EQ(StatusSummary(Sample()),
            "main /dev/serial/by-id/usb-station open, station up; second COM255 closed, station down; "
            "protocol 7 off; protocol 8 down; spool 0 .ddm, 3 .dd8");
  ProgramStatus trying = Sample();
  trying.protocol8 = LinkState::Connecting;
  EXPECT_NE(StatusSummary(trying).find("; protocol 8 connecting;"), std::string::npos);
  EXPECT_NE(ComposeStatus(trying).find("\nprotocol8=connecting\n"), std::string::npos);
}

class StatusFileTest : public ::testing::Test {
 protected:
  std::string Read() const { return fs::exists(file) ? test::ReadFile(file) : std::string(); }

  test::TempDir dir;
  fs::path file = dir / "vorel.status";
  test::FakeClock clock{kNoon, 5000};
  std::vector<std::string> reports;
  StatusFile status{file, clock, [this](const std::string& r) { reports.push_back(r); }};
  ProgramStatus now = Sample();
  int looks = 0;
  void Tick() {
    status.Tick([this] {
      ++looks;
      return now;
    });
  }
};

TEST_F(StatusFileTest, LooksOnceASecondWritesOnChangeAndEveryTenSeconds) {
  Tick();
  EXPECT_EQ(Read(), ComposeStatus(now) + "updated=2026-12-10T12:00:00\n");
  for (int i = 0; i < 4; ++i) {
    clock.Advance(200);
    Tick();
  }
  EXPECT_EQ(looks, 1) << "no look within a second";

  clock.Advance(200);  // a second after the first look
  now.dd8Files = 4;
  Tick();
  EXPECT_EQ(looks, 2);
  EXPECT_EQ(Read(), ComposeStatus(now) + "updated=2026-12-10T12:00:01\n") << "a change is written at once";

  for (int s = 2; s < 11; ++s) {
    clock.Advance(1000);
    Tick();
  }
  EXPECT_EQ(Read(), ComposeStatus(now) + "updated=2026-12-10T12:00:01\n") << "nothing changed: nothing written";
  clock.Advance(1000);
  Tick();
  EXPECT_EQ(Read(), ComposeStatus(now) + "updated=2026-12-10T12:00:11\n") << "rewritten after ten seconds";
  std::vector<fs::path> files(fs::directory_iterator(dir.Path()), {});
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<fs::path>{dir / "vorel.prom", file})) << "no temporary file is left";
  EXPECT_EQ(test::ReadFile(dir / "vorel.prom"), ComposeMetrics(now, clock.Now())) << "the metrics beside it";
  EXPECT_TRUE(reports.empty());
}

TEST_F(StatusFileTest, AFileThatCannotBeWrittenIsReportedOnceUntilItWorksAgain) {
  fs::create_directory(dir / "vorel.status.tmp");  // where the text would go first
  Tick();
  clock.Advance(10'000);
  Tick();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("vorel.status not written"), std::string::npos) << reports[0];

  fs::remove(dir / "vorel.status.tmp");
  clock.Advance(10'000);
  Tick();
  EXPECT_NE(Read().find("state=running"), std::string::npos);
  fs::create_directory(dir / "vorel.status.tmp");
  now.ddmFiles = 1;
  clock.Advance(1000);
  Tick();
  EXPECT_EQ(reports.size(), 2u) << "a new failure after a write that worked";
}

TEST(StatusCommand, VerdictOfTheStatusFile) {
  const struct {
    const char* text;
    std::chrono::seconds age;
    StatusVerdict verdict;
  } rows[] = {
      {"state=running\npid=1\n", 3s, StatusVerdict::Running},
      {"state=running\npid=1\n", 30s, StatusVerdict::Running},
      {"state=running\npid=1\n", 31s, StatusVerdict::Stale},
      {"state=running\npid=1\n", -20s, StatusVerdict::Running},  // the clock was set back a little
      {"state=running\npid=1\n", -3600s, StatusVerdict::Stale},
      {"pid=1\nstate=stopped\n", 3600s, StatusVerdict::Stopped},
      {"", 0s, StatusVerdict::Missing},
      {"[port]\nComPort=COM3\n", 0s, StatusVerdict::Missing},
  };
  for (const auto& r : rows) EXPECT_EQ(JudgeStatus(r.text, r.age), r.verdict) << r.text << r.age.count();
}

TEST(StatusCommand, PrintsTheFileAndAnswersWithTheVerdict) {
  test::TempDir dir;
  std::ostringstream out, err;
  EXPECT_EQ(RunStatusCommand(dir.Path(), out, err), 4);
  EXPECT_TRUE(out.str().empty());
  EXPECT_NE(err.str().find("no status file"), std::string::npos);

  const std::string text = ComposeStatus(Sample()) + "updated=2026-12-10T12:00:00\n";
  test::WriteFile(dir / "vorel.status", text);
  out.str("");
  err.str("");
  EXPECT_EQ(RunStatusCommand(dir.Path(), out, err), 0);
  EXPECT_EQ(out.str(), text);
  EXPECT_TRUE(err.str().empty());

  fs::last_write_time(dir / "vorel.status", fs::file_time_type::clock::now() - 60s);
  out.str("");
  EXPECT_EQ(RunStatusCommand(dir.Path(), out, err), 1);
  EXPECT_EQ(out.str(), text) << "a stale file is shown all the same";
  EXPECT_NE(err.str().find("last written 60 s ago"), std::string::npos) << err.str();
}

TEST(OperatorLog, StandardErrorGetsTheMemoLineWithAStableTimeOnOneLine) {
  EXPECT_EQ(StderrLogLine(kNoon + 5 * kSecond, "Соединение установлено."),
            "vorel: log: 2026-12-10T12:00:05 Соединение установлено.\n");
  EXPECT_EQ(StderrLogLine(kNoon, "two\r\nlines"), "vorel: log: 2026-12-10T12:00:00 two  lines\n");
}

}  // namespace
}  // namespace vorel
