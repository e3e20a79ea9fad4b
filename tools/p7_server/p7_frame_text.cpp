#include "p7_frame_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "base/bytes.h"
#include "receiver/event_record.h"

namespace vorel::p7server {
namespace {

bool ReadNumber(std::string_view text, std::size_t offset, std::size_t width, int& value) {
  if (offset + width > text.size()) return false;
  const char* first = text.data() + offset;
  if (!std::all_of(first, first + width, [](char c) { return c >= '0' && c <= '9'; })) return false;
  std::from_chars(first, first + width, value);
  return true;
}

}  // namespace

// Printable ASCII except blank, quote and backslash as is, the rest as \xHH.
std::string Escaped(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c > 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string FormatDateTime(TDateTime value) {
  const auto fields = DecodeDateTime(value);
  char text[64];
  if (!fields) {
    std::snprintf(text, sizeof text, "invalid(%g)", value);
    return text;
  }
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", fields->year, fields->month, fields->day,
                fields->hour, fields->minute, fields->second, fields->millisecond);
  return text;
}

std::optional<TDateTime> ParseDateTime(std::string_view text) {
  // 0123456789012345678901
  // YYYY-MM-DD HH:MM:SS.mmm
  if (text.size() != 19 && text.size() != 23) return std::nullopt;
  if (text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' || text[16] != ':') return std::nullopt;
  DateTimeFields f;
  f.millisecond = 0;
  if (!ReadNumber(text, 0, 4, f.year) || !ReadNumber(text, 5, 2, f.month) || !ReadNumber(text, 8, 2, f.day) ||
      !ReadNumber(text, 11, 2, f.hour) || !ReadNumber(text, 14, 2, f.minute) || !ReadNumber(text, 17, 2, f.second))
    return std::nullopt;
  if (text.size() == 23 && (text[19] != '.' || !ReadNumber(text, 20, 3, f.millisecond))) return std::nullopt;
  return EncodeDateTime(f);
}

std::string FrameTypeLabel(std::uint8_t type) {
  std::string name;
  switch (type) {
    case p7::ftSetClock: name = "ftSetClock"; break;
    case p7::ftClose: name = "ftClose"; break;
    case p7::ftHello: name = "ftHello"; break;
    case p7::ftEvent: name = "ftEvent"; break;
    case p7::ftPortNumber: name = "ftPortNumber"; break;
    case p7::ftStationLost: name = "ftStationLost"; break;
    case p7::ftStationRestored: name = "ftStationRestored"; break;
    default: name = "unknown"; break;
  }
  return name + "(" + std::to_string(type) + ")";
}

std::string DescribeFrame(std::span<const std::uint8_t> frame) {
  const auto fields = p7::DecodeFrame(frame);
  if (!fields) {
    char head[16] = "";
    if (frame.size() >= 2) std::snprintf(head, sizeof head, "%02X %02X", frame[0], frame[1]);
    return "bad-marker head=" + std::string(head);
  }
  std::string line = "type=" + FrameTypeLabel(fields->type);
  const auto payload = frame.subspan(p7::kPayloadOffset);
  switch (fields->type) {
    case p7::ftEvent: {
      namespace er = event_record;
      const std::uint8_t port = payload[er::kPortTag];
      line += " account=" + std::to_string(GetLE<std::int32_t>(payload, er::kAccount));
      line += " code=" + Escaped(GetShortString(payload, er::kEventCode, 4));
      line += " port=" + std::to_string(port);
      if (port != 31)  // the second port's events carry two detail numbers
        line += " details=" + std::to_string(payload[er::kDetail1]) + "," + std::to_string(payload[er::kDetail2]);
      line += " time=\"" + FormatDateTime(fields->dateTime) + "\"";
      break;
    }
    case p7::ftHello:
      line += " value=" + std::to_string(fields->firstPayloadByte);
      break;
    case p7::ftPortNumber:
      line += " com=" + std::to_string(fields->firstPayloadByte);
      break;
    case p7::ftStationLost:
    case p7::ftStationRestored:
      line += " port=" + std::to_string(fields->linkPortTag);
      break;
    case p7::ftSetClock:
      line += " time=\"" + FormatDateTime(fields->dateTime) + "\"";
      break;
    default:
      break;
  }
  return line;
}

void FrameCutter::Push(std::span<const std::uint8_t> bytes) {
  if (start_ > 0) {  // keep only the unread tail before growing
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<p7::Frame> FrameCutter::Next() {
  if (Pending() < p7::kFrameSize) return std::nullopt;
  p7::Frame frame;
  std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(start_), p7::kFrameSize, frame.begin());
  start_ += p7::kFrameSize;
  return frame;
}

}  // namespace vorel::p7server
