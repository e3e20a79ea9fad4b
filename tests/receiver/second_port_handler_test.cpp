// The second port's frame handler: 15-byte frames, never answered, protocol 7
// before protocol 8.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
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
std::string SecondFrameText(std::string_view account, char detail1 = '0', char detail2 = '0') {
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
  Receive(SecondFrameText("A12A", 'F', '3'));

  EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(0));
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(TrafficLog(), SecondFrameText("A12A", 'F', '3'));

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
  EXPECT_EQ(sink.waitsForAnswer, std::vector<bool>{false}) << "the second port never waits for a server";
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
    Receive(SecondFrameText(c.chars));
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
    Receive(SecondFrameText("1234", c.at9, c.at10));
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
    Receive(SecondFrameText("1234"));
    std::vector<Output> got;
    for (const auto& d : sink.delivered) got.push_back(d.output);
    EXPECT_EQ(got, c.expected);
  }
  EXPECT_EQ(refreshes, 4);
  EXPECT_EQ(TrafficLog().size(), 4 * kSecondFrameSize);
}

// A packet is a piece of the station's stream, so what counts is the frames
// found in the stream: 15 bytes ending in LF CR. A 16-byte packet with a frame
// in it is that frame and one more byte (of the next frame, or noise), not
// something to drop.
TEST_F(SecondPortHandlerTest, EachPacketIsLoggedAndStampedAndOnlyFramesInTheStreamCount) {
  const std::string frame = SecondFrameText("1234");
  struct Case {
    const char* what;
    std::vector<std::string> packets;
    int frames;
  };
  const std::vector<Case> cases = {
      {"14 bytes, no CR", {frame.substr(0, 14)}, 0},
      {"16 bytes, LF and CR swapped at the end", {"x" + frame.substr(0, 13) + "\r\n"}, 0},
      {"15 bytes, LF and CR elsewhere", {"\n" + frame.substr(0, 14)}, 0},
      {"15 bytes, no LF at 14", {std::string(14, 'x') + "\r"}, 0},
      {"nothing", {""}, 0},
      {"16 bytes: a frame, then a stray CR", {frame + "\r"}, 1},
      {"16 bytes: a stray byte, then a frame", {"x" + frame}, 1},
      {"a frame, then 15 bytes of noise", {frame + std::string(13, 'x') + "\r\n"}, 1},
      {"a stray CR left over does not spoil the next frame", {frame + "\r", frame}, 2},
      {"the rest of an unfinished frame never came", {frame.substr(0, 14), frame}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::InTempDirectory caseDir;
    RecordingSink caseSink;
    int caseRefreshes = 0;
    SecondPortHandler caseHandler(station, settings, clock, caseSink, [&] { ++caseRefreshes; });
    std::string expectedLog;
    for (const auto& packet : c.packets) {
      clock.reads = 5;
      caseHandler.ReceivePacket(ToBytes(packet));
      expectedLog += packet;
      EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(5));
    }
    EXPECT_EQ(caseRefreshes, c.frames);
    EXPECT_EQ(caseSink.delivered.size(), 2u * c.frames);
    EXPECT_EQ(test::ReadFile(caseDir.Path() / "vorelu.log"), expectedLog);
  }
}

// Frames sent within one packet time arrive together: a packet of 30 bytes
// must not fail the 15-byte test as a whole.
TEST_F(SecondPortHandlerTest, EveryFrameOfAPacketIsHandledInTurn) {
  const std::string packet = SecondFrameText("1111", '1') + SecondFrameText("12X4") + SecondFrameText("3333", '3');
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
    for (std::size_t i = 0; i < frames; ++i) packet += SecondFrameText("1234");
    Receive(packet);
    ASSERT_GE(handler.Buffer().Size(), packet.size());
    EXPECT_EQ(sink.delivered.size(), 2 * frames);
  }
  Receive(std::string(8192, 'x'));
  EXPECT_GE(handler.Buffer().Size(), 8192u);
}

// The account of each event in the order the outputs got them, and whether
// every event went to protocol 7 and then to protocol 8.
std::vector<std::int32_t> AccountsInOrder(const RecordingSink& sink) {
  std::vector<std::int32_t> accounts;
  for (std::size_t i = 0; i < sink.delivered.size(); i += 2) {
    EXPECT_EQ(sink.delivered[i].output, Output::Protocol7);
    if (i + 1 == sink.delivered.size()) break;
    EXPECT_EQ(sink.delivered[i + 1].output, Output::Protocol8);
    EXPECT_EQ(sink.delivered[i + 1].port, PortId::Second);
    const std::int32_t account = GetLE<std::int32_t>(sink.delivered[i].bytes, 2);
    EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[i + 1].bytes, 0), account);
    accounts.push_back(account);
  }
  return accounts;
}

// A frame cut by the packet size must be joined again: checked packet by
// packet it would fail the shape test in both, the packets after it would
// stay out of step, and with the station sending without a pause every frame
// would be lost.
TEST_F(SecondPortHandlerTest, ContinuousTrafficCutAnywhereGivesEveryFrameOnceInOrder) {
  constexpr int kFrames = 600;
  std::string stream;
  std::vector<std::int32_t> expected;
  for (int n = 1; n <= kFrames; ++n) {
    const std::string digits = std::to_string(10000 + n).substr(1);
    stream += SecondFrameText(digits, "0123456789ABCDEF"[n % 16]);
    expected.push_back(310000 + n);
  }
  struct Case {
    const char* what;
    std::size_t smallest, largest;  // packet sizes
  };
  const std::vector<Case> cases = {
      {"cut at 256 bytes", 256, 256},
      {"cut at random", 1, 256},
      {"one byte a packet", 1, 1},
  };
  std::mt19937 random(1512);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::InTempDirectory caseDir;
    RecordingSink caseSink;
    int caseRefreshes = 0;
    SecondPortHandler caseHandler(station, settings, clock, caseSink, [&] { ++caseRefreshes; });
    std::uniform_int_distribution<std::size_t> size(c.smallest, c.largest);
    int packets = 0;
    for (std::size_t at = 0; at < stream.size(); ++packets) {
      const std::size_t n = std::min(size(random), stream.size() - at);
      clock.reads = packets * 100;
      caseHandler.ReceivePacket(ToBytes(std::string_view(stream).substr(at, n)));
      EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(packets * 100));
      at += n;
    }
    EXPECT_EQ(caseRefreshes, kFrames);
    ASSERT_EQ(caseSink.delivered.size(), 2u * kFrames);
    EXPECT_EQ(AccountsInOrder(caseSink), expected);
    EXPECT_EQ(caseSink.delivered[1].bytes[4], 1);  // frame 1, detail '1'
    EXPECT_EQ(caseSink.delivered.back().bytes[4], kFrames % 16);
    EXPECT_EQ(test::ReadFile(caseDir.Path() / "vorelu.log"), stream);
  }
}

// The frame joined from two packets goes through the same steps as a whole
// one, from position 1 of the frame buffer.
TEST_F(SecondPortHandlerTest, FrameJoinedFromTwoPacketsIsHandledLikeAWholeOne) {
  const std::string frame = SecondFrameText("A12A", 'F', '3');
  Receive(std::string(20, 'z') + frame.substr(0, 6));
  EXPECT_TRUE(sink.delivered.empty());
  Receive(frame.substr(6));
  ASSERT_EQ(sink.delivered.size(), 2u);
  EXPECT_EQ(GetLE<std::int32_t>(sink.delivered[0].bytes, 2), 310120);
  EXPECT_EQ(sink.delivered[0].bytes[15], 15);
  EXPECT_EQ(sink.delivered[0].bytes[16], 3);
  EXPECT_EQ(refreshes, 1);
  for (std::size_t p = 1; p <= kSecondFrameSize; ++p) {
    const std::uint8_t want = (p == 4 || p == 7) ? '0' : static_cast<std::uint8_t>(frame[p - 1]);
    EXPECT_EQ(handler.Buffer().At(p), want) << "position " << p;
  }
}

TEST_F(SecondPortHandlerTest, UnwritableTrafficLogAbandonsThePacket) {
  std::filesystem::create_directory(dir.Path() / "vorelu.log");
  try {
    Receive(SecondFrameText("1234"));
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("\"vorelu.log\""), std::string::npos) << e.what();
  }
  EXPECT_EQ(station.lastFrameTime, ReadCountingClock::Reading(0));
  EXPECT_TRUE(sink.delivered.empty());
  EXPECT_EQ(refreshes, 0);

  settings.Log = false;  // the log is not touched then
  Receive(SecondFrameText("1234"));
  EXPECT_EQ(sink.delivered.size(), 2u);  // the abandoned frame does not come back

}


// The push parser alone: the same stream must give the same frames whether it
// comes whole, a byte at a time or in the pieces of the case.
std::vector<std::string> PushAll(SecondFrameParser& parser, const std::vector<std::string>& pieces) {
  std::vector<std::string> frames;
  for (const auto& piece : pieces) {
    for (const SecondFrame& frame : parser.Push(ToBytes(piece))) frames.emplace_back(frame.begin(), frame.end());
    EXPECT_LE(parser.Pending(), SecondFrameParser::kMaxPending);
  }
  return frames;
}

std::vector<std::string> Bytewise(const std::vector<std::string>& pieces) {
  std::vector<std::string> bytes;
  for (const auto& piece : pieces)
    for (char c : piece) bytes.emplace_back(1, c);
  return bytes;
}

TEST(SecondFrameParser, FindsFramesWhateverTheCut) {
  const std::string f1 = SecondFrameText("1111", '1');
  const std::string f2 = SecondFrameText("2222", '2');
  struct Case {
    const char* what;
    std::vector<std::string> pieces;
    std::vector<std::string> frames;
    std::size_t pending;
  };
  const std::vector<Case> cases = {
      {"one frame", {f1}, {f1}, 0},
      {"cut in the middle", {f1.substr(0, 7), f1.substr(7)}, {f1}, 0},
      {"cut between LF and CR", {f1.substr(0, 14), f1.substr(14)}, {f1}, 0},
      {"two frames over three pieces", {f1.substr(0, 3), f1.substr(3) + f2.substr(0, 1), f2.substr(1)}, {f1, f2}, 0},
      {"noise before", {"xyz" + f1}, {f1}, 0},
      {"noise with LF CR before", {"ab\n\r" + f1}, {f1}, 0},
      {"noise ending in LF before", {"abc\n" + f1}, {f1}, 0},
      {"the tail of a frame cut off before the port opened", {f1.substr(6) + f2}, {f2}, 0},
      {"a stray CR between frames", {f1 + "\r" + f2}, {f1, f2}, 0},
      {"noise with LF CR right after a frame", {f1 + "ab\n\r" + f2}, {f1, f2}, 0},
      {"an unfinished frame given up", {f1.substr(0, 10) + f2}, {f2}, 0},
      {"a frame still to come", {f1 + f2.substr(0, 9)}, {f1}, 9},
      {"noise longer than a frame: only 14 bytes kept", {std::string(40, 'x')}, {}, 14},
      // 15 bytes that end in LF CR are a frame, whatever they hold; the
      // handler finds no account in them.
      {"noise that ends in LF CR", {std::string(20, '\n') + "\n\r" + f1}, {std::string(13, '\n') + "\n\r", f1}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string whole;
    for (const auto& piece : c.pieces) whole += piece;
    const std::vector<std::vector<std::string>> feeds = {c.pieces, {whole}, Bytewise(c.pieces)};
    for (const auto& feed : feeds) {
      SecondFrameParser parser;
      EXPECT_EQ(PushAll(parser, feed), c.frames) << feed.size() << " pieces";
      EXPECT_EQ(parser.Pending(), c.pending) << feed.size() << " pieces";
    }
  }
}

// Frames with noise of every kind before some of them, cut at random places.
// The frames are written in capitals and the noise never holds one, so a
// frame the parser made of noise shows, and one that took a byte of a real
// frame shows too: it holds a capital but is not that frame.
bool IsCapital(char c) { return c >= 'A' && c <= 'Z'; }

TEST(SecondFrameParser, NoiseBeforeFramesNeverCostsAFrame) {
  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> noiseLength(0, 40);
  std::uniform_int_distribution<int> anyByte(0, 255);
  std::uniform_int_distribution<int> coin(0, 3);
  static constexpr char kNoise[] = "\n\r\n\r\n\r0123456789 xa";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kNoise - 2);

  std::vector<std::string> sent;
  std::string stream;
  for (int n = 0; n < 2000; ++n) {
    if (coin(random) == 0) {
      for (int i = noiseLength(random); i > 0; --i) {
        const char c = coin(random) == 0 ? static_cast<char>(anyByte(random)) : kNoise[pick(random)];
        stream += IsCapital(c) ? static_cast<char>(c - 'A' + 'a') : c;
      }
    }
    std::string frame = "F";
    for (char digit : std::to_string(100000 + n).substr(1)) frame += static_cast<char>('G' + (digit - '0'));
    frame += " DETAIL\n\r";
    ASSERT_EQ(frame.size(), kSecondFrameSize);
    sent.push_back(frame);
    stream += frame;
  }

  std::uniform_int_distribution<std::size_t> pieceSize(1, 300);
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min(pieceSize(random), stream.size() - at);
    pieces.push_back(stream.substr(at, n));
    at += n;
  }
  const std::vector<std::vector<std::string>> feeds = {pieces, {stream}, Bytewise({stream})};
  for (const auto& feed : feeds) {
    SCOPED_TRACE(testing::Message() << feed.size() << " pieces");
    SecondFrameParser parser;
    std::vector<std::string> real;
    int fromNoise = 0;
    for (const std::string& frame : PushAll(parser, feed)) {
      if (std::none_of(frame.begin(), frame.end(), IsCapital)) {
        ++fromNoise;
      } else {
        real.push_back(frame);
      }
    }
    EXPECT_EQ(real, sent);
    EXPECT_GT(fromNoise, 0) << "the noise should also make frames of its own";
  }
}

}  // namespace
}  // namespace vorel
