#include "receiver/main_port_handler.h"

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"

namespace vorel {

namespace {

// Offsets into the 17-byte protocol-8 event payload of the main port.
constexpr std::size_t kPayloadAccount = 0;
constexpr std::size_t kPayloadCode = 4;  // text, capacity 4
constexpr std::size_t kPayloadReceived = 9;

constexpr std::uint8_t kRestartText[] = {'R', 'e', 's', 't', 'a', 'r', 't', ' ', 'P', 'o', 'r', 't', kCR, kLF};

bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }
bool IsHexLetter(std::uint8_t c) { return c >= 'A' && c <= 'F'; }

}  // namespace

std::array<char, 2> MainEventCode(std::uint8_t position10, std::uint8_t position11) {
  if (IsDigit(position10) || IsHexLetter(position11) || (IsHexLetter(position10) && IsDigit(position11)))
    return {static_cast<char>(position10), static_cast<char>(position11)};
  return {'0', '0'};
}

MainPortHandler::MainPortHandler(TCommPortDriver& port, StationPortState& station, const Settings& settings,
                                 IClock& clock, IScheduler& scheduler, IEventSink& events,
                                 std::function<void()> refreshIndicator, std::filesystem::path trafficLog)
    : port_(port),
      station_(station),
      settings_(settings),
      clock_(clock),
      scheduler_(scheduler),
      events_(events),
      refreshIndicator_(std::move(refreshIndicator)),
      trafficLog_(std::move(trafficLog)) {}

void MainPortHandler::ReceivePacket(std::span<const std::uint8_t> packet) {
  // Any packet is traffic for the link supervision, frame or not.
  station_.lastFrameTime = clock_.Now();
  // Our own copy: the packet points into the port's input buffer, and a
  // restart closes and reopens that port while the packet is being handled.
  std::vector<std::uint8_t> bytes(packet.begin(), packet.end());
  if (settings_.Log) AppendTrafficLog(trafficLog_, bytes);
  // A closed port delivers nothing; should a packet come all the same, it
  // joins what waits for the end of the pause, behind it.
  if (restarting_) {
    heldPackets_.push_back(std::move(bytes));
    return;
  }
  HandlePacket(std::move(bytes));
}

void MainPortHandler::HandlePacket(std::vector<std::uint8_t> bytes) {
  JoinUnfinishedFrame(bytes);
  buffer_.Load(bytes);
  ++packet_;

  if (bytes.empty() || bytes.front() != kLF || bytes.back() != kCR) return;
  HandleFrames(bytes);
}

// Frames that came within one packet time arrive together; each ends at a CR
// that the next frame's LF follows. The first is in the buffer already.
void MainPortHandler::HandleFrames(const std::vector<std::uint8_t>& bytes) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bool last = i + 1 == bytes.size();
    if (bytes[i] != kCR || (!last && bytes[i + 1] != kLF)) continue;
    if (start != 0) buffer_.Load(std::span(bytes).subspan(start, i + 1 - start));
    HandleFrame();
    start = i + 1;
    if (restarting_) {
      // The rest waits for the port to be open again.
      afterRestart_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
      return;
    }
  }
}

// A burst longer than a packet is cut by size, wherever the cut falls: the
// frame it splits would fail the shape test of both packets and be lost. So
// the unfinished frame at the end of a full-size packet waits for the next
// packet, and is joined to it when that one goes on with it (does not start
// with LF); otherwise it was a broken frame and is dropped.
void MainPortHandler::JoinUnfinishedFrame(std::vector<std::uint8_t>& bytes) {
  const std::size_t received = bytes.size();
  if (!unfinished_.empty() && !bytes.empty() && bytes.front() != kLF)
    bytes.insert(bytes.begin(), unfinished_.begin(), unfinished_.end());
  unfinished_.clear();

  const bool cutBySize = port_.PacketSize() > 0 && received == static_cast<std::size_t>(port_.PacketSize());
  if (!cutBySize || bytes.empty() || bytes.front() != kLF || bytes.back() == kCR) return;
  std::size_t lastStart = 0;  // the LF that opens the unfinished frame
  for (std::size_t i = 1; i < bytes.size(); ++i)
    if (bytes[i - 1] == kCR && bytes[i] == kLF) lastStart = i;
  if (bytes.size() - lastStart > kMaxUnfinishedFrame) return;  // not a frame of the station
  unfinished_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(lastStart), bytes.end());
  bytes.resize(lastStart);
}

void MainPortHandler::BeginRestart() {
  if (port_.IsOpen()) port_.Close();
  restarting_ = true;
  scheduler_.After(kRestartPauseMs, [this] { EndRestart(); });
}

void MainPortHandler::EndRestart() {
  restarting_ = false;
  // Taken first: an error writing the log abandons the rest of the packet.
  std::vector<std::uint8_t> rest;
  rest.swap(afterRestart_);
  // Stopped from its panel during the pause: the port stays closed, and the
  // frames after the restart frame go unanswered (the station repeats them).
  if (stillWanted_ && !stillWanted_()) return;
  // A port that does not open again is tried again every 5 s, as one whose
  // device went away.
  if (!port_.Open() && reopenFailed_) reopenFailed_();
  port_.SetDTR(true);
  // Written whatever "Log" says: a restart is always worth a trace.
  AppendTrafficLog(trafficLog_, kRestartText);
  // The end of the restart frame itself: no account, so DTR once more.
  port_.SetDTR(true);
  if (!rest.empty()) {
    buffer_.Load(rest);
    HandleFrames(rest);
  }
  // Packets held during the pause, in their order, until one of them asks
  // for another restart.
  while (!restarting_ && !heldPackets_.empty()) {
    std::vector<std::uint8_t> packet = std::move(heldPackets_.front());
    heldPackets_.pop_front();
    HandlePacket(std::move(packet));
  }
}

void MainPortHandler::HandleFrame() {
  using namespace event_record;
  const bool keepAlive = buffer_.Holds(5, "OKAY");
  const bool restart = buffer_.At(7) == 'Y' && buffer_.At(4) != 'O';
  // A letter A..J as the account's last digit stands for 0..9 (kept in the
  // buffer, which later short frames read).
  const std::uint8_t last = buffer_.At(8);
  if (last >= 'A' && last <= 'J') buffer_.Set(8, static_cast<std::uint8_t>('0' + (last - 'A')));
  if (restart) {
    // No acknowledgement for a restart request, and nothing more of the
    // frame: it never holds an account (position 7 is 'Y').
    BeginRestart();
    return;
  }
  if (refreshIndicator_) refreshIndicator_();
  if (keepAlive) {
    if (settings_.OKAY) AddAckSlot(AckState::Ack);
    return;  // DTR stays as it is
  }

  if (!buffer_.AllDigits(5, 8)) {
    // No event to keep: the station hears at once that the frame came.
    AddAckSlot(AckState::Ack);
    port_.SetDTR(true);
    return;
  }

  EventRecord record{};
  StartEventRecord(record);
  const std::int32_t account = AccountNumber(settings_.FirstNumber, buffer_.DecimalValue(5, 8));
  PutLE<std::int32_t>(record, kAccount, account);
  record[kPortTag] = kMainPortTag;
  const std::array<char, 2> code = MainEventCode(buffer_.At(10), buffer_.At(11));
  const std::string_view codeText(code.data(), code.size());
  PutShortString(record, kEventCode, 4, codeText);
  PutFixedEventBytes(record);
  record[kDetail1] = 0;
  record[kDetail2] = 0;
  record[kText40] = 0;
  record[kText296] = 0;
  PutLE<double>(record, kReceived, clock_.Now());

  MainEventPayload payload{};
  PutLE<std::int32_t>(payload, kPayloadAccount, account);
  PutShortString(payload, kPayloadCode, 4, codeText);
  PutLE<double>(payload, kPayloadReceived, clock_.Now());  // its own reading of the clock
  payload_ = payload;

  port_.SetDTR(true);

  // The station is told "taken" only once every output has the event safe
  // from a crash of the driver. Otherwise it keeps the alarm and sends it
  // again after 5 s; a repeat at a server is better than a loss.
  ++alarmsReceived_;
  const std::uint64_t slot = AddAckSlot(AckState::Waiting, true);
  // Each output that has the event only on its way tells later whether it
  // became safe in time: the ACK goes once every one of them has said yes,
  // and is refused at the first no.
  auto waiting = std::make_shared<int>(0);
  const auto settled = [this, slot, waiting](bool safeNow) {
    if (!safeNow) {
      DecideAck(slot, AckState::NoAck);
    } else if (--*waiting == 0) {
      DecideAck(slot, AckState::Ack);
    }
  };
  bool safe = true;
  const auto take = [&](Delivery d) {
    if (d == Delivery::Awaiting) {
      ++*waiting;
    } else {
      safe = SafeFromCrash(d) && safe;
    }
  };
  if (settings_.SendMivo8) take(events_.SendEvent8(PortId::Main, payload_, settled));
  if (settings_.SendMivo7) take(events_.SendEvent(record, settled));
  // Waiting for an answer: decided when the last comes, unless the frame is
  // lost to the station anyway.
  if (!safe) {
    DecideAck(slot, AckState::NoAck);
  } else if (*waiting == 0) {
    DecideAck(slot, AckState::Ack);
  }
}

std::uint64_t MainPortHandler::AddAckSlot(AckState state, bool alarm) {
  acks_.push_back({state, packet_, alarm});
  const std::uint64_t slot = firstAckSlot_ + acks_.size() - 1;
  SendDecidedAcks();
  return slot;
}

void MainPortHandler::DecideAck(std::uint64_t slot, AckState state) {
  if (slot < firstAckSlot_ || slot - firstAckSlot_ >= acks_.size()) return;  // decided already
  AckSlot& entry = acks_[slot - firstAckSlot_];
  if (entry.state != AckState::Waiting) return;
  entry.state = state;
  SendDecidedAcks();
}

void MainPortHandler::SendDecidedAcks() {
  while (!acks_.empty() && acks_.front().state != AckState::Waiting) {
    const AckSlot slot = acks_.front();
    acks_.pop_front();
    ++firstAckSlot_;
    if (slot.state == AckState::NoAck) withheldPacket_ = slot.packet;
    bool ack = slot.state == AckState::Ack && withheldPacket_ != slot.packet;
    // An ACK the port did not take (closed by a restart or a stop meanwhile)
    // never reached the station, which sends the alarm again.
    if (ack) ack = port_.SendBytes(&kAck, 1) == 1;
    if (slot.alarm) ++(ack ? alarmsAcknowledged_ : alarmsNotAcknowledged_);
  }
}

}  // namespace vorel
