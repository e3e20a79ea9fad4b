// The socket client against real loopback servers, driven by the event loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/uncaught_error.h"
#include "p7/SimpleTCP.h"
#include "p7/client_log.h"
#include "support/loopback.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
using test::ClientLog;
using test::LoopbackServer;
using test::PumpFor;
using test::PumpUntil;
using Lines = std::vector<std::string>;

class SimpleTcpTest : public ::testing::Test {
 protected:
  SimpleTcpTest() {
    previousSink = SetUncaughtErrorSink([this](const std::string& message) { uncaught.push_back(message); });
    client = std::make_unique<TSimpleTCPClient>();
    client->SetHost("127.0.0.1");
    log.Attach(*client);
  }
  ~SimpleTcpTest() override {
    client.reset();
    SetUncaughtErrorSink(previousSink);
  }

  // Connects to the server and waits until both ends see the connection.
  void ConnectTo(LoopbackServer& s) {
    client->SetPort(s.Port());
    client->SetConnected(true);
    ASSERT_TRUE(PumpUntil([&] { return client->Connected() && (s.Accepted() > 0 || s.TryAccept()); }));
    log.lines.clear();
  }

  void ExpectIdle() {
    EXPECT_FALSE(client->Connected());
    EXPECT_FALSE(client->ConnectRequested());
    EXPECT_EQ(client->SocketHandle(), kNoSocket);
  }

  UncaughtErrorSink previousSink;
  std::vector<std::string> uncaught;
  std::unique_ptr<TSimpleTCPClient> client;
  ClientLog log;
  LoopbackServer server;
};

// --- connection attempts ------------------------------------------------------

TEST_F(SimpleTcpTest, RefusedPortEndsTheAttemptWithOneDisconnectAndTheError) {
  test::RefusingPort refusing;
  client->SetPort(refusing.Port());
  client->SetConnected(true);
  const TSocket attempted = client->SocketHandle();
  ASSERT_NE(attempted, kNoSocket);
  EXPECT_TRUE(client->ConnectRequested());
  EXPECT_FALSE(client->Connected());

  ASSERT_TRUE(PumpUntil([&] { return !log.lines.empty() && log.lines.back().rfind("error", 0) == 0; }));
  EXPECT_EQ(log.lines, (Lines{"disconnected", "error 10061 Connection refused"}));
  EXPECT_EQ(log.errorSockets, std::vector<TSocket>{attempted});
  ExpectIdle();
  EXPECT_TRUE(uncaught.empty());
}

TEST_F(SimpleTcpTest, UnassignedOnErrorRaisesTheTextToTheUncaughtErrorHandler) {
  client->OnError = nullptr;
  test::RefusingPort refusing;
  client->SetPort(refusing.Port());
  client->SetConnected(true);
  ASSERT_TRUE(PumpUntil([&] { return !uncaught.empty(); }));
  EXPECT_EQ(uncaught, Lines{"Connection refused"});
  EXPECT_EQ(log.lines, Lines{"disconnected"});
  ExpectIdle();
}

TEST_F(SimpleTcpTest, UnresolvableHostReportsTheFailedCloseThenBadAddress) {
  client->SetHost("no-such-host.invalid");
  client->SetPort(server.Port());
  client->SetConnected(true);  // looked up off the event loop
  ASSERT_TRUE(PumpUntil([&] { return log.lines.size() >= 2; }));
  EXPECT_EQ(log.lines, (Lines{"error 10038 Socket operation on non-socket", "error 10014 Bad address"}));
  EXPECT_EQ(log.errorSockets, (std::vector<TSocket>{kNoSocket, kNoSocket}));
  ExpectIdle();

  // The failed attempt left nothing behind: the next write starts a new one.
  client->SetHost("127.0.0.1");
  client->SetConnected(true);
  EXPECT_TRUE(client->ConnectRequested());
  ASSERT_TRUE(PumpUntil([&] { return client->Connected(); }));
}

TEST_F(SimpleTcpTest, ConnectingAgainDuringAnAttemptOrWhileConnectedChangesNothing) {
  client->SetPort(server.Port());
  client->SetConnected(true);
  const TSocket attempt = client->SocketHandle();
  client->SetConnected(true);  // during the attempt
  EXPECT_EQ(client->SocketHandle(), attempt);
  EXPECT_TRUE(log.lines.empty());

  ASSERT_TRUE(PumpUntil([&] { return client->Connected() && (server.Accepted() > 0 || server.TryAccept()); }));
  EXPECT_EQ(log.lines, Lines{"connected"});
  client->SetConnected(true);  // while connected
  PumpFor(100ms);
  server.TryAccept();
  EXPECT_EQ(client->SocketHandle(), attempt);
  EXPECT_TRUE(client->Connected());
  EXPECT_EQ(server.Accepted(), 1);
  EXPECT_EQ(log.lines, Lines{"connected"});
}

TEST_F(SimpleTcpTest, SendingWhileTheConnectIsInProgressEndsTheAttempt) {
  client->SetPort(server.Port());
  client->SetConnected(true);
  TMemoryStream frame(test::Pattern(555));
  EXPECT_EQ(client->SendStream(&frame), -1);
  EXPECT_EQ(log.lines, (Lines{"disconnected", "error 10057 Socket is not connected"}));
  ExpectIdle();
}

TEST_F(SimpleTcpTest, FramesSentFromOnConnectedReachTheServer) {
  const auto hello = test::Pattern(555, 1);
  const auto port = test::Pattern(555, 2);
  std::vector<std::int32_t> results;
  client->OnConnected = [&](QObject*) {
    for (const auto* bytes : {&hello, &port}) {
      TMemoryStream frame(*bytes);
      results.push_back(client->SendStream(&frame));
    }
  };
  client->SetPort(server.Port());
  client->SetConnected(true);
  ASSERT_TRUE(PumpUntil([&] {
    if (server.Accepted() == 0) server.TryAccept();
    if (server.Peer() >= 0) server.Collect();
    return server.Received().size() >= 1110;
  }));
  EXPECT_EQ(results, (std::vector<std::int32_t>{555, 555}));
  std::vector<std::uint8_t> expected = hello;
  expected.insert(expected.end(), port.begin(), port.end());
  EXPECT_EQ(server.Received(), expected);
}

// --- the end of a connection -------------------------------------------------

TEST_F(SimpleTcpTest, OrderlyCloseByTheServerIsToldTwice) {
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  server.CloseGracefully();
  ASSERT_TRUE(PumpUntil([&] { return log.lines.size() >= 2; }));
  PumpFor(50ms);
  EXPECT_EQ(log.lines, (Lines{"disconnected", "disconnected"}));
  ExpectIdle();
}

TEST_F(SimpleTcpTest, OrderlyCloseWithAutoTryReconnectConnectsAgain) {
  client->SetAutoTryReconnect(true);
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  server.CloseGracefully();
  ASSERT_TRUE(PumpUntil([&] { return client->Connected() && (server.Accepted() == 2 || server.TryAccept()); }));
  EXPECT_EQ(log.lines, (Lines{"disconnected", "disconnected", "connected"}));
}

TEST_F(SimpleTcpTest, ResetByTheServerIsOneDisconnectThenTheError) {
  client->SetAutoTryReconnect(true);  // not consulted after a failure
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  const TSocket socket = client->SocketHandle();
  server.Reset();
  ASSERT_TRUE(PumpUntil([&] { return log.lines.size() >= 2; }));
  PumpFor(50ms);
  EXPECT_EQ(log.lines, (Lines{"disconnected", "error 10054 Connection reset by peer"}));
  EXPECT_EQ(log.errorSockets, std::vector<TSocket>{socket});
  ExpectIdle();
}

TEST_F(SimpleTcpTest, DestroyingWhileConnectedResetsWithoutOnDisconnected) {
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  client.reset();
  int peerError = 0;
  ASSERT_TRUE(PumpUntil([&] {
    peerError = server.PeerError();
    return peerError != 0;
  }));
  EXPECT_TRUE(peerError == ECONNRESET || peerError == EPIPE) << peerError;
  EXPECT_TRUE(log.lines.empty());
  EXPECT_TRUE(uncaught.empty());
}

TEST_F(SimpleTcpTest, ClosingOurselvesIsOneDisconnect) {
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  client->SetConnected(false);
  EXPECT_EQ(log.lines, Lines{"disconnected"});
  ExpectIdle();
  client->SetConnected(false);  // already idle
  PumpFor(50ms);
  EXPECT_EQ(log.lines, Lines{"disconnected"});
}

// --- receiving ----------------------------------------------------------------

TEST_F(SimpleTcpTest, BytesThatArrivedBeforeTheNotificationComeInOneRead) {
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  const auto bytes = test::Pattern(1200);
  // Three writes, all on the client's socket before any event is handled.
  server.Send({bytes.begin(), bytes.begin() + 400});
  server.Send({bytes.begin() + 400, bytes.begin() + 800});
  server.Send({bytes.begin() + 800, bytes.end()});
  ASSERT_TRUE(PumpUntil([&] { return test::BytesWaitingOn(client->SocketHandle()) == 1200; }, 5s));
  ASSERT_TRUE(PumpUntil([&] { return !log.reads.empty(); }));
  PumpFor(50ms);
  EXPECT_EQ(log.lines, Lines{"read 1200"});
  EXPECT_EQ(log.reads.at(0), bytes);
  EXPECT_TRUE(client->Connected());
}

TEST_F(SimpleTcpTest, BytesSentJustBeforeACloseAreReadBeforeTheClose) {
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  const auto bytes = test::Pattern(555 * 3, 9);
  server.Send(bytes);
  server.CloseGracefully();
  ASSERT_TRUE(PumpUntil([&] { return log.Count("disconnected") == 2; }));
  ASSERT_GE(log.lines.size(), 3u);
  EXPECT_EQ(log.lines.back(), "disconnected");
  std::vector<std::uint8_t> all;
  for (const auto& r : log.reads) all.insert(all.end(), r.begin(), r.end());
  EXPECT_EQ(all, bytes);
  EXPECT_EQ(log.lines.size(), log.reads.size() + 2) << "reads come before both disconnects";
}

TEST_F(SimpleTcpTest, DisconnectingFromInsideOnReadIsSafe) {
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  client->OnRead = [&](QObject*, TMemoryStream* stream) {
    log.Read(*stream);
    client->SetConnected(false);
  };
  server.Send(test::Pattern(700));
  ASSERT_TRUE(PumpUntil([&] { return log.Count("disconnected") == 1; }));
  server.TrySend(test::Pattern(10));  // the client has gone: this may fail
  PumpFor(100ms);
  EXPECT_EQ(log.lines, (Lines{"read 700", "disconnected"}));
  ExpectIdle();

  // And the component is fit for the next connection.
  client->OnRead = [&](QObject*, TMemoryStream* stream) { log.Read(*stream); };
  log.lines.clear();
  client->SetConnected(true);
  ASSERT_TRUE(PumpUntil([&] { return client->Connected() && (server.Accepted() == 2 || server.TryAccept()); }));
  server.Send(test::Pattern(20));
  ASSERT_TRUE(PumpUntil([&] { return log.Count("read 20") == 1; }));
}

TEST_F(SimpleTcpTest, ReconnectingFromInsideOnReadStartsAFreshAttempt) {
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  client->OnRead = [&](QObject*, TMemoryStream* stream) {
    log.Read(*stream);
    client->SetConnected(false);
    client->SetConnected(true);
  };
  server.Send(test::Pattern(30));
  ASSERT_TRUE(PumpUntil([&] { return log.Count("connected") == 1 && (server.Accepted() == 2 || server.TryAccept()); }));
  EXPECT_EQ(log.lines, (Lines{"read 30", "disconnected", "connected"}));
}

// --- handlers that call back into the component or run an event loop ----------

// Closing during the connect is one disconnect. Nothing of that attempt is
// told later, not even to the next one, whose socket often takes the same
// descriptor number.
TEST_F(SimpleTcpTest, ClosingDuringTheConnectEndsThatAttemptForGood) {
  test::RefusingPort refusing;
  client->SetPort(server.Port());
  client->SetConnected(true);
  client->SetConnected(false);
  EXPECT_EQ(log.lines, Lines{"disconnected"});
  ExpectIdle();

  client->SetPort(refusing.Port());
  client->SetConnected(true);
  ASSERT_TRUE(PumpUntil([&] { return !client->ConnectRequested(); }));
  PumpFor(50ms);
  server.TryAccept();
  EXPECT_EQ(log.lines, (Lines{"disconnected", "disconnected", "error 10061 Connection refused"}));
  EXPECT_TRUE(uncaught.empty());
}

// Guards against the platform touching what it dropped when the socket was
// closed: the connect's notifier is the one running when OnConnected
// abandons its socket (a use after free under the sanitizer build).
TEST_F(SimpleTcpTest, ReconnectingFromInsideOnConnectedStartsAFreshAttempt) {
  client->OnConnected = [&](QObject*) {
    log.lines.push_back("connected");
    if (log.Count("connected") > 1) return;
    client->SetConnected(false);
    client->SetConnected(true);
  };
  client->SetPort(server.Port());
  client->SetConnected(true);
  ASSERT_TRUE(PumpUntil([&] { return log.Count("connected") == 2 && (server.Accepted() == 2 || server.TryAccept()); }));
  PumpFor(50ms);
  EXPECT_EQ(log.lines, (Lines{"connected", "disconnected", "connected"}));
  EXPECT_TRUE(client->Connected());
}

// Guards against re-entering a handler: one that runs a nested event loop
// (a message box does) must not be handed the socket's next bytes before it
// has finished with the first, or a frame would be taken apart twice at once.
TEST_F(SimpleTcpTest, AHandlerRunningAnEventLoopGetsTheNextBytesOnlyAfterItReturns) {
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  int depth = 0;
  int deepest = 0;
  client->OnRead = [&](QObject*, TMemoryStream* stream) {
    deepest = std::max(deepest, ++depth);
    log.Read(*stream);
    if (log.reads.size() == 1) {
      server.Send(test::Pattern(20, 2));
      PumpUntil([&] { return test::BytesWaitingOn(client->SocketHandle()) == 20; }, 5s);
      PumpFor(50ms);
    }
    --depth;
  };
  server.Send(test::Pattern(10, 1));
  ASSERT_TRUE(PumpUntil([&] { return log.reads.size() == 2; }));
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(log.lines, (Lines{"read 10", "read 20"}));
  EXPECT_EQ(log.reads.at(1), test::Pattern(20, 2));
}

// --- sending ------------------------------------------------------------------

TEST_F(SimpleTcpTest, SendStreamWhenIdleReturnsZeroAndTellsNothing) {
  TMemoryStream frame(test::Pattern(555));
  frame.SetPosition(17);
  EXPECT_EQ(client->SendStream(&frame), 0);
  EXPECT_EQ(client->SendStream(nullptr), 0);
  EXPECT_EQ(frame.Position(), 17);
  PumpFor(20ms);
  EXPECT_TRUE(log.lines.empty());
  EXPECT_TRUE(uncaught.empty());
}

TEST_F(SimpleTcpTest, SendStreamSendsTheWholeStreamAndKeepsItsPosition) {
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  const auto bytes = test::Pattern(555, 3);
  TMemoryStream frame(bytes);
  frame.SetPosition(100);
  EXPECT_EQ(client->SendStream(&frame), 555);
  EXPECT_EQ(frame.Position(), 100);
  ASSERT_TRUE(PumpUntil([&] {
    server.Collect();
    return server.Received().size() >= 555;
  }));
  EXPECT_EQ(server.Received(), bytes);
  EXPECT_TRUE(log.lines.empty());
}

// --- Host and Port -------------------------------------------------------------

TEST_F(SimpleTcpTest, HostAndPortWhileConnected) {
  struct Case {
    const char* what;
    std::function<void(TSimpleTCPClient&)> write;
    const char* raised;  // nullptr: nothing raised
  };
  const std::vector<Case> cases = {
      {"same Host", [](auto& c) { c.SetHost("127.0.0.1"); }, nullptr},
      {"other Host", [](auto& c) { c.SetHost("127.0.0.2"); }, "Can not change Host while connected"},
      {"same Port", [this](auto& c) { c.SetPort(server.Port()); }, nullptr},
      {"other Port", [this](auto& c) { c.SetPort(static_cast<std::uint16_t>(server.Port() + 1)); },
       "Can not change Port while connected"},
  };
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  const TSocket socket = client->SocketHandle();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string raised;
    try {
      c.write(*client);
    } catch (const ESocketError& e) {
      raised = e.what();
    }
    EXPECT_EQ(raised, c.raised ? c.raised : "");
    EXPECT_EQ(client->Host(), "127.0.0.1");
    EXPECT_EQ(client->Port(), server.Port());
    EXPECT_TRUE(client->Connected());
    EXPECT_EQ(client->SocketHandle(), socket);
  }
  EXPECT_TRUE(log.lines.empty());
}

TEST_F(SimpleTcpTest, ChangingHostWhileConnectedIsAllowedWhenAsked) {
  client->SetAllowChangeHostAndPortOnConnection(true);
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server));
  LoopbackServer second;
  client->SetPort(second.Port());
  EXPECT_EQ(log.lines, Lines{"disconnected"});
  EXPECT_TRUE(client->ConnectRequested());
  ASSERT_TRUE(PumpUntil([&] { return client->Connected() && (second.Accepted() > 0 || second.TryAccept()); }));
  EXPECT_EQ(log.lines, (Lines{"disconnected", "connected"}));
}

}  // namespace
}  // namespace vorel
