#include "receiver/protocol7_outbox.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace vorel {

Protocol7Outbox::Protocol7Outbox(IProtocol7Sender& sender, IScheduler* scheduler)
    : sender_(sender), scheduler_(scheduler) {}

namespace {

bool CountsAsDelivered(const p7::Frame& frame) {
  const std::uint8_t type = frame[p7::kTypeOffset];
  return type == p7::ftEvent || type == p7::ftStationLost || type == p7::ftStationRestored;
}

}  // namespace

bool Protocol7Outbox::FinishRest() {
  if (rest_.empty()) return true;
  if (!sender_.Connected() || sender_.ConnectionNumber() != restConnection_) {
    rest_.clear();  // its connection has ended, and its file is the replay's again
    return true;
  }
  std::int32_t sent = -1;
  try {
    sent = sender_.SendRest(rest_);
  } catch (...) {
    // The client has ended the connection and reported it.
  }
  if (sent < 0) {
    rest_.clear();
    return true;
  }
  if (sent > 0) NoteSent();
  rest_.erase(rest_.begin(), rest_.begin() + std::min<std::ptrdiff_t>(sent, static_cast<std::ptrdiff_t>(rest_.size())));
  return rest_.empty();
}

bool Protocol7Outbox::Offer(const p7::Frame& frame) {
  if (!FinishRest()) return false;  // never inside another frame's bytes
  std::int32_t sent = -1;
  try {
    sent = sender_.Send(frame);
  } catch (...) {
    // The client has ended the connection and reported it; the frame did not go.
    return false;
  }
  if (sent <= 0) return false;
  NoteSent();
  if (sent < static_cast<std::int32_t>(p7::kFrameSize)) {
    rest_.assign(frame.begin() + sent, frame.end());
    restConnection_ = sender_.ConnectionNumber();
  }
  return true;
}

bool Protocol7Outbox::Send(const std::string& file, const p7::Frame& frame) {
  if (files_.contains(file)) return true;  // on its way already
  if (!Offer(frame)) return false;
  inFlight_.push_back({file, sender_.ConnectionNumber(), sender_.BytesSent() + rest_.size()});
  files_.insert(file);
  Settle();
  return true;
}

Protocol7Outbox::Unfiled Protocol7Outbox::SendUnfiled(const p7::Frame& frame) {
  if (!Offer(frame)) return Unfiled::NotSent;
  const std::uint64_t end = sender_.BytesSent() + rest_.size();
  const std::optional<std::uint64_t> acknowledged = AcknowledgedBytes();
  if (!acknowledged || *acknowledged < end) return Unfiled::Sent;
  if (CountsAsDelivered(frame)) ++deliveredUnfiled_;
  return Unfiled::Acknowledged;
}

Protocol7Outbox::Unfiled Protocol7Outbox::SendUnfiledAwaited(const p7::Frame& frame,
                                                             std::function<void(bool)> acknowledged) {
  const Unfiled result = SendUnfiled(frame);
  if (result != Unfiled::Sent || !scheduler_) return result;
  const std::uint64_t id = ++lastAwaited_;
  awaited_.emplace(id, Awaited{sender_.ConnectionNumber(), sender_.BytesSent() + rest_.size(), CountsAsDelivered(frame),
                               std::move(acknowledged)});
  scheduler_->After(kAwaitLimitMs, [this, id] { SettleAwaited(id, false); });
  ScheduleAwaitedCheck();
  return result;
}

void Protocol7Outbox::SettleAwaited(std::uint64_t id, bool acknowledged) {
  const auto it = awaited_.find(id);
  if (it == awaited_.end()) return;  // settled already
  std::function<void(bool)> settled = std::move(it->second.acknowledged);
  if (acknowledged && it->second.counted) ++deliveredUnfiled_;
  awaited_.erase(it);
  if (settled) settled(acknowledged);
}

void Protocol7Outbox::ScheduleAwaitedCheck() {
  if (checkScheduled_ || awaited_.empty() || !scheduler_) return;
  checkScheduled_ = true;
  scheduler_->After(kAwaitCheckMs, [this] {
    checkScheduled_ = false;
    FinishRest();
    CheckAwaited();
    ScheduleAwaitedCheck();
  });
}

void Protocol7Outbox::CheckAwaited() {
  const bool connected = sender_.Connected();
  const std::uint64_t connection = sender_.ConnectionNumber();
  const std::optional<std::uint64_t> acknowledged = AcknowledgedBytes();
  while (!awaited_.empty()) {
    const auto& [id, frame] = *awaited_.begin();
    if (connected && frame.connection == connection) {
      if (!acknowledged || *acknowledged < frame.end) return;  // the rest were sent after it
      SettleAwaited(id, true);
    } else {
      SettleAwaited(id, false);  // its connection has ended
    }
  }
}

std::optional<std::uint64_t> Protocol7Outbox::AcknowledgedBytes() {
  if (!sender_.Connected()) return std::nullopt;
  const std::optional<std::uint32_t> unacknowledged = sender_.UnacknowledgedBytes();
  const std::uint64_t sent = sender_.BytesSent();
  if (!unacknowledged || *unacknowledged > sent) return std::nullopt;
  return sent - *unacknowledged;
}

// The right edge of the server's window (acknowledged + window) moves on as
// its program reads, and also without a read: as its kernel grows the window
// towards its buffer, and as it packs the small segments it holds into less
// memory. A kernel shows a window of a quarter to a half of its buffer, and
// then not all of it at once; so the edge may stand up to four times the
// widest window seen (and a step of the window scale) past what the program
// has certainly read.
void Protocol7Outbox::ReadWindow(std::uint64_t acknowledged) {
  const std::uint64_t connection = sender_.ConnectionNumber();
  if (connection != evidenceConnection_) {
    evidenceConnection_ = connection;
    widestWindow_ = 0;
    readPast_ = 0;
  }
  acknowledged_ = acknowledged;
  const std::optional<TPeerWindow> window = sender_.PeerWindow();
  if (!window) return;  // no evidence but an orderly end
  widestWindow_ = std::max<std::uint64_t>(widestWindow_, window->window);
  const std::uint64_t rightEdge = acknowledged + window->window;
  const std::uint64_t margin = kWindowsInDoubt * widestWindow_ + std::max<std::uint32_t>(window->granule, 1);
  if (rightEdge > margin) readPast_ = std::max(readPast_, std::min(acknowledged, rightEdge - margin));
}

void Protocol7Outbox::Remove(const std::string& file) {
  // A file that cannot be removed goes again with the replay: a repeat.
  if (!spool_) {
    if (std::remove(file.c_str()) == 0) removed_.push_back(file);
    return;
  }
  removed_.push_back(file);
  spool_->Remove(file, [stayed = stayed_, file](bool removed) {
    if (!removed && stayed) stayed(file);
  });
}

void Protocol7Outbox::Settle() {
  FinishRest();
  CheckAwaited();
  if (inFlight_.empty()) return;
  const bool connected = sender_.Connected();
  const std::uint64_t connection = sender_.ConnectionNumber();
  if (connected) {
    if (const std::optional<std::uint64_t> acknowledged = AcknowledgedBytes()) ReadWindow(*acknowledged);
  }
  while (!inFlight_.empty()) {
    const Entry& oldest = inFlight_.front();
    if (connected && oldest.connection == connection) {
      if (connection != evidenceConnection_ || oldest.end > readPast_) return;  // the rest were sent after it
      Remove(oldest.file);
    }
    // Otherwise its connection has ended: the file stays for the replay.
    files_.erase(oldest.file);
    inFlight_.pop_front();
  }
}

std::size_t Protocol7Outbox::FilesUnacknowledged() const {
  std::size_t count = 0;
  for (auto entry = inFlight_.rbegin(); entry != inFlight_.rend(); ++entry) {
    if (entry->connection == evidenceConnection_ && entry->end <= acknowledged_) break;  // and all before it
    ++count;
  }
  return count;
}

void Protocol7Outbox::ConnectionEnded() {
  const std::uint64_t connection = sender_.ConnectionNumber();
  const std::optional<std::uint64_t> acknowledged = sender_.AcknowledgedAtOrderlyEnd();
  // The server closed in order: what its TCP had acknowledged, it has read.
  if (acknowledged) {
    for (const Entry& entry : inFlight_)
      if (entry.connection == connection && entry.end <= *acknowledged) Remove(entry.file);
  }
  if (closingConnection_ == connection && !acknowledged && scheduler_) {
    idleCloseHeldBack_ = true;
    scheduler_->After(kIdleCloseBackoffMs, [this] { idleCloseHeldBack_ = false; });
  }
  closingConnection_ = 0;
  inFlight_.clear();
  files_.clear();
  rest_.clear();
  CheckAwaited();  // none of them made it: their ACKs are refused
}

void Protocol7Outbox::NoteSent() {
  ++sends_;
  ScheduleIdleCheck();
}

void Protocol7Outbox::ScheduleIdleCheck() {
  if (idleCheckScheduled_ || !scheduler_) return;
  idleCheckScheduled_ = true;
  scheduler_->After(kIdleCloseMs, [this, sends = sends_] {
    idleCheckScheduled_ = false;
    CloseIfIdle(sends);
  });
}

void Protocol7Outbox::CloseIfIdle(std::uint64_t sends) {
  if (sends != sends_) {  // not quiet for long enough yet
    ScheduleIdleCheck();
    return;
  }
  Settle();
  if (idleCloseHeldBack_ || !rest_.empty() || !sender_.Connected()) return;
  const std::uint64_t connection = sender_.ConnectionNumber();
  const bool inDoubt =
      std::any_of(inFlight_.begin(), inFlight_.end(), [&](const Entry& e) { return e.connection == connection; });
  if (!inDoubt || closingConnection_ == connection) return;
  closingConnection_ = connection;
  sender_.CloseInOrder();
}

}  // namespace vorel
