// A protocol-8 server that stops reading must not keep the program from
// closing: SIGTERM ends it with status 0 within 5 s, also when the link
// thread is in the middle of a write that cannot go on, and every event the
// station was told we took is then at the server or in a .dd8 file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fault_rig.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
using test::FaultRig;
using test::Numbers;
using test::WaitUntil;

// The protocol-8 server as the driver sees it, on a loopback address of its
// own. It starts as a relay to the reference server, passing bytes both ways,
// so that the server answers and prints what it got; or as a stream of rtPing
// answers, one per request (each answer makes the driver send a reply, its
// next request), that never reads, so that the driver keeps writing replies
// until its socket is full. After StopReading it takes nothing more from the driver
// and accepts no new connection: the requests stay in the socket buffers and
// answers stop coming.
class MisbehavingServer {
 public:
  enum class Mode { Relay, FloodPings, Deaf };

  MisbehavingServer(const char* address, Mode mode, std::uint16_t serverPort = 0)
      : serverPort_(serverPort), mode_(mode) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (mode == Mode::FloodPings) {
      // Small segments and a small window keep the driver's send buffer
      // small too, so that it is full after a few hundred replies.
      const int smallest = 1;
      const int mss = 536;
      ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
      ::setsockopt(listener_, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listener_, 8) != 0)
      throw std::runtime_error("cannot listen");
    socklen_t length = sizeof sa;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &length);
    port_ = ntohs(sa.sin_port);
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }
  ~MisbehavingServer() {
    thread_.request_stop();
    thread_.join();
    ClosePair();
    ::close(listener_);
  }
  MisbehavingServer(const MisbehavingServer&) = delete;
  MisbehavingServer& operator=(const MisbehavingServer&) = delete;

  std::uint16_t Port() const { return port_; }
  void StopReading() { mode_ = Mode::Deaf; }

 private:
  // Envelope header (body length 18 in bytes 5 and 17), then an empty
  // record of type rtPing (0x02000004).
  static constexpr std::uint8_t kPing[39] = {0xFF, 0, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0, 18, 0, 0,
                                             0,    0xFF, 4, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE};
  static constexpr int kPollMs = 5;
  // Once the driver's requests no longer reach this server (its receive
  // buffer full, they wait in the driver's socket), a ping goes blind: this
  // long after the last, time enough for the driver to take it and write its
  // reply, and short enough to fill its socket before its limit on bytes
  // left unacknowledged (15 s) ends the connection. A ping that comes before
  // its request waits unasked and ends that connection; until the buffer is
  // full none can, each ping answering a request that came in.
  static constexpr auto kBlindPingEvery = std::chrono::milliseconds(5);
  // No new request for this long after a ping: the receive buffer is full.
  static constexpr auto kRequestsStopped = std::chrono::milliseconds(100);

  void Run(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      const Mode mode = mode_;
      pollfd fds[3];
      int count = 0;
      int driverAt = -1;
      int serverAt = -1;
      if (mode != Mode::Deaf) fds[count++] = {listener_, POLLIN, 0};
      if (driver_ >= 0 && mode == Mode::Relay) fds[driverAt = count++] = {driver_, POLLIN, 0};
      if (server_ >= 0) fds[serverAt = count++] = {server_, POLLIN, 0};
      const int ready = ::poll(fds, count, mode == Mode::FloodPings ? kPollMs : 20);
      if (mode == Mode::FloodPings && driver_ >= 0) PingWhenAsked();
      if (ready <= 0) continue;
      if (driverAt >= 0 && fds[driverAt].revents) Pass(driver_, server_);
      if (serverAt >= 0 && fds[serverAt].revents && server_ >= 0) Pass(server_, driver_);
      if (mode != Mode::Deaf && (fds[0].revents & POLLIN)) Accept(mode);
    }
  }

  // The driver's new connection replaces the old one; a relay opens one of
  // its own to the server for it.
  void Accept(Mode mode) {
    const int driver = ::accept(listener_, nullptr, nullptr);
    if (driver < 0) return;
    ClosePair();
    driver_ = driver;
    pingOffset_ = 0;
    unreadAtLastPing_ = 0;
    // Each ping on its own, not held back to go with the next.
    const int one = 1;
    ::setsockopt(driver_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (mode != Mode::Relay) return;
    server_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(serverPort_);
    if (::connect(server_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) ClosePair();
  }

  // A close on either side closes both.
  void Pass(int from, int to) {
    std::uint8_t buffer[4096];
    const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
    if (n <= 0 || ::send(to, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) ClosePair();
  }

  // A ping for each request that came in; blind ones once requests stop
  // coming in.
  void PingWhenAsked() {
    int unread = 0;
    if (::ioctl(driver_, FIONREAD, &unread) != 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (unread > unreadAtLastPing_) {
      unreadAtLastPing_ = unread;
      lastRequestSeen_ = now;
    } else if (unreadAtLastPing_ == 0 || now - lastRequestSeen_ < kRequestsStopped ||
               now - lastPing_ < kBlindPingEvery) {
      return;
    }
    lastPing_ = now;
    Ping();
  }

  // One ping, or the rest of one the last write cut.
  void Ping() {
    const ssize_t n = ::send(driver_, kPing + pingOffset_, sizeof kPing - pingOffset_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) pingOffset_ = (pingOffset_ + static_cast<std::size_t>(n)) % sizeof kPing;
    else if (errno != EAGAIN && errno != EINTR) ClosePair();
  }

  void ClosePair() {
    for (int* fd : {&driver_, &server_}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  std::uint16_t serverPort_;
  std::atomic<Mode> mode_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  // The server's thread only, once started:
  int driver_ = -1;
  int server_ = -1;
  std::size_t pingOffset_ = 0;
  int unreadAtLastPing_ = 0;  // the bytes of requests that had come in then
  std::chrono::steady_clock::time_point lastRequestSeen_{};
  std::chrono::steady_clock::time_point lastPing_{};
  std::jthread thread_;
};

// Bytes the driver's connections to ADDRESS:PORT hold that the peer has not
// taken yet (the tx_queue column of /proc/net/tcp), the most of any of them.
long QueuedToward(const char* address, std::uint16_t port) {
  in_addr ip{};
  ::inet_pton(AF_INET, address, &ip);
  char remote[16];
  std::snprintf(remote, sizeof remote, "%08X:%04X", ip.s_addr, port);  // as /proc shows it
  std::ifstream table("/proc/net/tcp");
  long most = 0;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, rem, state, queues;
    if (!(fields >> slot >> local >> rem >> state >> queues) || rem != remote) continue;
    most = std::max(most, std::stol(queues.substr(0, queues.find(':')), nullptr, 16));
  }
  return most;
}

// Waits until the driver's connection to ADDRESS:PORT has bytes waiting to go
// out that have not moved for half a write wait: with a reply to write in
// every pass, its link thread is then waiting for room in the socket.
bool WaitForStalledWrite(const char* address, std::uint16_t port) {
  long last = -1;
  auto since = std::chrono::steady_clock::now();
  return WaitUntil(
      [&] {
        const long queued = QueuedToward(address, port);
        if (queued != last) since = std::chrono::steady_clock::now();
        last = queued;
        return queued > 0 && std::chrono::steady_clock::now() - since > 500ms;
      },
      60s);
}

// SIGTERM and the wait for the end (status 0); the milliseconds it took,
// which must stay within the 5-s bound.
long StopAndTime(FaultRig& rig) {
  const auto signalled = std::chrono::steady_clock::now();
  rig.StopDriver();
  const long tookMs = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled).count());
  EXPECT_LE(tookMs, 5000) << "from SIGTERM to the end of the program";
  return tookMs;
}

TEST(BoundedExit, AServerThatStopsReadingDoesNotHoldTheCloseAndNoAcknowledgedEventIsLost) {
  FaultRig rig;
  rig.servers.Start();
  const test::Protocol7Address own;  // an address of this test's own
  MisbehavingServer relay(own.Text().c_str(), MisbehavingServer::Mode::Relay,
                          static_cast<std::uint16_t>(std::stoi(rig.servers.P8Port())));
  test::WriteFile(rig.dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=0\nSendMivo8=1\nPathForSoob=spool/\n"
                                         "[ServerHost]\nAddress=" + own.Text() + "\nPort=" +
                                             std::to_string(relay.Port()) + "\n");
  const int kEvents = 16;
  ASSERT_NO_FATAL_FAILURE(rig.StartStation());
  rig.StartDriver();
  ASSERT_NO_FATAL_FAILURE(rig.Begin("stream 16 250", {.p7 = false}));
  ASSERT_TRUE(WaitUntil([&] { return rig.P8Has(4); }, 40s)) << "the first events went through";
  relay.StopReading();
  ASSERT_TRUE(rig.WaitForAcks(kEvents, 60s));

  const long tookMs = StopAndTime(rig);
  const test::LinkCount p8 = rig.Count(Numbers(kEvents)).p8;
  std::ostringstream line;
  line << "bounded exit: ended " << tookMs << " ms after SIGTERM | acknowledged=" << kEvents
       << " | protocol 8: delivered=" << p8.delivered << " spooled=" << p8.spooled << " lost=" << p8.lost;
  if (!p8.lostAccounts.empty()) line << " | lost " << p8.lostAccounts;
  std::cout << line.str() << std::endl;
  RecordProperty("bounded_exit", line.str());
  EXPECT_EQ(p8.lost, 0) << p8.lostAccounts;
  EXPECT_EQ(p8.corrupted, 0);
}

// A server that trickles its answers (a byte every 0.9 s) holds each read
// only as long as its limit: SIGTERM still ends the program within 5 s, and
// every acknowledged alarm is at a server or in a .dd8 file.
TEST(BoundedExit, AServerThatTricklesItsAnswersDoesNotHoldTheClose) {
  FaultRig rig;
  rig.servers.Start();
  test::WriteFile(rig.dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=0\nSendMivo8=1\nPathForSoob=spool/\n"
                                         "[ServerHost]\nAddress=127.0.0.1\nPort=" + rig.servers.P8Port() + "\n");
  const int kEvents = 6;
  ASSERT_NO_FATAL_FAILURE(rig.StartStation());
  rig.StartDriver();
  ASSERT_NO_FATAL_FAILURE(rig.Begin("stream 6 500", {.p7 = false}));
  ASSERT_TRUE(WaitUntil([&] { return rig.P8Has(2); }, 40s));
  rig.servers.P8Command("policy trickle");
  ASSERT_TRUE(rig.WaitForAcks(kEvents, 60s));
  // A request under the trickle policy: its answer is on its way, a byte at
  // a time, and the link thread is reading it.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string seen = rig.servers.P8Seen();
        const std::size_t policy = seen.find("policy trickle");
        return policy != std::string::npos && seen.find(" request ", policy) != std::string::npos;
      },
      10s));

  const long tookMs = StopAndTime(rig);
  const test::LinkCount p8 = rig.Count(Numbers(kEvents)).p8;
  std::cout << "bounded exit, trickling server: ended " << tookMs << " ms after SIGTERM | protocol 8: delivered="
            << p8.delivered << " spooled=" << p8.spooled << " lost=" << p8.lost << " | longest stall "
            << rig.LongestStallMs() << " ms" << std::endl;
  EXPECT_EQ(p8.lost, 0) << p8.lostAccounts;
}

TEST(BoundedExit, ALinkThreadThatCannotWriteDoesNotHoldTheClose) {
  // The server answers every request with rtPing and never reads: each
  // answer makes the driver queue and write an rtPingReply, until its
  // socket is full and a write waits for room that never comes. (A blind
  // ping that comes while the driver is slow waits unasked and ends that
  // connection; a later connection gets there.)
  test::TempDir dir;
  const test::Protocol7Address own;  // an address of this test's own
  const char* const address = own.Text().c_str();
  MisbehavingServer server(address, MisbehavingServer::Mode::FloodPings);
  test::WriteFile(dir / "vorel.ini",
                  "[ServerHost]\nAddress=" + own.Text() + "\nPort=" + std::to_string(server.Port()) + "\n");
  // Each part with a driver of its own, each needing one stalled write: a
  // slow driver (a sanitizer build) may go many connections before the next.
  {
    // The write fails, and the driver gives the connection up (its pings
    // unread, the close resets it at once) to try again 5 s after the last
    // attempt. (The write waits 1 s for room; the bound here is for a busy
    // machine, not the figure.)
    test::Driver driver(dir);
    ASSERT_TRUE(WaitUntil([&] { return driver.Catches(SIGTERM); }, 20s)) << "the program never got ready";
    ASSERT_TRUE(WaitForStalledWrite(address, server.Port()));
    EXPECT_TRUE(WaitUntil([&] { return QueuedToward(address, server.Port()) == 0; }, 15s))
        << "the link thread is still stuck in its write";
    driver.Signal(SIGTERM);
    EXPECT_TRUE(driver.WaitForExit(10s).has_value());
  }
  {
    // SIGTERM while a write waits.
    test::Driver driver(dir);
    ASSERT_TRUE(WaitUntil([&] { return driver.Catches(SIGTERM); }, 20s)) << "the program never got ready";
    ASSERT_TRUE(WaitForStalledWrite(address, server.Port()));
    driver.Signal(SIGTERM);
    const auto status = driver.WaitForExit(5s);
    ASSERT_TRUE(status.has_value()) << "still running 5 s after SIGTERM";
    EXPECT_EQ(*status, 0);
  }
}

}  // namespace
}  // namespace vorel
