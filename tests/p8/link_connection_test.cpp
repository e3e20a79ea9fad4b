// The platform connection of the protocol-8 link against a loopback listener
// of the test's own, bound to port 0, and the bounded host lookup it uses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <memory>

#include "p8/host_lookup_posix.h"
#include "p8/link_connection.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

class LoopbackListener {
 public:
  explicit LoopbackListener(int backlog = 4) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, backlog) != 0) ADD_FAILURE() << "listen";
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~LoopbackListener() {
    if (peer_ >= 0) close(peer_);
    if (fd_ >= 0) close(fd_);
  }
  int Port() const { return port_; }
  // The connection the client made (the client's connect has returned, so
  // it is waiting in the backlog).
  int Accept() {
    peer_ = accept(fd_, nullptr, nullptr);
    return peer_;
  }
  void Send(const Bytes& data) { ASSERT_EQ(send(peer_, data.data(), data.size(), 0), static_cast<ssize_t>(data.size())); }
  Bytes Receive(std::size_t count) {
    Bytes out(count);
    std::size_t got = 0;
    while (got < count) {
      ssize_t n = recv(peer_, out.data() + got, count - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
  }
  void ClosePeer() {
    close(peer_);
    peer_ = -1;
  }
  void CloseListener() {
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  int port_ = 0;
};

std::unique_ptr<ILinkConnection> NewConnection() { return PlatformLinkConnectionFactory().Create(); }

// Runs `call` on a thread of its own and returns its result. A call still
// blocked after 10 s, far beyond every limit of the connection, fails the
// test; `release` then makes the peer let go, so that the test can end.
template <class Call, class Release>
auto ReturnsInTime(Call call, Release release) {
  auto result = std::async(std::launch::async, call);
  if (result.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "still blocked after 10 s";
    release();
  }
  return result.get();
}

TEST(LinkConnection, WritesWholeFramesAndReadsExactCountsAcrossSegments) {
  LoopbackListener server;
  auto c = NewConnection();
  ASSERT_TRUE(c->Connect("127.0.0.1", server.Port(), kLinkConnectTimeoutMs));
  ASSERT_TRUE(c->IsOpen());
  ASSERT_GE(server.Accept(), 0);

  Bytes frame(100000);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(c->WriteAll(frame));
  EXPECT_EQ(server.Receive(frame.size()), frame);

  server.Send(Bytes{1, 2, 3});
  server.Send(Bytes{4, 5});
  Bytes in{9};  // reads append
  ASSERT_TRUE(c->ReadExact(5, in, 1000));
  EXPECT_EQ(in, (Bytes{9, 1, 2, 3, 4, 5}));
}

TEST(LinkConnection, ConnectsToANumericAddressAndToAName) {
  LoopbackListener server;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    auto c = NewConnection();
    EXPECT_TRUE(c->Connect(host, server.Port(), kLinkConnectTimeoutMs)) << host;
  }
}

TEST(LinkConnection, ATimedOutReadKeepsItsBytesAndTheConnection) {
  LoopbackListener server;
  auto c = NewConnection();
  ASSERT_TRUE(c->Connect("127.0.0.1", server.Port(), kLinkConnectTimeoutMs));
  ASSERT_GE(server.Accept(), 0);
  server.Send(Bytes{7, 8});
  Bytes in;
  EXPECT_FALSE(c->ReadExact(21, in, 50));
  EXPECT_EQ(in, (Bytes{7, 8}));
  EXPECT_TRUE(c->IsOpen());
  server.Send(Bytes{9});
  Bytes more;
  EXPECT_TRUE(c->ReadExact(1, more, 1000));
  EXPECT_EQ(more, Bytes{9});
}

// The wait bounds the whole read: a peer that sends a byte every 150 ms
// (21 bytes in 3 s) cannot hold a 300-ms read for seconds.
TEST(LinkConnection, APeerThatTricklesItsBytesCannotStretchTheRead) {
  LoopbackListener server;
  auto c = NewConnection();
  ASSERT_TRUE(c->Connect("127.0.0.1", server.Port(), kLinkConnectTimeoutMs));
  ASSERT_GE(server.Accept(), 0);
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (int i = 0; i < 21 && !stop; ++i) {
      server.Send(Bytes{static_cast<std::uint8_t>(i)});
      std::this_thread::sleep_for(150ms);
    }
  });
  Bytes in;
  EXPECT_FALSE(ReturnsInTime([&] { return c->ReadExact(21, in, 300); }, [&] { stop = true; }));
  EXPECT_LT(in.size(), 21u) << "the read ended at its limit, not with the last byte";
  EXPECT_TRUE(c->IsOpen());
  stop = true;
  trickle.join();
}

TEST(LinkConnection, APeerCloseEndsTheReadAndClosesThisSideWithoutNotice) {
  LoopbackListener server;
  auto c = NewConnection();
  ASSERT_TRUE(c->Connect("127.0.0.1", server.Port(), kLinkConnectTimeoutMs));
  ASSERT_GE(server.Accept(), 0);
  server.Send(Bytes{1, 2, 3});
  server.ClosePeer();
  Bytes in;
  EXPECT_FALSE(c->ReadExact(21, in, 1000));
  EXPECT_EQ(in, (Bytes{1, 2, 3}));
  EXPECT_FALSE(c->IsOpen());
  // Everything fails at once from now on, and a close has nothing to report.
  Bytes none;
  EXPECT_FALSE(c->ReadExact(1, none, 1000));
  EXPECT_FALSE(c->WriteAll(Bytes{1}));
  EXPECT_FALSE(c->Close());
}

TEST(LinkConnection, WritesToAVanishedPeerFailWithoutKillingTheProcess) {
  // Without MSG_NOSIGNAL the second write after the reset raises SIGPIPE.
  LoopbackListener server;
  auto c = NewConnection();
  ASSERT_TRUE(c->Connect("127.0.0.1", server.Port(), kLinkConnectTimeoutMs));
  ASSERT_GE(server.Accept(), 0);
  server.ClosePeer();
  Bytes frame(1000, 0x55);
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) failed = !c->WriteAll(frame);
  EXPECT_TRUE(failed);
  EXPECT_TRUE(c->Close());  // still open on this side: the caller's notice runs
  EXPECT_FALSE(c->IsOpen());
}

TEST(LinkConnection, ConnectFailures) {
  LoopbackListener closed;
  int freePort = closed.Port();
  closed.CloseListener();
  struct Case {
    const char* name;
    std::string host;
    std::int32_t port;
  };
  const Case cases[] = {
      {"refused", "127.0.0.1", freePort},
      {"empty host", "", 12543},
      {"port 0", "127.0.0.1", 0},
      {"port out of range", "127.0.0.1", 70000},
      {"unknown host", "no-such-host.invalid", 12543},
  };
  for (const Case& c : cases) {
    auto connection = NewConnection();
    EXPECT_FALSE(connection->Connect(c.host, c.port, kLinkConnectTimeoutMs)) << c.name;
    EXPECT_FALSE(connection->IsOpen()) << c.name;
    EXPECT_FALSE(connection->Close()) << c.name;
  }
}

TEST(LinkConnection, AWriteToAPeerThatStopsReadingFailsInsteadOfHoldingTheThread) {
  // The peer takes the connection and never reads: once both socket buffers
  // are full, nothing moves any more.
  LoopbackListener server;
  auto c = NewConnection();
  ASSERT_TRUE(c->Connect("127.0.0.1", server.Port(), kLinkConnectTimeoutMs));
  ASSERT_GE(server.Accept(), 0);
  const Bytes eightMegabytes(8 << 20, 0x5A);
  EXPECT_FALSE(ReturnsInTime([&] { return c->WriteAll(eightMegabytes); }, [&] { server.ClosePeer(); }));
  EXPECT_TRUE(c->Close()) << "still open: the caller closes it and runs its disconnected handling";
}

TEST(LinkConnection, AConnectThatIsNeverAnsweredFailsAtItsTimeOut) {
  // Backlog 0 and one connection waiting to be accepted: the queue is full
  // and the kernel drops every further SYN, as a host that is gone would.
  LoopbackListener server(0);
  auto waiting = NewConnection();
  ASSERT_TRUE(waiting->Connect("127.0.0.1", server.Port(), kLinkConnectTimeoutMs));
  auto c = NewConnection();
  EXPECT_FALSE(ReturnsInTime([&] { return c->Connect("127.0.0.1", server.Port(), 300); },
                             [&] { server.CloseListener(); }));
  EXPECT_FALSE(c->IsOpen());
}

std::string Text(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

std::vector<std::string> Texts(const std::vector<in_addr>& addresses) {
  std::vector<std::string> texts;
  for (const in_addr& a : addresses) texts.push_back(Text(a));
  return texts;
}

in_addr Address(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

TEST(HostLookup, NumericAddressesAreTakenAsTheyAreNamesAreLookedUp) {
  std::atomic<int> lookups{0};
  HostLookups hosts([&lookups](const std::string& name) {
    ++lookups;
    return name == "server.local" ? std::vector<in_addr>{Address("10.1.2.3"), Address("10.1.2.4")}
                                  : std::vector<in_addr>{};
  });
  const auto deadline = SteadyClock::now() + 10s;
  EXPECT_EQ(Texts(hosts.Addresses("192.168.7.9", deadline)), std::vector<std::string>{"192.168.7.9"});
  EXPECT_EQ(lookups, 0) << "a numeric address asks no name service";
  EXPECT_EQ(Texts(hosts.Addresses("server.local", deadline)), (std::vector<std::string>{"10.1.2.3", "10.1.2.4"}));
  EXPECT_TRUE(hosts.Addresses("unknown.local", deadline).empty());
  EXPECT_EQ(lookups, 2);
  // The good answer is kept; the unknown name is asked again.
  EXPECT_EQ(Texts(hosts.Addresses("server.local", deadline)), (std::vector<std::string>{"10.1.2.3", "10.1.2.4"}));
  EXPECT_TRUE(hosts.Addresses("unknown.local", deadline).empty());
  EXPECT_EQ(lookups, 3);
}

// A name service slower than the connect time-out (glibc behind a dead first
// name server takes 5 s): the attempt that started the look-up gives up at its
// deadline, the attempts meanwhile start no second one, and the answer serves
// the first attempt after it came.
TEST(HostLookup, ALookupThatOutlivesItsAttemptServesTheNextOne) {
  // A name service that does not answer until the test lets it. The state
  // is shared, so the lookup can outlive this test's scope.
  struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<int> started{0};
    std::atomic<bool> ended{false};
  };
  auto gate = std::make_shared<Gate>();
  HostLookups hosts([gate](const std::string&) {
    ++gate->started;
    gate->opened.wait_for(10s);
    gate->ended = true;
    return std::vector<in_addr>{Address("10.9.9.9")};
  });
  EXPECT_TRUE(hosts.Addresses("slow.local", SteadyClock::now() + 100ms).empty());
  EXPECT_FALSE(gate->ended) << "the caller waited for the lookup instead of the deadline";
  EXPECT_TRUE(hosts.Addresses("slow.local", SteadyClock::now() + 50ms).empty());
  gate->open.set_value();
  // An attempt under way when the answer comes takes it at once.
  EXPECT_EQ(Texts(hosts.Addresses("slow.local", SteadyClock::now() + 10s)), std::vector<std::string>{"10.9.9.9"});
  EXPECT_EQ(Texts(hosts.Addresses("slow.local", SteadyClock::now())), std::vector<std::string>{"10.9.9.9"});
  EXPECT_EQ(gate->started, 1) << "one look-up out at a time";
}

TEST(HostLookup, ALookupThatOutlivesItsOwnerIsLeftBehind) {
  auto gate = std::make_shared<std::promise<void>>();
  std::shared_future<void> opened = gate->get_future().share();
  {
    HostLookups hosts([opened](const std::string&) {
      opened.wait_for(10s);
      return std::vector<in_addr>{Address("10.9.9.9")};
    });
    EXPECT_TRUE(hosts.Addresses("hanging.local", SteadyClock::now() + 50ms).empty());
  }
  gate->set_value();  // it ends late, with nobody left to take its result
}

}  // namespace
}  // namespace vorel
