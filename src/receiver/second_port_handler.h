// The second port's packets (CommPortDriver2ReceivePacket): stamps the
// last-frame time, logs the raw bytes to "vorelu.log" and turns each 15-byte
// frame with four account digits into an event record and a 14-byte
// protocol-8 event payload. The station on this port is never answered: no
// acknowledgement, no DTR, no restart.
//
// A frame is 15 bytes with LF at position 14 and CR at 15; the account stands
// at positions 4..7 and the two detail numbers, one hexadecimal digit each, at
// 9 and 10.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <vector>

#include "base/clock.h"
#include "config/settings.h"
#include "receiver/event_record.h"
#include "receiver/frame_handlers.h"
#include "receiver/station_port.h"

namespace vorel {

inline constexpr std::size_t kSecondFrameSize = 15;

using SecondFrame = std::array<std::uint8_t, kSecondFrameSize>;

// Finds the second port's frames in its byte stream, whatever the packet cut.
// The station sends frames back to back while it has alarms, and the port
// cuts that stream every 256 bytes (or after 200 ms), so a packet starts and
// ends anywhere inside a frame. A frame is any 15 bytes that end in LF CR and
// start after the previous frame: bytes before it that make no frame (the
// tail of a frame cut off before the port was opened, line noise) are
// skipped. The earliest such 15 bytes are taken; a stray LF CR in the noise
// cannot reach into a following frame, since that would need LF CR inside
// the frame or a frame that starts with CR.
// Only the last 14 bytes of an unfinished frame are kept between packets.
class SecondFrameParser {
 public:
  static constexpr std::size_t kMaxPending = kSecondFrameSize - 1;

  // The next bytes of the stream; the frames they complete, in order.
  std::vector<SecondFrame> Push(std::span<const std::uint8_t> bytes);
  // Bytes held back as the start of a frame still to come.
  std::size_t Pending() const { return pending_.size(); }

 private:
  std::vector<std::uint8_t> pending_;
};

class SecondPortHandler {
 public:
  // Everything is borrowed and must outlive the handler. refreshIndicator
  // advances the port-2 activity counter and redraws its indicator.
  SecondPortHandler(StationPortState& station, const Settings& settings, IClock& clock, IEventSink& events,
                    std::function<void()> refreshIndicator, std::filesystem::path trafficLog = kSecondTrafficLogName);

  // One packet as the port delivered it, a piece of the station's stream:
  // every frame it completes is handled in turn, a frame it leaves unfinished
  // waits for the next packet. A packet with a frame and something more (16
  // bytes: a frame and the first byte of the next) is not dropped: a frame
  // found in the stream is a frame. An error writing the traffic log abandons
  // the packet, which then never reaches the stream, and propagates.
  void ReceivePacket(std::span<const std::uint8_t> packet);

  // The payload of the last event built (zero before the first).
  const SecondEventPayload& EventPayload() const { return payload_; }
  // Events built since the start.
  std::uint64_t AlarmsReceived() const { return alarmsReceived_; }
  const FrameBuffer& Buffer() const { return buffer_; }

 private:
  // One frame, already in the frame buffer from position 1.
  void HandleFrame();

  StationPortState& station_;
  const Settings& settings_;
  IClock& clock_;
  IEventSink& events_;
  std::function<void()> refreshIndicator_;
  std::filesystem::path trafficLog_;
  std::uint64_t alarmsReceived_ = 0;
  FrameBuffer buffer_;
  SecondFrameParser stream_;
  SecondEventPayload payload_{};
};

// A character read as one hexadecimal digit: '0'..'9', 'A'..'F', 'a'..'f'
// give 0..15, anything else 0.
std::uint8_t HexDigitValue(std::uint8_t c);

}  // namespace vorel
