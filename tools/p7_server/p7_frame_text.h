// How the protocol-7 reference server shows what it receives: one line of
// key=value fields per 555-byte frame, and the fixed-width date-time text
// both the output and the command language use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/datetime.h"
#include "p7/frame.h"

namespace vorel::p7server {

// "2026-12-10 12:00:00.000"; a value that is no date-time gives
// "invalid(VALUE)" so that a broken clock field is visible, not hidden.
std::string FormatDateTime(TDateTime value);

// Printable ASCII except blank, quote and backslash as is, the rest as \xHH:
// texts from the wire stay one token on a line.
std::string Escaped(std::string_view text);

// "YYYY-MM-DD HH:MM:SS" with an optional ".mmm"; nullopt for anything else
// or for a date that does not exist.
std::optional<TDateTime> ParseDateTime(std::string_view text);

// "ftEvent(21)"; an unknown code as "unknown(99)".
std::string FrameTypeLabel(std::uint8_t type);

// The fields of one frame after "frame ": type and the payload fields of that
// type. A block without the 0xFF 0xFF marker is shown as
// "bad-marker head=FF FE" (the driver's own reader drops such blocks).
// Texts from the frame are escaped so a line stays one line.
std::string DescribeFrame(std::span<const std::uint8_t> frame);

// Cuts a byte stream into 555-byte blocks. Like the driver's reader it never
// searches for the marker: a stream out of step stays out of step.
class FrameCutter {
 public:
  void Push(std::span<const std::uint8_t> bytes);
  // The next whole block, if any.
  std::optional<p7::Frame> Next();
  std::size_t Pending() const { return buffer_.size() - start_; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;
};

}  // namespace vorel::p7server
