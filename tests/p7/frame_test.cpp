#include "p7/frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace vorel::p7 {
namespace {

// Frame offset -> byte; every byte not listed but the marker and the type must be zero.
using DefinedBytes = std::map<std::size_t, std::uint8_t>;

DefinedBytes At(std::size_t frameOffset, std::vector<std::uint8_t> bytes) {
  DefinedBytes out;
  for (std::size_t i = 0; i < bytes.size(); ++i) out[frameOffset + i] = bytes[i];
  return out;
}

void ExpectFrame(const Frame& frame, std::uint8_t type, const DefinedBytes& defined) {
  EXPECT_EQ(frame[0], 0xFF);
  EXPECT_EQ(frame[1], 0xFF);
  EXPECT_EQ(frame[2], type);
  for (std::size_t i = 3; i < kFrameSize; ++i) {
    const auto it = defined.find(i);
    EXPECT_EQ(frame[i], it == defined.end() ? 0 : it->second) << "frame offset " << i;
  }
}

TEST(P7Frame, EveryTypeSetsMarkerTypeAndItsOwnBytesOnly) {
  const struct {
    const char* name;
    Frame frame;
    std::uint8_t type;
    DefinedBytes defined;
  } cases[] = {
      {"hello", BuildHelloFrame(), 20, At(3, {31})},
      {"port number 12", BuildPortNumberFrame(12), 50, At(3, {12})},
      {"port number 300", BuildPortNumberFrame(300), 50, At(3, {44})},
      {"port number 256", BuildPortNumberFrame(256), 50, {}},
      {"port number 255", BuildPortNumberFrame(255), 0x32, At(3, {0xFF})},
      {"main station lost", BuildStationLostFrame(31), 'H', At(5, {31, 0, 0, 0})},
      {"second station restored", BuildStationRestoredFrame(32), 'I', At(5, {32, 0, 0, 0})},
      {"wide tag, byte order", BuildStationLostFrame(0x01020304), 72, At(5, {4, 3, 2, 1})},
      {"negative tag", BuildStationRestoredFrame(-2), 73, At(5, {0xFE, 0xFF, 0xFF, 0xFF})},
      {"set clock", BuildSetClockFrame(46366.5), 4, At(30, {0, 0, 0, 0, 0xD0, 0xA3, 0xE6, 0x40})},
      {"set clock 1.0", BuildSetClockFrame(1.0), 4, At(30, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F})},
      {"close", BuildCloseFrame(), 17, {}},
      {"any type", BuildFrame(99), 99, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectFrame(c.frame, c.type, c.defined);
  }
}

TEST(P7Frame, TypeCodesKeepTheirValues) {
  EXPECT_EQ(ftSetClock, 4);
  EXPECT_EQ(ftClose, 17);
  EXPECT_EQ(ftHello, 20);
  EXPECT_EQ(ftEvent, 21);
  EXPECT_EQ(ftPortNumber, '2');
  EXPECT_EQ(ftStationLost, 'H');
  EXPECT_EQ(ftStationRestored, 'I');
  EXPECT_EQ(kFrameSize, 555u);
}

TEST(P7Frame, EventFrameCarriesTheWholeRecord) {
  Bytes record(kPayloadSize);
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i * 7 + 1);
  DefinedBytes defined = At(3, record);
  ExpectFrame(BuildEventFrame(record), 21, defined);
}

TEST(P7Frame, EventRecordOfAnyOtherSizeIsRefused) {
  for (std::size_t size : {0u, 551u, 553u, 555u}) {
    const Bytes record(size, 0x55);
    EXPECT_THROW(BuildEventFrame(record), std::invalid_argument) << size;
  }
}

TEST(P7Frame, ComPortNumberFromDeviceName) {
  const struct {
    std::string device;
    std::optional<int> number;
  } cases[] = {
      {"\\\\.\\COM12", 12},
      {"\\\\.\\COM300", 300},
      {"\\\\.\\COM1", 1},
      {"\\\\.\\COM255", 255},
      {"\\\\.\\com7", 7},        // the first seven characters are skipped whatever they are
      {"\\\\.\\COM007", 7},      // decimal, leading zeros allowed
      {"\\\\.\\COM2147483647", 2147483647},
      {"\\\\.\\COM2147483648", std::nullopt},  // beyond a 32-bit integer
      {"\\\\.\\COM", std::nullopt},
      {"\\\\.\\COMX", std::nullopt},
      {"\\\\.\\COM1a", std::nullopt},
      {"\\\\.\\COM-1", std::nullopt},
      {"\\\\.\\COM+1", std::nullopt},
      {"\\\\.\\COM 1", std::nullopt},
      {"\\\\.\\COM1 ", std::nullopt},
      {"\\\\.\\COM0x1F", std::nullopt},
      {"COM12", std::nullopt},  // no prefix: "COM12" has nothing after seven characters
      // Device paths: their trailing digits.
      {"\\\\.\\/dev/ttyUSB0", 0},
      {"\\\\.\\/dev/ttyS12", 12},
      {"\\\\.\\/tmp/com/COM300", 300},
      {"\\\\.\\/dev/ttyUSB", std::nullopt},
      {"\\\\.\\/dev/serial/by-id/usb-FTDI-port0x", std::nullopt},
      {"\\\\.\\/dev/ttyUSB99999999999", std::nullopt},
      {"/dev/ttyUSB0", std::nullopt},  // without the prefix the component never names it
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ComPortNumber(c.device), c.number) << c.device;
}

TEST(P7Frame, DecodeReadsTheFieldsBack) {
  const auto clock = DecodeFrame(BuildSetClockFrame(46366.25));
  ASSERT_TRUE(clock);
  EXPECT_EQ(clock->type, ftSetClock);
  EXPECT_EQ(clock->dateTime, 46366.25);

  const auto lost = DecodeFrame(BuildStationLostFrame(32));
  ASSERT_TRUE(lost);
  EXPECT_EQ(lost->type, ftStationLost);
  EXPECT_EQ(lost->linkPortTag, 32);

  const auto port = DecodeFrame(BuildPortNumberFrame(300));
  ASSERT_TRUE(port);
  EXPECT_EQ(port->type, ftPortNumber);
  EXPECT_EQ(port->firstPayloadByte, 44);
}

TEST(P7Frame, DecodeRefusesWrongSizeOrMarker) {
  const Frame good = BuildHelloFrame();
  EXPECT_TRUE(DecodeFrame(good));
  EXPECT_FALSE(DecodeFrame(std::span(good).first(554)));
  Bytes longer(good.begin(), good.end());
  longer.push_back(0);
  EXPECT_FALSE(DecodeFrame(longer));
  for (std::size_t at : {0u, 1u}) {
    Frame bad = good;
    bad[at] = 0xFE;
    EXPECT_FALSE(DecodeFrame(bad)) << at;
  }
}

}  // namespace
}  // namespace vorel::p7
