// The main port's frame handler against a fake serial port, a clock whose
// readings all differ and a sink that records the events, in a directory of
// the test's own (the traffic log lands in the current directory).
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "receiver/frame_handler_support.h"
#include "support/fake_scheduler.h"
#include "receiver/main_port_handler.h"

namespace vorel {
namespace {

using test::ReadCountingClock;
using test::RecordingSink;
using test::ToBytes;
using Output = RecordingSink::Output;

// LF, "011", the account at 5..8, a blank, the code at 10..11, "00", CR.
std::string MainFrame(std::string_view account, std::string_view code = "3A") {
  return "\n011" + std::string(account) + " " + std::string(code) + "00\r";
}

class MainPortHandlerTest : public ::testing::Test {
 protected:
  MainPortHandlerTest() {
    settings.FirstNumber = 31;
    settings.Log = true;
    settings.OKAY = true;
    settings.SendMivo7 = true;
    settings.SendMivo8 = true;
  }

  void Receive(std::string_view packet) { handler.ReceivePacket(ToBytes(packet)); }
  std::string TrafficLog() const { return test::ReadFile(dir.Path() / "vorel.log"); }
  std::vector<Bytes> DeliveredBytes(Output output) const {
    std::vector<Bytes> out;
    for (const auto& d : sink.delivered)
      if (d.output == output) out.push_back(d.bytes);
    return out;
  }

  test::InTempDirectory dir;
  ReadCountingClock clock;
  test::OpenMainPort port{clock};
  StationPortState station;
  Settings settings;
  RecordingSink sink;
  int refreshes = 0;
  test::FakeScheduler scheduler;
  MainPortHandler handler{*port.driver, station, settings, clock, scheduler, sink, [this] { ++refreshes; }};
};

// --- one ordinary frame -----------------------------------------------------

TEST_F(MainPortHandlerTest, OneFrameGivesExactRecordAndPayloadProtocol8First) {
  Receive(MainFrame("1234", "3A"));

  EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(0));
  EXPECT_EQ(port.Written(), Bytes{kAck});
  EXPECT_EQ(port.DtrRaised(), 1u);
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(TrafficLog(), MainFrame("1234", "3A"));

  Bytes record(kEventRecordSize, 0);
  record[0] = 3;
  record[1] = 31;
  record[2] = 0xC2, record[3] = 0xBF, record[4] = 0x04, record[5] = 0x00;  // 311234
  record[10] = 2, record[11] = '3', record[12] = 'A';
  record[17] = 1, record[18] = '8';
  record[23] = 3, record[24] = '0', record[25] = '0', record[26] = '0';
  PutLE<double>(record, 27, ReadCountingClock::Reading(1));

  Bytes payload(kMainEventPayloadSize, 0);
  payload[0] = 0xC2, payload[1] = 0xBF, payload[2] = 0x04, payload[3] = 0x00;
  payload[4] = 2, payload[5] = '3', payload[6] = 'A';  // then two zero bytes
  PutLE<double>(payload, 9, ReadCountingClock::Reading(2));  // the clock read again

  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(sink.delivered[0].output, Output::Protocol8);
  EXPECT_EQ(sink.delivered[0].port, PortId::Main);
  EXPECT_EQ(sink.delivered[0].bytes, payload);
  EXPECT_EQ(sink.delivered[1].output, Output::Protocol7);
  EXPECT_EQ(sink.delivered[1].bytes, record);
  EXPECT_EQ(Bytes(handler.EventPayload().begin(), handler.EventPayload().end()), payload);
}

TEST_F(MainPortHandlerTest, OutputsFollowTheirSwitches) {
  struct Case {
    bool mivo7, mivo8;
    std::vector<Output> expected;
  };
  const std::vector<Case> cases = {
      {true, true, {Output::Protocol8, Output::Protocol7}},
      {true, false, {Output::Protocol7}},
      {false, true, {Output::Protocol8}},
      {false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "SendMivo7 " << c.mivo7 << ", SendMivo8 " << c.mivo8);
    settings.SendMivo7 = c.mivo7;
    settings.SendMivo8 = c.mivo8;
    sink.delivered.clear();
    const std::size_t acks = port.AckCount();
    const int before = refreshes;
    Receive(MainFrame("1234"));
    std::vector<Output> got;
    for (const auto& d : sink.delivered) got.push_back(d.output);
    EXPECT_EQ(got, c.expected);
    // Logged, acknowledged and counted whatever the outputs.
    EXPECT_EQ(port.AckCount(), acks + 1);
    EXPECT_EQ(refreshes, before + 1);
  }
  EXPECT_EQ(TrafficLog().size(), 4 * MainFrame("1234").size());
}

// --- keep-alive, account and event code rules ------------------------------

// The station was told "taken" before the outputs ran: an event they could
// not keep (disk full, spool directory impossible) was then gone for good.
TEST_F(MainPortHandlerTest, AnEventIsAcknowledgedOnlyOnceEveryOutputHasItSafe) {
  using D = vorel::Delivery;
  struct Case {
    D protocol8, protocol7;
    bool acknowledged;
  };
  const Case cases[] = {
      {D::SafeOnItsWay, D::SafeOnItsWay, true}, {D::Spooled, D::SafeOnItsWay, true},
      {D::SafeOnItsWay, D::Spooled, true},      {D::Dropped, D::SafeOnItsWay, true},
      {D::Queued, D::SafeOnItsWay, false},      {D::Lost, D::SafeOnItsWay, false},
      {D::SafeOnItsWay, D::Lost, false},        {D::Lost, D::Lost, false},
  };
  std::vector<std::size_t> acksDuringOutputs;
  sink.onDelivery = [&] { acksDuringOutputs.push_back(port.AckCount()); };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "protocol 8 " << static_cast<int>(c.protocol8) << ", protocol 7 "
                                    << static_cast<int>(c.protocol7));
    sink.protocol8Result = c.protocol8;
    sink.protocol7Result = c.protocol7;
    acksDuringOutputs.clear();
    const std::size_t before = port.AckCount();
    Receive(MainFrame("1234"));
    EXPECT_EQ(acksDuringOutputs, std::vector<std::size_t>(2, before)) << "no ACK before the outputs have it";
    EXPECT_EQ(port.AckCount(), before + (c.acknowledged ? 1 : 0));
  }
  // Frames that build no event are answered at once, whatever the outputs.
  const std::size_t before = port.AckCount();
  Receive("\n011OKAY 0000\r");
  Receive(MainFrame("12X4"));
  EXPECT_EQ(port.AckCount(), before + 2);
}

TEST_F(MainPortHandlerTest, KeepAliveIsAcknowledgedOnlyWhenOkayIsOnAndBuildsNothing) {
  for (const bool okay : {true, false}) {
    SCOPED_TRACE(okay ? "OKAY on" : "OKAY off");
    settings.OKAY = okay;
    port.ports.output.clear();
    Receive("\n011OKAY\r");
    EXPECT_EQ(port.AckCount(), okay ? 1u : 0u);
    EXPECT_TRUE(sink.delivered.empty());
    EXPECT_EQ(port.DtrRaised(), 0u);  // DTR left alone
  }
  EXPECT_EQ(refreshes, 2);  // still a frame for the indicator
}

TEST_F(MainPortHandlerTest, AccountDigitsWithLetterAtPositionEight) {
  struct Case {
    const char* digits;
    bool event;
    std::int32_t account;
  };
  const std::vector<Case> cases = {
      {"123C", true, 311232}, {"000A", true, 310000}, {"999J", true, 319999},
      {"12X4", false, 0},     {"123K", false, 0},     {"C123", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.digits);
    sink.delivered.clear();
    port.ports.output.clear();
    port.ports.log.clear();
    Receive(MainFrame(c.digits));
    EXPECT_EQ(port.AckCount(), 1u);
    EXPECT_EQ(port.DtrRaised(), 1u);  // raised whether or not an event is built
    const auto records = DeliveredBytes(Output::Protocol7);
    const auto payloads = DeliveredBytes(Output::Protocol8);
    ASSERT_EQ(records.size(), c.event ? 1u : 0u);
    ASSERT_EQ(payloads.size(), c.event ? 1u : 0u);
    if (c.event) {
      EXPECT_EQ(GetLE<std::int32_t>(records[0], 2), c.account);
      EXPECT_EQ(GetLE<std::int32_t>(payloads[0], 0), c.account);
    }
  }
  // The mapped digit is written back into the frame buffer.
  Receive(MainFrame("123C"));
  EXPECT_EQ(handler.Buffer().At(8), '2');
}

TEST_F(MainPortHandlerTest, EventCodeRule) {
  struct Case {
    const char* atTenEleven;
    const char* code;
  };
  const std::vector<Case> cases = {
      {"3A", "3A"}, {"A3", "A3"}, {"7Z", "7Z"}, {"ZA", "ZA"}, {"ZZ", "00"}, {"GG", "00"},
      {"AF", "AF"}, {"F ", "00"}, {" 5", "00"}, {"99", "99"}, {"a1", "00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.atTenEleven);
    sink.delivered.clear();
    Receive(MainFrame("1234", c.atTenEleven));
    const auto records = DeliveredBytes(Output::Protocol7);
    const auto payloads = DeliveredBytes(Output::Protocol8);
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(GetShortString(records[0], 10, 4), c.code);
    EXPECT_EQ(GetShortString(payloads[0], 4, 4), c.code);
    EXPECT_EQ(payloads[0][7], 0);
    EXPECT_EQ(payloads[0][8], 0);
  }
}

TEST(AccountNumber, WrapsAroundIn32BitsWithoutOverflow) {
  struct Case {
    std::int32_t firstNumber;
    std::uint32_t digits;
    std::int32_t account;
  };
  const std::vector<Case> cases = {
      {31, 1234, 311234},
      {0, 0, 0},
      {300000, 1234, -1294966062},
      {-5, 1234, -48766},
      {214748, 3647, INT_MAX},
      {214748, 3648, INT_MIN},
      {INT_MAX, 9999, -1},
      {INT_MIN, 1234, 1234},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.firstNumber << " / " << c.digits);
    EXPECT_EQ(AccountNumber(c.firstNumber, c.digits), c.account);
  }
}

TEST_F(MainPortHandlerTest, LargeFirstNumberWrapsInRecordAndPayload) {
  settings.FirstNumber = 300000;
  Receive(MainFrame("1234"));
  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[0].bytes, 0), -1294966062);
  EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[1].bytes, 2), -1294966062);
}

// --- restart request ----------------------------------------------------------

// The pause is a state, not a sleep: the handler returns at once, and the
// port opens again when the scheduler ends the pause 5 s later.
TEST_F(MainPortHandlerTest, RestartFrameReopensThePortAfterFiveSecondsWithoutAck) {
  const std::string frame = "\n01X12Y4 3A00\r";  // 'X' at 4, 'Y' at 7
  Receive(frame);

  EXPECT_EQ(scheduler.delays, std::vector<std::uint32_t>{5000});
  EXPECT_TRUE(handler.Restarting());
  EXPECT_FALSE(port.driver->IsOpen());
  EXPECT_EQ(port.ports.log, (std::vector<std::string>{"@1000 close \\\\.\\COM1"}));
  clock.tick += 5000;
  scheduler.Advance(5000);
  EXPECT_FALSE(handler.Restarting());
  // Reopened and DTR raised by the restart; the account 12Y4 is no number, so
  // the frame ends with DTR raised once more and no event.
  EXPECT_EQ(port.ports.log, (std::vector<std::string>{"@1000 close \\\\.\\COM1", "@6000 open \\\\.\\COM1",
                                                       "@6000 DTR 1", "@6000 DTR 1"}));
  EXPECT_TRUE(port.driver->IsOpen());
  EXPECT_TRUE(port.Written().empty());
  EXPECT_EQ(refreshes, 0);
  EXPECT_TRUE(sink.delivered.empty());
  EXPECT_EQ(TrafficLog(), frame + "Restart Port\r\n");
}

// The frames of the packet after a restart frame are answered once the port
// is open again, in their order: the station hears the same bytes as from a
// handler that slept through the pause. A second restart frame pauses again.
TEST_F(MainPortHandlerTest, TheRestOfAPacketAfterARestartIsHandledWhenThePortIsBack) {
  Receive("\n01X12Y4 3A00\r" + MainFrame("1111") + "\n01X12Y4 3A00\r" + MainFrame("2222"));
  EXPECT_TRUE(port.Written().empty());
  EXPECT_TRUE(sink.delivered.empty());
  scheduler.Advance(5000);
  EXPECT_EQ(port.AckCount(), 1u);
  EXPECT_EQ(sink.delivered.size(), 2u);
  EXPECT_TRUE(handler.Restarting()) << "the second restart frame";
  scheduler.Advance(5000);
  EXPECT_EQ(port.AckCount(), 2u);
  ASSERT_EQ(sink.delivered.size(), 4u);
  EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[3].bytes, 2), 312222);
  EXPECT_EQ(scheduler.delays, (std::vector<std::uint32_t>{5000, 5000}));
}

// A closed port delivers nothing, but should packets come during the pause
// they wait behind the rest of the restart's packet, in order, and nothing
// of either is handled before the port is open again. A restart frame among
// them pauses again with the later packets still held.
TEST_F(MainPortHandlerTest, PacketsDuringThePauseJoinWhatWaitsForIt) {
  Receive("\n01X12Y4 3A00\r" + MainFrame("1111"));
  Receive(MainFrame("2222") + "\n01X12Y4 3A00\r" + MainFrame("3333"));
  Receive(MainFrame("4444"));
  EXPECT_TRUE(sink.delivered.empty());
  EXPECT_TRUE(port.Written().empty());
  scheduler.Advance(5000);
  EXPECT_TRUE(handler.Restarting()) << "the restart frame of the second packet";
  EXPECT_EQ(port.AckCount(), 2u);
  scheduler.Advance(5000);
  EXPECT_FALSE(handler.Restarting());
  EXPECT_EQ(port.AckCount(), 4u);
  std::vector<std::int32_t> accounts;
  for (const Bytes& payload : DeliveredBytes(Output::Protocol8)) accounts.push_back(GetLE<std::int32_t>(payload, 0));
  EXPECT_EQ(accounts, (std::vector<std::int32_t>{311111, 312222, 313333, 314444}));
}

TEST_F(MainPortHandlerTest, RestartIsLoggedEvenWithTheTrafficLogOff) {
  settings.Log = false;
  Receive("\n01X12Y4 3A00\r");
  scheduler.Advance(5000);
  EXPECT_EQ(TrafficLog(), "Restart Port\r\n");
}

TEST_F(MainPortHandlerTest, OAtPositionFourIsNoRestart) {
  Receive("\n01O12Y4 3A00\r");
  EXPECT_EQ(port.ports.log, std::vector<std::string>{"@1000 DTR 1"});
  EXPECT_EQ(port.AckCount(), 1u);
  EXPECT_EQ(refreshes, 1);
}

TEST_F(MainPortHandlerTest, RestartThatCannotReopenLeavesThePortClosedAndGoesOn) {
  // The port is tried again without waiting for the operator.
  int reopenFailures = 0;
  handler.SetReopenFailed([&] { ++reopenFailures; });
  port.ports.present.erase(test::kMainDevice);  // the adapter was pulled
  Receive("\n01X12Y4 3A00\r\n0111234 3A00\r");
  EXPECT_TRUE(sink.delivered.empty()) << "the next frame waits for the end of the pause";
  scheduler.Advance(5000);

  EXPECT_EQ(reopenFailures, 1) << "handed to the 5-s reopening";
  EXPECT_FALSE(port.driver->IsOpen());
  EXPECT_EQ(port.ports.log, std::vector<std::string>{"@1000 close \\\\.\\COM1"});
  // The next frame is still turned into an event; its ACK goes nowhere.
  EXPECT_TRUE(port.Written().empty());
  EXPECT_EQ(sink.delivered.size(), 2u);
}

TEST_F(MainPortHandlerTest, RestartInsideThePortsOwnPollThenTheNextFrame) {
  TCommPortDriver& driver = *port.driver;
  driver.OnReceivePacket = [this](TCommPortDriver*, const std::uint8_t* packet, std::uint32_t size) {
    handler.ReceivePacket({packet, size});
  };
  auto deliver = [&](std::string_view bytes) {
    auto& queue = port.ports.input[test::kMainDevice];
    queue.insert(queue.end(), bytes.begin(), bytes.end());
    driver.Poll();  // the first byte is seen
    clock.tick += 201;
    driver.Poll();  // the packet time is over
  };
  deliver("\n01X12Y4 3A00\r");
  scheduler.Advance(5000);
  EXPECT_TRUE(driver.IsOpen());
  EXPECT_EQ(driver.PacketStartTick(), TCommPortDriver::kNoPacket);
  deliver(MainFrame("1234"));
  EXPECT_EQ(port.AckCount(), 1u);
  EXPECT_EQ(sink.delivered.size(), 2u);
}

// --- shape test and frame buffer -------------------------------------------

TEST_F(MainPortHandlerTest, PacketsThatAreNoFrameAreOnlyLoggedAndStamped) {
  const std::vector<std::string> packets = {"0111234 3A00\r", "\n0111234 3A00", "\n", "\r", "x",
                                            MainFrame("1234") + "\n0112222"};
  std::string expectedLog;
  for (const auto& packet : packets) {
    SCOPED_TRACE(testing::PrintToString(packet));
    clock.reads = 7;
    Receive(packet);
    expectedLog += packet;
    EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(7));
  }
  EXPECT_TRUE(port.Written().empty());
  EXPECT_TRUE(port.ports.log.empty());
  EXPECT_TRUE(sink.delivered.empty());
  EXPECT_EQ(refreshes, 0);
  EXPECT_EQ(TrafficLog(), expectedLog);
}

TEST_F(MainPortHandlerTest, ShortFrameReadsPositionsLeftByAnEarlierPacket) {
  Receive("xxxxxxxxx7B");  // no frame, but it fills positions 1..11
  Receive("\n0115678\r");  // 9 bytes: positions 10 and 11 are stale
  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[1].bytes, 2), 315678);
  EXPECT_EQ(GetShortString(sink.delivered[1].bytes, 10, 4), "7B");
}

TEST_F(MainPortHandlerTest, TrafficLogHoldsEveryPacketExactlyAsReceived) {
  test::WriteFile(dir.Path() / "vorel.log", "earlier\r\n");
  const std::string packets[] = {std::string("\x00\xFF\x1A\r\n", 5), "\n0111234 3A00\r", std::string(1, '\0')};
  for (const auto& p : packets) Receive(p);
  EXPECT_EQ(TrafficLog(), "earlier\r\n" + packets[0] + packets[1] + packets[2]);
}

TEST_F(MainPortHandlerTest, TrafficLogOffWritesNoFile) {
  settings.Log = false;
  Receive(MainFrame("1234"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "vorel.log"));
  EXPECT_EQ(sink.delivered.size(), 2u);
}

// --- failures of the traffic log -----------------------------------------------

// A traffic log that cannot be written must stop the packet before the station
// is answered or an event leaves, and the error must reach the event loop.
TEST_F(MainPortHandlerTest, UnwritableTrafficLogAbandonsThePacket) {
  std::filesystem::create_directory(dir.Path() / "vorel.log");
  try {
    Receive(MainFrame("1234"));
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("\"vorel.log\""), std::string::npos) << e.what();
  }
  EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(0));  // still traffic
  EXPECT_TRUE(port.Written().empty());
  EXPECT_TRUE(port.ports.log.empty());
  EXPECT_TRUE(sink.delivered.empty());
  EXPECT_EQ(refreshes, 0);
}

TEST_F(MainPortHandlerTest, UnwritableLogDuringRestartStopsAfterTheReopen) {
  settings.Log = false;
  std::filesystem::create_directory(dir.Path() / "vorel.log");
  Receive("\n01X12Y4 3A00\r\n0111234 3A00\r");
  EXPECT_THROW(scheduler.Advance(5000), std::runtime_error);
  EXPECT_TRUE(port.driver->IsOpen());
  EXPECT_EQ(port.DtrRaised(), 1u);  // by the restart, before the log line
  EXPECT_TRUE(port.Written().empty());
  EXPECT_TRUE(sink.delivered.empty());
}

TEST_F(MainPortHandlerTest, LogErrorLeavesThePortsPollToTheEventLoop) {
  std::filesystem::create_directory(dir.Path() / "vorel.log");
  TCommPortDriver& driver = *port.driver;
  driver.OnReceivePacket = [this](TCommPortDriver*, const std::uint8_t* packet, std::uint32_t size) {
    handler.ReceivePacket({packet, size});
  };
  const std::string frame = MainFrame("1234");
  port.ports.input[test::kMainDevice].assign(frame.begin(), frame.end());
  driver.Poll();
  clock.tick += 201;
  EXPECT_THROW(driver.Poll(), std::runtime_error);
  EXPECT_TRUE(sink.delivered.empty());
}

// --- several frames in one packet ------------------------------------------------

// Frames sent within one packet time arrive as one packet; read as one frame,
// every frame after the first would be lost and go unacknowledged.
TEST_F(MainPortHandlerTest, EveryFrameOfAPacketIsHandledInTurn) {
  const std::string packet = MainFrame("1111", "3A") + MainFrame("2222", "11") + MainFrame("3333", "2B");
  Receive(packet);

  EXPECT_EQ(port.Written(), (Bytes{kAck, kAck, kAck}));
  EXPECT_EQ(port.DtrRaised(), 3u);
  EXPECT_EQ(refreshes, 3);
  EXPECT_EQ(TrafficLog(), packet);  // once, as received
  EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(0));
  EXPECT_EQ(clock.reads, 1 + 3 * 2);  // stamped once, two readings per event

  ASSERT_EQ(sink.delivered.size(), 6u);
  const std::int32_t accounts[] = {311111, 312222, 313333};
  const char* codes[] = {"3A", "11", "2B"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sink.delivered[2 * i].output, Output::Protocol8);
    EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[2 * i].bytes, 0), accounts[i]);
    EXPECT_EQ(sink.delivered[2 * i + 1].output, Output::Protocol7);
    EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[2 * i + 1].bytes, 2), accounts[i]);
    EXPECT_EQ(GetShortString(sink.delivered[2 * i + 1].bytes, 10, 4), codes[i]);
  }
}

TEST_F(MainPortHandlerTest, FramesOfOnePacketKeepTheirOwnRules) {
  // keep-alive, an account that is no number, then an event
  Receive("\n011OKAY\r" + MainFrame("12X4") + MainFrame("4321"));
  EXPECT_EQ(port.AckCount(), 3u);
  EXPECT_EQ(port.DtrRaised(), 2u);
  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[1].bytes, 2), 314321);
}

// The station counts ACKs, not frames: once a frame of a packet could not be
// kept, an ACK for a later frame would be credited to it. Nothing more of
// that packet is acknowledged; the station repeats the rest.
TEST_F(MainPortHandlerTest, AfterAFrameThatCouldNotBeKeptNothingMoreOfThePacketIsAcknowledged) {
  int deliveries = 0;
  sink.onDelivery = [&] {
    // Protocol 8 first, two deliveries per event: the second frame's protocol-8 output fails.
    sink.protocol8Result = ++deliveries == 3 ? Delivery::Lost : Delivery::SafeOnItsWay;
  };
  Receive(MainFrame("1111") + MainFrame("2222") + MainFrame("3333") + "\n011OKAY\r");
  EXPECT_EQ(port.AckCount(), 1u) << "the first frame only";
  EXPECT_EQ(sink.delivered.size(), 6u) << "the later frames still go to the outputs";

  sink.onDelivery = nullptr;
  sink.protocol8Result = Delivery::SafeOnItsWay;
  Receive(MainFrame("2222") + MainFrame("3333"));
  EXPECT_EQ(port.AckCount(), 3u) << "the next packet is acknowledged again";
}

// An event whose only safe copy will be the protocol-8 server's answer (no
// spool file could be written) is acknowledged when the answer comes, not
// before, and nothing waits for it meanwhile; the frames after it keep their
// place in the ACK order.
TEST_F(MainPortHandlerTest, AnEventAwaitingTheServersAnswerIsAcknowledgedOnlyWhenItComes) {
  const struct {
    const char* what;
    bool answered;
    std::size_t acks;  // for the packet of three frames
  } cases[] = {{"answered in time: its ACK, then the next frame's", true, 2},
               {"not answered in time: nothing more of that packet", false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sink.awaiting.clear();
    int deliveries = 0;
    // The first frame's protocol-8 copy awaits the answer; the later frames have files.
    sink.onDelivery = [&] {
      if (++deliveries == 2) sink.protocol8Result = Delivery::SafeOnItsWay;
    };
    sink.protocol8Result = Delivery::Awaiting;
    const std::size_t before = port.AckCount();
    Receive(MainFrame("1111") + MainFrame("2222"));
    EXPECT_EQ(port.AckCount(), before) << "the second frame's ACK waits behind the first";
    ASSERT_EQ(sink.awaiting.size(), 1u);
    sink.awaiting[0](c.answered);
    EXPECT_EQ(port.AckCount(), before + c.acks);
    sink.awaiting[0](!c.answered);  // a late second word changes nothing
    EXPECT_EQ(port.AckCount(), before + c.acks);
    Receive(MainFrame("3333"));
    EXPECT_EQ(port.AckCount(), before + c.acks + 1) << "the next packet is answered as usual";
  }
  sink.onDelivery = nullptr;
}

// With no spool file both links may have the event only on its way: the
// protocol-8 server's answer and the protocol-7 server's TCP acknowledgement.
// The ACK goes once both have said yes, in whichever order; a single no
// refuses it.
TEST_F(MainPortHandlerTest, AnEventAwaitingBothLinksIsAcknowledgedOnlyOnceBothHaveIt) {
  const struct {
    const char* what;
    bool p8;
    bool p7;
    bool p7First;
    std::size_t acks;
  } cases[] = {{"both yes, protocol 8 first", true, true, false, 1},
               {"both yes, protocol 7 first", true, true, true, 1},
               {"protocol 7 refused", true, false, false, 0},
               {"protocol 8 refused", false, true, true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sink.awaiting.clear();
    sink.awaiting7.clear();
    sink.protocol8Result = Delivery::Awaiting;
    sink.protocol7Result = Delivery::Awaiting;
    const std::size_t before = port.AckCount();
    Receive(MainFrame("1111"));
    ASSERT_EQ(sink.awaiting.size(), 1u);
    ASSERT_EQ(sink.awaiting7.size(), 1u);
    EXPECT_EQ(port.AckCount(), before);
    if (c.p7First) {
      sink.awaiting7[0](c.p7);
      EXPECT_EQ(port.AckCount(), before) << "one link is not enough";
      sink.awaiting[0](c.p8);
    } else {
      sink.awaiting[0](c.p8);
      EXPECT_EQ(port.AckCount(), before) << "one link is not enough";
      sink.awaiting7[0](c.p7);
    }
    EXPECT_EQ(port.AckCount(), before + c.acks);
    sink.protocol8Result = Delivery::SafeOnItsWay;
    sink.protocol7Result = Delivery::SafeOnItsWay;
    Receive(MainFrame("3333"));
    EXPECT_EQ(port.AckCount(), before + c.acks + 1) << "the next packet is answered as usual";
  }
}

TEST_F(MainPortHandlerTest, CarriageReturnWithoutLineFeedDoesNotEndAFrame) {
  Receive("\n0111234\r3A00\r");  // positions 10..11 are "3A"
  EXPECT_EQ(port.AckCount(), 1u);
  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(GetShortString(sink.delivered[1].bytes, 10, 4), "3A");
}

// --- packets longer than the station's 50 bytes -----------------------------

// The frame buffer held 50 bytes while a packet can hold up to PacketSize
// bytes; a longer packet was written past its end.
TEST_F(MainPortHandlerTest, LongPacketsFitTheFrameBufferAndLeaveStalePositions) {
  for (const std::size_t size : {49u, 50u, 51u, 256u, 300u, 8192u}) {
    SCOPED_TRACE(size);
    sink.delivered.clear();
    std::string packet = "\n0111234 3A00";
    packet.resize(size - 1, 'x');
    packet += '\r';
    Receive(packet);
    ASSERT_GE(handler.Buffer().Size(), size);
    EXPECT_EQ(handler.Buffer().At(size), kCR);
    EXPECT_EQ(sink.delivered.size(), 2u);
    // A short frame after it still reads the long packet's positions 10..11.
    Receive("\n0115678\r");
    ASSERT_EQ(sink.delivered.size(), 4u);
    EXPECT_EQ(GetShortString(sink.delivered[3].bytes, 10, 4), "3A");
  }
}

TEST_F(MainPortHandlerTest, FullPacketFromThePortThenTheRest) {
  TCommPortDriver& driver = *port.driver;
  driver.OnReceivePacket = [this](TCommPortDriver*, const std::uint8_t* packet, std::uint32_t size) {
    handler.ReceivePacket({packet, size});
  };
  // 16 frames of 16 bytes fill one 256-byte packet; two of 22 bytes follow.
  std::string burst;
  for (int i = 0; i < 16; ++i) burst += "\n0111234 3A0000\r";
  for (int i = 0; i < 2; ++i) burst += "\n0115678 3A0000000000\r";
  ASSERT_EQ(burst.size(), 300u);
  port.ports.input[test::kMainDevice].assign(burst.begin(), burst.end());

  driver.Poll();  // 256 bytes at once
  EXPECT_EQ(port.AckCount(), 16u);
  clock.tick += 201;
  driver.Poll();  // the remaining 44 bytes
  EXPECT_EQ(port.AckCount(), 18u);
  EXPECT_EQ(sink.delivered.size(), 36u);
  EXPECT_EQ(TrafficLog(), burst);
}

// Guards against losing the frame that the 256-byte cut splits in two.
TEST_F(MainPortHandlerTest, FrameSplitByThePacketSizeIsJoinedWithTheNextPacket) {
  TCommPortDriver& driver = *port.driver;
  driver.OnReceivePacket = [this](TCommPortDriver*, const std::uint8_t* packet, std::uint32_t size) {
    handler.ReceivePacket({packet, size});
  };
  std::string burst;  // 24 frames of 12 bytes: the cut falls inside the 22nd
  for (int i = 0; i < 24; ++i) burst += "\n011" + std::to_string(1000 + i) + " E1\r";
  ASSERT_EQ(burst.size(), 288u);
  port.ports.input[test::kMainDevice].assign(burst.begin(), burst.end());

  driver.Poll();
  EXPECT_EQ(port.AckCount(), 21u) << "the split frame waits for its end";
  clock.tick += 201;
  driver.Poll();
  EXPECT_EQ(port.AckCount(), 24u);
  ASSERT_EQ(sink.delivered.size(), 48u);
  const auto& event22 = sink.delivered[2 * 21 + 1].bytes;  // protocol 7 after protocol 8
  EXPECT_EQ(GetLE<std::int32_t>(event22, event_record::kAccount), 31 * 10000 + 1021);
  EXPECT_EQ(TrafficLog(), burst) << "the log still holds the packets as received";
}

TEST_F(MainPortHandlerTest, UnfinishedFrameIsDroppedWhenTheNextPacketStartsAFrame) {
  std::string full;
  for (int i = 0; i < 21; ++i) full += "\n0111234 E1\r";
  full += "\n011";  // 256 bytes, ends inside a frame
  ASSERT_EQ(full.size(), 256u);
  handler.ReceivePacket(ToBytes(full));
  EXPECT_EQ(port.AckCount(), 21u);
  handler.ReceivePacket(ToBytes("\n0115678 E1\r"));  // a new frame, not the rest
  EXPECT_EQ(port.AckCount(), 22u);
  EXPECT_EQ(GetLE<std::int32_t>(sink.delivered.back().bytes, event_record::kAccount), 315678);
}

}  // namespace
}  // namespace vorel
