// What the link thread's work (LinkSession) needs of the link object: the
// send queue it drains, the flags it keeps, and the events on their way
// (the outbox) it settles. The link object `cl` is the one implementation; the session's
// tests drive it through the same interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/bytes.h"
#include "base/datetime.h"

namespace vorel {

// A queued record as the link thread takes it, with the spool file that
// holds it too (empty: it lives in the queue only).
struct QueuedRecord {
  Bytes bytes;
  std::uint64_t sequence = 0;
  std::string spoolFile;
};

class ILinkState {
 public:
  virtual ~ILinkState() = default;

  // The send queue (see cl).
  virtual bool Enqueue(std::int32_t recordType, std::span<const std::uint8_t> payload) = 0;
  virtual bool Peek(QueuedRecord& head) = 0;
  virtual void DropHead() = 0;
  virtual std::size_t QueuedCount() const = 0;
  // The link went down: the records that spool files hold leave the queue.
  virtual void ReleaseSpooled() = 0;
  // For a written record: its request went out whole (Written); its
  // exchange ended with the valid answer `answerType`, or with none
  // (Settle). The outbox decides what becomes of the file that holds it, or
  // of the caller that waits for it; a record it does not know is ignored.
  virtual void Written(const QueuedRecord& head) = 0;
  virtual void Settle(const QueuedRecord& head, std::optional<std::int32_t> answerType, TDateTime now) = 0;
  // A new connection: the next replay may come at once.
  virtual void ConnectionMade(TDateTime now) = 0;

  // The flags. LinkUp: producers queue instead of writing spool files.
  // LinkEnabled: connection attempts are allowed. StopRequested: the link
  // thread ends at its next check.
  virtual bool LinkUp() const = 0;
  // Clearing LinkUp also clears Established.
  virtual void SetLinkUp(bool up) = 0;
  // Established: the server has answered on this connection (the first
  // answer is the handshake's); until then the link is only being tried,
  // though LinkUp is set for the producers.
  virtual bool Established() const = 0;
  virtual void SetEstablished() = 0;
  virtual bool LinkEnabled() const = 0;
  // The server denied access: no further attempts in this run.
  virtual void DisableLink() = 0;
  virtual bool StopRequested() const = 0;
};

}  // namespace vorel
