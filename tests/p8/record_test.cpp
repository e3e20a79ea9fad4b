#include "p8/record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "p8/record_types.h"

namespace vorel {
namespace {

TEST(P8Record, HeaderLayout) {
  const Bytes record = BuildRecord(rtEventSecond, 0x0102030405060708, Bytes{0xAA, 0xBB});
  const Bytes want{0xFF, 0x1A, 0x00, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00, 0x08,
                   0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xFE, 0xAA, 0xBB};
  EXPECT_EQ(want, record);
}

TEST(P8Record, PollFrameIs39Bytes) {
  // The idle poll: no payload, sequence 0, body length 18 at 5 and again at 17.
  const Bytes frame = BuildFrame(BuildRecord(rtPoll, 0, {}));
  const Bytes want{0xFF, 0,    0, 0, 0, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0,   0,
                   0,    0xFF, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0xFE};
  EXPECT_EQ(want, frame);
}

TEST(P8Record, FrameCarriesTheRecordUnchanged) {
  const Bytes record = BuildRecord(rtVersion, 7, Bytes{8, 0, 1, 0, 3, 0, 0x8E, 0});
  const Bytes frame = BuildFrame(record);
  ASSERT_EQ(kEnvelopeHeaderSize + 26, frame.size());
  EXPECT_EQ(26, GetLE<std::int32_t>(frame, 5));
  EXPECT_EQ(26, GetLE<std::int32_t>(frame, 17));
  EXPECT_EQ(record, Bytes(frame.begin() + kEnvelopeHeaderSize, frame.end()));
}

TEST(P8Record, ReceivedEnvelopeHeaders) {
  const Bytes sent = BuildEnvelopeHeader(18);
  struct Case {
    const char* what;
    Bytes header;
    std::optional<std::int32_t> bodyLength;
  };
  Bytes f0 = sent;
  f0[0] = 0xF0;
  Bytes badMarker = sent;
  badMarker[0] = 0xFE;
  Bytes secondCopyDiffers = sent;  // only bytes 0 and 5-8 are read
  PutLE<std::int32_t>(secondCopyDiffers, 17, 99);
  secondCopyDiffers[1] = 0x55;
  Bytes negative = sent;
  PutLE<std::int32_t>(negative, 5, -1);
  const Case cases[] = {
      {"as sent", sent, 18},
      {"marker 0xF0", f0, 18},
      {"other marker", badMarker, std::nullopt},
      {"undefined bytes ignored", secondCopyDiffers, 18},
      {"length reported as written", negative, -1},
      {"zero length", BuildEnvelopeHeader(0), 0},
      {"short", Bytes(sent.begin(), sent.end() - 1), std::nullopt},
      {"nothing", Bytes{}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(c.bodyLength, ParseEnvelopeHeader(c.header)) << c.what;
}

TEST(P8Record, ReceivedRecordHeaders) {
  const Bytes record = BuildRecord(rtAccept, 42, Bytes{1, 2, 3});
  const auto header = ParseRecordHeader(record);
  ASSERT_TRUE(header);
  EXPECT_EQ(rtAccept, header->recordType);
  EXPECT_EQ(3, header->payloadLength);
  EXPECT_EQ(42u, header->sequence);

  Bytes badEnd = record;
  badEnd[17] = 0xFD;
  Bytes badStart = record;
  badStart[0] = 0xF0;  // 0xF0 is an envelope marker only
  EXPECT_FALSE(ParseRecordHeader(badEnd));
  EXPECT_FALSE(ParseRecordHeader(badStart));
  EXPECT_FALSE(ParseRecordHeader(Bytes(record.begin(), record.begin() + 17)));
  // The link's check does not hold the length field against the body.
  EXPECT_TRUE(ParseRecordHeader(Bytes(record.begin(), record.begin() + 18)));
}

TEST(P8Record, StrictRecordNeedsExactPayload) {
  const Bytes record = BuildRecord(rtPing, 1, Bytes{9, 8});
  const auto parsed = ParseRecord(record);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(rtPing, parsed->header.recordType);
  EXPECT_EQ(Bytes({9, 8}), Bytes(parsed->payload.begin(), parsed->payload.end()));

  Bytes longer = record;
  longer.push_back(0);
  Bytes negative = record;
  PutLE<std::int32_t>(negative, 5, -2);
  EXPECT_FALSE(ParseRecord(longer));
  EXPECT_FALSE(ParseRecord(Bytes(record.begin(), record.end() - 1)));
  EXPECT_FALSE(ParseRecord(negative));
  EXPECT_TRUE(ParseRecord(BuildRecord(rtPoll, 0, {})));
}

TEST(P8RecordTypes, NamesAndCodes) {
  struct Case {
    std::int32_t code;
    const char* name;
  };
  const Case cases[] = {
      {0x02000000, "rtPoll"},         {0x02000001, "rtHello"},        {0x02000003, "rtAccept"},
      {0x02000004, "rtPing"},         {0x02000005, "rtAccessDenied"}, {0x02FFFFFD, "rtDisconnect"},
      {0x02FFFFFE, "rtClose"},        {0x02FFFFFF, "rtPingReply"},    {0x02200063, "rtVersion"},
      {0x02200064, "rtPortStatus"},   {0x02200065, "rtFirstNumber"},  {0x03000018, "rtEventMain"},
      {0x03000019, "rtEventMainAck"}, {0x0300001A, "rtEventSecond"},  {0x0300001B, "rtEventSecondAck"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.name, RecordTypeName(c.code));
    EXPECT_EQ(c.code, RecordTypeByName(c.name));
  }
  EXPECT_EQ("", RecordTypeName(0x02000002));
  EXPECT_EQ(std::nullopt, RecordTypeByName("rtpoll"));
}

}  // namespace
}  // namespace vorel
