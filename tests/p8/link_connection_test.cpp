// The platform connection of the protocol-8 link against a loopback listener
// of the test's own, bound to port 0.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "p8/link_connection.h"

namespace vorel {
namespace {

class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0) ADD_FAILURE() << "listen";
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

TEST(LinkConnection, HostNamesAreResolved) {
  LoopbackListener server;
  auto c = NewConnection();
  EXPECT_TRUE(c->Connect("localhost", server.Port(), kLinkConnectTimeoutMs));
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

}  // namespace
}  // namespace vorel
