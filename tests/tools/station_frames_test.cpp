// The station's frames byte for byte, the byte-text helpers of the command
// language, and the tally of what the driver writes back.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "line_pace.h"
#include "sim_report.h"
#include "station_frames.h"

namespace vorel::station {
namespace {

Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }

// 1-based, as the receiver counts positions.
char At(const Bytes& frame, std::size_t position) { return static_cast<char>(frame.at(position - 1)); }
std::string Span(const Bytes& frame, std::size_t from, std::size_t to) {
  return std::string(frame.begin() + static_cast<long>(from - 1), frame.begin() + static_cast<long>(to));
}

TEST(MainPortFrames, EventCarriesAccountAtFiveToEightAndCodeAtTenToEleven) {
  const Bytes frame = MainEventFrame("5011", "E1");
  EXPECT_EQ(frame, B("\n0115011 E1\r"));
  ASSERT_EQ(frame.size(), kMainEventFrameSize);
  EXPECT_EQ(frame.front(), kLf);
  EXPECT_EQ(frame.back(), kCr);
  EXPECT_EQ(Span(frame, 5, 8), "5011");
  EXPECT_EQ(Span(frame, 10, 11), "E1");
  // Not taken for a restart request.
  EXPECT_FALSE(At(frame, 7) == 'Y' && At(frame, 4) != 'O');
}

TEST(MainPortFrames, LettersInTheAccountAndCodeAreKeptForTheReceiverToJudge) {
  EXPECT_EQ(MainEventFrame("123C", "3A"), B("\n011123C 3A\r"));
  EXPECT_EQ(MainEventFrame("12X4", "ZZ"), B("\n01112X4 ZZ\r"));
}

TEST(MainPortFrames, KeepAliveHoldsOkayAtFiveToEightAndIsNoRestart) {
  const Bytes frame = KeepAliveFrame();
  EXPECT_EQ(frame, B("\n011OKAY\r"));
  EXPECT_EQ(frame.size(), kKeepAliveFrameSize);
  EXPECT_EQ(Span(frame, 5, 8), "OKAY");
  EXPECT_NE(At(frame, 7), 'Y');
}

TEST(MainPortFrames, RestartHasYAtSevenWithoutOAtFour) {
  const Bytes frame = RestartFrame();
  EXPECT_EQ(frame, B("\n011RSYN\r"));
  EXPECT_EQ(frame.size(), kRestartFrameSize);
  EXPECT_EQ(frame.front(), kLf);
  EXPECT_EQ(frame.back(), kCr);
  EXPECT_EQ(At(frame, 7), 'Y');
  EXPECT_NE(At(frame, 4), 'O');
  EXPECT_NE(Span(frame, 5, 8), "OKAY");
}

TEST(SecondPortFrames, FifteenBytesWithLfAtFourteenAndCrAtFifteen) {
  const Bytes frame = SecondPortFrame("A12A", 'F', '3');
  EXPECT_EQ(frame, B("011A12A F3   \n\r"));
  ASSERT_EQ(frame.size(), kSecondPortFrameSize);
  EXPECT_EQ(At(frame, 14), '\n');
  EXPECT_EQ(At(frame, 15), '\r');
  EXPECT_EQ(Span(frame, 4, 7), "A12A");
  EXPECT_EQ(At(frame, 9), 'F');
  EXPECT_EQ(At(frame, 10), '3');
}

TEST(FrameBuilders, RefuseFieldsOfTheWrongSizeOrWithControlCharacters) {
  struct Case {
    std::string account;
    std::string code;
  };
  for (const Case& c : {Case{"501", "E1"}, Case{"50111", "E1"}, Case{"50 1", "E1"}, Case{"50\r1", "E1"},
                        Case{"5011", "E"}, Case{"5011", "E12"}, Case{"5011", "\n1"}}) {
    SCOPED_TRACE(c.account + "/" + c.code);
    EXPECT_THROW(MainEventFrame(c.account, c.code), std::invalid_argument);
  }
  EXPECT_THROW(SecondPortFrame("001", '0', '0'), std::invalid_argument);
  EXPECT_THROW(SecondPortFrame("0001", '\n', '0'), std::invalid_argument);
  EXPECT_THROW(SecondPortFrame("0001", '0', ' '), std::invalid_argument);
}

TEST(AccountFields, DigitsArePaddedAndFourCharactersTakenAsTheyAre) {
  const struct {
    std::string text;
    std::optional<std::string> field;
  } cases[] = {
      {"5011", "5011"}, {"12", "0012"},   {"7", "0007"},        {"0", "0000"},     {"123C", "123C"},
      {"12X4", "12X4"}, {"", std::nullopt}, {"12345", std::nullopt}, {"1X", std::nullopt},
      {"12 4", std::nullopt}, {"12\t4", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(AccountField(c.text), c.field);
  }
  EXPECT_EQ(NumberedAccount(1), "0001");
  EXPECT_EQ(NumberedAccount(9999), "9999");
  EXPECT_THROW(NumberedAccount(0), std::invalid_argument);
  EXPECT_THROW(NumberedAccount(10000), std::invalid_argument);
}

TEST(Escapes, TurnIntoTheirBytes) {
  const struct {
    std::string text;
    Bytes bytes;
  } cases[] = {
      {"\\n5011\\r", B("\n5011\r")},
      {"\\x06\\x4a\\x4A", Bytes{0x06, 0x4A, 0x4A}},
      {"\\t\\0", Bytes{0x09, 0x00}},
      {"a\\\\b\\\"", B("a\\b\"")},
      {"\\xff", Bytes{0xFF}},
      {"plain", B("plain")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto bytes = DecodeEscapes(c.text, error);
    ASSERT_TRUE(bytes.has_value()) << error;
    EXPECT_EQ(*bytes, c.bytes);
  }
}

TEST(Escapes, BadOnesAreRefusedWithAReason) {
  for (const std::string text : {"\\", "ab\\", "\\x4", "\\xZZ", "\\x", "\\q"}) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(DecodeEscapes(text, error).has_value());
    EXPECT_FALSE(error.empty());
  }
}

TEST(Hex, DecodesPairsAndRefusesEverythingElse) {
  EXPECT_EQ(DecodeHex("0a3530"), (Bytes{0x0A, 0x35, 0x30}));
  EXPECT_EQ(DecodeHex("0x0D"), (Bytes{0x0D}));
  EXPECT_EQ(DecodeHex("FFfe"), (Bytes{0xFF, 0xFE}));
  for (const std::string text : {"", "0", "0x", "0g", "abc", "0x0x0a", "0a 35"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(DecodeHex(text).has_value());
  }
  EXPECT_EQ(HexText(Bytes{0x0A, 0xFF, 0x00}), "0aff00");
  EXPECT_EQ(HexText(Bytes{}), "");
}

TEST(LinePace, ABytesTimeIsTenBitsAtTheRate) {
  using std::chrono::nanoseconds;
  EXPECT_EQ(ByteTime(9600), nanoseconds(1'041'666));  // 12 bytes: 12.5 ms
  EXPECT_EQ(ByteTime(115200), nanoseconds(86'805));
  EXPECT_EQ(ByteTime(0), nanoseconds(0));
  EXPECT_EQ(ByteTime(-1), nanoseconds(0));
}

TEST(LinePace, BytesGoOneAByteTimeAfterTheOther) {
  using std::chrono::microseconds;
  struct Case {
    long long elapsedUs;
    int baud;
    std::size_t due;
  };
  const Case cases[] = {
      {0, 9600, 0},        // the first byte is there after its ten bits
      {1041, 9600, 0},
      {1042, 9600, 1},
      {12499, 9600, 11},
      {12500, 9600, 12},   // the whole 12-byte frame after 12.5 ms
      {999'999, 9600, 12}, // never more than the frame
      {-5, 9600, 0},
      {0, 0, 12},          // unpaced: everything at once
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BytesDue(microseconds(c.elapsedUs), c.baud, 12), c.due) << c.elapsedUs << " us at " << c.baud;
  }
  EXPECT_EQ(BytesDue(microseconds(0), 9600, 0), 0u);
}

TEST(RxTally, CountsEveryAckAndReportsOtherBytesInRuns) {
  RxTally tally;
  const Bytes first{0x06, 'A', 'B', 0x06, 0x06, 'C'};
  EXPECT_EQ(tally.Feed(first), (std::vector<std::string>{"ack total=1", "rx bytes=2 hex=4142 other=2", "ack total=2",
                                                           "ack total=3", "rx bytes=1 hex=43 other=3"}));
  const Bytes second{0x00, 0x06};
  EXPECT_EQ(tally.Feed(second), (std::vector<std::string>{"rx bytes=1 hex=00 other=4", "ack total=4"}));
  EXPECT_EQ(tally.Acks(), 4);
  EXPECT_EQ(tally.Other(), 4);
  EXPECT_TRUE(tally.Feed(Bytes{}).empty());
}

}  // namespace
}  // namespace vorel::station
