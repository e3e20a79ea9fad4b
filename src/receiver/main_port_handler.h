// The main port's packets (CommPortDriver1ReceivePacket): stamps the last-frame
// time, logs the raw bytes to "vorel.log", answers the station (ACK byte, DTR,
// a port restart on request) and turns each frame with four account digits
// into an event record and a 17-byte protocol-8 event payload.
//
// A frame starts with LF and ends with CR; the account stands at positions
// 5..8, the event code at 10..11, "OKAY" at 5..8 is the station's keep-alive,
// and 'Y' at 7 without 'O' at 4 asks for a port restart.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <filesystem>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/scheduler.h"
#include "config/settings.h"
#include "receiver/event_record.h"
#include "receiver/frame_handlers.h"
#include "receiver/station_port.h"
#include "serial/CPDrv.h"

namespace vorel {

class MainPortHandler {
 public:
  // The station waits this long before it talks to a restarted port again.
  static constexpr std::uint32_t kRestartPauseMs = 5000;

  // Everything is borrowed and must outlive the handler. refreshIndicator
  // advances the port-1 activity counter and redraws its indicator; the
  // scheduler ends the pause after a restart frame.
  MainPortHandler(TCommPortDriver& port, StationPortState& station, const Settings& settings, IClock& clock,
                  IScheduler& scheduler, IEventSink& events, std::function<void()> refreshIndicator,
                  std::filesystem::path trafficLog = kMainTrafficLogName);

  // One packet as the port delivered it. A packet that starts with LF and
  // ends with CR may hold several frames back to back (the station sent them
  // within one packet time); each frame ends at a CR followed by LF and is
  // handled and acknowledged in turn. A frame that builds an event is
  // acknowledged only after its outputs have it safe from a crash (sent or
  // spooled); when one could not take it, the station gets no ACK and sends
  // the frame again. An event whose only safe copy will be the protocol-8
  // server's answer is acknowledged when that answer comes, or not at all
  // when it does not come in time; nothing waits for it meanwhile, and the
  // ACKs of the frames after it follow it in order. An error writing the traffic log abandons the rest of
  // the packet and propagates.
  //
  // A restart frame closes the port for 5 s without an ACK. The pause is a
  // state, not a wait: the frames of the packet after it are handled once
  // the port is open again, in their order, so the station hears the same
  // bytes as if the handler had slept. A packet that comes during the pause
  // all the same (a closed port delivers none) waits behind them.
  void ReceivePacket(std::span<const std::uint8_t> packet);
  bool Restarting() const { return restarting_; }

  // Called when a restart frame's reopening of the port failed.
  void SetReopenFailed(std::function<void()> reopenFailed) { reopenFailed_ = std::move(reopenFailed); }
  // Whether the operator still wants the port running: one stopped during a
  // restart's pause stays closed when the pause ends.
  void SetStillWanted(std::function<bool()> stillWanted) { stillWanted_ = std::move(stillWanted); }

  // The payload of the last event built (zero before the first).
  const MainEventPayload& EventPayload() const { return payload_; }
  // Alarm frames (those with an account) since the start, and how many of
  // them the station was sent the ACK for, or was refused it; the rest wait
  // for their decision (a server's answer, or an earlier frame's), so that
  // received = acknowledged + not acknowledged + awaiting, always.
  std::uint64_t AlarmsReceived() const { return alarmsReceived_; }
  std::uint64_t AlarmsAcknowledged() const { return alarmsAcknowledged_; }
  std::uint64_t AlarmsNotAcknowledged() const { return alarmsNotAcknowledged_; }
  std::uint64_t AlarmsAwaitingAck() const {
    return static_cast<std::uint64_t>(std::count_if(acks_.begin(), acks_.end(), [](const AckSlot& s) { return s.alarm; }));
  }
  const FrameBuffer& Buffer() const { return buffer_; }

 private:
  // A packet once the port is open: joined to an unfinished frame, shape
  // test, its frames.
  void HandlePacket(std::vector<std::uint8_t> bytes);
  // The frames of a packet (or of its rest after a restart), the packet
  // already in the frame buffer from position 1.
  void HandleFrames(const std::vector<std::uint8_t>& bytes);
  // One frame, already in the frame buffer from position 1.
  void HandleFrame();
  void BeginRestart();
  void EndRestart();
  // The station's answers, in frame order: each answered frame takes a slot,
  // decided at once or later (a deferred ACK); decided slots at the front go
  // out as ACKs.
  enum class AckState { Waiting, Ack, NoAck };
  struct AckSlot {
    AckState state;
    std::uint64_t packet;
    bool alarm = false;
  };
  std::uint64_t AddAckSlot(AckState state, bool alarm = false);
  void DecideAck(std::uint64_t slot, AckState state);
  void SendDecidedAcks();
  void JoinUnfinishedFrame(std::vector<std::uint8_t>& bytes);

  // Longest unfinished frame kept for the next packet.
  static constexpr std::size_t kMaxUnfinishedFrame = 1024;

  TCommPortDriver& port_;
  StationPortState& station_;
  const Settings& settings_;
  IClock& clock_;
  IScheduler& scheduler_;
  IEventSink& events_;
  std::function<void()> refreshIndicator_;
  std::function<void()> reopenFailed_;
  std::function<bool()> stillWanted_;
  std::filesystem::path trafficLog_;
  FrameBuffer buffer_;
  MainEventPayload payload_{};
  std::vector<std::uint8_t> unfinished_;  // the start of a frame cut by the packet size
  std::deque<AckSlot> acks_;
  std::uint64_t firstAckSlot_ = 0;  // the number of acks_.front()
  std::uint64_t alarmsReceived_ = 0;
  std::uint64_t alarmsAcknowledged_ = 0;
  std::uint64_t alarmsNotAcknowledged_ = 0;
  std::uint64_t packet_ = 0;        // the number of the packet being handled
  // A frame of this packet could not be kept: the station counts ACKs, not
  // frames, so nothing more of the packet is acknowledged (it repeats the
  // rest, a repeat rather than an ACK credited to the wrong frame).
  std::optional<std::uint64_t> withheldPacket_;
  // Between a restart frame and the reopening of the port 5 s later, with
  // the frames of that packet still to be handled then.
  bool restarting_ = false;
  std::vector<std::uint8_t> afterRestart_;
  std::deque<std::vector<std::uint8_t>> heldPackets_;  // packets that came during the pause
};

// The event code of a main-port frame from its characters at positions 10
// and 11: those two when the first is a digit, when the second is 'A'..'F',
// or when the first is 'A'..'F' and the second a digit; "00" otherwise.
std::array<char, 2> MainEventCode(std::uint8_t position10, std::uint8_t position11);

}  // namespace vorel
