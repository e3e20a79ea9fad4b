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

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>

#include "base/clock.h"
#include "config/settings.h"
#include "receiver/event_record.h"
#include "receiver/frame_handlers.h"
#include "receiver/station_port.h"

namespace vorel {

inline constexpr std::size_t kSecondFrameSize = 15;

class SecondPortHandler {
 public:
  // Everything is borrowed and must outlive the handler. refreshIndicator
  // advances the port-2 activity counter and redraws its indicator.
  SecondPortHandler(StationPortState& station, const Settings& settings, IClock& clock, IEventSink& events,
                    std::function<void()> refreshIndicator, std::filesystem::path trafficLog = kSecondTrafficLogName);

  // One packet as the port delivered it: one frame, or several frames back to
  // back when every 15-byte piece is a frame. Anything else is logged and
  // dropped. An error writing the traffic log abandons the packet and
  // propagates.
  void ReceivePacket(std::span<const std::uint8_t> packet);

  // The payload of the last event built (zero before the first).
  const SecondEventPayload& EventPayload() const { return payload_; }
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
  FrameBuffer buffer_;
  SecondEventPayload payload_{};
};

// A character read as one hexadecimal digit: '0'..'9', 'A'..'F', 'a'..'f'
// give 0..15, anything else 0.
std::uint8_t HexDigitValue(std::uint8_t c);

}  // namespace vorel
