// The passes of the protocol-8 link thread, run one at a time against a
// scripted server and a fake clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "fake_link_connection.h"
#include "p8/link.h"
#include "p8/link_session.h"
#include "p8/record_types.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using test::FakeClock;
using test::FakeLinkNetwork;
using test::TempDir;

// Each line the link writes, with the level the journal gives it: a line
// whose level changes, or a new line without one here, fails the test that
// made it.
const std::map<std::string, Severity> kLinkLineLevels = {
    {"Соединение...", Severity::Debug},  // every attempt, every 5 s while the server is away
    {"Соединение установлено.", Severity::Info},
    {"Ошибки по сети - переподсоединение.", Severity::Warning},
    {"Сервер дал команду на рассоединение.", Severity::Warning},
    {"Доступ запрещен.", Severity::Warning},
    {"Ответ сервера опоздал - переподсоединение.", Severity::Warning},
    {"Ответы сервера сбились - переподсоединение.", Severity::Warning},
};

class RecordingHandOver final : public ILinkHandOver {
 public:
  void AddLogLine(Severity severity, const std::string& text) override {
    log.push_back(text);
    const auto level = kLinkLineLevels.find(text);
    if (level == kLinkLineLevels.end())
      ADD_FAILURE() << "a line without its level in the table: " << text;
    else
      EXPECT_EQ(static_cast<int>(severity), static_cast<int>(level->second)) << text;
  }
  void RefreshIndicator() override { ++refreshes; }
  std::array<PortStatus, 2> PortStatuses() override { return ports; }

  std::vector<std::string> log;
  int refreshes = 0;
  std::array<PortStatus, 2> ports{PortStatus{"COM3", true}, PortStatus{"COM12", false}};
};

const std::string kConnecting = "Соединение...";
const std::string kConnected = "Соединение установлено.";
const std::string kTooManyErrors = "Ошибки по сети - переподсоединение.";

class LinkSessionTest : public ::testing::Test {
 protected:
  LinkSessionTest() : net(clock, link) {
    WriteIni("[ServerHost]\nAddress=server.example\nPort=4000\n");
    LinkEnvironment env;
    env.clock = &clock;
    env.connections = &net;
    env.handOver = &gui;
    env.configFile = dir / "vorel.ini";
    env.firstNumber = 0x1FF;
    env.versionText = [] { return std::string("8.1.3.142"); };
    session = std::make_unique<LinkSession>(link, env);
  }
  void WriteIni(const std::string& text) { std::ofstream(dir / "vorel.ini") << text; }
  std::string SpoolFile(const std::string& name) {
    std::ofstream(dir / name) << "x";
    return (dir / name).string();
  }
  void Pass() {
    session->RunPass();
    clock.Advance(1);
  }
  // Connects and answers each handshake record with rtPoll.
  void ConnectAndShakeHands(std::int32_t lastAnswer = rtAccept) {
    Pass();
    ASSERT_TRUE(link.LinkUp());
    std::size_t records = link.QueuedCount();
    for (std::size_t i = 0; i < records; ++i) {
      net.Answer(i + 1 == records ? lastAnswer : rtPoll);
      Pass();
    }
    ASSERT_EQ(link.QueuedCount(), 0u);
    net.frames.clear();
  }

  TempDir dir;
  FakeClock clock;
  cl link;
  FakeLinkNetwork net;
  RecordingHandOver gui;
  std::unique_ptr<LinkSession> session;
};

TEST_F(LinkSessionTest, UnreachableServerIsTriedAtOnceThenEveryFiveSecondsWithTheConfigReadEachTime) {
  net.acceptConnects = false;
  Pass();
  ASSERT_EQ(net.connects.size(), 1u);
  EXPECT_EQ(net.connects[0].host, "server.example");
  EXPECT_EQ(net.connects[0].port, 4000);
  EXPECT_EQ(net.connects[0].timeoutMs, 2500u);
  EXPECT_TRUE(net.connects[0].linkUpDuringAttempt);
  EXPECT_FALSE(link.LinkUp());

  WriteIni("[ServerHost]\nAddress=10.1.2.3\n");
  clock.Advance(5000 - 1);  // exactly 5000 ms since the attempt: not yet
  Pass();
  EXPECT_EQ(net.connects.size(), 1u);
  Pass();
  ASSERT_EQ(net.connects.size(), 2u);
  EXPECT_EQ(net.connects[1].host, "10.1.2.3");
  EXPECT_EQ(net.connects[1].port, 12543);
  EXPECT_EQ(gui.log, (std::vector<std::string>{kConnecting, kConnecting}));
}

// LinkUp is set from the attempt on (the producers queue, the indicator
// shows it); the link counts as established for the status and the journal
// only once the server answered on the connection, and no longer once it is
// down.
TEST_F(LinkSessionTest, TheLinkIsEstablishedWhenTheHandshakesFirstAnswerComes) {
  net.acceptConnects = false;
  Pass();
  EXPECT_FALSE(link.Established()) << "a refused attempt";
  net.acceptConnects = true;
  clock.Advance(5001);
  Pass();
  ASSERT_TRUE(link.LinkUp());
  EXPECT_FALSE(link.Established()) << "connected, nothing answered yet";
  Pass();  // the hello goes out and no answer comes
  EXPECT_FALSE(link.Established());
  net.Answer(rtPoll);
  Pass();
  EXPECT_TRUE(link.Established());
  net.Answer(rtDisconnect);
  Pass();
  EXPECT_FALSE(link.LinkUp());
  EXPECT_FALSE(link.Established());

  clock.Advance(5001);
  Pass();
  ASSERT_TRUE(link.LinkUp());
  net.Answer(rtAccessDenied);
  Pass();
  Pass();
  EXPECT_FALSE(link.Established()) << "a first answer that ends the link";
}

TEST_F(LinkSessionTest, TheFirstAttemptComesAtOnceEvenRightAfterTheTickCounterWrapped) {
  clock.SetTick(3);
  net.acceptConnects = false;
  Pass();
  EXPECT_EQ(net.connects.size(), 1u);
}

TEST_F(LinkSessionTest, HandshakeQueuesBehindOlderRecordsAndEachGoesInItsOwnExchange) {
  link.Enqueue(rtEventMain, Bytes{0xAA});
  TDateTime connectedAt = clock.Now();
  // A replay just before, given up with the link: the connection lets the next come at once.
  link.Outbox().Ready({SpoolFile("replayed.dd8"), rtEventMain, {}}, connectedAt);
  link.Outbox().LinkDown();
  ASSERT_FALSE(link.Outbox().ReplayDue(connectedAt));
  Pass();
  EXPECT_TRUE(link.LinkUp());
  EXPECT_EQ(gui.log, (std::vector<std::string>{kConnecting, kConnected}));
  EXPECT_TRUE(link.Outbox().ReplayDue(connectedAt));
  EXPECT_TRUE(net.frames.empty());

  for (int i = 0; i < 5; ++i) {
    net.Answer(rtPoll);
    Pass();
    EXPECT_EQ(net.frames.size(), static_cast<std::size_t>(i + 1));
  }
  EXPECT_EQ(net.SentTypes(), (std::vector<std::int32_t>{rtEventMain, rtHello, rtPortStatus, rtFirstNumber, rtVersion}));
  auto payload = [&](std::size_t i) {
    return Bytes(net.frames[i].begin() + kEnvelopeHeaderSize + kRecordHeaderSize, net.frames[i].end());
  };
  EXPECT_EQ(payload(1), (Bytes{0x13, 0x00}));
  EXPECT_EQ(payload(2), PortStatusPayload(gui.ports[0], gui.ports[1]));
  EXPECT_EQ(payload(3), Bytes{0xFF});
  EXPECT_EQ(payload(4), (Bytes{8, 0, 1, 0, 3, 0, 0x8E, 0}));
  EXPECT_EQ(session->ErrorCount(), 0);
}

TEST_F(LinkSessionTest, PollingStartsOnlyWithAcceptAndAtMostEveryHalfSecond) {
  ConnectAndShakeHands(rtPoll);
  for (int i = 0; i < 5; ++i) {
    clock.Advance(600);
    Pass();
  }
  EXPECT_TRUE(net.frames.empty());  // no rtAccept, no poll

  link.Enqueue(rtEventMain, Bytes{1});
  net.Answer(rtAccept);
  Pass();
  ASSERT_TRUE(session->ServerAccepted());
  net.frames.clear();

  clock.Advance(600);  // the last poll decision is long past
  net.Answer(rtPoll);
  Pass();
  ASSERT_EQ(net.frames.size(), 1u);
  Bytes poll = net.frames[0];
  EXPECT_EQ(poll.size(), 39u);
  EXPECT_EQ(Bytes(poll.begin() + kEnvelopeHeaderSize, poll.end()), BuildRecord(rtPoll, 0, {}));

  clock.Advance(499);  // 500 ms since the decision with this pass's sleep: not more
  Pass();
  EXPECT_EQ(net.frames.size(), 1u);
  net.Answer(rtPoll);
  Pass();
  EXPECT_EQ(net.frames.size(), 2u);
}

// One request at a time: while an answer is awaited nothing else is sent,
// each wait counting one error, until 5 s after the request; then the
// connection goes, so that the answer can no longer come on it.
TEST_F(LinkSessionTest, AnUnansweredRequestHoldsTheConnectionForFiveSecondsThenItIsReplaced) {
  ConnectAndShakeHands();
  link.Enqueue(rtPortStatus, Bytes(16, 0));
  const std::uint32_t sent = clock.TickCount();
  session->RunPass();
  EXPECT_EQ(clock.TickCount() - sent, kLinkAnswerWaitMs);
  EXPECT_EQ(session->ErrorCount(), 1);
  EXPECT_TRUE(session->ReceiveBuffer().empty());
  link.Enqueue(rtEventMain, Bytes{1});
  for (int pass = 2; pass <= 5; ++pass) {
    ASSERT_TRUE(link.LinkUp()) << pass;
    session->RunPass();
    EXPECT_EQ(session->ErrorCount(), pass);
  }
  EXPECT_EQ(net.SentTypes(), std::vector<std::int32_t>{rtPortStatus}) << "nothing else while it was awaited";
  EXPECT_EQ(clock.TickCount() - sent, kLinkLateAnswerLimitMs);
  EXPECT_FALSE(link.LinkUp());
  EXPECT_EQ(net.closesWhileOpen, 1);
  EXPECT_EQ(gui.log.back(), "Ответ сервера опоздал - переподсоединение.");
  EXPECT_EQ(link.QueuedCount(), 1u) << "the server had the port status; the event waits";
  session->RunPass();
  EXPECT_EQ(net.connects.size(), 2u) << "the attempt began more than 5 s ago";
}

struct AnswerMarkerCase {
  const char* what;
  std::uint8_t envelope;
  std::uint8_t endMarker;
  int errorsAfter;  // starting from 1: the answer came late
  bool inStep;      // the connection goes on
};

class AnswerMarkerTest : public LinkSessionTest, public ::testing::WithParamInterface<AnswerMarkerCase> {};

TEST_P(AnswerMarkerTest, AnswersByEnvelopeAndRecordMarkers) {
  const AnswerMarkerCase& c = GetParam();
  ConnectAndShakeHands();
  link.Enqueue(rtEventMain, Bytes{1});
  Pass();  // no answer within the wait: one error
  ASSERT_EQ(session->ErrorCount(), 1);
  Bytes frame = BuildFrame(BuildRecord(rtPoll, 0, {}));
  frame[0] = c.envelope;
  frame[kEnvelopeHeaderSize + 17] = c.endMarker;
  net.available = frame;
  Pass();
  EXPECT_EQ(session->ErrorCount(), c.errorsAfter);
  Pass();
  EXPECT_EQ(link.LinkUp(), c.inStep);
  EXPECT_EQ(net.connects.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Markers, AnswerMarkerTest,
                         ::testing::Values(AnswerMarkerCase{"envelope_ff", 0xFF, 0xFE, 0, true},
                                           AnswerMarkerCase{"envelope_f0", 0xF0, 0xFE, 0, true},
                                           // a failed exchange; what follows may be out of step
                                           AnswerMarkerCase{"envelope_other", 0x00, 0xFE, 2, false},
                                           // ignored, no error, yet no answer either
                                           AnswerMarkerCase{"record_end_marker_wrong", 0xFF, 0x00, 1, false}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(LinkSessionTest, AccessDeniedDisablesTheLinkForGoodAndSaysSoOnce) {
  ConnectAndShakeHands();
  link.Enqueue(rtEventMain, Bytes{1});
  net.Answer(rtAccessDenied);
  Pass();
  EXPECT_FALSE(link.LinkUp());
  EXPECT_FALSE(link.LinkEnabled());
  EXPECT_EQ(net.closesWhileOpen, 1);
  for (int i = 0; i < 10; ++i) {
    clock.Advance(6000);
    Pass();
  }
  EXPECT_EQ(net.connects.size(), 1u);
  EXPECT_EQ(std::count(gui.log.begin(), gui.log.end(), "Доступ запрещен."), 1);
  EXPECT_EQ(gui.log.back(), "Доступ запрещен.");
}

TEST_F(LinkSessionTest, CloseAfterALongConnectionIsFollowedByAnAttemptInTheNextPass) {
  ConnectAndShakeHands();
  clock.Advance(6000);
  link.Enqueue(rtEventMain, Bytes{1});
  net.Answer(rtClose);
  Pass();
  EXPECT_FALSE(link.LinkUp());
  EXPECT_EQ(net.closesWhileOpen, 1);
  Pass();
  EXPECT_EQ(net.connects.size(), 2u);
}

TEST_F(LinkSessionTest, DisconnectSaysSoAndTheNextAttemptComesFiveSecondsLater) {
  ConnectAndShakeHands();
  clock.Advance(6000);
  link.Enqueue(rtEventMain, Bytes{1});
  net.Answer(rtDisconnect);
  Pass();
  EXPECT_FALSE(link.LinkUp());
  EXPECT_EQ(gui.log.back(), "Сервер дал команду на рассоединение.");
  EXPECT_EQ(session->ErrorCount(), 0);
  EXPECT_EQ(net.closesWhileOpen, 0);
  EXPECT_TRUE(net.current->IsOpen());
  clock.Advance(4999);  // with the pass's sleep: exactly 5000 ms, not more
  Pass();
  EXPECT_EQ(net.connects.size(), 1u);
  Pass();
  EXPECT_EQ(net.connects.size(), 2u);
}

TEST_F(LinkSessionTest, PingIsAnsweredBehindTheRecordsAlreadyQueued) {
  ConnectAndShakeHands();
  link.Enqueue(rtEventMain, Bytes{1});
  link.Enqueue(rtEventSecond, Bytes{2});
  net.Answer(rtPing);
  Pass();
  net.Answer(rtPoll);
  Pass();
  net.Answer(rtPoll);
  Pass();
  EXPECT_EQ(net.SentTypes(), (std::vector<std::int32_t>{rtEventMain, rtEventSecond, rtPingReply}));
}

// Guards against an acknowledgement deleting whichever file was last replayed
// into its slot: a live event queued ahead of a replayed record would delete
// that record's file before the record was even sent.
TEST_F(LinkSessionTest, AnAcknowledgementDeletesOnlyTheFileOfTheReplayedRecordItsExchangeCarried) {
  ConnectAndShakeHands();
  const std::string replayed = SpoolFile("replayed.dd8");
  const std::string second = SpoolFile("second.dd8");
  ASSERT_TRUE(link.Enqueue(rtEventMain, Bytes{1}));  // live, ahead of the replayed one
  const TDateTime replayedAt = clock.Now();
  ASSERT_TRUE(link.EnqueueReplayed(rtEventMain, Bytes{2}, replayed, replayedAt));
  ASSERT_TRUE(link.EnqueueReplayed(rtEventSecond, Bytes{3}, second, replayedAt));

  net.Answer(rtEventMainAck);
  Pass();
  EXPECT_TRUE(std::filesystem::exists(replayed)) << "not the exchange that carried it";
  const TDateTime aSecondAfterTheReplay = replayedAt + 1.0 / 86400.0;
  EXPECT_FALSE(link.Outbox().ReplayDue(aSecondAfterTheReplay));

  net.Answer(rtEventMainAck);
  Pass();
  EXPECT_FALSE(std::filesystem::exists(replayed));
  EXPECT_TRUE(link.Outbox().ReplayDue(aSecondAfterTheReplay)) << "the next replay at once";

  net.Answer(rtEventMainAck);  // the wrong kind for a second-port record
  Pass();
  EXPECT_TRUE(std::filesystem::exists(second));
  EXPECT_EQ(link.QueuedCount(), 0u);
}

struct LiveAnswerCase {
  const char* what;
  std::function<void(test::FakeLinkNetwork&)> serverDoes;
  bool fileStays;
};

class LiveEventAnswerTest : public LinkSessionTest, public ::testing::WithParamInterface<LiveAnswerCase> {};

// A live event is written to its file before it is queued. The file goes when
// the server has answered the exchange that carried it; when the exchange
// ends without a valid answer the event was dropped from the queue all the
// same and lived on nowhere, so now its file stays for the replay.
TEST_P(LiveEventAnswerTest, TheFileOfALiveEventGoesOnlyWithAValidAnswer) {
  ConnectAndShakeHands();
  const std::string file = SpoolFile("live.dd8");
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{7}, file));
  EXPECT_EQ(link.Outbox().FilesOnTheirWay(), std::set<std::string>{file});
  GetParam().serverDoes(net);
  Pass();
  // No answer at all: awaited up to the limit.
  for (int i = 0; i < 10 && link.QueuedCount() > 0; ++i) Pass();
  EXPECT_EQ(std::filesystem::exists(file), GetParam().fileStays);
  EXPECT_EQ(link.QueuedCount(), 0u) << "sent once on this connection; the replay sends it again";
  EXPECT_TRUE(link.Outbox().FilesOnTheirWay().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LiveEventAnswerTest,
    ::testing::Values(
        LiveAnswerCase{"acknowledged", [](test::FakeLinkNetwork& n) { n.Answer(rtEventMainAck); }, false},
        LiveAnswerCase{"answered_otherwise", [](test::FakeLinkNetwork& n) { n.Answer(rtPoll); }, false},
        LiveAnswerCase{"no_answer_in_time", [](test::FakeLinkNetwork&) {}, true},
        LiveAnswerCase{"garbage", [](test::FakeLinkNetwork& n) { n.Answer(rtEventMainAck, 0x00); }, true},
        LiveAnswerCase{"server_gone", [](test::FakeLinkNetwork& n) { n.peerClosesWhenDrained = true; }, true},
        LiveAnswerCase{"write_failed", [](test::FakeLinkNetwork& n) { n.failingWrites = 1; }, true},
        LiveAnswerCase{"access_denied", [](test::FakeLinkNetwork& n) { n.Answer(rtAccessDenied); }, true},
        LiveAnswerCase{"server_closes", [](test::FakeLinkNetwork& n) { n.Answer(rtClose); }, true},
        LiveAnswerCase{"server_sheds_load", [](test::FakeLinkNetwork& n) { n.Answer(rtDisconnect); }, true},
        LiveAnswerCase{"late_acknowledgement",
                       [](test::FakeLinkNetwork& n) {
                         n.segments.push_back(BuildFrame(BuildRecord(rtEventMainAck, 0, {})));
                       },
                       false}),
    [](const auto& info) { return std::string(info.param.what); });

// An event that could not be written to its file is safe only once the
// server has answered it; the caller is told then, and nobody waits. Without
// an answer the caller hears nothing from the link: its wait's bound tells.
TEST_F(LinkSessionTest, AnEventAwaitingItsAnswerIsToldWhenTheServerAnsweredIt) {
  ConnectAndShakeHands();
  for (const bool serverAnswers : {true, false}) {
    SCOPED_TRACE(serverAnswers ? "answered" : "not answered");
    std::vector<bool> told;
    ASSERT_TRUE(link.EnqueueAwaited(rtEventMain, Bytes{9}, [&](bool answered) { told.push_back(answered); }));
    if (serverAnswers) net.Answer(rtEventMainAck);
    Pass();
    EXPECT_EQ(told, serverAnswers ? std::vector<bool>{true} : std::vector<bool>{});
    EXPECT_EQ(link.TakeAnsweredAwaited(), serverAnswers ? 1u : 0u);
  }
}

// An answer that comes after its 1-s wait can belong to no other exchange:
// none went since. It settles its own.
TEST_F(LinkSessionTest, ALateAnswerSettlesItsOwnExchangeAndTheNextRequestWaitsForIt) {
  ConnectAndShakeHands();
  const std::string first = SpoolFile("first.dd8");
  const std::string second = SpoolFile("second.dd8");
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{1}, first));
  Pass();  // no answer within the wait
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{2}, second));
  Pass();  // still none
  EXPECT_EQ(net.frames.size(), 1u) << "the second waits for the first's answer";
  EXPECT_TRUE(std::filesystem::exists(first));
  net.Answer(rtEventMainAck);  // the late answer
  Pass();
  EXPECT_FALSE(std::filesystem::exists(first));
  EXPECT_TRUE(std::filesystem::exists(second));
  EXPECT_EQ(session->ErrorCount(), 0);
  net.Answer(rtEventMainAck);
  Pass();
  EXPECT_EQ(net.frames.size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(second));
  EXPECT_EQ(net.connects.size(), 1u);
  EXPECT_TRUE(link.LinkUp());
}

// An answer more than was asked for (a repeat, or one sent unasked) would be
// read as the next request's: it waits before that request, so the
// connection ends first; the next attempt still keeps 5 s from the last.
TEST_F(LinkSessionTest, BytesNoRequestAskedForEndTheConnectionBeforeTheNextRequest) {
  for (const bool repeat : {true, false}) {
    SCOPED_TRACE(repeat ? "an answer twice" : "an answer unasked");
    clock.Advance(6000);
    ConnectAndShakeHands();
    const std::size_t attempts = net.connects.size();
    const std::string first = SpoolFile("first.dd8");
    const std::string second = SpoolFile("second.dd8");
    ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{1}, first));
    net.Answer(rtEventMainAck);
    if (repeat) net.Answer(rtEventMainAck);
    Pass();
    EXPECT_FALSE(std::filesystem::exists(first));
    if (!repeat) net.Unasked(rtEventMainAck);
    ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{2}, second));
    Pass();
    EXPECT_EQ(net.SentTypes(), std::vector<std::int32_t>{rtEventMain}) << "the second was not sent";
    EXPECT_TRUE(std::filesystem::exists(second));
    EXPECT_FALSE(link.LinkUp());
    EXPECT_EQ(gui.log.back(), "Ответы сервера сбились - переподсоединение.");
    EXPECT_TRUE(link.Outbox().FilesOnTheirWay().empty()) << "the second is the replay's again";
    Pass();
    EXPECT_EQ(net.connects.size(), attempts) << "no attempt within 5 s of the last";
    std::filesystem::remove(second);
  }
}

// A server that closed the connection after an unanswered exchange gets its
// next attempt under the 5-s rule, not in a loop.
TEST_F(LinkSessionTest, AnOutOfStepConnectionTheServerClosedWaitsForTheNextAttempt) {
  ConnectAndShakeHands();
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{1}, SpoolFile("first.dd8")));
  net.peerClosesWhenDrained = true;
  Pass();  // the server goes away instead of answering
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{2}, SpoolFile("second.dd8")));
  Pass();
  EXPECT_FALSE(link.LinkUp());
  Pass();
  EXPECT_EQ(net.connects.size(), 1u) << "no attempt before 5 s have passed";
  clock.Advance(5000);
  Pass();
  EXPECT_EQ(net.connects.size(), 2u);
}

// An event without a file lives in the queue only: a server that went away
// before answering it leaves it there for the next connection, where its
// answer still tells the caller (the bound, not the link, decides "no").
TEST_F(LinkSessionTest, AnAwaitedEventOutlivesTheLinkGoingDownAndIsToldOnTheNextConnection) {
  ConnectAndShakeHands();
  std::vector<bool> told;
  ASSERT_TRUE(link.EnqueueAwaited(rtEventMain, Bytes{9}, [&](bool answered) { told.push_back(answered); }));
  net.peerClosesWhenDrained = true;
  Pass();  // the server goes away instead of answering
  Pass();
  EXPECT_FALSE(link.LinkUp());
  EXPECT_TRUE(told.empty());
  EXPECT_EQ(link.QueuedCount(), 1u);
  QueuedRecord head;
  ASSERT_TRUE(link.Peek(head));
  ASSERT_TRUE(link.Outbox().Of(head.sequence));
  EXPECT_EQ(link.Outbox().Of(head.sequence)->state, Protocol8Outbox::State::Awaited);

  clock.Advance(5001);
  ConnectAndShakeHands();  // the event goes first, ahead of the new handshake
  EXPECT_EQ(told, std::vector<bool>{true});
  EXPECT_EQ(link.TakeAnsweredAwaited(), 1u);
  EXPECT_FALSE(link.Outbox().Of(head.sequence));
}

// A server that denies us, closes or sheds load may not have kept the
// record: the one awaited without a file stays unanswered, and the station
// gets no ACK for it (its caller hears so once the record is dropped).
TEST_F(LinkSessionTest, AServerGoingAwayIsNoAnswerForAnAwaitedRecord) {
  for (const std::int32_t answer : {rtClose, rtDisconnect, rtAccessDenied}) {
    SCOPED_TRACE(answer);
    clock.Advance(6000);
    ConnectAndShakeHands();
    std::vector<bool> told;
    ASSERT_TRUE(link.EnqueueAwaited(rtEventMain, Bytes{9}, [&](bool answered) { told.push_back(answered); }));
    net.Answer(answer);
    Pass();
    EXPECT_EQ(told, std::vector<bool>{false});
    EXPECT_EQ(link.TakeAnsweredAwaited(), 0u);
    EXPECT_FALSE(link.LinkUp());
  }
}

// Events queued while a connection is being made, or left in the queue when
// one ends, waited in memory for as long as the outage lasted.
TEST_F(LinkSessionTest, SpooledEventsLeaveTheQueueWhenAnAttemptFailsOrTheLinkGoesDown) {
  net.acceptConnects = false;
  const std::string file = SpoolFile("during-attempt.dd8");
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{1}, file));
  ASSERT_TRUE(link.Enqueue(rtPortStatus, Bytes(16, 0)));
  Pass();
  EXPECT_FALSE(link.LinkUp());
  EXPECT_EQ(link.QueuedCount(), 1u) << "the port status stays; the event is in its file";
  EXPECT_TRUE(link.Outbox().FilesOnTheirWay().empty());

  net.acceptConnects = true;
  clock.Advance(5001);
  ConnectAndShakeHands();
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{2}, SpoolFile("a.dd8")));
  ASSERT_TRUE(link.EnqueueSpooled(rtEventMain, Bytes{3}, SpoolFile("b.dd8")));
  net.Answer(rtDisconnect);
  Pass();
  EXPECT_FALSE(link.LinkUp());
  EXPECT_EQ(link.QueuedCount(), 0u);
  EXPECT_TRUE(link.Outbox().FilesOnTheirWay().empty());
  EXPECT_TRUE(std::filesystem::exists(dir / "a.dd8")) << "a server shedding load may not have kept it";
  EXPECT_TRUE(std::filesystem::exists(dir / "b.dd8"));
}

TEST_F(LinkSessionTest, ARecordWhoseWriteFailedGoesFirstOnTheNextConnection) {
  // Dropping it like a sent one would lose the event.
  ConnectAndShakeHands();
  link.Enqueue(rtEventMain, Bytes{0x42});
  net.failingWrites = 1;
  int refreshes = gui.refreshes;
  Pass();
  EXPECT_FALSE(link.LinkUp());  // the disconnected notice
  EXPECT_EQ(gui.refreshes, refreshes + 1);
  EXPECT_EQ(net.closesWhileOpen, 1);
  EXPECT_EQ(link.QueuedCount(), 1u);

  clock.Advance(5000);
  Pass();
  ASSERT_TRUE(link.LinkUp());
  net.Answer(rtPoll);
  Pass();
  ASSERT_EQ(net.frames.size(), 1u);
  EXPECT_EQ(net.SentTypes()[0], rtEventMain);
  EXPECT_EQ(net.frames[0].back(), 0x42);
}

TEST_F(LinkSessionTest, AnImpossibleBodyLengthIsAFailedExchangeWithoutReadingIt) {
  // A garbage length is never allocated as it stands.
  for (std::int32_t length : {-1, kLinkMaxAnswerBody + 1, 0x7FFFFFFF}) {
    clock.Advance(6000);
    ConnectAndShakeHands();
    link.Enqueue(rtEventMain, Bytes{1});
    net.available = BuildEnvelopeHeader(length);
    net.readRequests.clear();
    Pass();
    EXPECT_EQ(net.readRequests, std::vector<std::size_t>{kEnvelopeHeaderSize}) << length;
    EXPECT_GT(session->ErrorCount(), 0) << length;
    EXPECT_TRUE(session->ReceiveBuffer().empty()) << length;
    Pass();
    EXPECT_FALSE(link.LinkUp()) << "framing is lost: a new connection follows";
  }
}

TEST_F(LinkSessionTest, ABodyIsReadInChunksAndASlowServerGetsFurtherWaits) {
  ConnectAndShakeHands();
  link.Enqueue(rtEventMain, Bytes{1});
  Bytes record = BuildRecord(rtEventMainAck, 7, Bytes(60000, 0x11));
  Bytes frame = BuildFrame(record);
  net.available.assign(frame.begin(), frame.begin() + 30000);
  net.segments.emplace_back(frame.begin() + 30000, frame.end());
  net.readRequests.clear();
  Pass();
  EXPECT_EQ(session->ReceiveBuffer(), record);
  EXPECT_EQ(session->ErrorCount(), 0);
  // The header; at most 50,000 asked, a wait ends it with part; the rest.
  EXPECT_EQ(net.readRequests, (std::vector<std::size_t>{21, 50000, 60018 - (30000 - 21)}));
}

TEST_F(LinkSessionTest, ABodyCutOffByTheServerEndsEmptyAndCountsAsFailed) {
  // The chunk loop must not retry a dead connection for ever.
  ConnectAndShakeHands();
  link.Enqueue(rtEventMain, Bytes{1});
  Bytes frame = BuildFrame(BuildRecord(rtPoll, 0, Bytes(100, 0)));
  net.available.assign(frame.begin(), frame.begin() + 60);
  net.peerClosesWhenDrained = true;
  Pass();
  EXPECT_TRUE(session->ReceiveBuffer().empty());
  EXPECT_EQ(session->ErrorCount(), 1);
  EXPECT_TRUE(link.LinkUp());  // a close by the peer gives no notice
}

TEST_F(LinkSessionTest, AnEventWhoseServerWentAwayUnansweredGoesOutFirstOnTheNextConnection) {
  // A server stopped while the event sat unread in its socket never saw it.
  ConnectAndShakeHands();
  link.Enqueue(rtEventMain, Bytes{0x42});
  net.peerClosesWhenDrained = true;
  Pass();
  ASSERT_EQ(net.SentTypes(), std::vector<std::int32_t>{rtEventMain});
  EXPECT_EQ(link.QueuedCount(), 1u) << "the unanswered event is kept";

  // Errors pile up to the reconnect; the event is the first frame there.
  for (int i = 0; i < 60 && net.created < 2; ++i) {
    Pass();
    clock.Advance(250);
  }
  ASSERT_EQ(net.created, 2);
  net.frames.clear();
  net.Answer(rtEventMainAck);
  Pass();
  ASSERT_FALSE(net.frames.empty());
  EXPECT_EQ(net.SentTypes().front(), rtEventMain);
  EXPECT_EQ(link.QueuedCount(), 4u) << "the handshake follows";
}

TEST_F(LinkSessionTest, ARecordLeftUnansweredOnAnOpenConnectionIsNotSentTwice) {
  ConnectAndShakeHands();
  link.Enqueue(rtPortStatus, Bytes(16, 0));
  for (int i = 0; i < 10 && link.LinkUp(); ++i) Pass();  // no answer, up to the limit
  EXPECT_EQ(net.SentTypes(), std::vector<std::int32_t>{rtPortStatus});
  EXPECT_EQ(link.QueuedCount(), 0u) << "the server had it for 5 s";
}

TEST_F(LinkSessionTest, QuietTimeEndsWhenTheNextPassHasSomethingToDo) {
  // The thread rests between passes for this long; resting past a due poll
  // or attempt, or through an exchange, would change what the link does.
  EXPECT_EQ(session->QuietMs(), 1u) << "the first attempt is due at once";
  net.acceptConnects = false;
  Pass();  // attempt at tick 5000, refused; the pass moves the clock 1 ms
  EXPECT_EQ(session->QuietMs(), kLinkQuietMaxMs) << "the next attempt is 5 s away";
  clock.Advance(4500);
  EXPECT_EQ(session->QuietMs(), 500u) << "due when more than 5000 ms have passed";
  clock.Advance(500);
  EXPECT_EQ(session->QuietMs(), 1u);

  net.acceptConnects = true;
  Pass();
  ASSERT_TRUE(link.LinkUp());
  EXPECT_EQ(session->QuietMs(), 1u) << "the handshake waits in the queue";
  ConnectAndShakeHands();  // (its first pass connects afresh)
  EXPECT_EQ(session->QuietMs(), 1u) << "accepted: the first poll is due at once";
  net.Answer(rtPoll);
  Pass();
  ASSERT_EQ(net.SentTypes(), std::vector<std::int32_t>{rtPoll});
  net.frames.clear();
  clock.Advance(100);
  const std::uint32_t untilPoll = session->QuietMs();
  EXPECT_GT(untilPoll, 1u);
  EXPECT_LE(untilPoll, kLinkPollIntervalMs + 1);
  clock.Advance(untilPoll - 1);
  Pass();
  EXPECT_TRUE(net.frames.empty()) << "nothing due a millisecond early";
  Pass();
  EXPECT_EQ(net.SentTypes(), std::vector<std::int32_t>{rtPoll}) << "the poll is due then";

  link.Enqueue(rtEventMain, Bytes{1});
  EXPECT_EQ(session->QuietMs(), 1u) << "a queued record";
  net.Answer(rtPoll);
  Pass();  // the poll's answer
  link.Enqueue(rtEventMain, Bytes{2});
  net.Answer(rtEventMainAck);
  Pass();
  EXPECT_EQ(session->QuietMs(), 0u) << "answered, and another waits: it goes at once";
  Pass();  // no answer: the exchange failed and errors are counted pass by pass
  EXPECT_TRUE(session->ReceiveBuffer().empty());
  EXPECT_EQ(session->QuietMs(), 1u);
}

TEST_F(LinkSessionTest, QuietTimeAfterAccessDeniedIsTheLongest) {
  Pass();
  net.Answer(rtAccessDenied);
  Pass();
  ASSERT_FALSE(link.LinkEnabled());
  EXPECT_EQ(session->QuietMs(), 1u) << "the log line is still to come";
  Pass();
  EXPECT_EQ(session->QuietMs(), kLinkQuietMaxMs);
}

TEST_F(LinkSessionTest, AServerThatStopsInTheMiddleOfItsAnswerDoesNotHoldTheLinkForGood) {
  // The body read must not wait for ever on a connection that stays open.
  ConnectAndShakeHands();
  link.Enqueue(rtEventMain, Bytes{1});
  Bytes frame = BuildFrame(BuildRecord(rtPoll, 0, Bytes(100, 0)));
  net.available.assign(frame.begin(), frame.begin() + 60);
  const std::uint32_t start = clock.TickCount();
  Pass();
  EXPECT_TRUE(session->ReceiveBuffer().empty());
  EXPECT_GE(session->ErrorCount(), 1);
  EXPECT_LE(clock.TickCount() - start, (kLinkMaxErrors + 3) * kLinkAnswerWaitMs) << "bounded";
  // The errors go on to the reconnect.
  for (int i = 0; i < 30 && link.LinkUp(); ++i) Pass();
  EXPECT_FALSE(link.LinkUp());
}

TEST_F(LinkSessionTest, FinishClosesAnOpenConnectionWithItsNotice) {
  ConnectAndShakeHands();
  session->Finish();
  EXPECT_EQ(net.closesWhileOpen, 1);
  EXPECT_FALSE(link.LinkUp());
}

}  // namespace
}  // namespace vorel
