#include "p7/frame.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>

#include "base/bytes.h"

namespace vorel::p7 {
namespace {

// Characters in front of the number: "\\.\" and "COM".
constexpr std::size_t kComNumberStart = 7;
constexpr std::string_view kDevicePrefix = "\\\\.\\";

Frame BuildStationLinkFrame(std::uint8_t type, std::int32_t portTag) {
  Frame frame = BuildFrame(type);
  PutLE<std::int32_t>(frame, kPayloadOffset + kLinkPortTagOffset, portTag);
  return frame;
}

}  // namespace

Frame BuildFrame(std::uint8_t type) {
  Frame frame{};
  frame[0] = kMarkerByte;
  frame[1] = kMarkerByte;
  frame[kTypeOffset] = type;
  return frame;
}

Frame BuildHelloFrame() {
  Frame frame = BuildFrame(ftHello);
  frame[kPayloadOffset] = kHelloValue;
  return frame;
}

Frame BuildEventFrame(std::span<const std::uint8_t> eventRecord) {
  if (eventRecord.size() != kPayloadSize)
    throw std::invalid_argument("event record of " + std::to_string(eventRecord.size()) +
                                " bytes; a frame carries exactly " + std::to_string(kPayloadSize));
  Frame frame = BuildFrame(ftEvent);
  std::copy(eventRecord.begin(), eventRecord.end(), frame.begin() + kPayloadOffset);
  return frame;
}

Frame BuildPortNumberFrame(int comNumber) {
  Frame frame = BuildFrame(ftPortNumber);
  frame[kPayloadOffset] = static_cast<std::uint8_t>(comNumber & 0xFF);
  return frame;
}

Frame BuildStationLostFrame(std::int32_t portTag) { return BuildStationLinkFrame(ftStationLost, portTag); }

Frame BuildStationRestoredFrame(std::int32_t portTag) {
  return BuildStationLinkFrame(ftStationRestored, portTag);
}

Frame BuildSetClockFrame(TDateTime localDateTime) {
  Frame frame = BuildFrame(ftSetClock);
  PutLE<double>(frame, kPayloadOffset + kDateTimeOffset, localDateTime);
  return frame;
}

Frame BuildCloseFrame() { return BuildFrame(ftClose); }

namespace {

// A decimal text of digits only, no sign, that fits a 32-bit integer.
std::optional<int> DecimalNumber(std::string_view digits) {
  // from_chars alone would take a leading '-' and stop at the first stray
  // character; the whole text must be digits.
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  int number = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return number;
}

}  // namespace

std::optional<int> ComPortNumber(std::string_view deviceName) {
  if (deviceName.size() <= kComNumberStart) return std::nullopt;
  if (std::optional<int> number = DecimalNumber(deviceName.substr(kComNumberStart))) return number;
  // A device path (/dev/ttyUSB0) has no COM letters: its trailing digits
  // number it, as the system numbers its serial devices.
  std::string_view name = deviceName.substr(kDevicePrefix.size());
  if (deviceName.substr(0, kDevicePrefix.size()) != kDevicePrefix || name.empty() || name.front() != '/')
    return std::nullopt;
  const std::size_t lastNonDigit = name.find_last_not_of("0123456789");
  return DecimalNumber(name.substr(lastNonDigit + 1));
}

std::optional<FrameFields> DecodeFrame(std::span<const std::uint8_t> frame) {
  if (frame.size() != kFrameSize || frame[0] != kMarkerByte || frame[1] != kMarkerByte)
    return std::nullopt;
  FrameFields fields;
  fields.type = frame[kTypeOffset];
  fields.firstPayloadByte = frame[kPayloadOffset];
  fields.linkPortTag = GetLE<std::int32_t>(frame, kPayloadOffset + kLinkPortTagOffset);
  fields.dateTime = GetLE<double>(frame, kPayloadOffset + kDateTimeOffset);
  return fields;
}

}  // namespace vorel::p7
