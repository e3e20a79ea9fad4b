#include "p8_record_text.h"

#include <cstdio>

#include "p7_frame_text.h"
#include "p8/record.h"
#include "p8/record_types.h"

namespace vorel::p8server {
namespace {

using p7server::Escaped;

std::string Time(std::span<const std::uint8_t> payload, std::size_t offset) {
  return "time=\"" + p7server::FormatDateTime(GetLE<double>(payload, offset)) + "\"";
}

}  // namespace

std::optional<std::string> DescribePayload(std::int32_t type, std::span<const std::uint8_t> p) {
  const auto sized = [&](std::size_t n) { return p.size() == n; };
  switch (type) {
    case rtEventMain:
      if (!sized(17)) return std::nullopt;
      return "account=" + std::to_string(GetLE<std::int32_t>(p, 0)) + " code=" + Escaped(GetShortString(p, 4, 4)) +
             " " + Time(p, 9);
    case rtEventSecond:
      if (!sized(14)) return std::nullopt;
      return "account=" + std::to_string(GetLE<std::int32_t>(p, 0)) + " details=" + std::to_string(p[4]) + "," +
             std::to_string(p[5]) + " " + Time(p, 6);
    case rtPortStatus:
      if (!sized(16)) return std::nullopt;
      return "port1=" + Escaped(GetShortString(p, 0, 6)) + " open1=" + std::to_string(p[7]) +
             " port2=" + Escaped(GetShortString(p, 8, 6)) + " open2=" + std::to_string(p[15]);
    case rtFirstNumber:
      if (!sized(1)) return std::nullopt;
      return "value=" + std::to_string(p[0]);
    case rtVersion:
      if (!sized(8)) return std::nullopt;
      return "version=" + std::to_string(GetLE<std::uint16_t>(p, 0)) + "." + std::to_string(GetLE<std::uint16_t>(p, 2)) +
             "." + std::to_string(GetLE<std::uint16_t>(p, 4)) + "." + std::to_string(GetLE<std::uint16_t>(p, 6));
    case rtHello:
      if (!sized(2)) return std::nullopt;
      return "bytes=" + HexBytes(p);
    default:
      if (p.empty()) return std::string();
      return "payload=" + HexBytes(p);
  }
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  const std::size_t shown = std::min<std::size_t>(bytes.size(), 32);
  for (std::size_t i = 0; i < shown; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    if (i > 0) text += ' ';
    text += hex;
  }
  if (shown < bytes.size()) text += " +" + std::to_string(bytes.size() - shown);
  return text;
}

std::string RecordTypeLabel(std::int32_t recordType) {
  char code[16];
  std::snprintf(code, sizeof code, "(0x%08X)", static_cast<std::uint32_t>(recordType));
  const auto name = RecordTypeName(recordType);
  return (name.empty() ? std::string("unknown") : std::string(name)) + code;
}

std::string DescribeRecord(std::span<const std::uint8_t> body) {
  const auto header = ParseRecordHeader(body);
  if (!header) return "bad-record size=" + std::to_string(body.size()) + " bytes=" + HexBytes(body);
  std::string line = "type=" + RecordTypeLabel(header->recordType) + " seq=" + std::to_string(header->sequence);
  const auto record = ParseRecord(body);
  if (!record)
    return line + " bad-length length=" + std::to_string(header->payloadLength) +
           " payload-bytes=" + std::to_string(body.size() - kRecordHeaderSize);
  const auto fields = DescribePayload(header->recordType, record->payload);
  if (!fields) return line + " bad-size=" + std::to_string(record->payload.size()) + " payload=" + HexBytes(record->payload);
  return fields->empty() ? line : line + " " + *fields;
}

void FrameReader::Push(std::span<const std::uint8_t> bytes) {
  if (!broken_) buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<FrameReader::Item> FrameReader::Next() {
  if (broken_ || buffer_.size() < kEnvelopeHeaderSize) return std::nullopt;
  const auto length = ParseEnvelopeHeader(buffer_);
  std::string error;
  if (!length) {
    error = "bad-envelope head=" + HexBytes(std::span(buffer_).first(kEnvelopeHeaderSize));
  } else if (*length < 0 || *length > kMaxBody) {
    error = "bad-length length=" + std::to_string(*length);
  }
  if (!error.empty()) {
    broken_ = true;
    buffer_.clear();
    return Item{{}, error};
  }
  const std::size_t frameSize = kEnvelopeHeaderSize + static_cast<std::size_t>(*length);
  if (buffer_.size() < frameSize) return std::nullopt;
  Item item{Bytes(buffer_.begin() + kEnvelopeHeaderSize, buffer_.begin() + static_cast<std::ptrdiff_t>(frameSize)), {}};
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(frameSize));
  return item;
}

}  // namespace vorel::p8server
