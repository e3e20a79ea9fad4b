// The simulator's command language: what each command sends or waits for,
// and the errors for text that is not a command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_command.h"

namespace vorel::station {
namespace {

using std::chrono::milliseconds;

Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }

Command Parsed(const std::string& text) {
  const ParsedCommand parsed = ParseCommand(text);
  EXPECT_TRUE(parsed.error.empty()) << text << ": " << parsed.error;
  EXPECT_TRUE(parsed.command.has_value()) << text;
  return parsed.command.value_or(Command{});
}

TEST(SendCommands, BuildTheirFramesAndNameThem) {
  const struct {
    std::string text;
    Bytes bytes;
    std::string description;
  } cases[] = {
      {"event 5011 E1", B("\n0115011 E1\r"), "event account=5011 code=E1"},
      {"event 12 3A", B("\n0110012 3A\r"), "event account=0012 code=3A"},
      {"event 12X4 ZZ", B("\n01112X4 ZZ\r"), "event account=12X4 code=ZZ"},
      {"  event\t5011   E1  ", B("\n0115011 E1\r"), "event account=5011 code=E1"},
      {"event2 A12A F 3", B("011A12A F3   \n\r"), "event2 account=A12A d1=F d2=3"},
      {"okay", B("\n011OKAY\r"), "okay"},
      {"restart", B("\n011RSYN\r"), "restart"},
      {"raw 0a 3530 0x0D", Bytes{0x0A, 0x35, 0x30, 0x0D}, "raw hex=0a35300d"},
      {"text \"\\n01 OKAY\\r\"", B("\n01 OKAY\r"), "text hex=0a3031204f4b41590d"},
      {"text garbage\\x00\\xff", Bytes{'g', 'a', 'r', 'b', 'a', 'g', 'e', 0x00, 0xFF},
       "text hex=67617262616765" "00ff"},
      {"text \"say \\\"hi\\\"\"", B("say \"hi\""), "text hex=73617920226869" "22"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Command command = Parsed(c.text);
    EXPECT_EQ(command.kind, CommandKind::Send);
    ASSERT_EQ(command.frames.size(), 1u);
    EXPECT_EQ(command.frames[0].bytes, c.bytes);
    EXPECT_EQ(command.frames[0].description, c.description);
  }
}

TEST(SendCommands, BurstIsOneWriteOfConsecutiveAccounts) {
  const Command command = Parsed("burst 3 7 3A");
  ASSERT_EQ(command.frames.size(), 1u);
  EXPECT_EQ(command.frames[0].bytes, B("\n0110007 3A\r\n0110008 3A\r\n0110009 3A\r"));
  EXPECT_EQ(command.frames[0].description, "burst count=3 first=0007 last=0009 code=3A");
  EXPECT_EQ(Parsed("burst 2 9998 E1").frames[0].bytes.size(), 2 * kMainEventFrameSize);
}

TEST(SendCommands, NumberedFramesCarryDistinctAccountsAnIntervalApart) {
  const Command main = Parsed("numbered 3 400");
  ASSERT_EQ(main.frames.size(), 3u);
  EXPECT_EQ(main.interval, milliseconds(400));
  EXPECT_EQ(main.frames[0].bytes, B("\n0110001 E1\r"));
  EXPECT_EQ(main.frames[2].bytes, B("\n0110003 E1\r"));
  EXPECT_EQ(main.frames[2].description, "event account=0003 code=E1 seq=3/3");
  EXPECT_EQ(Parsed("numbered 2 0 7C").frames[1].bytes, B("\n0110002 7C\r"));

  const Command second = Parsed("numbered2 2 300 A 5");
  ASSERT_EQ(second.frames.size(), 2u);
  EXPECT_EQ(second.frames[1].bytes, B("0110002 A5   \n\r"));
  EXPECT_EQ(Parsed("numbered2 1 300").frames[0].bytes, B("0110001 00   \n\r"));

  const Command stream = Parsed("stream 2 300 41");
  ASSERT_EQ(stream.frames.size(), 2u);
  EXPECT_EQ(stream.frames[1].bytes, B("\n0110042 E1\r"));
  EXPECT_EQ(stream.resend, milliseconds(5000)) << "resent until acknowledged";
  EXPECT_EQ(main.resend, milliseconds(0));
}

TEST(WaitingCommands, CarryTheirCountsAndTimes) {
  const struct {
    std::string text;
    CommandKind kind;
    milliseconds duration;
    long count;
    bool relative;
  } cases[] = {
      {"wait 250", CommandKind::Wait, milliseconds(250), 0, false},
      {"wait 0", CommandKind::Wait, milliseconds(0), 0, false},
      {"expect-ack 1", CommandKind::ExpectAck, kDefaultAckTimeout, 1, false},
      {"expect-ack 0", CommandKind::ExpectAck, kDefaultAckTimeout, 0, false},
      {"expect-ack +2 timeout 700", CommandKind::ExpectAck, milliseconds(700), 2, true},
      {"expect-no-ack 600", CommandKind::ExpectNoAck, milliseconds(600), 0, false},
      {"wait-open", CommandKind::WaitOpen, kDefaultOpenTimeout, 0, false},
      {"wait-open timeout 7000", CommandKind::WaitOpen, milliseconds(7000), 0, false},
      {"wait-close timeout 100", CommandKind::WaitClose, milliseconds(100), 0, false},
      {"close", CommandKind::Close, milliseconds(0), 0, false},
      {"reopen", CommandKind::Reopen, milliseconds(0), 0, false},
      {"hold", CommandKind::Hold, milliseconds(0), 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Command command = Parsed(c.text);
    EXPECT_EQ(command.kind, c.kind);
    EXPECT_EQ(command.duration, c.duration);
    EXPECT_EQ(command.count, c.count);
    EXPECT_EQ(command.relative, c.relative);
    EXPECT_TRUE(command.frames.empty());
  }
}

TEST(BadCommands, AreRefusedWithAReason) {
  for (const std::string text : {
           "bogus", "Event 5011 E1", "event", "event 5011", "event 5011 E1 extra", "event 12345 E1",
           "event 1X E1", "event 5011 E", "event 5011 E12", "event2 0001 0", "event2 0001 00 1",
           "okay now", "restart 1", "raw", "raw 0", "raw 0g", "text", "text a b", "text \"\"",
           "text \\q", "text \"open", "burst 0 1 E1", "burst 2 9999 E1", "burst 1 0 E1",
           "burst 1 00001 E1", "burst 1 1", "numbered 0 300", "numbered 10000 300", "numbered 2 -1",
           "numbered 2", "numbered2 2 300 A", "stream 2", "stream 2 300 9999", "numbered2 2 300 A B C", "wait", "wait -5", "wait 1.5",
           "wait 86400001", "expect-ack", "expect-ack -1", "expect-ack +0", "expect-ack 1 2",
           "expect-ack 1 timeout", "expect-ack 1 timeout 0", "expect-ack 1000001", "expect-no-ack 0",
           "expect-no-ack", "wait-open 5000", "wait-close timeout x", "close now", "hold on",
       }) {
    SCOPED_TRACE(text);
    const ParsedCommand parsed = ParseCommand(text);
    EXPECT_FALSE(parsed.command.has_value());
    EXPECT_FALSE(parsed.error.empty());
  }
}

TEST(BadCommands, BlankTextIsNoCommandAndNoError) {
  for (const std::string text : {"", "   ", "\t"}) {
    const ParsedCommand parsed = ParseCommand(text);
    EXPECT_FALSE(parsed.command.has_value());
    EXPECT_TRUE(parsed.error.empty());
  }
}

TEST(CommandLines, SplitAtSemicolonsAndStopAtCommentsOutsideQuotes) {
  const struct {
    std::string line;
    std::vector<std::string> pieces;
  } cases[] = {
      {"event 5011 E1; expect-ack 1", {"event 5011 E1", "expect-ack 1"}},
      {"okay # keep-alive; not a command", {"okay"}},
      {"# only a comment", {}},
      {" ; ;okay;", {"okay"}},
      {"text \"a;b#c\"; okay", {"text \"a;b#c\"", "okay"}},
      {"text \"a\\\";b\"", {"text \"a\\\";b\""}},
      {"wait 10\r\n", {"wait 10"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(SplitCommands(c.line), c.pieces);
  }
}

TEST(CommandLines, TokenizeKeepsQuotedBlanksAndBackslashPairs) {
  std::string error;
  EXPECT_EQ(Tokenize("text \"a b\"  x", error), (std::vector<std::string>{"text", "a b", "x"}));
  EXPECT_EQ(Tokenize("text \"\"", error), (std::vector<std::string>{"text", ""}));
  EXPECT_EQ(Tokenize("text \"\\\"\\n\"", error), (std::vector<std::string>{"text", "\\\"\\n"}));
  EXPECT_FALSE(Tokenize("text \"open", error).has_value());
  EXPECT_EQ(error, "unterminated quote");
}

}  // namespace
}  // namespace vorel::station
