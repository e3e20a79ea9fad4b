#include "storm_run.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "line_pace.h"
#include "loopback_servers.h"
#include "spread.h"
#include "station_frames.h"
#include "station_pty.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "wait_for.h"

namespace vorel::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kFirstAccount = 1001;
constexpr std::int32_t kFirstNumber = 31;
// A real station sends an alarm again when its ACK has not come within 5 s.
constexpr auto kStationResend = 5000ms;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

bool RunStorm(const StormOptions& o) {
  const std::string name = std::string("storm: CutAtFrameEnd=") + (o.cutAtFrameEnd ? "1" : "0") +
                           (o.baud > 0 ? ", " + std::to_string(o.baud) + " baud" : ", pseudo-terminal speed");
  test::TempDir dir;
  StationPty line;
  LoopbackServers servers;
  std::string error;
  if (!servers.Start(o.p7Host, 7788, "127.0.0.1", error) || !line.Ok()) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.empty() ? "no pseudo-terminal" : error.c_str());
    return false;
  }
  fs::create_directory(dir / "com");
  fs::create_directory(dir / "spool");
  fs::create_symlink(line.SlavePath(), dir / "com" / "COM1");
  test::WriteFile(dir / "vorel.ini", std::string("[port]\nComPort=COM1\nCutAtFrameEnd=") +
                                         (o.cutAtFrameEnd ? "1" : "0") + "\n[main]\nSendMivo7=1\nSendMivo8=1\nhost=" +
                                         o.p7Host + "\nPathForSoob=" + (dir / "spool").string() +
                                         "/\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                         std::to_string(servers.P8Port()) + "\n");
  test::ChildProcess driver(o.vorel, {}, dir.Path().string(),
                            std::map<std::string, std::string>{{"QT_QPA_PLATFORM", "offscreen"},
                                                               {"VOREL_CLOCK_FILE", (dir / "clock.txt").string()},
                                                               {"VOREL_COM_DIR", (dir / "com").string()}});
  const bool up = WaitFor(
      [&] {
        const auto c = servers.GetCounts();
        return line.OpenedByDriver() && c.p7Hellos > 0 && c.p8Hellos > 0 && c.p8Polls > 0;
      },
      30s);
  if (!up) {
    std::printf("%s: the driver did not come up\n", name.c_str());
    return false;
  }
  std::this_thread::sleep_for(1s);  // the start-up pulse and records
  line.Drain();

  std::vector<double> acks;
  int resent = 0;
  const auto first = Clock::now();
  auto lastAck = first;
  for (int i = 0; i < o.alarms; ++i) {
    const station::Bytes frame =
        station::MainEventFrame(station::NumberedAccount(kFirstAccount + i), "E1");
    for (;;) {
      line.Write(frame, o.baud);
      const auto written = Clock::now();
      if (const auto ack = line.WaitForAck(std::chrono::duration_cast<std::chrono::milliseconds>(kStationResend))) {
        acks.push_back(Ms(*ack - written));
        lastAck = *ack;
        // On a real line the station hears the ACK once its ten bits are
        // through; the terminal hands it over at once.
        if (o.baud > 0) std::this_thread::sleep_until(*ack + station::ByteTime(o.baud));
        break;
      }
      ++resent;
    }
  }
  const double seconds =
      std::chrono::duration<double>(lastAck + (o.baud > 0 ? station::ByteTime(o.baud) : Clock::duration{}) - first)
          .count();

  const auto all = [&](bool protocol8) {
    int n = 0;
    for (int i = 0; i < o.alarms; ++i) {
      const std::int32_t account = kFirstNumber * 10000 + kFirstAccount + i;
      n += (protocol8 ? servers.P8Arrival(account) : servers.P7Arrival(account)).has_value();
    }
    return n;
  };
  const bool delivered = WaitFor([&] { return all(false) == o.alarms && all(true) == o.alarms; }, 60s);
  const double after = Ms(Clock::now() - lastAck);

  const double rate = seconds > 0 ? o.alarms / seconds : 0;
  std::printf("%s: %d alarms, each sent when the last one's ACK came, both links up: %.1f s, %.1f alarms/s "
              "(%d sent again after 5 s without ACK)\n",
              name.c_str(), o.alarms, seconds, rate, resent);
  const Spread s = SpreadOf(acks);
  std::printf("%s: ACK delay from the frame's last byte: median %.1f ms, p99 %.1f ms, min %.1f ms, max %.1f ms\n",
              name.c_str(), s.median, s.p99, s.min, s.max);
  if (o.baud > 0) {
    // The station waits for each ACK: one alarm takes its 12 bytes one way
    // and the ACK byte the other way, one after the other.
    const double frameBytes = static_cast<double>(station::kMainEventFrameSize) + 1;
    const double lineRate = o.baud / (station::kBitsPerByte * frameBytes);
    std::printf("%s: the line carries at most %.1f alarms/s (12 bytes there, the ACK back, each byte 10 bits); "
                "this run %.0f %% of it\n",
                name.c_str(), lineRate, 100.0 * rate / lineRate);
  }
  std::printf("%s: at the protocol-7 server %d, at the protocol-8 server %d of %d%s\n", name.c_str(), all(false),
              all(true), o.alarms, delivered ? "" : " (NOT ALL ARRIVED within 60 s)");
  std::printf("%s: the last alarm at both servers %.0f ms after its ACK\n", name.c_str(), delivered ? after : -1.0);
  driver.Signal(SIGTERM);
  driver.WaitForExit(20s);
  return delivered;
}

}  // namespace vorel::bench
