#include "p8/record.h"

#include <algorithm>
#include <stdexcept>

namespace vorel {

Bytes BuildRecord(std::int32_t recordType, std::uint64_t sequence, std::span<const std::uint8_t> payload) {
  if (payload.size() > kMaxRecordPayload) throw std::length_error("protocol-8 record: payload too long");
  Bytes record(kRecordHeaderSize + payload.size());
  record[0] = kRecordStartMarker;
  PutLE<std::int32_t>(record, 1, recordType);
  PutLE<std::int32_t>(record, 5, static_cast<std::int32_t>(payload.size()));
  PutLE<std::uint64_t>(record, kRecordSequenceOffset, sequence);
  record[17] = kRecordEndMarker;
  std::copy(payload.begin(), payload.end(), record.begin() + kRecordHeaderSize);
  return record;
}

Bytes BuildEnvelopeHeader(std::int32_t bodyLength) {
  Bytes header(kEnvelopeHeaderSize, 0);
  header[0] = kEnvelopeMarker;
  PutLE<std::int32_t>(header, 5, bodyLength);
  PutLE<std::int32_t>(header, 17, bodyLength);
  return header;
}

Bytes BuildFrame(std::span<const std::uint8_t> record) {
  if (record.size() > 0x7FFFFFFF) throw std::length_error("protocol-8 frame: record too long");
  Bytes frame = BuildEnvelopeHeader(static_cast<std::int32_t>(record.size()));
  frame.insert(frame.end(), record.begin(), record.end());
  return frame;
}

std::optional<std::int32_t> ParseEnvelopeHeader(std::span<const std::uint8_t> header) {
  if (header.size() < kEnvelopeHeaderSize) return std::nullopt;
  if (header[0] != kEnvelopeMarker && header[0] != kEnvelopeMarkerAlternative) return std::nullopt;
  return GetLE<std::int32_t>(header, 5);
}

std::optional<RecordHeader> ParseRecordHeader(std::span<const std::uint8_t> body) {
  if (body.size() < kRecordHeaderSize) return std::nullopt;
  if (body[0] != kRecordStartMarker || body[17] != kRecordEndMarker) return std::nullopt;
  return RecordHeader{GetLE<std::int32_t>(body, 1), GetLE<std::int32_t>(body, 5),
                      GetLE<std::uint64_t>(body, kRecordSequenceOffset)};
}

std::optional<Record> ParseRecord(std::span<const std::uint8_t> body) {
  const auto header = ParseRecordHeader(body);
  if (!header || header->payloadLength < 0) return std::nullopt;
  if (body.size() - kRecordHeaderSize != static_cast<std::size_t>(header->payloadLength)) return std::nullopt;
  return Record{*header, body.subspan(kRecordHeaderSize)};
}

}  // namespace vorel
