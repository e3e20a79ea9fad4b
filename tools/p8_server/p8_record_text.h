// How the protocol-8 reference server reads and shows what it receives: a
// push reader that cuts the byte stream into envelope + body frames, and one
// line of key=value fields per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace vorel::p8server {

// "rtPoll(0x02000000)"; a type without a name as "unknown(0x12345678)".
std::string RecordTypeLabel(std::int32_t recordType);

// The payload fields of a record of this type (event account, code or
// details and date-time; port names and open states; first number; dotted
// version; hello bytes; the bytes of a type without fields), or empty when
// there are none; nullopt when the payload does not have the size of its
// type. The spool inspector shows .dd8 files with it.
std::optional<std::string> DescribePayload(std::int32_t recordType, std::span<const std::uint8_t> payload);

// The fields of one received body: "type=... seq=N" and the payload fields of
// that type (event account, code or details and date-time; port names and
// open states; first number; dotted version; hello bytes). A payload of the
// wrong size for its type, a body whose length disagrees with its header and
// a body without the 0xFF/0xFE markers are shown as such, with their bytes.
std::string DescribeRecord(std::span<const std::uint8_t> body);

// Up to 32 bytes as "FF 00 ..", and "+N" for the bytes left out.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// Cuts the stream into frames. An envelope that is neither 0xFF nor 0xF0, or
// a body length below 0 or above kMaxBody, breaks the stream: the reader
// reports it once and takes nothing more (there is no marker to find the next
// frame by).
class FrameReader {
 public:
  static constexpr std::int32_t kMaxBody = 1 << 20;

  struct Item {
    Bytes body;         // one whole body, when error is empty
    std::string error;  // why the stream is broken
  };

  void Push(std::span<const std::uint8_t> bytes);
  std::optional<Item> Next();
  bool Broken() const { return broken_; }
  std::size_t Pending() const { return buffer_.size(); }

 private:
  Bytes buffer_;
  bool broken_ = false;
};

}  // namespace vorel::p8server
