// The protocol-7 server's frame lines, date-time texts, stream cutting and
// command language, fed with frames built by the driver's own codec.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "p7/frame.h"
#include "p7_commands.h"
#include "p7_frame_text.h"
#include "receiver/event_record.h"

namespace vorel::p7server {
namespace {

TDateTime At(int y, int mo, int d, int h, int mi, int s, int ms) {
  return *EncodeDateTime(DateTimeFields{y, mo, d, h, mi, s, ms, 0});
}

p7::Frame EventFrame(std::uint8_t port, std::int32_t account, std::string_view code, std::uint8_t d1, std::uint8_t d2) {
  EventRecord record{};
  record[event_record::kKind] = 3;
  record[event_record::kPortTag] = port;
  PutLE<std::int32_t>(record, event_record::kAccount, account);
  PutShortString(record, event_record::kEventCode, 4, code);
  record[event_record::kDetail1] = d1;
  record[event_record::kDetail2] = d2;
  PutLE<double>(record, event_record::kReceived, At(2026, 12, 10, 12, 0, 0, 0));
  return p7::BuildEventFrame(record);
}

TEST(P7FrameTextTest, EachFrameTypeShowsItsFields) {
  p7::Frame unknown = p7::BuildFrame(99);
  p7::Frame badMarker = p7::BuildHelloFrame();
  badMarker[1] = 0xFE;
  const struct {
    p7::Frame frame;
    std::string line;
  } cases[] = {
      {EventFrame(31, 310011, "E1", 0, 0),
       "type=ftEvent(21) account=310011 code=E1 port=31 time=\"2026-12-10 12:00:00.000\""},
      {EventFrame(32, -5, "00", 10, 15),
       "type=ftEvent(21) account=-5 code=00 port=32 details=10,15 time=\"2026-12-10 12:00:00.000\""},
      // A code with a blank and a quote must not split or end the field.
      {EventFrame(31, 1, "A \"", 0, 0),
       "type=ftEvent(21) account=1 code=A\\x20\\x22 port=31 time=\"2026-12-10 12:00:00.000\""},
      {p7::BuildHelloFrame(), "type=ftHello(20) value=31"},
      {p7::BuildPortNumberFrame(300), "type=ftPortNumber(50) com=44"},
      {p7::BuildStationLostFrame(31), "type=ftStationLost(72) port=31"},
      {p7::BuildStationRestoredFrame(32), "type=ftStationRestored(73) port=32"},
      {p7::BuildSetClockFrame(At(2026, 1, 2, 3, 4, 5, 6)), "type=ftSetClock(4) time=\"2026-01-02 03:04:05.006\""},
      {p7::BuildCloseFrame(), "type=ftClose(17)"},
      {unknown, "type=unknown(99)"},
      {badMarker, "bad-marker head=FF FE"},
  };
  for (const auto& c : cases) EXPECT_EQ(DescribeFrame(c.frame), c.line);
}

TEST(P7FrameTextTest, BrokenClockFieldIsShownNotHidden) {
  p7::Frame frame = p7::BuildSetClockFrame(0);
  PutLE<double>(std::span<std::uint8_t>(frame).subspan(p7::kPayloadOffset), p7::kDateTimeOffset, 1e300);
  EXPECT_EQ(DescribeFrame(frame), "type=ftSetClock(4) time=\"invalid(1e+300)\"");
}

TEST(P7DateTimeTextTest, ParsesWhatItPrints) {
  const TDateTime value = At(2026, 12, 10, 23, 59, 58, 999);
  EXPECT_EQ(FormatDateTime(value), "2026-12-10 23:59:58.999");
  EXPECT_EQ(ParseDateTime("2026-12-10 23:59:58.999"), value);
  EXPECT_EQ(ParseDateTime("2026-12-10 23:59:58"), At(2026, 12, 10, 23, 59, 58, 0));
}

TEST(P7DateTimeTextTest, RejectsMalformedOrImpossibleDates) {
  for (const char* text : {"", "2026-12-10", "2026-12-10 12:00", "2026-13-10 12:00:00", "2026-02-30 12:00:00",
                           "2026-12-10 24:00:00", "2026/12/10 12:00:00", "2026-12-10 12:00:00.5",
                           "2026-12-10 12:00:00,000", "+026-12-10 12:00:00", "2026-12-10 12:00:00.000 "})
    EXPECT_FALSE(ParseDateTime(text)) << text;
}

TEST(P7FrameCutterTest, CutsWholeFramesHowEverTheBytesArrive) {
  std::vector<std::uint8_t> stream;
  const p7::Frame frames[] = {p7::BuildHelloFrame(), p7::BuildPortNumberFrame(3), EventFrame(31, 7, "E1", 0, 0)};
  for (const auto& f : frames) stream.insert(stream.end(), f.begin(), f.end());
  stream.resize(stream.size() + 100, 0xAB);  // a tail of an unfinished frame

  std::mt19937 random(7);
  for (int chunking : {0, 1, 2}) {  // whole, byte by byte, random chunks
    FrameCutter cutter;
    std::vector<p7::Frame> got;
    for (std::size_t at = 0; at < stream.size();) {
      std::size_t n = chunking == 0 ? stream.size() : chunking == 1 ? 1 : 1 + random() % 700;
      n = std::min(n, stream.size() - at);
      cutter.Push(std::span(stream).subspan(at, n));
      at += n;
      while (auto f = cutter.Next()) got.push_back(*f);
    }
    ASSERT_EQ(got.size(), 3u) << chunking;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(got[i], frames[i]) << chunking;
    EXPECT_EQ(cutter.Pending(), 100u);
  }
}

TEST(P7FrameCutterTest, StrayByteKeepsTheStreamOutOfStep) {
  FrameCutter cutter;
  const std::uint8_t stray = 0;
  cutter.Push({&stray, 1});
  const auto hello = p7::BuildHelloFrame();
  cutter.Push(hello);
  const auto block = cutter.Next();
  ASSERT_TRUE(block);
  EXPECT_EQ(DescribeFrame(*block), "bad-marker head=00 FF");
  EXPECT_EQ(cutter.Pending(), 1u);
}

TEST(P7CommandsTest, ActionsAndTimedRules) {
  auto action = ParseAction("  setclock 2026-12-10 12:00:00.000 ");
  ASSERT_TRUE(std::holds_alternative<Action>(action));
  EXPECT_EQ(std::get<Action>(action).kind, ActionKind::SetClock);
  EXPECT_EQ(std::get<Action>(action).clock, At(2026, 12, 10, 12, 0, 0, 0));

  action = ParseAction("setclock now");
  ASSERT_TRUE(std::holds_alternative<Action>(action));
  EXPECT_FALSE(std::get<Action>(action).clock);
  EXPECT_EQ(std::get<Action>(ParseAction("close")).kind, ActionKind::Close);
  EXPECT_EQ(std::get<Action>(ParseAction("disconnect")).kind, ActionKind::Disconnect);

  auto rule = ParseTimedAction("after-connect 500 setclock 2026-12-10 12:00:00.000");
  ASSERT_TRUE(std::holds_alternative<TimedAction>(rule));
  EXPECT_EQ(std::get<TimedAction>(rule).trigger, Trigger::AfterConnect);
  EXPECT_EQ(std::get<TimedAction>(rule).amount, 500);
  EXPECT_EQ(std::get<TimedAction>(rule).action.clock, At(2026, 12, 10, 12, 0, 0, 0));

  rule = ParseTimedAction("after-frames 3 close");
  ASSERT_TRUE(std::holds_alternative<TimedAction>(rule));
  EXPECT_EQ(std::get<TimedAction>(rule).trigger, Trigger::AfterFrames);
  EXPECT_EQ(std::get<TimedAction>(rule).amount, 3);
  EXPECT_EQ(std::get<TimedAction>(rule).action.kind, ActionKind::Close);
}

TEST(P7CommandsTest, BadCommandsSayWhy) {
  for (const char* text : {"", "reboot", "close now", "setclock", "setclock tomorrow", "setclock 2026-12-10"})
    EXPECT_TRUE(std::holds_alternative<std::string>(ParseAction(text))) << text;
  for (const char* text : {"close", "after-connect close", "after-connect -1 close", "after-frames 2x close",
                           "after-frames 2", "after-frames 2 explode", "before-connect 1 close"})
    EXPECT_TRUE(std::holds_alternative<std::string>(ParseTimedAction(text))) << text;
}

}  // namespace
}  // namespace vorel::p7server
