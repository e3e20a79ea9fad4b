// The protocol-8 server's record lines, stream reader and answer policies,
// fed with records built by the driver's own codec.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/datetime.h"
#include "p8/payloads.h"
#include "p8/record.h"
#include "p8/record_types.h"
#include "p8_policy.h"
#include "p8_record_text.h"

namespace vorel::p8server {
namespace {

const TDateTime kNoon = *EncodeDateTime(DateTimeFields{2026, 12, 10, 12, 0, 0, 0, 0});

Bytes MainEvent(std::int32_t account, std::string_view code) {
  Bytes p(17, 0);
  PutLE<std::int32_t>(p, 0, account);
  PutShortString(p, 4, 4, code);
  PutLE<double>(p, 9, kNoon);
  return p;
}

Bytes SecondEvent(std::int32_t account, std::uint8_t d1, std::uint8_t d2) {
  Bytes p(14, 0);
  PutLE<std::int32_t>(p, 0, account);
  p[4] = d1;
  p[5] = d2;
  PutLE<double>(p, 6, kNoon);
  return p;
}

TEST(P8RecordTextTest, EachRecordTypeShowsItsFields) {
  const struct {
    std::int32_t type;
    Bytes payload;
    std::string line;
  } cases[] = {
      {rtEventMain, MainEvent(310011, "E1"),
       "type=rtEventMain(0x03000018) seq=7 account=310011 code=E1 time=\"2026-12-10 12:00:00.000\""},
      {rtEventSecond, SecondEvent(-2, 10, 15),
       "type=rtEventSecond(0x0300001A) seq=7 account=-2 details=10,15 time=\"2026-12-10 12:00:00.000\""},
      {rtPortStatus, PortStatusPayload({"COM1", true}, {"COM12", false}),
       "type=rtPortStatus(0x02200064) seq=7 port1=COM1 open1=1 port2=COM12 open2=0"},
      {rtFirstNumber, FirstNumberPayload(31), "type=rtFirstNumber(0x02200065) seq=7 value=31"},
      {rtVersion, VersionPayload("8.1.3.142"), "type=rtVersion(0x02200063) seq=7 version=8.1.3.142"},
      {rtHello, HelloPayload(), "type=rtHello(0x02000001) seq=7 bytes=13 00"},
      {rtPoll, {}, "type=rtPoll(0x02000000) seq=7"},
      {rtPingReply, {}, "type=rtPingReply(0x02FFFFFF) seq=7"},
      {0x12345678, {1, 2}, "type=unknown(0x12345678) seq=7 payload=01 02"},
      // A known type with a payload of the wrong size shows its bytes, not fields read past the end.
      {rtEventMain, {1, 2, 3}, "type=rtEventMain(0x03000018) seq=7 bad-size=3 payload=01 02 03"},
  };
  for (const auto& c : cases) EXPECT_EQ(DescribeRecord(BuildRecord(c.type, 7, c.payload)), c.line);
  // A long payload is cut at 32 bytes and the rest counted.
  EXPECT_EQ(DescribeRecord(BuildRecord(rtVersion, 7, Bytes(40, 0xAA))),
            "type=rtVersion(0x02200063) seq=7 bad-size=40 payload=" + HexBytes(Bytes(32, 0xAA)) + " +8");
}

TEST(P8RecordTextTest, BrokenBodiesAreShownAsSuch) {
  Bytes noEnd = BuildRecord(rtPoll, 1, {});
  noEnd[17] = 0;
  EXPECT_EQ(DescribeRecord(noEnd), "bad-record size=18 bytes=" + HexBytes(noEnd));
  EXPECT_EQ(DescribeRecord({}), "bad-record size=0 bytes=");
  Bytes lying = BuildRecord(rtEventMain, 2, MainEvent(1, "E1"));
  lying.resize(lying.size() - 5);  // header says 17, only 12 came
  EXPECT_EQ(DescribeRecord(lying), "type=rtEventMain(0x03000018) seq=2 bad-length length=17 payload-bytes=12");
}

TEST(P8FrameReaderTest, CutsFramesHowEverTheBytesArrive) {
  const Bytes records[] = {BuildRecord(rtHello, 0, HelloPayload()), BuildRecord(rtPoll, 0, {}),
                           BuildRecord(rtEventMain, 9, MainEvent(5, "A1"))};
  Bytes stream;
  for (const auto& r : records) {
    const Bytes frame = BuildFrame(r);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  stream.resize(stream.size() + 10, 0xFF);  // the start of a fourth envelope
  std::mt19937 random(3);
  for (int chunking : {0, 1, 2}) {
    FrameReader reader;
    std::vector<Bytes> bodies;
    for (std::size_t at = 0; at < stream.size();) {
      std::size_t n = chunking == 0 ? stream.size() : chunking == 1 ? 1 : 1 + random() % 50;
      n = std::min(n, stream.size() - at);
      reader.Push(std::span(stream).subspan(at, n));
      at += n;
      while (auto item = reader.Next()) {
        ASSERT_EQ(item->error, "");
        bodies.push_back(item->body);
      }
    }
    ASSERT_EQ(bodies.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bodies[i], records[i]);
    EXPECT_EQ(reader.Pending(), 10u);
  }
}

TEST(P8FrameReaderTest, BrokenEnvelopesStopTheStreamOnce) {
  Bytes f0 = BuildFrame(BuildRecord(rtPoll, 0, {}));
  f0[0] = 0xF0;
  Bytes bad = f0;
  bad[0] = 0x00;
  const struct {
    Bytes frame;
    std::string error;  // "" = accepted
  } cases[] = {
      {f0, ""},
      {bad, "bad-envelope head=" + HexBytes(std::span(bad).first(21))},
      {BuildEnvelopeHeader(-1), "bad-length length=-1"},
      {BuildEnvelopeHeader(FrameReader::kMaxBody + 1), "bad-length length=1048577"},
  };
  for (const auto& c : cases) {
    FrameReader reader;
    reader.Push(c.frame);
    const auto item = reader.Next();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->error, c.error);
    reader.Push(BuildFrame(BuildRecord(rtPoll, 0, {})));
    EXPECT_EQ(reader.Next().has_value(), c.error.empty()) << "a broken stream yields nothing more";
  }
}

TEST(P8PolicyTest, NamesAndCounts) {
  EXPECT_EQ(PolicyName(*ParsePolicy("accept")), "accept");
  EXPECT_EQ(PolicyName(*ParsePolicy("ping")), "ping:3");
  EXPECT_EQ(PolicyName(*ParsePolicy("drop:2")), "drop:2");
  EXPECT_EQ(ParsePolicy("garbage")->kind, PolicyKind::Garbage);
  for (const char* bad : {"", "Accept", "accept:1", "drop:", "drop:0", "drop:-1", "ping:x", "explode"})
    EXPECT_FALSE(ParsePolicy(bad)) << bad;
}

Bytes Joined(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

std::int32_t AnswerType(const Reply& reply) {
  EXPECT_EQ(reply.what, Reply::What::Send);
  EXPECT_EQ(ParseEnvelopeHeader(reply.bytes), static_cast<std::int32_t>(reply.bytes.size() - kEnvelopeHeaderSize));
  const auto record = ParseRecord(std::span(reply.bytes).subspan(kEnvelopeHeaderSize));
  return record ? record->header.recordType : 0;
}

TEST(P8PolicyTest, AnswersByPolicyAndRequest) {
  std::mt19937 random(1);
  const struct {
    const char* policy;
    std::optional<std::int32_t> request;
    std::uint64_t number;
    std::int32_t answer;
  } cases[] = {
      {"accept", rtHello, 1, rtAccept},           {"accept", rtEventMain, 2, rtEventMainAck},
      {"accept", rtEventSecond, 2, rtEventSecondAck}, {"accept", rtVersion, 4, rtPoll},
      {"accept", std::nullopt, 4, rtPoll},        {"ping", rtPoll, 2, rtPoll},
      {"ping", rtPoll, 3, rtPing},                {"ping", rtEventMain, 3, rtEventMainAck},
      {"disconnect", rtHello, 1, rtDisconnect},   {"close", rtPoll, 9, rtClose},
      {"deny", rtHello, 1, rtAccessDenied},       {"drop:2", rtHello, 1, rtAccept},
      {"drop:2", rtPoll, 2, rtPoll},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AnswerType(ReplyFor(*ParsePolicy(c.policy), c.request, 4, c.number, random)), c.answer)
        << c.policy << " " << c.number;
  EXPECT_EQ(ReplyFor(*ParsePolicy("silent"), rtHello, 0, 1, random).what, Reply::What::Nothing);
  EXPECT_EQ(ReplyFor(*ParsePolicy("drop:2"), rtPoll, 0, 3, random).what, Reply::What::CloseConnection);
}

// The one-time misbehaviours: what each request gets, stage by stage, and
// whether the server kept the record.
TEST(P8PolicyTest, TwiceAndShedMisbehaveOnceOnEventsOnly) {
  std::mt19937 random(1);
  Policy twice = *ParsePolicy("twice");
  const Reply poll = ReplyFor(twice, rtPoll, 0, 1, random);
  EXPECT_EQ(AnswerType(poll), rtPoll);
  EXPECT_FALSE(poll.nextStage || poll.spent);
  const Reply doubled = ReplyFor(twice, rtEventMain, 5, 2, random);
  ASSERT_EQ(doubled.what, Reply::What::Send);
  const Bytes one = AnswerFrame(rtEventMainAck, 5);
  EXPECT_EQ(doubled.bytes, Joined(one, one)) << "both answers in one write";
  EXPECT_TRUE(doubled.keeps && doubled.nextStage && !doubled.spent);
  twice.stage = 1;
  const Reply lost = ReplyFor(twice, rtEventSecond, 6, 3, random);
  EXPECT_EQ(lost.what, Reply::What::Nothing);
  EXPECT_FALSE(lost.keeps);
  EXPECT_TRUE(lost.spent);

  const Policy shed = *ParsePolicy("shed");
  EXPECT_EQ(AnswerType(ReplyFor(shed, rtHello, 0, 1, random)), rtAccept);
  const Reply shedding = ReplyFor(shed, rtEventMain, 7, 2, random);
  EXPECT_EQ(AnswerType(shedding), rtDisconnect);
  EXPECT_FALSE(shedding.keeps);
  EXPECT_TRUE(shedding.spent);
}

TEST(P8PolicyTest, AnswerFrameIsTheDriversLayout) {
  const Bytes frame = AnswerFrame(rtAccept, 0x0102030405060708);
  ASSERT_EQ(frame.size(), 39u);
  EXPECT_EQ(frame[0], 0xFF);
  EXPECT_EQ(GetLE<std::int32_t>(frame, 5), 18);
  EXPECT_EQ(GetLE<std::int32_t>(frame, 17), 18);
  EXPECT_EQ(frame[21], 0xFF);
  EXPECT_EQ(GetLE<std::int32_t>(frame, 22), rtAccept);
  EXPECT_EQ(GetLE<std::uint64_t>(frame, 30), 0x0102030405060708u);
  EXPECT_EQ(frame[38], 0xFE);
}

TEST(P8PolicyTest, GarbageBreaksTheDriversChecksInTurn) {
  std::mt19937 random(1);
  const Policy garbage = *ParsePolicy("garbage");
  std::vector<std::string> kinds;
  for (std::uint64_t n = 1; n <= 7; ++n) {
    const Reply reply = ReplyFor(garbage, rtPoll, 0, n, random);
    ASSERT_EQ(reply.what, Reply::What::Send);
    kinds.push_back(reply.text);
    const auto length = ParseEnvelopeHeader(reply.bytes);
    if (reply.text == "garbage=random") {
      EXPECT_FALSE(length);
    }
    if (reply.text == "garbage=envelope-f0") {
      EXPECT_EQ(reply.bytes[0], 0xF0);
      EXPECT_TRUE(ParseRecord(std::span(reply.bytes).subspan(21)));
    }
    if (reply.text == "garbage=no-end-marker") {
      EXPECT_FALSE(ParseRecordHeader(std::span(reply.bytes).subspan(21)));
    }
    if (reply.text == "garbage=huge-length") {
      EXPECT_EQ(length, 0x7FFFFFFF);
    }
    if (reply.text == "garbage=negative-length") {
      EXPECT_EQ(length, -1);
    }
    if (reply.text == "garbage=empty-body") {
      EXPECT_EQ(length, 0);
    }
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"garbage=random", "garbage=envelope-f0", "garbage=no-end-marker",
                                             "garbage=huge-length", "garbage=negative-length", "garbage=empty-body",
                                             "garbage=random"}));
}

}  // namespace
}  // namespace vorel::p8server
