// Protocol-8 records and frames. A record is an 18-byte header and its
// payload; on the wire each record travels behind a 21-byte envelope header.
// Both directions use the same frame: one per request, one per answer.
//
// Record header: 0xFF, type (int32), payload length (int32), sequence number
// (uint64), 0xFE. Envelope header: marker at 0, body length (int32) at 5 and
// again at 17; bytes 1-4 and 9-16 carry nothing and are sent as zeros. All
// numbers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/bytes.h"

namespace vorel {

inline constexpr std::size_t kRecordHeaderSize = 18;
inline constexpr std::size_t kEnvelopeHeaderSize = 21;
inline constexpr std::uint8_t kRecordStartMarker = 0xFF;
inline constexpr std::uint8_t kRecordEndMarker = 0xFE;
inline constexpr std::size_t kRecordSequenceOffset = 9;
// The driver sends 0xFF; a received envelope may also start with 0xF0.
inline constexpr std::uint8_t kEnvelopeMarker = 0xFF;
inline constexpr std::uint8_t kEnvelopeMarkerAlternative = 0xF0;
// The largest payload whose frame body length still fits the int32 field.
inline constexpr std::size_t kMaxRecordPayload = 0x7FFFFFFF - kRecordHeaderSize;

struct RecordHeader {
  std::int32_t recordType = 0;
  std::int32_t payloadLength = 0;
  std::uint64_t sequence = 0;
};

// Header and payload in one buffer. Throws std::length_error for a payload
// above kMaxRecordPayload.
Bytes BuildRecord(std::int32_t recordType, std::uint64_t sequence, std::span<const std::uint8_t> payload);

// The envelope header for a body of bodyLength bytes (marker 0xFF).
Bytes BuildEnvelopeHeader(std::int32_t bodyLength);

// Envelope header followed by the record, ready for one write. Throws
// std::length_error for a record too long for the body length field.
Bytes BuildFrame(std::span<const std::uint8_t> record);

// The body length of a received envelope header, as written (zero and
// negative values included: what they mean is the receiver's business).
// nullopt when fewer than 21 bytes are given or byte 0 is neither 0xFF nor
// 0xF0. Bytes 1-4 and 9-20 are not read.
std::optional<std::int32_t> ParseEnvelopeHeader(std::span<const std::uint8_t> header);

// The header of a received body, as the link judges an answer: at least 18
// bytes, 0xFF at 0 and 0xFE at 17. The payload length field is reported, not
// checked against the body.
std::optional<RecordHeader> ParseRecordHeader(std::span<const std::uint8_t> body);

struct Record {
  RecordHeader header;
  std::span<const std::uint8_t> payload;  // points into the parsed body
};

// A strict reading for peers that want a well-formed record: the header as
// above, a non-negative payload length, and exactly that many bytes after it.
std::optional<Record> ParseRecord(std::span<const std::uint8_t> body);

}  // namespace vorel
