// The second port's frame handler: 15-byte frames, never answered, protocol 7
// before protocol 8.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "receiver/frame_handler_support.h"
#include "receiver/second_port_handler.h"

namespace vorel {
namespace {

using test::ReadCountingClock;
using test::RecordingSink;
using test::ToBytes;
using Output = RecordingSink::Output;

// "001", the account at 4..7, a blank, the details at 9 and 10, "000", LF, CR.
std::string SecondFrame(std::string_view account, char detail1 = '0', char detail2 = '0') {
  std::string frame = "001" + std::string(account) + " " + detail1 + detail2 + "000\n\r";
  EXPECT_EQ(frame.size(), kSecondFrameSize);
  return frame;
}

class SecondPortHandlerTest : public ::testing::Test {
 protected:
  SecondPortHandlerTest() {
    settings.FirstNumber = 31;
    settings.Log = true;
    settings.SendMivo7 = true;
    settings.SendMivo8 = true;
  }

  void Receive(std::string_view packet) { handler.ReceivePacket(ToBytes(packet)); }
  std::string TrafficLog() const { return test::ReadFile(dir.Path() / "vorelu.log"); }

  test::InTempDirectory dir;
  ReadCountingClock clock;
  StationPortState station;
  Settings settings;
  RecordingSink sink;
  int refreshes = 0;
  SecondPortHandler handler{station, settings, clock, sink, [this] { ++refreshes; }};
};

TEST_F(SecondPortHandlerTest, OneFrameGivesExactRecordAndPayloadProtocol7First) {
  Receive(SecondFrame("A12A", 'F', '3'));

  EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(0));
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(TrafficLog(), SecondFrame("A12A", 'F', '3'));

  Bytes record(kEventRecordSize, 0);
  record[0] = 3;
  record[1] = 32;
  record[2] = 0x68, record[3] = 0xBB, record[4] = 0x04, record[5] = 0x00;  // 310120
  record[10] = 2, record[11] = '0', record[12] = '0';
  record[15] = 15, record[16] = 3;
  record[17] = 1, record[18] = '8';
  record[23] = 3, record[24] = '0', record[25] = '0', record[26] = '0';
  PutLE<double>(record, 27, ReadCountingClock::Reading(1));

  Bytes payload(kSecondEventPayloadSize, 0);
  payload[0] = 0x68, payload[1] = 0xBB, payload[2] = 0x04, payload[3] = 0x00;
  payload[4] = 15, payload[5] = 3;
  PutLE<double>(payload, 6, ReadCountingClock::Reading(1));  // the same reading

  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(sink.delivered[0].output, Output::Protocol7);
  EXPECT_EQ(sink.delivered[0].bytes, record);
  EXPECT_EQ(sink.delivered[1].output, Output::Protocol8);
  EXPECT_EQ(sink.delivered[1].port, PortId::Second);
  EXPECT_EQ(sink.delivered[1].bytes, payload);
  EXPECT_EQ(Bytes(handler.EventPayload().begin(), handler.EventPayload().end()), payload);
  EXPECT_EQ(clock.reads, 2);
  // 'A' is this station's zero; the frame buffer keeps the mapped digits.
  EXPECT_EQ(handler.Buffer().At(4), '0');
  EXPECT_EQ(handler.Buffer().At(7), '0');
}

TEST_F(SecondPortHandlerTest, AccountCharacters) {
  struct Case {
    const char* chars;
    bool event;
    std::int32_t account;
  };
  const std::vector<Case> cases = {
      {"1234", true, 311234}, {"AAAA", true, 310000}, {"123J", true, 311239}, {"12A3", true, 311203},
      {"123K", false, 0},     {"B123", false, 0},     {"OKAY", false, 0},     {"12 4", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chars);
    sink.delivered.clear();
    const int before = refreshes;
    Receive(SecondFrame(c.chars));
    EXPECT_EQ(refreshes, before + 1);  // a frame, event or not
    ASSERT_EQ(sink.delivered.size(), c.event ? 2u : 0u);
    if (c.event) {
      EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[0].bytes, 2), c.account);
      EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[1].bytes, 0), c.account);
    }
  }
}

TEST_F(SecondPortHandlerTest, DetailNumbersAreHexDigits) {
  struct Case {
    char at9, at10;
    std::uint8_t detail1, detail2;
  };
  const std::vector<Case> cases = {
      {'0', '9', 0, 9}, {'A', 'F', 10, 15}, {'a', 'f', 10, 15}, {'G', 'g', 0, 0}, {' ', 'Z', 0, 0}, {'7', 'c', 7, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.at9 << c.at10);
    sink.delivered.clear();
    Receive(SecondFrame("1234", c.at9, c.at10));
    ASSERT_EQ(sink.delivered.size(), 2u);
    EXPECT_EQ(sink.delivered[0].bytes[15], c.detail1);
    EXPECT_EQ(sink.delivered[0].bytes[16], c.detail2);
    EXPECT_EQ(sink.delivered[1].bytes[4], c.detail1);
    EXPECT_EQ(sink.delivered[1].bytes[5], c.detail2);
    EXPECT_EQ(GetShortString(sink.delivered[0].bytes, 10, 4), "00");
  }
}

TEST_F(SecondPortHandlerTest, OutputsFollowTheirSwitches) {
  struct Case {
    bool mivo7, mivo8;
    std::vector<Output> expected;
  };
  const std::vector<Case> cases = {
      {true, true, {Output::Protocol7, Output::Protocol8}},
      {true, false, {Output::Protocol7}},
      {false, true, {Output::Protocol8}},
      {false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "SendMivo7 " << c.mivo7 << ", SendMivo8 " << c.mivo8);
    settings.SendMivo7 = c.mivo7;
    settings.SendMivo8 = c.mivo8;
    sink.delivered.clear();
    Receive(SecondFrame("1234"));
    std::vector<Output> got;
    for (const auto& d : sink.delivered) got.push_back(d.output);
    EXPECT_EQ(got, c.expected);
  }
  EXPECT_EQ(refreshes, 4);
  EXPECT_EQ(TrafficLog().size(), 4 * kSecondFrameSize);
}

TEST_F(SecondPortHandlerTest, PacketsThatAreNoFrameAreOnlyLoggedAndStamped) {
  const std::string frame = SecondFrame("1234");
  const std::vector<std::string> packets = {
      frame.substr(0, 14),                        // 14 bytes
      frame + "\r",                               // 16 bytes
      "\n" + frame.substr(0, 14),                 // 15 bytes, LF and CR elsewhere
      std::string(14, 'x') + "\r",                // 15 bytes, no LF at 14
      frame + std::string(13, 'x') + "\r\n",      // 30 bytes, second piece ends CR LF
      frame + std::string(15, 'x'),               // 30 bytes, second piece no frame
      "",
  };
  std::string expectedLog;
  for (const auto& packet : packets) {
    SCOPED_TRACE(testing::PrintToString(packet));
    clock.reads = 5;
    Receive(packet);
    expectedLog += packet;
    EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(5));
  }
  EXPECT_TRUE(sink.delivered.empty());
  EXPECT_EQ(refreshes, 0);
  EXPECT_EQ(TrafficLog(), expectedLog);
}

// Frames sent within one packet time used to be dropped together: a packet
// of 30 bytes failed the 15-byte test.
TEST_F(SecondPortHandlerTest, EveryFrameOfAPacketIsHandledInTurn) {
  const std::string packet = SecondFrame("1111", '1') + SecondFrame("12X4") + SecondFrame("3333", '3');
  Receive(packet);
  EXPECT_EQ(refreshes, 3);
  EXPECT_EQ(TrafficLog(), packet);
  EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(0));
  EXPECT_EQ(clock.reads, 3);  // stamped once, one reading per event
  ASSERT_EQ(sink.delivered.size(), 4u);
  EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[0].bytes, 2), 311111);
  EXPECT_EQ(sink.delivered[0].bytes[15], 1);
  EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[2].bytes, 2), 313333);
  EXPECT_EQ(sink.delivered[2].bytes[15], 3);
  EXPECT_EQ(sink.delivered[3].output, Output::Protocol8);
}

TEST_F(SecondPortHandlerTest, LongPacketsFitTheFrameBuffer) {
  for (const std::size_t frames : {4u, 20u, 546u}) {  // 60, 300 and 8190 bytes
    SCOPED_TRACE(frames);
    sink.delivered.clear();
    std::string packet;
    for (std::size_t i = 0; i < frames; ++i) packet += SecondFrame("1234");
    Receive(packet);
    ASSERT_GE(handler.Buffer().Size(), packet.size());
    EXPECT_EQ(sink.delivered.size(), 2 * frames);
  }
  Receive(std::string(8192, 'x'));
  EXPECT_GE(handler.Buffer().Size(), 8192u);
}

TEST_F(SecondPortHandlerTest, UnwritableTrafficLogAbandonsThePacket) {
  std::filesystem::create_directory(dir.Path() / "vorelu.log");
  try {
    Receive(SecondFrame("1234"));
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("\"vorelu.log\""), std::string::npos) << e.what();
  }
  EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(0));
  EXPECT_TRUE(sink.delivered.empty());
  EXPECT_EQ(refreshes, 0);

  settings.Log = false;  // the log is not touched then
  Receive(SecondFrame("1234"));
  EXPECT_EQ(sink.delivered.size(), 2u);
}

}  // namespace
}  // namespace vorel
