// Orders of calls and callbacks of the socket client, against a scripted
// platform whose notifications the test delivers by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/uncaught_error.h"
#include "p7/SimpleTCP.h"
#include "p7/client_log.h"
#include "p7/fake_socket_api.h"
#include "support/loopback.h"

namespace vorel {
namespace {

using test::ClientLog;
using test::FakeSocketState;
using Lines = std::vector<std::string>;

const std::string kNotSocket = "error 10038 Socket operation on non-socket";

class SimpleTcpSequenceTest : public ::testing::Test {
 protected:
  SimpleTcpSequenceTest() {
    previousSink = SetUncaughtErrorSink([this](const std::string& message) { uncaught.push_back(message); });
    client = std::make_unique<TSimpleTCPClient>(nullptr, std::make_unique<test::FakeSocketApi>(fake));
    client->SetHost("10.0.0.5");
    client->SetPort(7788);
    log.Attach(*client);
  }
  ~SimpleTcpSequenceTest() override {
    client.reset();
    SetUncaughtErrorSink(previousSink);
  }

  // Brings the client to connected on socket 7 and forgets what that took.
  void ConnectNow() {
    client->SetConnected(true);
    fake->TellConnected(7);
    ASSERT_TRUE(client->Connected());
    log.lines.clear();
    fake->calls.clear();
  }

  void ExpectIdle() {
    EXPECT_FALSE(client->Connected());
    EXPECT_FALSE(client->ConnectRequested());
    EXPECT_EQ(client->SocketHandle(), kNoSocket);
  }

  std::shared_ptr<FakeSocketState> fake = std::make_shared<FakeSocketState>();
  UncaughtErrorSink previousSink;
  Lines uncaught;
  std::unique_ptr<TSimpleTCPClient> client;
  ClientLog log;
};

// --- connect sequence -----------------------------------------------------------

TEST_F(SimpleTcpSequenceTest, ConnectSetsUpANonBlockingSocketAndWaitsForTheNotification) {
  client->SetConnected(true);
  // The dead-path limits before the connect: they bound the SYN's retries too.
  EXPECT_EQ(fake->calls, (Lines{"socket 7", "limits 7", "notify 7", "connect 7"}));
  const auto& a = fake->lastAddress;
  std::uint8_t port[2];
  std::memcpy(port, &a.port, 2);
  EXPECT_EQ(a.family, kAfInet);
  EXPECT_EQ(port[0], 0x1E);  // 7788 in network byte order
  EXPECT_EQ(port[1], 0x6C);
  EXPECT_EQ(a.address, ::inet_addr("10.0.0.5"));
  EXPECT_TRUE(client->ConnectRequested());
  EXPECT_FALSE(client->Connected());
  EXPECT_TRUE(log.lines.empty());

  fake->TellConnected(7);
  EXPECT_TRUE(client->Connected());
  EXPECT_EQ(log.lines, Lines{"connected"});
}

TEST_F(SimpleTcpSequenceTest, AHostNameIsResolvedAndItsFirstAddressUsed) {
  fake->resolvedAddress = ::inet_addr("192.168.4.20");
  client->SetHost("monitor.local");
  client->SetConnected(true);
  EXPECT_EQ(fake->calls, std::vector<std::string>{"resolve monitor.local"}) << "looked up off the event loop";
  EXPECT_TRUE(client->ConnectRequested());
  fake->TellLookedUp();
  EXPECT_EQ(fake->Count("connect"), 1u);
  EXPECT_EQ(fake->lastAddress.address, ::inet_addr("192.168.4.20"));
}

// A name service slower than the attempt (glibc behind a dead first name
// server answers after 5 s) must neither hold the attempt for good nor keep
// the link from connecting: the attempt fails silently to the operator
// (OnError), the answer is kept when it comes, and the next attempt uses it.
TEST_F(SimpleTcpSequenceTest, ALookUpSlowerThanTheAttemptFailsItAndServesTheNextAttempt) {
  client->SetHost("monitor.local");
  client->SetConnected(true);
  ASSERT_TRUE(test::PumpUntil([&] { return !client->ConnectRequested(); },
                              std::chrono::milliseconds(TSimpleTCPClient::kLookupLimitMs + 2000)));
  EXPECT_EQ(log.lines, (Lines{kNotSocket, "error 10014 Bad address"}));
  client->SetConnected(true);  // the retry while the look-up is still out
  EXPECT_EQ(fake->Count("resolve"), 1u) << "one look-up out at a time";
  fake->resolvedAddress = ::inet_addr("192.168.4.20");
  fake->TellLookedUp();
  EXPECT_EQ(fake->Count("connect"), 1u) << "the attempt waiting for the answer takes it";
  EXPECT_EQ(fake->lastAddress.address, ::inet_addr("192.168.4.20"));
  client->SetConnected(false);
  client->SetConnected(true);
  EXPECT_EQ(fake->Count("resolve"), 1u) << "a fresh answer is used as it is";
  EXPECT_EQ(fake->Count("connect"), 2u) << "at once";
}

TEST_F(SimpleTcpSequenceTest, AnAnswerNobodyWaitsForStartsNoConnect) {
  client->SetHost("monitor.local");
  client->SetConnected(true);
  client->SetConnected(false);
  client->SetHost("127.0.0.1");
  client->SetConnected(true);  // a new attempt, to a numeric address
  fake->TellLookedUp();
  EXPECT_EQ(fake->Count("connect"), 1u) << "the late answer starts no second connect";
  EXPECT_EQ(fake->lastAddress.address, ::inet_addr("127.0.0.1"));
}

// A connect into a dead path ends only when TCP gives up its SYNs, whose
// back-off would also keep a path that came back waiting: the attempt ends
// at its limit, and the owner's retry sends a fresh SYN.
TEST_F(SimpleTcpSequenceTest, AConnectThatDoesNotEndWithinItsLimitFailsAsTimedOut) {
  client->SetConnected(true);
  ASSERT_TRUE(test::PumpUntil([&] { return !client->ConnectRequested(); },
                              std::chrono::milliseconds(TSimpleTCPClient::kConnectLimitMs + 2000)));
  EXPECT_EQ(log.lines, (Lines{"disconnected", "error 10060 Connection timed out"}));
  ExpectIdle();
  // One that did end in time is left alone by its limit.
  client->SetConnected(true);
  fake->TellConnected(8);
  log.lines.clear();
  EXPECT_FALSE(test::PumpUntil([&] { return !client->Connected(); },
                               std::chrono::milliseconds(TSimpleTCPClient::kConnectLimitMs + 500)));
  EXPECT_TRUE(log.lines.empty());
}

TEST_F(SimpleTcpSequenceTest, FailuresOfTheConnectSequence) {
  struct Case {
    const char* what;
    std::function<void(FakeSocketState&)> script;
    Lines callbacks;
    std::vector<TSocket> errorSockets;
  };
  const std::vector<Case> cases = {
      {"name not resolved", [](auto& f) { f.resolves = false; }, {kNotSocket, "error 10014 Bad address"},
       {kNoSocket, kNoSocket}},
      {"no socket", [](auto& f) { f.fail["socket"] = 10024; }, {kNotSocket, "error 10024 Too many open files"},
       {kNoSocket, kNoSocket}},
      {"notifications refused", [](auto& f) { f.fail["notify"] = 10022; }, {"disconnected", "error 10022 Invalid argument"},
       {7}},
      {"connect refused at once", [](auto& f) { f.fail["connect"] = 10049; },
       {"disconnected", "error 10049 Can't assign requested address"}, {7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake = std::make_shared<FakeSocketState>();
    client = std::make_unique<TSimpleTCPClient>(nullptr, std::make_unique<test::FakeSocketApi>(fake));
    client->SetHost("no-such-host");
    log = ClientLog{};
    log.Attach(*client);
    c.script(*fake);
    client->SetConnected(true);
    fake->TellLookedUp();
    EXPECT_EQ(log.lines, c.callbacks);
    EXPECT_EQ(log.errorSockets, c.errorSockets);
    ExpectIdle();
    EXPECT_TRUE(fake->open.empty()) << "a created socket is closed";

    // Nothing is left half-done: the next write starts a new attempt.
    auto* events = fake->events;
    *fake = FakeSocketState{};
    fake->events = events;
    client->SetConnected(true);
    fake->TellLookedUp();
    EXPECT_EQ(fake->Count("socket"), 1u);
    EXPECT_TRUE(client->ConnectRequested());
  }
}

// The code the platform tells is the code OnError reports, with its text, for
// a failed connect and for a reset alike; one disconnect comes first.
TEST_F(SimpleTcpSequenceTest, AnErrorOfTheConnectOrOfTheConnectionReachesOnErrorUnchanged) {
  struct Case {
    bool connecting;  // the connect ends with it; otherwise a connection breaks with it
    std::int32_t code;
    const char* line;
  };
  const std::vector<Case> cases = {
      {true, 10061, "error 10061 Connection refused"},
      {true, 10060, "error 10060 Connection timed out"},
      {true, 10065, "error 10065 No route to host"},
      {true, 10010, "error 10010 Not a WinSock error ?"},
      {false, 10054, "error 10054 Connection reset by peer"},
      {false, 10053, "error 10053 Software caused connection abort"},
      {false, 12005, "error 12005 Not a WinSock error ?"},  // an errno without a counterpart
  };
  client->SetAutoTryReconnect(true);  // not consulted after an error
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    client->SetConnected(true);
    const TSocket s = client->SocketHandle();
    if (!c.connecting) fake->TellConnected(s);
    log.lines.clear();
    log.errorSockets.clear();
    if (c.connecting) {
      fake->TellConnected(s, c.code);
    } else {
      fake->TellClosed(s, c.code);
    }
    EXPECT_EQ(log.lines, (Lines{"disconnected", c.line}));
    EXPECT_EQ(log.errorSockets, std::vector<TSocket>{s});
    ExpectIdle();
  }
}

// --- disconnect sequence and close ----------------------------------------------

TEST_F(SimpleTcpSequenceTest, DisconnectStopsNotificationsAndResetsTheSocket) {
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  client->SetConnected(false);
  EXPECT_EQ(fake->calls, (Lines{"stop 7", "shutdown 7", "linger 7", "close 7"}));
  EXPECT_EQ(log.lines, Lines{"disconnected"});
  ExpectIdle();
}

TEST_F(SimpleTcpSequenceTest, AFailedCloseKeepsTheSocketAndRaisesNoDisconnect) {
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  fake->fail["close"] = 10004;
  client->SetConnected(false);
  EXPECT_EQ(log.lines, Lines{"error 10004 Interrupted system call"});
  EXPECT_EQ(log.errorSockets, std::vector<TSocket>{7});
  EXPECT_EQ(client->SocketHandle(), 7);
  EXPECT_TRUE(client->Connected());
  EXPECT_FALSE(client->ConnectRequested());
}

TEST_F(SimpleTcpSequenceTest, OrderlyCloseIsToldTwiceAndMayReconnectAtOnce) {
  for (const bool autoReconnect : {false, true}) {
    SCOPED_TRACE(autoReconnect);
    client->SetAutoTryReconnect(autoReconnect);
    client->SetConnected(true);
    fake->TellConnected(client->SocketHandle());
    log.lines.clear();
    fake->calls.clear();
    std::vector<bool> requestedInHandler;
    client->OnDisconnected = [&](QObject*) {
      log.lines.push_back("disconnected");
      requestedInHandler.push_back(client->ConnectRequested());
    };
    const TSocket s = client->SocketHandle();

    fake->TellClosed(s);

    EXPECT_EQ(log.lines, (Lines{"disconnected", "disconnected"}));
    EXPECT_EQ(requestedInHandler, (std::vector<bool>{false, false}));
    // The new attempt has started by the time the notification returns.
    EXPECT_EQ(client->ConnectRequested(), autoReconnect);
    EXPECT_EQ(fake->Count("connect"), autoReconnect ? 1u : 0u);
    EXPECT_FALSE(client->Connected());
    client->SetConnected(false);
  }
}

// Our own orderly end: closed for sending, nothing more taken, and the
// server's close is an orderly end that starts a new connection at once; a
// server that does not close within the limit is reset, with no new attempt.
TEST_F(SimpleTcpSequenceTest, AnEndInOrderWaitsForTheServersCloseThenConnectsAgain) {
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  TMemoryStream frame(std::vector<std::uint8_t>(555, 0x20));
  ASSERT_EQ(client->SendStream(&frame), 555);
  client->CloseInOrder();
  EXPECT_EQ(fake->Count("shutdown-send 7"), 1u);
  EXPECT_TRUE(client->Closing());
  EXPECT_TRUE(client->Connected()) << "until the server closes";
  EXPECT_EQ(client->SendStream(&frame), 0) << "nothing more is sent";
  EXPECT_EQ(client->BytesSent(), 555u);
  fake->TellClosed(7);
  EXPECT_EQ(log.lines, (Lines{"disconnected", "disconnected"}));
  EXPECT_EQ(client->AcknowledgedAtOrderlyEnd(), std::optional<std::uint64_t>(555));
  EXPECT_TRUE(client->ConnectRequested()) << "a new connection at once";
  EXPECT_FALSE(client->Closing());

  fake->TellConnected(client->SocketHandle());
  const TSocket second = client->SocketHandle();
  log.lines.clear();
  fake->calls.clear();
  client->CloseInOrder();
  ASSERT_TRUE(test::PumpUntil([&] { return !client->Connected(); },
                              std::chrono::milliseconds(TSimpleTCPClient::kCloseLimitMs + 2000)));
  EXPECT_EQ(log.lines, (Lines{"disconnected"}));
  EXPECT_EQ(fake->Count("linger " + std::to_string(second)), 1u) << "reset";
  EXPECT_EQ(client->AcknowledgedAtOrderlyEnd(), std::nullopt);
  ExpectIdle();
}

TEST_F(SimpleTcpSequenceTest, ResetIsOneDisconnectThenTheErrorAndNoReconnect) {
  client->SetAutoTryReconnect(true);
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  fake->TellClosed(7, 10054);
  EXPECT_EQ(log.lines, (Lines{"disconnected", "error 10054 Connection reset by peer"}));
  EXPECT_EQ(fake->Count("socket"), 0u);
  ExpectIdle();
}

// A server that closes in order has read what its TCP acknowledged before
// (one with bytes unread resets instead): the client keeps that count for
// the connection that ended, and only for an orderly end.
TEST_F(SimpleTcpSequenceTest, AnOrderlyEndKeepsTheBytesAcknowledgedByThenAndAResetNone) {
  for (const bool orderly : {true, false}) {
    SCOPED_TRACE(orderly);
    client->SetConnected(true);
    fake->TellConnected(client->SocketHandle());
    TMemoryStream frame(std::vector<std::uint8_t>(555, 0x20));
    ASSERT_EQ(client->SendStream(&frame), 555);
    ASSERT_EQ(client->SendStream(&frame), 555);
    fake->unacknowledged = 555;
    fake->peerWindow = 4096;
    ASSERT_TRUE(client->PeerWindow());
    EXPECT_EQ(client->PeerWindow()->window, 4096u);
    EXPECT_EQ(client->AcknowledgedAtOrderlyEnd(), std::nullopt) << "while up";
    fake->TellClosed(client->SocketHandle(), orderly ? 0 : 10054);
    EXPECT_EQ(client->AcknowledgedAtOrderlyEnd(), orderly ? std::optional<std::uint64_t>(555) : std::nullopt);
    EXPECT_EQ(client->PeerWindow(), std::nullopt) << "not connected";
    fake->unacknowledged = 0;
    client->SetConnected(false);
  }
}

// A platform that queues its events may hand over one of a socket already
// closed; acting on it would end the connection that followed.
TEST_F(SimpleTcpSequenceTest, EventsOfAClosedSocketAreIgnored) {
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  client->SetConnected(false);
  client->SetConnected(true);  // socket 8
  fake->TellConnected(8);
  log.lines.clear();
  fake->incoming.assign(10, 0x55);
  fake->TellReadable(7);
  for (const std::int32_t error : {0, 10054}) {
    fake->TellConnected(7, error);
    fake->TellClosed(7, error);
  }
  EXPECT_TRUE(log.lines.empty());
  EXPECT_TRUE(client->Connected());
  EXPECT_EQ(client->SocketHandle(), 8);
}

// --- read procedure -------------------------------------------------------------

TEST_F(SimpleTcpSequenceTest, EverythingWaitingComesInOneReadHoweverManyReceivesItTakes) {
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  const auto bytes = test::Pattern(1200);
  fake->incoming.assign(bytes.begin(), bytes.end());
  fake->waitingReportLimit = 300;
  fake->TellReadable(7);
  EXPECT_EQ(log.lines, Lines{"read 1200"});
  EXPECT_EQ(log.reads.at(0), bytes);
  EXPECT_EQ(fake->Count("recv 7 300"), 4u);

  fake->TellReadable(7);  // nothing waiting: no read
  EXPECT_EQ(log.lines, Lines{"read 1200"});
}

TEST_F(SimpleTcpSequenceTest, OnDataAvailableTakesTheBytesItself) {
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  fake->incoming.assign(1200, 0x41);
  fake->waitingReportLimit = 500;
  std::vector<std::int32_t> sizes;
  std::int32_t taken = 0;
  client->OnDataAvailable = [&](QObject*, std::int32_t size) {
    sizes.push_back(size);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size));
    taken += client->ReceiveBytes(client->SocketHandle(), buffer.data(), size, false);
  };
  fake->TellReadable(7);
  EXPECT_EQ(sizes, (std::vector<std::int32_t>{500, 500, 200}));
  EXPECT_EQ(taken, 1200);
  EXPECT_TRUE(log.lines.empty()) << "no OnRead";
}

TEST_F(SimpleTcpSequenceTest, AFailedReceiveOrCountEndsTheConnectionOnce) {
  struct Case {
    const char* op;
    int code;
    const char* line;
  };
  const std::vector<Case> cases = {
      {"fionread", 10050, "error 10050 Network is down"},
      {"recv", 10053, "error 10053 Software caused connection abort"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.op);
    client->SetConnected(true);
    const TSocket s = client->SocketHandle();
    fake->TellConnected(s);
    log.lines.clear();
    fake->incoming.assign(100, 1);
    fake->fail[c.op] = c.code;
    fake->TellReadable(s);
    EXPECT_EQ(log.lines, (Lines{"disconnected", c.line}));
    ExpectIdle();
    fake->fail.clear();
  }
}

TEST_F(SimpleTcpSequenceTest, WaitAllReceivesUntilTheSizeIsInOrThePeerCloses) {
  struct Case {
    const char* what;
    std::size_t waiting;
    int recvChunk;
    bool peerClosed;
    std::int32_t expected;
  };
  const std::vector<Case> cases = {
      {"arrives in pieces", 80, 30, false, 80},
      {"peer closes first", 50, 0, true, 50},
  };
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake->incoming.assign(c.waiting, 2);
    fake->recvChunk = c.recvChunk;
    fake->peerClosed = c.peerClosed;
    TMemoryStream stream;
    EXPECT_EQ(client->ReceiveToStream(7, &stream, 80, true), c.expected);
    EXPECT_EQ(stream.Size(), c.expected);
    EXPECT_TRUE(log.lines.empty());
  }
  TMemoryStream stream;
  const auto callsBefore = fake->calls.size();
  EXPECT_EQ(client->ReceiveToStream(7, &stream, 0, true), 0);
  EXPECT_EQ(fake->calls.size(), callsBefore) << "nothing is received for a size of 0";
}

// --- sending -----------------------------------------------------------------------

TEST_F(SimpleTcpSequenceTest, APartialSendIsNotCompleted) {
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  fake->sendAccepts = 100;
  const auto bytes = test::Pattern(555);
  TMemoryStream frame(bytes);
  EXPECT_EQ(client->SendStream(&frame), 100);
  EXPECT_EQ(fake->calls, Lines{"send 7 555"});
  EXPECT_EQ(fake->sent, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 100));
  EXPECT_TRUE(log.lines.empty());
  EXPECT_TRUE(client->Connected());
}

// A full send buffer takes nothing and is no fault of the connection; a
// failure ends it. Either way the stream keeps its position.
TEST_F(SimpleTcpSequenceTest, AFullSendBufferTakesNothingAndAFailedSendEndsTheConnection) {
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  fake->fail["send"] = 10035;  // the system's buffer is full
  TMemoryStream frame(test::Pattern(555));
  frame.SetPosition(100);
  EXPECT_EQ(client->SendStream(&frame), 0);
  EXPECT_EQ(frame.Position(), 100);
  EXPECT_TRUE(log.lines.empty());
  EXPECT_TRUE(client->Connected());

  fake->fail["send"] = 10054;
  EXPECT_EQ(client->SendStream(&frame), -1);
  EXPECT_EQ(frame.Position(), 100);
  EXPECT_EQ(log.lines, (Lines{"disconnected", "error 10054 Connection reset by peer"}));
  ExpectIdle();
}

TEST_F(SimpleTcpSequenceTest, AFailedSendRaisesWithoutOnErrorAndStillKeepsThePosition) {
  client->OnError = nullptr;
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  fake->fail["send"] = 10054;
  TMemoryStream frame(test::Pattern(555));
  frame.SetPosition(33);
  try {
    client->SendStream(&frame);
    ADD_FAILURE() << "nothing raised";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Connection reset by peer");
  }
  EXPECT_EQ(frame.Position(), 33);
  EXPECT_EQ(log.lines, Lines{"disconnected"});
  ExpectIdle();
}

// --- Host and Port -------------------------------------------------------------

TEST_F(SimpleTcpSequenceTest, HostWrittenDuringAnAttemptIsUsedFromTheNextOne) {
  client->SetConnected(true);
  client->SetHost("10.0.0.9");
  EXPECT_EQ(fake->Count("socket"), 1u) << "the attempt goes on";
  fake->TellConnected(7);
  EXPECT_TRUE(client->Connected());
  client->SetConnected(false);
  client->SetConnected(true);
  EXPECT_EQ(fake->lastAddress.address, ::inet_addr("10.0.0.9"));
}

TEST_F(SimpleTcpSequenceTest, AllowedChangeWhileConnectedReconnectsToTheNewValue) {
  client->SetAllowChangeHostAndPortOnConnection(true);
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  client->SetPort(7789);
  EXPECT_EQ(fake->calls, (Lines{"stop 7", "shutdown 7", "linger 7", "close 7", "socket 8", "limits 8",
                                "notify 8", "connect 8"}));
  EXPECT_EQ(fake->lastAddress.port, htons(7789));
  EXPECT_EQ(log.lines, Lines{"disconnected"});
  EXPECT_TRUE(client->ConnectRequested());
}

// --- session and errors in handlers -----------------------------------------------

TEST_F(SimpleTcpSequenceTest, SessionThatCannotStartOrEnd) {
  auto state = std::make_shared<FakeSocketState>();
  state->startupResult = 10091;
  try {
    TSimpleTCPClient refused(nullptr, std::make_unique<test::FakeSocketApi>(state));
    ADD_FAILURE() << "nothing raised";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Can not start socket session");
  }

  state = std::make_shared<FakeSocketState>();
  state->cleanupResult = 10093;
  { TSimpleTCPClient unclean(nullptr, std::make_unique<test::FakeSocketApi>(state)); }
  EXPECT_EQ(uncaught, Lines{"Can not clean socket session"});
}

TEST_F(SimpleTcpSequenceTest, DestructionClosesWithoutCallingTheOwner) {
  ASSERT_NO_FATAL_FAILURE(ConnectNow());
  fake->fail["close"] = 10004;  // even an error is kept from the owner
  client.reset();
  EXPECT_EQ(fake->calls, (Lines{"stop 7", "shutdown 7", "linger 7", "close 7"}));
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(uncaught, Lines{"Interrupted system call"});
}

TEST_F(SimpleTcpSequenceTest, AnErrorRaisedInAHandlerGoesToTheUncaughtErrorHandler) {
  client->OnConnected = [](QObject*) { throw std::runtime_error("handler failed"); };
  client->SetConnected(true);
  fake->TellConnected(7);
  EXPECT_EQ(uncaught, Lines{"handler failed"});
  EXPECT_TRUE(client->Connected());
}

}  // namespace
}  // namespace vorel
