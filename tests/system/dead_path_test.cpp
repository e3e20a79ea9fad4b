// A path that dies silently: packets simply vanish, no reset comes. The
// driver runs in a network namespace of its own, the reference servers in
// another, joined through a third that forwards between them; the cut is a
// pair of blackhole routes in the middle one, which drops what it forwards
// without a word to either end. Each link must notice the dead path by itself
// (its state in vorel.status and vorel.prom, a warning on standard error),
// keep the alarms of the outage, and deliver them once the path is back.
// Root only; skipped where no namespace can be made.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "program_env.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::ChildProcess;
using test::Contents;
using test::WaitUntil;

constexpr char kIp[] = "/usr/sbin/ip";
constexpr char kDriverAddress[] = "10.201.1.1";
constexpr char kServerAddress[] = "10.201.2.1";
constexpr char kP8Port[] = "12543";

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Three namespaces: driver - router - servers. Removed with everything in them.
class DeadPathBed {
 public:
  DeadPathBed() : tag_(std::to_string(::getpid())) {
    const std::string d = Driver(), r = Router(), s = Servers();
    const std::string ip = std::string(kIp);
    const std::vector<std::string> steps = {
        ip + " netns add " + d, ip + " netns add " + r, ip + " netns add " + s,
        ip + " link add dpd" + tag_ + " netns " + d + " type veth peer name dpr" + tag_ + " netns " + r,
        ip + " link add dps" + tag_ + " netns " + s + " type veth peer name dpq" + tag_ + " netns " + r,
        ip + " -n " + d + " addr add 10.201.1.1/24 dev dpd" + tag_,
        ip + " -n " + r + " addr add 10.201.1.2/24 dev dpr" + tag_,
        ip + " -n " + r + " addr add 10.201.2.2/24 dev dpq" + tag_,
        ip + " -n " + s + " addr add 10.201.2.1/24 dev dps" + tag_,
        ip + " -n " + d + " link set lo up", ip + " -n " + s + " link set lo up",
        ip + " -n " + d + " link set dpd" + tag_ + " up", ip + " -n " + r + " link set dpr" + tag_ + " up",
        ip + " -n " + r + " link set dpq" + tag_ + " up", ip + " -n " + s + " link set dps" + tag_ + " up",
        ip + " -n " + d + " route add default via 10.201.1.2",
        ip + " -n " + s + " route add default via 10.201.2.2",
        ip + " netns exec " + r + " sysctl -qw net.ipv4.ip_forward=1",
    };
    for (const std::string& step : steps) {
      if (!Run(step)) {
        failed_ = step;
        return;
      }
    }
    ready_ = true;
  }
  ~DeadPathBed() {
    for (const std::string& ns : {Driver(), Router(), Servers()}) Run(std::string(kIp) + " netns del " + ns);
  }
  DeadPathBed(const DeadPathBed&) = delete;
  DeadPathBed& operator=(const DeadPathBed&) = delete;

  bool Ready() const { return ready_; }
  const std::string& Failed() const { return failed_; }
  std::string Driver() const { return "vorel-dp" + tag_ + "-d"; }
  std::string Router() const { return "vorel-dp" + tag_ + "-r"; }
  std::string Servers() const { return "vorel-dp" + tag_ + "-s"; }

  // Both ways at once, and back.
  bool Cut() { return Routes("add"); }
  bool Mend() { return Routes("del"); }

 private:
  bool Routes(const std::string& verb) {
    return Run(std::string(kIp) + " -n " + Router() + " route " + verb + " blackhole " + kServerAddress + "/32") &&
           Run(std::string(kIp) + " -n " + Router() + " route " + verb + " blackhole " + kDriverAddress + "/32");
  }

  std::string tag_;
  bool ready_ = false;
  std::string failed_;
};

// `program` with `arguments`, inside the namespace.
ChildProcess InNamespace(const std::string& ns, const std::string& program, std::vector<std::string> arguments,
                         const test::TempDir& dir, std::map<std::string, std::string> env, test::ChildIo io) {
  arguments.insert(arguments.begin(), {"netns", "exec", ns, program});
  return ChildProcess(kIp, arguments, dir.Path().string(), std::move(env), std::move(io));
}

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Account(int n) { return "account=31000" + std::to_string(n) + " "; }

struct Outage {
  const char* name;
  // Whether the path stays dead until both links have noticed; otherwise it
  // comes back after `shortFor`, while the protocol-7 connection still looks
  // up and its frames wait in TCP's retransmission back-off.
  bool untilNoticed;
  std::chrono::seconds shortFor;
  // Whether alarms go out into the dead path; otherwise the link is idle
  // (protocol 7 has nothing to send, and only keepalive finds the path dead)
  // and the alarms come once both links are down.
  bool busy = true;
};

class DeadPath : public ::testing::TestWithParam<Outage> {};

TEST_P(DeadPath, BothLinksNoticeASilentlyDeadPathAndDeliverTheOutageOnceItIsBack) {
  const Outage outage = GetParam();
  if (::geteuid() != 0 || !fs::exists(kIp)) GTEST_SKIP() << "needs root and ip(8) for network namespaces";
  DeadPathBed bed;
  if (!bed.Ready()) GTEST_SKIP() << "no namespaces to be had here: " << bed.Failed();
  test::TempDir dir;
  const test::ChildIo quiet{.stdinPipe = true, .stderrFile = {}};
  ChildProcess p7Server = InNamespace(bed.Servers(), VOREL_P7_SERVER, {"-o", (dir / "p7.txt").string(),
                                      kServerAddress, "7788"}, dir, {}, quiet);
  ChildProcess p8Server = InNamespace(bed.Servers(), VOREL_P8_SERVER, {"--policy", "accept", "-o",
                                      (dir / "p8.txt").string(), kServerAddress, kP8Port}, dir, {}, quiet);
  const auto p7Seen = [&] { return Contents(dir / "p7.txt"); };
  const auto p8Seen = [&] { return Contents(dir / "p8.txt"); };
  ASSERT_TRUE(WaitUntil([&] { return Has(p7Seen(), "listening ") && Has(p8Seen(), "listening "); }, 10s));
  test::WriteFile(dir / "vorel.ini", std::string("[port]\nComPort=COM1\n[main]\nSendMivo7=1\nSendMivo8=1\nhost=") +
                                         kServerAddress + "\nPathForSoob=spool/\n[ServerHost]\nAddress=" +
                                         kServerAddress + "\nPort=" + kP8Port + "\n");
  ChildProcess station(VOREL_STATION_SIM,
                       {"-d", (dir / "com").string(), "-p", "COM1", "-o", (dir / "station.txt").string(), "-i"},
                       dir.Path().string(), {}, quiet);
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM1"); }, 10s));
  ChildProcess driver = InNamespace(bed.Driver(), VOREL_BINARY, {}, dir, test::ProgramEnv(dir),
                                    test::ChildIo{.stdinPipe = false, .stderrFile = (dir / "driver-err.txt").string()});
  const auto status = [&] { return Contents(dir / "vorel.status"); };
  const auto metrics = [&] { return Contents(dir / "vorel.prom"); };
  const auto diagnosis = [&] {
    return "\nstatus:\n" + status() + "driver:\n" + Contents(dir / "driver-err.txt") + "station:\n" +
           Contents(dir / "station.txt") + "protocol 7:\n" + p7Seen() + "protocol 8:\n" + p8Seen();
  };

  ASSERT_TRUE(station.Type("wait-open; event 0001 E1"));
  ASSERT_TRUE(WaitUntil([&] { return Has(p7Seen(), Account(1)) && Has(p8Seen(), Account(1)); }, 30s)) << diagnosis();

  // The path dies in the middle of traffic: an alarm goes out into it at once,
  // two more while the links still look up.
  ASSERT_TRUE(bed.Cut());
  const auto cut = Clock::now();
  if (outage.busy) {
    ASSERT_TRUE(station.Type("event 0002 E1; wait 2000; event 0003 E1; wait 3000; event 0004 E1"));
  }
  int last = 4;
  double p7Down = -1, p8Down = -1;
  if (!outage.untilNoticed) {
    std::this_thread::sleep_until(cut + outage.shortFor);
  } else {
    // Protocol 8 counts as up again during each of its attempts: each state
    // is caught as it passes.
    bool p7MetricDown = false, p8MetricDown = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
          const std::string s = status();
          if (p7Down < 0 && Has(s, "protocol7=down\n")) p7Down = SecondsSince(cut);
          if (p8Down < 0 && Has(s, "protocol8=down\n")) p8Down = SecondsSince(cut);
          const std::string m = metrics();
          p7MetricDown = p7MetricDown || Has(m, "vorel_server_link_up{protocol=\"7\"} 0");
          p8MetricDown = p8MetricDown || Has(m, "vorel_server_link_up{protocol=\"8\"} 0");
          return p7Down >= 0 && p8Down >= 0 && p7MetricDown && p8MetricDown;
        },
        120s))
        << "TCP alone gives up on a dead path after a quarter of an hour" << diagnosis();
    for (const char* line : {"protocol-7 server link lost", "protocol-8 server link lost"})
      EXPECT_TRUE(WaitUntil([&] { return Has(Contents(dir / "driver-err.txt"), line); }, 10s)) << line;
    // Alarms while the links know they are down: they wait on disk.
    ASSERT_TRUE(station.Type(outage.busy ? "event 0005 E1"
                                         : "event 0002 E1; event 0003 E1; event 0004 E1; event 0005 E1"));
    ASSERT_TRUE(WaitUntil([&] { return Has(Contents(dir / "station.txt"), "ack total=5"); }, 20s)) << diagnosis();
    EXPECT_FALSE(Has(p7Seen(), Account(5)));

    last = 5;
  }
  ASSERT_TRUE(bed.Mend());
  const auto mended = Clock::now();
  double p7Back = -1, p8Back = -1;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string seven = p7Seen(), eight = p8Seen();
        bool p7All = true, p8All = true;
        for (int n = 2; n <= last; ++n) {
          p7All = p7All && Has(seven, Account(n));
          p8All = p8All && Has(eight, Account(n));
        }
        if (p7Back < 0 && p7All) p7Back = SecondsSince(mended);
        if (p8Back < 0 && p8All) p8Back = SecondsSince(mended);
        return p7Back >= 0 && p8Back >= 0;
      },
      120s))
      << "every alarm of the outage reaches both servers" << diagnosis();
  EXPECT_TRUE(WaitUntil([&] { return Has(status(), "protocol7=up\n") && Has(status(), "protocol8=up\n"); }, 10s));
  std::cout << "dead path, " << outage.name << ": ";
  if (outage.untilNoticed) std::cout << "noticed after " << p7Down << " s (protocol 7) and " << p8Down << " s (protocol 8); ";
  std::cout << "the outage's alarms at the servers " << p7Back << " s and " << p8Back
            << " s after the path came back" << std::endl;

  driver.Signal(SIGTERM);
  const auto exit = driver.WaitForExit(20s);
  EXPECT_TRUE(exit.has_value() && *exit == 0);
  for (ChildProcess* process : {&station, &p7Server, &p8Server}) {
    process->Signal(SIGTERM);
    process->WaitForExit(10s);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outages, DeadPath,
    ::testing::Values(Outage{"noticed", true, {}},
                      // Back after 10 s: before the 15-s limit, after the
                      // retransmission at about 6 s and before the next.
                      Outage{"back_after_10s", false, 10s},
                      Outage{"idle_until_noticed", true, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorel
