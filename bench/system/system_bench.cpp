// The whole driver measured from outside: the real program in a directory of
// its own, the station played on a pseudo-terminal, both servers played on
// loopback in this process, everything timed with one steady clock.
//
//   latency  station frame's last byte written -> event whole at each server,
//            and -> the driver's ACK, with both links up and with both down
//            (every event then written to a spool file and flushed first)
//   idle     CPU time of the idle program, both ports open, both links polling
//   drain    100 frames in one burst -> all 100 events at the protocol-8 server
//   memory   resident size at start, after the latency run, after a soak
//   catch-up a driver started with N spooled events of each kind and both
//            servers up, while a station sends live alarms twice a second:
//            the time until the whole backlog is at both servers, the live
//            alarms' ACK delay and delivery meanwhile, memory; at a fast
//            replay pace, then at the steady one with a small N
//   storm    N alarms, each sent as soon as the last one's ACK came, both
//            links up: alarms per second and the ACK delay, with the cut at
//            a frame's end off and on, and on over a line paced at 9600 baud
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "loopback_servers.h"
#include "p7/frame.h"
#include "p8/record_types.h"
#include "receiver/event_record.h"
#include "proc_stats.h"
#include "spread.h"
#include "station_frames.h"
#include "station_pty.h"
#include "storm_run.h"
#include "wait_for.h"
#include "support/child_process.h"
#include "support/spooled_alarm.h"
#include "support/temp_dir.h"

namespace vorel::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kFirstNumber = 31;  // the driver's default
constexpr int kDrainEvents = 100;
constexpr int kDrainFirstAccount = 5001;
constexpr int kSoakFirstAccount = 5201;
constexpr int kRestartFirstAccount = 9001;  // second-port frames during a restart pause
constexpr int kRestartFrames = 20;
constexpr std::int32_t kBacklogFirstAccount = 900000;  // not a station's: FirstNumber 90
constexpr int kCatchUpLiveFirstAccount = 7001;         // live alarms during a catch-up

struct Options {
  int events = 200;
  int spacingMs = 300;
  int idleSeconds = 60;
  int soakSeconds = 30;
  std::string host = "127.0.0.200";      // the protocol-7 server's address
  std::string downHost = "127.0.0.201";  // where no server listens
  std::string catchUpHost = "127.0.0.202";  // the catch-up runs' protocol-7 server
  int catchUp = 10000;       // spooled events of each kind, fast pace
  int catchUpPace = 50;      // SoobPerTick of the fast run
  int catchUpSteady = 50;    // spooled events of each kind at the steady pace (SoobPerTick=1)
  bool catchUpOnly = false;
  // The catch-up runs on a slow disk: the shim put in front of the C library
  // (tests/system's vorel_slow_fsync_shim), every fsync and every read of a
  // spool file that much slower.
  std::string slowDisk;
  int slowFsyncMs = 300;
  int slowReadMs = 0;
  int storm = 1000;     // alarms of each storm run with CutAtFrameEnd=1
  int stormOff = 1000;  // alarms of the storm run with CutAtFrameEnd=0 (about 5 a second)
  int stormBaud = 9600; // the paced storm run's line rate
  bool stormOnly = false;
  std::string stormHost = "127.0.0.203";  // the storm runs' protocol-7 server
  bool smoke = false;
  std::string vorel = VOREL_BINARY;
};

void Usage() {
  std::printf(
      "vorel_system_bench [options]\n"
      "  --events N      latency run: N station frames (default 200)\n"
      "  --spacing MS    between two frames of the latency run and the soak (default 300)\n"
      "  --idle S        idle CPU measured over S seconds (default 60)\n"
      "  --soak S        soak: a frame every spacing for S seconds before the last memory reading (default 30;\n"
      "                  1800 for the long soak)\n"
      "  --quick         --idle 10 --soak 10\n"
      "  --catch-up N    the fast catch-up run: N spooled events of each kind (default 10000; 0: none)\n"
      "  --pace P        its SoobPerTick (default 50)\n"
      "  --steady N      the catch-up run at the steady pace, SoobPerTick=1 (default 50; 0: none)\n"
      "  --catch-up-only only the catch-up runs\n"
      "  --slow-disk SHIM the catch-up runs with the slow-disk shim (build/tests/system/libvorel_slow_fsync_shim.so)\n"
      "  --slow-fsync MS  with it, every fsync that much slower (default 300)\n"
      "  --slow-read MS   with it, every read of a spool file that much slower (default 0)\n"
      "  --storm N       the storm runs with CutAtFrameEnd=1: N alarms each (default 1000; 0: none)\n"
      "  --storm-off N   the storm run with CutAtFrameEnd=0: N alarms (default 1000; 0: none)\n"
      "  --storm-baud B  the paced storm run's line rate (default 9600; 0: none)\n"
      "  --storm-only    only the storm runs\n"
      "  --smoke         every run, briefly (--events 5 --idle 1 --soak 0 --catch-up 40 --steady 5 --storm 20\n"
      "                  --storm-off 3): that the benchmark still works, not figures; each run's failure makes\n"
      "                  the exit status 1\n"
      "  --host ADDR     the protocol-7 server's loopback address (default 127.0.0.200; port 7788)\n"
      "  --vorel PATH    the program (default the build's)\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--events") o.events = std::atoi(value().c_str());
    else if (a == "--spacing") o.spacingMs = std::atoi(value().c_str());
    else if (a == "--idle") o.idleSeconds = std::atoi(value().c_str());
    else if (a == "--soak") o.soakSeconds = std::atoi(value().c_str());
    else if (a == "--quick") o.idleSeconds = 10, o.soakSeconds = 10;
    else if (a == "--host") o.host = value();
    else if (a == "--catch-up") o.catchUp = std::atoi(value().c_str());
    else if (a == "--pace") o.catchUpPace = std::atoi(value().c_str());
    else if (a == "--steady") o.catchUpSteady = std::atoi(value().c_str());
    else if (a == "--catch-up-only") o.catchUpOnly = true;
    else if (a == "--slow-disk") o.slowDisk = value();
    else if (a == "--slow-fsync") o.slowFsyncMs = std::atoi(value().c_str());
    else if (a == "--slow-read") o.slowReadMs = std::atoi(value().c_str());
    else if (a == "--storm") o.storm = std::atoi(value().c_str());
    else if (a == "--storm-off") o.stormOff = std::atoi(value().c_str());
    else if (a == "--storm-baud") o.stormBaud = std::atoi(value().c_str());
    else if (a == "--storm-only") o.stormOnly = true;
    else if (a == "--smoke") o.smoke = true, o.events = 5, o.idleSeconds = 1, o.soakSeconds = 0, o.catchUp = 40,
                             o.catchUpSteady = 5, o.storm = 20, o.stormOff = 3;
    else if (a == "--vorel") o.vorel = value();
    else return false;
  }
  return o.events > 0 && o.events < kDrainFirstAccount && o.spacingMs > 0 && o.idleSeconds > 0 &&
         o.soakSeconds >= 0 && o.catchUp >= 0 && o.catchUp <= 99999 && o.catchUpSteady >= 0 &&
         o.catchUpSteady <= 99999 && o.catchUpPace > 0 && o.storm >= 0 && o.storm <= 8999 && o.stormOff >= 0 &&
         o.stormOff <= 8999 && o.stormBaud >= 0 && o.slowFsyncMs >= 0 && o.slowReadMs >= 0;
}

std::int32_t Account(int stationDigits) { return kFirstNumber * 10000 + stationDigits; }

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class Bench {
 public:
  explicit Bench(Options options) : o_(std::move(options)) {}

  int Run() {
    if (o_.stormOnly) return Storms();
    if (o_.catchUpOnly) return CatchUps();
    if (!Setup()) return 1;
    const pid_t pid = driver_->Pid();
    const long rssStart = RssKiB(pid).value_or(-1);
    std::printf("memory: VmRSS at start %ld KiB\n", rssStart);

    Latency();
    AckWithLinksDown();
    const long rssAfterLatency = RssKiB(pid).value_or(-1);
    std::printf("memory: VmRSS after the latency run %ld KiB\n", rssAfterLatency);

    Idle();
    Drain();
    Soak();
    ReportStall("the runs above (latency, links down, idle, burst, soak)");
    RestartPause();
    const long rssAfterSoak = RssKiB(pid).value_or(-1);
    std::printf("memory: VmRSS start %ld KiB, after latency run %ld KiB, after %d s soak %ld KiB (goal: flat)\n",
                rssStart, rssAfterLatency, o_.soakSeconds, rssAfterSoak);

    const auto c = servers_.GetCounts();
    std::printf("servers: protocol 7 %llu connection(s), %llu frames, %llu events; protocol 8 %llu connection(s), "
                "%llu records, %llu events, %llu polls\n",
                ull(c.p7Connections), ull(c.p7Frames), ull(c.p7Events), ull(c.p8Connections), ull(c.p8Records),
                ull(c.p8Events), ull(c.p8Polls));
    const auto signalled = Clock::now();
    driver_->Signal(SIGTERM);
    const auto status = driver_->WaitForExit(20s);
    std::printf("driver: %s, %.0f ms after SIGTERM (goal: under 1 s; the limit is 5 s)\n",
                status ? ("ended with status " + std::to_string(*status)).c_str() : "did not end",
                Ms(Clock::now() - signalled));
    Check(status && *status == 0, "the driver ended with status 0 on SIGTERM");
    const int catchUps = CatchUps();
    const int storms = Storms();
    return catchUps == 0 && storms == 0 && failures_ == 0 ? 0 : 1;
  }

  int Storms() {
    bool ok = true;
    StormOptions storm{.vorel = o_.vorel, .p7Host = o_.stormHost};
    if (o_.stormOff > 0) {
      storm.alarms = o_.stormOff;
      storm.cutAtFrameEnd = false;
      ok = RunStorm(storm) && ok;
    }
    if (o_.storm > 0) {
      storm.alarms = o_.storm;
      storm.cutAtFrameEnd = true;
      ok = RunStorm(storm) && ok;
      if (o_.stormBaud > 0) {
        storm.baud = o_.stormBaud;
        ok = RunStorm(storm) && ok;
      }
    }
    return ok ? 0 : 1;
  }

  int CatchUps() {
    bool ok = true;
    if (o_.catchUp > 0) ok = CatchUp(o_.catchUp, o_.catchUpPace) && ok;
    if (o_.catchUpSteady > 0) ok = CatchUp(o_.catchUpSteady, 1) && ok;
    return ok ? 0 : 1;
  }

  // The spool of an outage: `count` events of each kind in the driver's own
  // spool format, oldest first by name, accounts kBacklogFirstAccount + i.
  static void WriteBacklog(const fs::path& spool, int count) {
    fs::create_directories(spool);
    for (int i = 0; i < count; ++i) test::WriteSpooledAlarm(spool, i, kBacklogFirstAccount + i);
  }

  // A driver started on a spool of `count` events of each kind with both
  // servers up, at SoobPerTick=`pace`, while the station sends a live alarm
  // every 500 ms.
  bool CatchUp(int count, int pace) {
    test::TempDir dir;
    StationPty line;
    LoopbackServers servers;
    std::string error;
    if (!servers.Start(o_.catchUpHost, 7788, "127.0.0.1", error) || !line.Ok()) {
      std::fprintf(stderr, "catch-up: %s\n", error.empty() ? "no pseudo-terminal" : error.c_str());
      return false;
    }
    fs::create_directory(dir / "com");
    fs::create_symlink(line.SlavePath(), dir / "com" / "COM1");
    WriteBacklog(dir / "spool", count);
    test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nSendMivo8=1\nhost=" +
                                           o_.catchUpHost + "\nSoobPerTick=" + std::to_string(pace) +
                                           "\nPathForSoob=" + (dir / "spool").string() +
                                           "/\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                           std::to_string(servers.P8Port()) + "\n");
    std::map<std::string, std::string> env{{"QT_QPA_PLATFORM", "offscreen"},
                                           {"VOREL_CLOCK_FILE", (dir / "clock.txt").string()},
                                           {"VOREL_COM_DIR", (dir / "com").string()},
                                           {"VOREL_STALL_PROBE", "1"}};
    if (!o_.slowDisk.empty()) {
      env["LD_PRELOAD"] = o_.slowDisk;
      env["VOREL_SLOW_FSYNC_MS"] = std::to_string(o_.slowFsyncMs);
      env["VOREL_SLOW_READ_MS"] = std::to_string(o_.slowReadMs);
      env["VOREL_SLOW_READ_PATH"] = fs::canonical(dir / "spool").string();
      std::printf("catch-up: on a slow disk, every fsync %d ms and every read of a spool file %d ms slower\n",
                  o_.slowFsyncMs, o_.slowReadMs);
    }
    const auto started = Clock::now();
    test::ChildProcess driver(o_.vorel, {}, dir.Path().string(), env);
    const auto arrived = [&](bool protocol8) {
      int n = 0;
      for (int i = 0; i < count; ++i)
        n += (protocol8 ? servers.P8Arrival(kBacklogFirstAccount + i) : servers.P7Arrival(kBacklogFirstAccount + i))
                 .has_value();
      return n;
    };
    std::optional<Clock::time_point> p7Done, p8Done;
    std::map<int, Clock::time_point> written;
    std::vector<double> acks;
    long rssMax = 0, rssFirst = -1;
    const auto deadline = started + std::chrono::seconds(60 + count / 2);
    auto next = Clock::now();
    int live = 0;
    while ((!p7Done || !p8Done) && Clock::now() < deadline) {
      std::this_thread::sleep_until(next);
      next += 500ms;
      if (line.OpenedByDriver()) {
        const int account = kCatchUpLiveFirstAccount + live++;
        line.Drain();  // a late ACK of the frame before is not this one's
        line.Write(station::MainEventFrame(station::NumberedAccount(account), "E1"));
        written[account] = Clock::now();
        if (const auto ack = line.WaitForAck(300ms)) acks.push_back(Ms(*ack - written[account]));
      }
      if (!p7Done && arrived(false) == count) p7Done = Clock::now();
      if (!p8Done && arrived(true) == count) p8Done = Clock::now();
      if (const auto rss = RssKiB(driver.Pid())) {
        if (rssFirst < 0) rssFirst = *rss;
        rssMax = std::max(rssMax, *rss);
      }
    }
    WaitFor([&] { return live == 0 || (servers.P7Arrival(Account(kCatchUpLiveFirstAccount + live - 1)) &&
                                        servers.P8Arrival(Account(kCatchUpLiveFirstAccount + live - 1))); },
            5s);
    std::vector<double> p7, p8;
    for (const auto& [account, at] : written) {
      if (const auto t = servers.P7Arrival(Account(account))) p7.push_back(Ms(*t - at));
      if (const auto t = servers.P8Arrival(Account(account))) p8.push_back(Ms(*t - at));
    }
    const auto seconds = [&](const std::optional<Clock::time_point>& done) {
      return done ? std::to_string(std::chrono::duration<double>(*done - started).count()).substr(0, 5) + " s"
                  : std::string("NOT ALL (") + "deadline passed)";
    };
    std::printf("catch-up: %d spooled events of each kind, SoobPerTick=%d, from the start: whole backlog at the "
                "protocol-7 server after %s (%d of %d), at the protocol-8 server after %s (%d of %d)\n",
                count, pace, seconds(p7Done).c_str(), arrived(false), count, seconds(p8Done).c_str(), arrived(true),
                count);
    std::printf("catch-up: %d live alarms meanwhile, 2 a second\n", live);
    Print("catch-up: live ACK (from the frame's last byte; the floor is the 200 ms packet time-out)",
          SpreadOf(acks), live);
    Print("catch-up: live at the protocol-7 server", SpreadOf(p7), live);
    Print("catch-up: live at the protocol-8 server", SpreadOf(p8), live);
    std::printf("catch-up: VmRSS first reading %ld KiB, highest %ld KiB\n", rssFirst, rssMax);
    std::size_t left = 0;
    for (const auto& entry : fs::directory_iterator(dir / "spool")) left += entry.is_regular_file();
    std::printf("catch-up: %zu spool files left\n", left);
    const std::string status = test::ReadFile(dir / "vorel.status");
    const std::string key = "loop.longest_stall_ms=";
    const std::size_t at = status.find(key);
    if (at != std::string::npos)
      std::printf("catch-up: the event loop's longest stall %s ms\n",
                  status.substr(at + key.size(), status.find('\n', at) - at - key.size()).c_str());
    driver.Signal(SIGTERM);
    driver.WaitForExit(20s);
    return p7Done && p8Done;
  }

 private:
  static unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

  // A run that did not do what it measures: said at once, and the exit
  // status is 1, so that a broken benchmark is never read as a figure. Only
  // what must happen however slow the machine is checked (every event
  // arrives, every frame is spooled), never a time: an ACK later than the
  // frame spacing is a figure, not a failure.
  void Check(bool ok, const char* what) {
    if (ok) return;
    ++failures_;
    std::printf("FAILED: %s\n", what);
  }

  // A driver in `dir` on both stations' lines and both servers; with the
  // stall probe, vorel.status reports the event loop's longest stall.
  std::unique_ptr<test::ChildProcess> StartDriver(const test::TempDir& dir, const StationPty& main,
                                                  const StationPty& second, bool stallProbe) {
    fs::create_directory(dir / "com");
    fs::create_directory(dir / "spool");
    fs::create_symlink(main.SlavePath(), dir / "com" / "COM1");
    fs::create_symlink(second.SlavePath(), dir / "com" / "COM2");
    test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[portUSB]\nComPort=COM2\n[main]\nSendMivo7=1\n"
                                       "SendMivo8=1\nhost=" + o_.host + "\nPathForSoob=" +
                                           (dir / "spool").string() + "/\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                           std::to_string(servers_.P8Port()) + "\n");
    std::map<std::string, std::string> env{{"QT_QPA_PLATFORM", "offscreen"},
                                           {"VOREL_CLOCK_FILE", (dir / "clock.txt").string()},
                                           {"VOREL_COM_DIR", (dir / "com").string()}};
    if (stallProbe) env["VOREL_STALL_PROBE"] = "1";
    return std::make_unique<test::ChildProcess>(o_.vorel, std::vector<std::string>{}, dir.Path().string(), env);
  }

  bool Setup() {
    std::string error;
    if (!servers_.Start(o_.host, 7788, "127.0.0.1", error)) {
      std::fprintf(stderr, "system bench: %s\n", error.c_str());
      return false;
    }
    if (!main_.Ok() || !second_.Ok()) {
      std::fprintf(stderr, "system bench: no pseudo-terminal\n");
      return false;
    }
    driver_ = StartDriver(dir_, main_, second_, true);
    const auto started = Clock::now();
    const bool up = WaitFor(
        [&] {
          const auto c = servers_.GetCounts();
          return main_.OpenedByDriver() && second_.OpenedByDriver() && c.p7Hellos > 0 && c.p8Hellos > 0 &&
                 c.p8Polls > 0;
        },
        30s);
    if (!up) {
      const auto c = servers_.GetCounts();
      std::fprintf(stderr, "system bench: the driver did not come up (ports %d %d, p7 hello %llu, p8 hello %llu)\n",
                   main_.OpenedByDriver(), second_.OpenedByDriver(), ull(c.p7Hellos), ull(c.p8Hellos));
      return false;
    }
    std::printf("driver: pid %d, both ports open and both links up after %.0f ms\n", driver_->Pid(),
                Ms(Clock::now() - started));
    std::this_thread::sleep_for(1s);  // let the start-up records and the station's restoration go out
    return true;
  }

  // Writes the frame; the moment its last byte was written.
  Clock::time_point Send(const station::Bytes& frame) {
    main_.Write(frame);
    const auto written = Clock::now();
    main_.Drain();
    return written;
  }

  void Latency() {
    std::map<int, Clock::time_point> written;
    std::vector<double> acks;
    auto next = Clock::now();
    for (int i = 1; i <= o_.events; ++i) {
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(o_.spacingMs);
      main_.Drain();  // a late ACK of the frame before is not this one's
      main_.Write(station::MainEventFrame(station::NumberedAccount(i), "E1"));
      written[i] = Clock::now();
      if (const auto ack = main_.WaitForAck(std::chrono::milliseconds(o_.spacingMs))) acks.push_back(Ms(*ack - written[i]));
    }
    WaitFor([&] { return servers_.P7Arrival(Account(o_.events)) && servers_.P8Arrival(Account(o_.events)); }, 5s);
    std::this_thread::sleep_for(500ms);
    std::vector<double> p7, p8;
    for (const auto& [i, at] : written) {
      if (const auto t = servers_.P7Arrival(Account(i))) p7.push_back(Ms(*t - at));
      if (const auto t = servers_.P8Arrival(Account(i))) p8.push_back(Ms(*t - at));
    }
    // The first byte wakes the port; it then polls every 5 ms and cuts the
    // packet at the first poll more than 200 ms after that byte.
    std::printf("latency: %d station frames %d ms apart; floor: the 200 ms packet time-out, polled every 5 ms "
                "(200-205 ms); goal: p99 within 10 ms of the floor\n",
                o_.events, o_.spacingMs);
    Print("latency: protocol 7 (ftEvent)", SpreadOf(p7));
    Print("latency: protocol 8 (rtEventMain)", SpreadOf(p8));
    Print("ack: both links up (the event written ahead to its .ddm and .dd8 files, then sent)",
          SpreadOf(acks));
    Check(p7.size() == written.size() && p8.size() == written.size(), "latency: every frame's event at both servers");
  }

  // A second driver whose servers do not exist: every event is written to a
  // .ddm and a .dd8 file, each flushed to the disk, before the ACK.
  void AckWithLinksDown() {
    test::TempDir dir;
    StationPty line;
    fs::create_directory(dir / "com");
    fs::create_symlink(line.SlavePath(), dir / "com" / "COM1");
    test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nSendMivo8=1\nhost=" +
                                           o_.downHost + "\nPathForSoob=" + (dir / "spool").string() +
                                           "/\n[ServerHost]\nAddress=" + o_.downHost + "\nPort=1\n");
    test::ChildProcess driver(o_.vorel, {}, dir.Path().string(),
                              std::map<std::string, std::string>{{"QT_QPA_PLATFORM", "offscreen"},
                                                                 {"VOREL_CLOCK_FILE", (dir / "clock.txt").string()},
                                                                 {"VOREL_COM_DIR", (dir / "com").string()}});
    if (!WaitFor([&] { return line.OpenedByDriver(); }, 30s)) {
      Check(false, "ack: links down: the second driver did not open its port");
      return;
    }
    std::this_thread::sleep_for(1s);
    std::vector<double> acks;
    const int events = std::min(o_.events, 100);
    auto next = Clock::now();
    for (int i = 1; i <= events; ++i) {
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(o_.spacingMs);
      line.Drain();  // a late ACK of the frame before is not this one's
      line.Write(station::MainEventFrame(station::NumberedAccount(i), "E1"));
      const auto at = Clock::now();
      if (const auto ack = line.WaitForAck(std::chrono::milliseconds(o_.spacingMs))) acks.push_back(Ms(*ack - at));
    }
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir / "spool")) files += entry.is_regular_file();
    Print("ack: both links down (a .ddm and a .dd8 file written and flushed)", SpreadOf(acks), events);
    std::printf("ack: links down: %zu spool files for %d events\n", files, events);
    Check(files >= 2 * static_cast<std::size_t>(events), "ack: links down: every frame spooled for both links");
    driver.Signal(SIGTERM);
    driver.WaitForExit(20s);
  }

  void Print(const char* what, const Spread& s, int of = 0) {
    std::printf("%s: %zu of %d arrived, median %.1f ms, p99 %.1f ms, min %.1f ms, max %.1f ms\n", what, s.count,
                of ? of : o_.events, s.median, s.p99, s.min, s.max);
  }

  // A driver of its own without the stall probe, whose 10-ms timer would
  // cost more than the idle driver itself; the other one idles meanwhile.
  void Idle() {
    test::TempDir dir;
    StationPty mainLine, secondLine;
    const auto atStart = servers_.GetCounts();
    const auto driver = StartDriver(dir, mainLine, secondLine, false);
    const pid_t pid = driver->Pid();
    const bool up = WaitFor(
        [&] {
          const auto c = servers_.GetCounts();
          return mainLine.OpenedByDriver() && secondLine.OpenedByDriver() && c.p7Hellos > atStart.p7Hellos &&
                 c.p8Hellos > atStart.p8Hellos;
        },
        30s);
    Check(up, "idle: the idle driver came up");
    if (!up) return;
    std::this_thread::sleep_for(2s);
    const auto c0 = servers_.GetCounts();
    const auto cpu0 = CpuSeconds(pid);
    const auto threads0 = ThreadCpuSeconds(pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(o_.idleSeconds));
    const auto cpu1 = CpuSeconds(pid);
    const auto threads1 = ThreadCpuSeconds(pid);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto c1 = servers_.GetCounts();
    driver->Signal(SIGTERM);
    driver->WaitForExit(20s);
    if (!cpu0 || !cpu1) {
      Check(false, "idle: the idle driver ran to the end");
      return;
    }
    const double used = *cpu1 - *cpu0;
    std::printf("idle: %.1f s with both ports open, both links up, no stall probe (%llu protocol-8 polls of both "
                "drivers): CPU %.2f s = %.2f %% of one core, %.0f ms per minute (goal under 1 %%)\n",
                wall, ull(c1.p8Polls - c0.p8Polls), used, 100.0 * used / wall, 60'000.0 * used / wall);
    for (const auto& [thread, after] : threads1) {
      const auto before = threads0.find(thread);
      const double spent = after - (before == threads0.end() ? 0.0 : before->second);
      if (spent <= 0) continue;
      const bool main = thread.starts_with(std::to_string(pid) + " ");
      std::printf("idle:   thread %s%s: %.2f %% of one core\n", thread.c_str(), main ? " (main)" : "",
                  100.0 * spent / wall);
    }
  }

  void Drain() {
    station::Bytes burst;
    for (int i = 0; i < kDrainEvents; ++i) {
      const station::Bytes frame = station::MainEventFrame(station::NumberedAccount(kDrainFirstAccount + i), "E1");
      burst.insert(burst.end(), frame.begin(), frame.end());
    }
    const auto written = Send(burst);
    const auto all = [&](bool protocol8) {
      for (int i = 0; i < kDrainEvents; ++i)
        if (!(protocol8 ? servers_.P8Arrival(Account(kDrainFirstAccount + i))
                        : servers_.P7Arrival(Account(kDrainFirstAccount + i))))
          return false;
      return true;
    };
    // Each queued protocol-8 event is written ahead to a .dd8 file until
    // the server answers it (and one the full queue refused waits there for
    // the replay): count the most seen at once.
    std::size_t spooled = 0;
    const bool p8 = WaitFor(
        [&] {
          main_.Drain();
          std::size_t now = 0;
          std::error_code ec;
          for (fs::directory_iterator it(dir_ / "spool", ec), end; !ec && it != end; it.increment(ec))
            now += it->path().extension() == ".dd8";
          spooled = std::max(spooled, now);
          return all(true);
        },
        120s);
    const auto last = [&](bool protocol8) {
      Clock::time_point latest{};
      for (int i = 0; i < kDrainEvents; ++i) {
        const auto t = protocol8 ? servers_.P8Arrival(Account(kDrainFirstAccount + i))
                                 : servers_.P7Arrival(Account(kDrainFirstAccount + i));
        if (t) latest = std::max(latest, *t);
      }
      return latest;
    };
    const bool p7 = WaitFor([&] { return all(false); }, 10s);
    std::printf("drain: %d frames in one burst (%zu bytes), from the last byte written until the last event: "
                "protocol 8 %.0f ms%s, protocol 7 %.0f ms%s; .dd8 files at most %zu\n",
                kDrainEvents, burst.size(), Ms(last(true) - written), p8 ? "" : " (NOT ALL ARRIVED)",
                Ms(last(false) - written), p7 ? "" : " (NOT ALL ARRIVED)", spooled);
    Check(p7 && p8, "drain: every event of the burst at both servers");
    std::this_thread::sleep_for(1s);
  }

  // The event loop's longest stall so far, from the status file (looked at
  // once a second by the driver).
  void ReportStall(const char* phase) {
    std::this_thread::sleep_for(1500ms);
    const std::string status = test::ReadFile(dir_ / "vorel.status");
    const std::string key = "loop.longest_stall_ms=";
    const std::size_t at = status.find(key);
    const std::string value = at == std::string::npos ? "?" : status.substr(at + key.size(), status.find('\n', at) - at - key.size());
    std::printf("stall: the event loop's longest stall after %s: %s ms (goal under 50 ms)\n", phase, value.c_str());
  }

  // Three restart frames in one packet close the main port for 15 s; the
  // second port's frames meanwhile reach the servers as usual.
  void RestartPause() {
    station::Bytes restarts;
    for (int i = 0; i < 3; ++i) {
      const station::Bytes frame = station::RestartFrame();
      restarts.insert(restarts.end(), frame.begin(), frame.end());
    }
    main_.Write(restarts);
    std::this_thread::sleep_for(300ms);  // the packet is cut, the pause begins
    std::vector<double> latencies;
    auto next = Clock::now();
    for (int i = 0; i < kRestartFrames; ++i) {
      std::this_thread::sleep_until(next);
      next += 500ms;
      const int account = kRestartFirstAccount + i;
      second_.Write(station::SecondPortFrame(station::NumberedAccount(account), '0', '0'));
      const auto written = Clock::now();
      if (WaitFor([&] { return servers_.P7Arrival(Account(account)).has_value(); }, 450ms))
        latencies.push_back(Ms(*servers_.P7Arrival(Account(account)) - written));
    }
    Print("restart: second-port frames during the main port's 15-s restart pause, at the protocol-7 server",
          SpreadOf(latencies), kRestartFrames);
    const auto allArrived = [&] {
      for (int i = 0; i < kRestartFrames; ++i)
        if (!servers_.P7Arrival(Account(kRestartFirstAccount + i))) return false;
      return true;
    };
    Check(WaitFor(allArrived, 30s), "restart: every second-port frame at the server");
    ReportStall("three restart frames and the second port's traffic during the pause");
  }

  void Soak() {
    if (o_.soakSeconds == 0) return;
    const pid_t pid = driver_->Pid();
    const auto c0 = servers_.GetCounts();
    const auto end = Clock::now() + std::chrono::seconds(o_.soakSeconds);
    auto next = Clock::now();
    auto nextReport = Clock::now() + std::max(10s, std::chrono::seconds(o_.soakSeconds / 6));
    int sent = 0;
    while (Clock::now() < end) {
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(o_.spacingMs);
      const int account = kSoakFirstAccount + sent % (station::kMaxAccountNumber - kSoakFirstAccount + 1);
      Send(station::MainEventFrame(station::NumberedAccount(account), "E1"));
      ++sent;
      if (Clock::now() >= nextReport) {
        nextReport += std::max(10s, std::chrono::seconds(o_.soakSeconds / 6));
        std::printf("soak: %d frames sent, VmRSS %ld KiB\n", sent, RssKiB(pid).value_or(-1));
        std::fflush(stdout);
      }
    }
    const auto arrived = [&](const LoopbackServers::Counts& c) {
      return c.p7Events - c0.p7Events >= static_cast<std::uint64_t>(sent) &&
             c.p8Events - c0.p8Events >= static_cast<std::uint64_t>(sent);
    };
    WaitFor([&] { return arrived(servers_.GetCounts()); }, 30s);
    const auto c1 = servers_.GetCounts();
    std::printf("soak: %d s, %d frames: protocol 7 got %llu events, protocol 8 got %llu\n", o_.soakSeconds, sent,
                ull(c1.p7Events - c0.p7Events), ull(c1.p8Events - c0.p8Events));
    Check(arrived(c1), "soak: every frame at both servers");
  }

  Options o_;
  test::TempDir dir_;
  LoopbackServers servers_;
  StationPty main_;
  StationPty second_;
  std::unique_ptr<test::ChildProcess> driver_;
  int failures_ = 0;
};

}  // namespace
}  // namespace vorel::bench

int main(int argc, char** argv) {
  vorel::bench::Options options;
  if (!vorel::bench::ParseOptions(argc, argv, options)) {
    vorel::bench::Usage();
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return vorel::bench::Bench(options).Run();
}
