// What the two frame handlers share: where their events go, the frame buffer
// of a port, the raw traffic log and the parts of the event record that do not
// depend on the port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "receiver/event_outputs.h"
#include "receiver/event_record.h"

namespace vorel {

inline constexpr char kMainTrafficLogName[] = "vorel.log";
inline constexpr char kSecondTrafficLogName[] = "vorelu.log";

inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kLF = 0x0A;
inline constexpr std::uint8_t kCR = 0x0D;

// Where a handler delivers an event: the protocol-7 event output and the
// protocol-8 event output, each telling what became of it. The handlers
// decide by SendMivo7 / SendMivo8 whether to call them.
class IEventSink {
 public:
  virtual ~IEventSink() = default;
  // `settled`: see EventOutputs::SendEvent and SendEvent8.
  virtual Delivery SendEvent(const EventRecord& record, AnswerSettled settled) = 0;
  virtual Delivery SendEvent8(PortId port, std::span<const std::uint8_t> payload, AnswerSettled settled) = 0;
};

// The window's outputs as the handlers see them.
class EventOutputsSink final : public IEventSink {
 public:
  explicit EventOutputsSink(EventOutputs& outputs) : outputs_(outputs) {}
  Delivery SendEvent(const EventRecord& record, AnswerSettled settled) override {
    return outputs_.SendEvent(record, std::move(settled));
  }
  Delivery SendEvent8(PortId port, std::span<const std::uint8_t> payload, AnswerSettled settled) override {
    return outputs_.SendEvent8(port, payload, std::move(settled));
  }

 private:
  EventOutputs& outputs_;
};

// The last bytes a port received, read by position (1 = first byte). Each
// frame is copied in from position 1; the positions after it keep what
// earlier packets left there (zero before the first), and a short frame reads
// them as its own. A station frame is at most 50 bytes, but one burst can carry up to PacketSize bytes (several frames), so
// the buffer grows to hold the longest packet instead of being written past.
class FrameBuffer {
 public:
  static constexpr std::size_t kMinSize = 50;

  void Load(std::span<const std::uint8_t> bytes);
  // Positions 1..Size(); anything else raises std::out_of_range.
  std::uint8_t At(std::size_t position) const;
  void Set(std::size_t position, std::uint8_t value);
  bool Holds(std::size_t position, std::string_view text) const;
  bool AllDigits(std::size_t first, std::size_t last) const;
  // The decimal number written at first..last; call after AllDigits.
  std::uint32_t DecimalValue(std::size_t first, std::size_t last) const;
  std::size_t Size() const { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_ = std::vector<std::uint8_t>(kMinSize, 0);
};

// Appends the bytes, exactly as given, to the end of `file` (created when
// missing), opening and closing it for this one write. A file that cannot be
// opened or written raises std::runtime_error; the packet is then abandoned
// and the event loop reports the error.
void AppendTrafficLog(const std::filesystem::path& file, std::span<const std::uint8_t> bytes);

// FirstNumber × 10000 + the four account digits. The account travels in a
// signed 32-bit field, so the sum wraps around as that field does, without
// overflowing a signed type here.
std::int32_t AccountNumber(std::int32_t firstNumber, std::uint32_t digits);

// Sets the bytes that every event record carries whatever the port: kind 3,
// account 0 and bytes 36..39 zero (the start), and the fixed texts "8" and
// "000" with their zero neighbours. The record is expected all zero.
void StartEventRecord(EventRecord& record);
void PutFixedEventBytes(EventRecord& record);

}  // namespace vorel
