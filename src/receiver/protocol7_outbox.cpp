#include "receiver/protocol7_outbox.h"

#include <cstdio>
#include <optional>

namespace vorel {

Protocol7Outbox::Protocol7Outbox(IProtocol7Sender& sender) : sender_(sender) {}

bool Protocol7Outbox::SendWhole(const p7::Frame& frame) {
  std::int32_t sent = -1;
  try {
    sent = sender_.Send(frame);
  } catch (...) {
    // The client has ended the connection and reported it; the frame did not go.
    return false;
  }
  if (sent == static_cast<std::int32_t>(p7::kFrameSize)) return true;
  if (SentInPart(sent)) sender_.Disconnect();
  return false;
}

bool Protocol7Outbox::Send(const std::string& file, const p7::Frame& frame) {
  if (files_.contains(file)) return true;  // on its way already
  if (!SendWhole(frame)) return false;
  inFlight_.push_back({file, sender_.ConnectionNumber(), sender_.BytesSent()});
  files_.insert(file);
  Settle();
  return true;
}

Protocol7Outbox::Unfiled Protocol7Outbox::SendUnfiled(const p7::Frame& frame) {
  if (!SendWhole(frame)) return Unfiled::NotSent;
  const std::uint64_t end = sender_.BytesSent();
  const std::optional<std::uint64_t> acknowledged = AcknowledgedBytes();
  if (!acknowledged || *acknowledged < end) return Unfiled::Sent;
  const std::uint8_t type = frame[p7::kTypeOffset];
  if (type == p7::ftEvent || type == p7::ftStationLost || type == p7::ftStationRestored) ++deliveredUnfiled_;
  return Unfiled::Acknowledged;
}

std::optional<std::uint64_t> Protocol7Outbox::AcknowledgedBytes() {
  if (!sender_.Connected()) return std::nullopt;
  const std::optional<std::uint32_t> unacknowledged = sender_.UnacknowledgedBytes();
  const std::uint64_t sent = sender_.BytesSent();
  if (!unacknowledged || *unacknowledged > sent) return std::nullopt;
  return sent - *unacknowledged;
}

void Protocol7Outbox::Settle() {
  if (inFlight_.empty()) return;
  const bool connected = sender_.Connected();
  const std::uint64_t connection = sender_.ConnectionNumber();
  const std::optional<std::uint64_t> acknowledged = AcknowledgedBytes();
  while (!inFlight_.empty()) {
    const Entry& oldest = inFlight_.front();
    if (connected && oldest.connection == connection) {
      if (!acknowledged || *acknowledged < oldest.end) return;  // the rest were sent after it
      // Gone from our disk only now that the server's kernel holds it. A file
      // that cannot be removed goes again with the replay: a repeat.
      if (std::remove(oldest.file.c_str()) == 0) removed_.push_back(oldest.file);
    }
    // Otherwise its connection has ended: the file stays for the replay.
    files_.erase(oldest.file);
    inFlight_.pop_front();
  }
}

void Protocol7Outbox::ConnectionEnded() {
  inFlight_.clear();
  files_.clear();
}

}  // namespace vorel
