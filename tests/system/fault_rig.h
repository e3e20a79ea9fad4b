// The whole road under faults: the simulated station sends numbered events
// (accounts 310001, 310002, … once the first number 31 is put in front), the
// real program delivers them to both reference servers or spools them, and
// at the end every event is counted per link as delivered (the server printed
// it), spooled (a spool file holds it) or lost (neither). A delivered event
// whose line does not carry the code the station sent counts as corrupted.
// One that reached a server more than once counts as repeated; a spool file
// still holding an event that was delivered or spooled already counts as a
// repeat too (one to come).
#pragma once

#include <signal.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "program_env.h"
#include "protocol7_address.h"
#include "reference_servers.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel::test {

struct LinkCount {
  int delivered = 0;
  int spooled = 0;
  int lost = 0;
  int corrupted = 0;
  int repeated = 0;
  std::string lostAccounts;
};

struct FaultCount {
  int sent = 0;
  LinkCount p7;
  LinkCount p8;
};

inline int AccountOf(int number) { return 310000 + number; }

// Numbered events 1..n, or first..first+n-1.
inline std::vector<int> Numbers(int n, int first = 1) {
  std::vector<int> numbers;
  for (int i = 0; i < n; ++i) numbers.push_back(first + i);
  return numbers;
}

// The numbers of `first`, then those of `second`.
inline std::vector<int> Joined(std::vector<int> first, const std::vector<int>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// What the station saw, read from the simulator's report: the numbered events
// it sent, and those among them it saw acknowledged. An event of `stream` is
// "sent" once, "resent" every 5 s until an ACK comes, and the next event
// waits for that ACK; so an event counts as acknowledged when an "ack total="
// line follows its last "sent"/"resent" line before the next event is sent.
struct StationView {
  std::vector<int> sent;
  std::vector<int> acknowledged;
};

inline StationView ReadStationReport(const std::string& report) {
  static const std::regex write("^t=\\d+ (re)?sent event account=(\\d{4}) ");
  StationView view;
  bool acked = false;
  const auto endOfEvent = [&] {
    if (acked) view.acknowledged.push_back(view.sent.back());
    acked = false;
  };
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, write)) {
      if (!m[1].matched) {  // a new event
        if (!view.sent.empty()) endOfEvent();
        view.sent.push_back(std::stoi(m[2]));
      }
      acked = false;
    } else if (!view.sent.empty() && line.find(" ack total=") != std::string::npos) {
      acked = true;
    }
  }
  if (!view.sent.empty()) endOfEvent();
  return view;
}

// The servers whose greeting shows that the driver is ready: a link that goes
// elsewhere (or is off) is left out. A server that is down is not waited for.
struct Greeted {
  bool p7 = true;  // ftHello at the protocol-7 server
  bool p8 = true;  // rtHello at the protocol-8 server
};

class FaultRig {
 public:
  FaultRig() { std::filesystem::create_directory(spool); }
  // Both servers on `serverAddress` (across a wide-area link, where the
  // test writes vorel.ini itself).
  explicit FaultRig(const std::string& serverAddress) : servers{dir, serverAddress} {
    std::filesystem::create_directory(spool);
    servers.p8Host = serverAddress;
  }
  ~FaultRig() {
    if (driver_) driver_->Signal(SIGKILL);
  }

  // vorel.ini with the main port on the station, both outputs on; the
  // protocol-8 port is the one the servers' first run got.
  void Configure(const std::string& pathForSoob = "spool/") {
    WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\nCutAtFrameEnd=" + std::to_string(cutAtFrameEnd ? 1 : 0) +
                                     "\n[main]\nSendMivo7=1\nhost=" + p7Address.Text() +
                                     "\nPathForSoob=" + pathForSoob + "\nSoobPerTick=" + std::to_string(soobPerTick) +
                                     "\n[ServerHost]\nAddress=127.0.0.1\nPort=" + servers.P8Port() + "\n");
  }
  // The replay's pace the next Configure writes (1: the steady pace).
  int soobPerTick = 1;
  // The main port's cut at a frame's end the next Configure writes.
  bool cutAtFrameEnd = false;
  // The station publishes its line and waits for Begin.
  void StartStation() {
    station_ = std::make_unique<ChildProcess>(
        VOREL_STATION_SIM,
        std::vector<std::string>{"-d", (dir / "com").string(), "-o", (dir / "station.txt").string(), "-i"},
        dir.Path().string(), std::map<std::string, std::string>{}, ChildIo{.stdinPipe = true, .stderrFile = {}});
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::is_symlink(dir / "com" / "COM1"); }, std::chrono::seconds(10)));
  }
  // Once the driver is ready (it holds the station's line, and its greeting
  // reached the servers that are up), the station runs `script`, then holds
  // the line.
  void Begin(const std::string& script, Greeted expected = {}) {
    const auto ready = [&] {
      const bool up = servers.Running();
      return Contents(dir / "station.txt").find(" driver open") != std::string::npos &&
             (!up || !expected.p7 || servers.P7Seen().find(" type=ftHello(") != std::string::npos) &&
             (!up || !expected.p8 || servers.P8Seen().find(" type=rtHello(") != std::string::npos);
    };
    ASSERT_TRUE(WaitUntil(ready, std::chrono::seconds(30)))
        << "the driver never got ready\nstation:\n" << Contents(dir / "station.txt") << "protocol 7:\n"
        << servers.P7Seen() << "protocol 8:\n" << servers.P8Seen();
    ASSERT_TRUE(station_->Type("wait-open; " + script + "; hold"));
  }
  void StartDriver() {
    ++driverStarts;
    auto env = ProgramEnv(dir);
    env["VOREL_STALL_PROBE"] = "1";  // the event loop's longest stall, in vorel.status
    for (const auto& [name, value] : driverEnv) env[name] = value;
    driver_ = std::make_unique<ChildProcess>(VOREL_BINARY, std::vector<std::string>{}, dir.Path().string(), env,
                                             ChildIo{.stdinPipe = false, .stderrFile = (dir / "driver-err.txt").string()});
  }
  // The event loop's longest stall as the driver last wrote it (its final
  // status, once it has ended), or -1 when none was written.
  long LongestStallMs() const {
    static const std::regex stall("loop\\.longest_stall_ms=(\\d+)");
    const std::string status = Contents(dir / "vorel.status");
    std::smatch m;
    return std::regex_search(status, m, stall) ? std::stol(m[1]) : -1;
  }
  void KillDriver() {
    driver_->Signal(SIGKILL);
    driver_->WaitForExit(std::chrono::seconds(10));
  }
  // The station stops sending; what it saw stays in its report.
  void StopStation() {
    station_->Signal(SIGTERM);
    station_->WaitForExit(std::chrono::seconds(10));
  }
  StationView Station() const { return ReadStationReport(Contents(dir / "station.txt")); }
  // The close a service manager makes: SIGTERM, exit status 0.
  void StopDriver() {
    driver_->Signal(SIGTERM);
    const auto status = driver_->WaitForExit(std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value()) << "the driver did not end";
    EXPECT_EQ(*status, 0);
  }
  // More of the driver's environment (a shim in front of the C library).
  std::map<std::string, std::string> driverEnv;
  bool DriverRunning() { return driver_ && driver_->Running(); }
  int driverStarts = 0;  // runs of the driver in this row

  // Alarm frames the station wrote on its line, resends included (a burst
  // is one write of many frames).
  long StationWrites() const {
    static const std::regex write("(^|\n)t=\\d+ (re)?sent (event account=|burst count=(\\d+))");
    const std::string text = Contents(dir / "station.txt");
    long frames = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), write), end; it != end; ++it)
      frames += (*it)[4].matched ? std::stol((*it)[4]) : 1;
    return frames;
  }
  // A sample of the driver's last vorel.prom (written as it ended), or -1.
  long Metric(const std::string& sample) const {
    const std::string metrics = Contents(dir / "vorel.prom");
    const std::size_t at = metrics.find("\n" + sample + " ");
    return at == std::string::npos ? -1 : std::stol(metrics.substr(at + sample.size() + 2));
  }
  // What the driver counted against what the others saw, once it has ended:
  // each alarm frame received is acknowledged or not, none still waits for
  // its decision; over one run of the driver it received every frame the
  // station wrote and acknowledged as many as the station counted; and no
  // copy counts as not kept while every alarm was acknowledged at once and
  // every event is at its server or in the spool.
  void ExpectCountersAddUp(bool everyEventKept) const {
    const long received = Metric("vorel_alarms_received_total{port=\"main\"}");
    const long acknowledged = Metric("vorel_alarms_acknowledged_total");
    const long notAcknowledged = Metric("vorel_alarms_not_acknowledged_total");
    const long awaiting = Metric("vorel_alarms_awaiting_ack");
    const std::string metrics = Contents(dir / "vorel.prom");
    EXPECT_EQ(received, acknowledged + notAcknowledged + awaiting) << metrics;
    EXPECT_EQ(awaiting, 0) << metrics;
    if (driverStarts == 1) {
      EXPECT_EQ(received, StationWrites()) << "every frame the station wrote\n" << metrics;
      EXPECT_EQ(acknowledged, Acks()) << "every ACK the station counted\n" << metrics;
    }
    // A copy not kept refuses its alarm the ACK (the station sends it again),
    // so with every alarm acknowledged at once and every event where it
    // belongs, nothing counts as not kept.
    if (everyEventKept && notAcknowledged == 0) {
      EXPECT_EQ(Metric("vorel_alarms_not_kept_total"), 0) << metrics;
    }
  }

  // ACKs the station has counted.
  long Acks() const {
    static const std::regex ack("ack total=(\\d+)");
    long last = 0;
    const std::string text = Contents(dir / "station.txt");
    for (std::sregex_iterator it(text.begin(), text.end(), ack), end; it != end; ++it) last = std::stol((*it)[1]);
    return last;
  }
  bool WaitForAcks(long n, std::chrono::seconds timeout) {
    return WaitUntil([&] { return Acks() >= n; }, timeout);
  }
  // Whether a server's output shows event `number` already.
  bool P7Has(int number) const { return Seen(servers.P7Seen(), "type=ftEvent(").contains(AccountOf(number)); }
  bool P8Has(int number) const { return Seen(servers.P8Seen(), "type=rtEventMain(").contains(AccountOf(number)); }
  bool P7HasAll(const std::vector<int>& numbers) const { return HasAll(servers.P7Seen(), "type=ftEvent(", numbers); }
  bool P8HasAll(const std::vector<int>& numbers) const { return HasAll(servers.P8Seen(), "type=rtEventMain(", numbers); }
  int SpoolFiles(const std::string& extension) const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(spool))
      if (entry.path().extension() == extension) ++count;
    return count;
  }

  // Both servers stopped. Protocol 7 has no acknowledgement: a frame its
  // server's system took in but the server never read is gone whatever the
  // driver does, so that server finishes (reads on until the driver closes)
  // before it goes; the protocol-8 server simply ends, as a crash would.
  void StopServers() {
    const auto finished = [&] { return Occurrences(servers.P7Seen(), "\nsummary "); };
    const int before = finished();
    if (servers.P7Command("finish")) WaitUntil([&] { return finished() > before; }, std::chrono::seconds(5));
    servers.Stop();
  }

  FaultCount Count(const std::vector<int>& numbers) const {
    FaultCount count;
    count.sent = static_cast<int>(numbers.size());
    const std::string listing = SpoolListing();
    count.p7 = CountLink(numbers, servers.P7Seen(), "type=ftEvent(", listing, "kind=protocol-7");
    count.p8 = CountLink(numbers, servers.P8Seen(), "type=rtEventMain(", listing, "kind=protocol-8");
    // What the servers could not even decode.
    count.p7.corrupted += static_cast<int>(Lines(servers.P7Seen(), "bad-marker").size());
    count.p8.corrupted += static_cast<int>(Lines(servers.P8Seen(), " error bad-").size());
    return count;
  }

  // Count, and report the counts under the scenario's name.
  FaultCount CountAndReport(const std::string& scenario, const std::vector<int>& numbers) const {
    const FaultCount count = Count(numbers);
    Report(scenario, count, LongestStallMs());
    return count;
  }

  // One line per scenario in the test output, and in the XML report.
  static void Report(const std::string& scenario, const FaultCount& c, long longestStallMs = -1) {
    std::ostringstream line;
    line << "fault " << scenario << ": sent=" << c.sent << " | protocol 7: delivered=" << c.p7.delivered
         << " spooled=" << c.p7.spooled << " lost=" << c.p7.lost << " repeated=" << c.p7.repeated
         << " corrupted=" << c.p7.corrupted << " | protocol 8: delivered=" << c.p8.delivered
         << " spooled=" << c.p8.spooled << " lost=" << c.p8.lost << " repeated=" << c.p8.repeated
         << " corrupted=" << c.p8.corrupted;
    if (!c.p7.lostAccounts.empty()) line << " | protocol 7 lost " << c.p7.lostAccounts;
    if (!c.p8.lostAccounts.empty()) line << " | protocol 8 lost " << c.p8.lostAccounts;
    if (longestStallMs >= 0) line << " | longest stall " << longestStallMs << " ms";
    std::cout << line.str() << std::endl;
    ::testing::Test::RecordProperty("fault", line.str());
  }

  TempDir dir;
  std::filesystem::path spool = dir / "spool";
  Protocol7Address p7Address;  // the protocol-7 server's, this test's own
  ReferenceServers servers{dir, p7Address.Text()};

 private:
  static std::vector<std::string> Lines(const std::string& text, const std::string& containing) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      if (line.find(containing) != std::string::npos) lines.push_back(line);
    return lines;
  }
  static int Account(const std::string& line) {
    static const std::regex account("account=(\\d+)");
    std::smatch m;
    return std::regex_search(line, m, account) ? std::stoi(m[1]) : -1;
  }
  // How many times each account appears on the lines of `type`.
  static std::map<int, int> Seen(const std::string& text, const std::string& type) {
    std::map<int, int> seen;
    for (const std::string& line : Lines(text, type)) ++seen[Account(line)];
    return seen;
  }
  static bool HasAll(const std::string& text, const std::string& type, const std::vector<int>& numbers) {
    const std::map<int, int> seen = Seen(text, type);
    for (int n : numbers)
      if (!seen.contains(AccountOf(n))) return false;
    return true;
  }

  // The spool files decoded by the spool inspector.
  std::string SpoolListing() const {
    std::string listing;
    const std::string command = std::string(VOREL_SPOOL_INSPECTOR) + " '" + spool.string() + "/' 2>/dev/null";
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      char buffer[4096];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) listing.append(buffer, n);
      ::pclose(pipe);
    }
    return listing;
  }

  static LinkCount CountLink(const std::vector<int>& numbers, const std::string& serverText, const std::string& type,
                             const std::string& listing, const std::string& kind) {
    LinkCount count;
    for (const std::string& line : Lines(serverText, type))
      if (line.find("code=E1") == std::string::npos) ++count.corrupted;
    const std::map<int, int> delivered = Seen(serverText, type);
    const std::map<int, int> spooled = Seen(listing, kind);
    const auto times = [](const std::map<int, int>& seen, int account) {
      const auto it = seen.find(account);
      return it == seen.end() ? 0 : it->second;
    };
    for (int n : numbers) {
      const int deliveries = times(delivered, AccountOf(n));
      const int spoolFiles = times(spooled, AccountOf(n));
      if (deliveries + spoolFiles > 1) ++count.repeated;
      if (deliveries > 0) {
        ++count.delivered;
      } else if (spoolFiles > 0) {
        ++count.spooled;
      } else {
        ++count.lost;
        count.lostAccounts += std::to_string(AccountOf(n)) + " ";
      }
    }
    return count;
  }

  std::unique_ptr<ChildProcess> station_;
  std::unique_ptr<ChildProcess> driver_;
};

}  // namespace vorel::test
