// Start-up cannot stop half way. With a protocol-7 server that cannot be
// reached (a host name that does not resolve, an address that refuses at
// once), the rest of the driver comes up as usual: the protocol-8 handshake,
// the station's ACKs, the status with its start time. A failed attempt is
// silent, and SIGTERM still ends the program within its limit, 5 s (how fast
// it really ends is measured by vorel_system_bench).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "program_env.h"
#include "protocol7_address.h"
#include "reference_servers.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::ChildProcess;
using test::Contents;
using test::WaitUntil;

// The station on COM1 of the test's directory, taking commands.
ChildProcess StartStation(const test::TempDir& dir) {
  return ChildProcess(VOREL_STATION_SIM,
                      {"-d", (dir / "com").string(), "-p", "COM1", "-o", (dir / "station.txt").string(), "-i"},
                      dir.Path().string(), {}, test::ChildIo{.stdinPipe = true, .stderrFile = {}});
}

// The program's environment, with the stall probe on.
std::map<std::string, std::string> ProbedEnv(const test::TempDir& dir) {
  auto env = test::ProgramEnv(dir);
  env["VOREL_STALL_PROBE"] = "1";
  return env;
}

// SIGTERM ends the program with status 0 within the program's limit, 5 s;
// the time it took and the event loop's longest stall (its last status) are
// printed.
void StopWithinTheLimit(ChildProcess& driver, const test::TempDir& dir, const std::string& what) {
  const auto signalled = std::chrono::steady_clock::now();
  driver.Signal(SIGTERM);
  const auto exit = driver.WaitForExit(10s);
  const auto tookMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled).count();
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(*exit, 0);
  EXPECT_LE(tookMs, 5000) << "from SIGTERM to the end of the program";
  const std::string last = Contents(dir / "vorel.status");
  const std::size_t stall = last.find("loop.longest_stall_ms=");
  std::cout << "start-up, " << what << ": ended " << tookMs << " ms after SIGTERM"
            << (stall == std::string::npos ? std::string() : "; " + last.substr(stall, last.find('\n', stall) - stall))
            << std::endl;
}

struct UnreachableCase {
  const char* name;
  // The driver's protocol-7 host, given the test's reserved address (where
  // nobody listens).
  std::string (*host)(const test::Protocol7Address& reserved);
};

class StartUp : public ::testing::TestWithParam<UnreachableCase> {};

TEST_P(StartUp, AProtocol7ServerThatCannotBeReachedHoldsUpNothingElse) {
  test::TempDir dir;
  test::Protocol7Address reserved;     // the driver's host: nobody listens there
  test::Protocol7Address serversOwn;   // the reference protocol-7 server's, never used
  test::ReferenceServers servers{dir, serversOwn.Text()};
  ASSERT_NO_FATAL_FAILURE(servers.Start());
  test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nhost=" + GetParam().host(reserved) +
                                         "\nPathForSoob=spool/\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                         servers.P8Port() + "\n");
  ChildProcess station = StartStation(dir);
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM1"); }, 10s));
  const auto env = ProbedEnv(dir);
  ChildProcess driver(VOREL_BINARY, {}, dir.Path().string(), env,
                      test::ChildIo{.stdinPipe = false, .stderrFile = (dir / "driver-err.txt").string()});

  ASSERT_TRUE(station.Type("wait-open; event 0001 E1; hold"));
  EXPECT_TRUE(WaitUntil([&] { return servers.P8Seen().find("type=rtVersion(") != std::string::npos; }, 20s))
      << "the protocol-8 handshake";
  EXPECT_TRUE(WaitUntil([&] { return Contents(dir / "station.txt").find("ack total=1") != std::string::npos; }, 20s))
      << "the station's ACK\n" << Contents(dir / "station.txt");
  EXPECT_TRUE(WaitUntil([&] { return servers.P8Seen().find("account=310001 ") != std::string::npos; }, 10s));
  // The status file is written at the ticks: it shows the link up soon after.
  EXPECT_TRUE(WaitUntil([&] { return Contents(dir / "vorel.status").find("protocol8=up\n") != std::string::npos; },
                        10s))
      << Contents(dir / "vorel.status");
  const std::string status = Contents(dir / "vorel.status");
  EXPECT_NE(status.find("state=running\n"), std::string::npos) << status;
  EXPECT_NE(status.find("started="), std::string::npos) << status;
  // Down, or trying again (an attempt waits for its look-up).
  EXPECT_TRUE(status.find("protocol7=down\n") != std::string::npos ||
              status.find("protocol7=connecting\n") != std::string::npos)
      << status;
  // The alarm waits in its .ddm file for the protocol-7 server.
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const auto& entry : fs::directory_iterator(dir / "spool"))
          if (entry.path().extension() == ".ddm") return true;
        return false;
      },
      5s));

  ASSERT_NO_FATAL_FAILURE(StopWithinTheLimit(driver, dir, std::string("protocol-7 host ") + GetParam().name));
  const std::string errors = Contents(dir / "driver-err.txt");
  EXPECT_EQ(errors.find("vorel: error:"), std::string::npos) << "a failed attempt is silent\n" << errors;
  station.Signal(SIGTERM);
  station.WaitForExit(10s);
}

INSTANTIATE_TEST_SUITE_P(
    Protocol7Host, StartUp,
    ::testing::Values(
        // Never resolves: a name in the domain kept for that.
        UnreachableCase{"unresolvable", [](const test::Protocol7Address&) { return std::string("no-such-host.invalid"); }},
        // Refuses at once: nobody listens at the reserved address.
        UnreachableCase{"refusing", [](const test::Protocol7Address& a) { return a.Text(); }}),
    [](const auto& info) { return std::string(info.param.name); });

// A name service that never answers: the look-up of the protocol-7 host
// waits on a helper thread, never on the event loop. The driver runs in a
// mount namespace of its own whose resolv.conf names a loopback address
// where a socket takes the queries and never answers (root only; skipped
// where no namespace can be made).
TEST(StartUpNameService, ANameServiceThatNeverAnswersHoldsUpNothing) {
  if (::geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0)
    GTEST_SKIP() << "needs root and a mount namespace of its own";
  const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(0x7F000099);  // 127.0.0.153
  if (::bind(silent, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(silent);
    GTEST_SKIP() << "127.0.0.153:53 is taken";
  }
  test::TempDir dir;
  test::WriteFile(dir / "resolv.conf", "nameserver 127.0.0.153\noptions timeout:5 attempts:2\n");
  test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nSendMivo8=0\n"
                                     "host=alarm-server.example\nPathForSoob=spool/\n");
  ChildProcess station = StartStation(dir);
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM1"); }, 10s));
  const auto env = ProbedEnv(dir);
  ChildProcess driver("/usr/bin/unshare",
                      {"-m", "sh", "-c",
                       "mount --bind '" + (dir / "resolv.conf").string() + "' /etc/resolv.conf && exec '" +
                           std::string(VOREL_BINARY) + "'"},
                      dir.Path().string(), env,
                      test::ChildIo{.stdinPipe = false, .stderrFile = (dir / "driver-err.txt").string()});

  // Two alarms a few seconds apart, while look-up after look-up goes unanswered.
  ASSERT_TRUE(station.Type("wait-open; event 0001 E1; wait 4000; event 0002 E1; hold"));
  const auto queries = [&] {
    int waiting = 0;
    ::ioctl(silent, FIONREAD, &waiting);
    return waiting;
  };
  EXPECT_TRUE(WaitUntil([&] { return Contents(dir / "station.txt").find("ack total=2") != std::string::npos; }, 20s))
      << Contents(dir / "station.txt") << Contents(dir / "driver-err.txt");
  EXPECT_GT(queries(), 0) << "the driver asked the silent name service";

  ASSERT_NO_FATAL_FAILURE(StopWithinTheLimit(driver, dir, "a name service that never answers"));
  station.Signal(SIGTERM);
  station.WaitForExit(10s);
  ::close(silent);
}

// A name service on 127.0.0.154:53 that answers every question after a set
// delay, as glibc does behind a dead first name server: an A record of the
// address given for the name, or no record. Runs until it goes.
class SlowNameService {
 public:
  SlowNameService(std::map<std::string, std::string> names, std::chrono::milliseconds delay)
      : names_(std::move(names)), delay_(delay) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(0x7F00009A);  // 127.0.0.154: the silent one's neighbour
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (bound_) thread_ = std::thread([this] { Serve(); });
  }
  ~SlowNameService() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool Bound() const { return bound_; }
  int Questions() const { return questions_; }

 private:
  struct Question {
    std::vector<std::uint8_t> bytes;
    sockaddr_in from;
    std::chrono::steady_clock::time_point due;
  };

  void Serve() {
    std::vector<Question> waiting;
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) {
        Question q{std::vector<std::uint8_t>(512), {}, std::chrono::steady_clock::now() + delay_};
        socklen_t length = sizeof q.from;
        const ssize_t n = ::recvfrom(fd_, q.bytes.data(), q.bytes.size(), 0, reinterpret_cast<sockaddr*>(&q.from),
                                     &length);
        if (n >= 12) {
          q.bytes.resize(static_cast<std::size_t>(n));
          ++questions_;
          waiting.push_back(std::move(q));
        }
      }
      const auto now = std::chrono::steady_clock::now();
      for (auto it = waiting.begin(); it != waiting.end();) {
        if (it->due > now) {
          ++it;
          continue;
        }
        const std::vector<std::uint8_t> answer = Answer(it->bytes);
        ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&it->from), sizeof it->from);
        it = waiting.erase(it);
      }
    }
  }

  // The question's header and question section, turned into an answer.
  std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& question) const {
    std::string name;
    std::size_t at = 12;
    while (at < question.size() && question[at] != 0) {
      const std::size_t label = question[at];
      if (!name.empty()) name += '.';
      name.append(reinterpret_cast<const char*>(question.data()) + at + 1,
                  std::min(label, question.size() - at - 1));
      at += label + 1;
    }
    const std::size_t end = std::min(at + 5, question.size());  // the root label, type and class
    std::vector<std::uint8_t> answer(question.begin(), question.begin() + static_cast<std::ptrdiff_t>(end));
    const bool typeA = end == at + 5 && question[at + 1] == 0 && question[at + 2] == 1;
    const auto known = names_.find(name);
    answer[2] = 0x81;  // a response, recursion desired
    answer[3] = known == names_.end() ? 0x83 : 0x80;  // recursion available; no such name
    answer[4] = 0, answer[5] = 1;  // one question
    answer[6] = 0, answer[7] = (known != names_.end() && typeA) ? 1 : 0;
    for (int i = 8; i < 12; ++i) answer[static_cast<std::size_t>(i)] = 0;
    if (answer[7] == 1) {
      const std::uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
      answer.insert(answer.end(), std::begin(record), std::end(record));
      in_addr address{};
      ::inet_pton(AF_INET, known->second.c_str(), &address);
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address.s_addr);
      answer.insert(answer.end(), bytes, bytes + 4);
    }
    return answer;
  }

  const std::map<std::string, std::string> names_;
  const std::chrono::milliseconds delay_;
  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> questions_{0};
  std::thread thread_;
};

// A name service that answers, but only after 4 s: longer than a connect
// attempt may wait. Both links still connect, each with the answer of the
// look-up an earlier attempt started, and the alarm reaches both servers.
TEST(StartUpNameService, ANameServiceThatAnswersAfterFourSecondsStillConnectsBothLinks) {
  if (::geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0)
    GTEST_SKIP() << "needs root and a mount namespace of its own";
  test::Protocol7Address p7;
  SlowNameService dns({{"p7-server.example", p7.Text()}, {"p8-server.example", "127.0.0.1"}}, 4s);
  if (!dns.Bound()) GTEST_SKIP() << "127.0.0.154:53 is taken";
  test::TempDir dir;
  test::ReferenceServers servers{dir, p7.Text()};
  ASSERT_NO_FATAL_FAILURE(servers.Start());
  test::WriteFile(dir / "resolv.conf", "nameserver 127.0.0.154\noptions timeout:5 attempts:2\n");
  test::WriteFile(dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nSendMivo8=1\n"
                                     "host=p7-server.example\nPathForSoob=spool/\n[ServerHost]\n"
                                     "Address=p8-server.example\nPort=" + servers.P8Port() + "\n");
  ChildProcess station = StartStation(dir);
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(dir / "com" / "COM1"); }, 10s));
  const auto started = std::chrono::steady_clock::now();
  ChildProcess driver("/usr/bin/unshare",
                      {"-m", "sh", "-c",
                       "mount --bind '" + (dir / "resolv.conf").string() + "' /etc/resolv.conf && exec '" +
                           std::string(VOREL_BINARY) + "'"},
                      dir.Path().string(), ProbedEnv(dir),
                      test::ChildIo{.stdinPipe = false, .stderrFile = (dir / "driver-err.txt").string()});
  const auto secondsSinceStart = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };

  ASSERT_TRUE(station.Type("wait-open; event 0001 E1; hold"));
  // Without the kept answer neither link would ever connect: every attempt
  // gave its look-up up after 2.5 s.
  ASSERT_TRUE(WaitUntil([&] { return servers.P7Seen().find(" type=ftHello(") != std::string::npos; }, 40s))
      << Contents(dir / "driver-err.txt");
  const double p7Connected = secondsSinceStart();
  ASSERT_TRUE(WaitUntil([&] { return servers.P8Seen().find("type=rtVersion(") != std::string::npos; }, 40s))
      << Contents(dir / "driver-err.txt");
  const double p8Connected = secondsSinceStart();
  EXPECT_TRUE(WaitUntil([&] { return servers.P7Seen().find("account=310001 ") != std::string::npos; }, 20s));
  EXPECT_TRUE(WaitUntil([&] { return servers.P8Seen().find("account=310001 ") != std::string::npos; }, 20s));
  EXPECT_GT(dns.Questions(), 0);
  std::cout << "a name service answering after 4 s: protocol 7 connected " << p7Connected
            << " s after start, protocol 8 " << p8Connected << " s; " << dns.Questions() << " questions" << std::endl;

  ASSERT_NO_FATAL_FAILURE(StopWithinTheLimit(driver, dir, "a name service that answers after 4 s"));
  const std::string errors = Contents(dir / "driver-err.txt");
  EXPECT_EQ(errors.find("vorel: error:"), std::string::npos) << "the failed attempts are silent\n" << errors;
  station.Signal(SIGTERM);
  station.WaitForExit(10s);
}

}  // namespace
}  // namespace vorel
