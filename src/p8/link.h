// The protocol-8 link object. It exists only while protocol 8 is switched on
// and lives until the program ends. It owns the send queue and the sequence
// counter, which the GUI thread (events, port status, spool replay) and the
// link thread (handshake, ping replies) fill through Enqueue, and which the
// link thread alone drains with Peek and DropHead, one record per exchange.
// The link thread (link_session.h does its work) starts with Start and ends
// after RequestStop at the end of its current pass.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <vector>
#include <memory>
#include <span>
#include <thread>

#include "base/bytes.h"
#include "p8/link_session.h"
#include "p8/send_queue.h"
#include "p8/spool_replay.h"
#include "p8/spool_slots.h"

namespace vorel {

class cl {
 public:
  cl() = default;
  // Requests the stop and waits for the current pass to end (up to the
  // connect time-out plus the answer wait). The link thread never waits on
  // the GUI thread once the window has closed its hand-over, so this cannot
  // deadlock.
  ~cl();
  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  // Numbers the record with the counter's current value, adds 1 to the
  // counter, and queues the record - all under the queue mutex, so numbers
  // follow queue order. A full queue refuses the record without notice, yet
  // its number is used up. Returns whether the queue took it: callers that
  // must not lose the record (an event) keep it elsewhere when it did not.
  // A payload too long for the length field throws std::length_error and
  // takes no number.
  bool Enqueue(std::int32_t recordType, std::span<const std::uint8_t> payload);
  // The same for a record replayed from a spool file, which stays on disk
  // until acknowledged: it is not taken back at shutdown (TakeUnsentEvents).
  bool EnqueueReplayed(std::int32_t recordType, std::span<const std::uint8_t> payload);

  // Link thread only. A copy of the head record, which stays queued; false
  // when the queue is empty.
  bool Peek(Bytes& record);
  // Link thread only. Releases the head record; nothing when empty.
  void DropHead();

  std::size_t QueuedCount() const;

  // Starts the link thread; the first connection attempt follows at once.
  // Only the hand-over is required: a missing clock, connection factory,
  // configuration file or version source means the system's clock, plain
  // TCP, "vorel.ini" of the current directory and the executable's own
  // version. Throws std::logic_error when the thread was started already.
  void Start(LinkEnvironment environment);
  // Clears LinkEnabled and sets StopRequested; does not wait.
  void RequestStop();
  // Waits for the link thread to end (after RequestStop: at most one pass,
  // the connect time-out plus the answer wait).
  void Join();
  // After Join: removes every queued record and returns the event records
  // (rtEventMain, rtEventSecond) that were queued live and never sent, so
  // that closing the program loses none of them.
  std::vector<Bytes> TakeUnsentEvents();

  // The replayed spool files and the replay time, shared by the replay step
  // and the acknowledgements.
  SpoolSlots& Spool() { return spool_; }

  // GUI thread, the first step of every Timer2 tick (see SpoolReplay8).
  void ReplaySpool(const std::string& pathForSoob, TDateTime now,
                   const std::function<void(const std::string&)>& addLogLine) {
    replay_.Step(*this, pathForSoob, now, addLogLine);
  }
  // The same, from the tick's shared reading of the spool directory.
  void ReplaySpool(SpoolListing& listing, TDateTime now, const std::function<void(const std::string&)>& addLogLine) {
    replay_.Step(*this, listing, now, addLogLine);
  }

  // True while the link counts as up: producers then queue instead of
  // writing spool files. Written by the link thread.
  std::atomic<bool> LinkUp{false};
  // Connection attempts are allowed; cleared at shutdown and when the server
  // denies access.
  std::atomic<bool> LinkEnabled{true};
  // The link thread ends at its next check.
  std::atomic<bool> StopRequested{false};

 private:
  mutable std::mutex queueMutex_;  // held only while a record is copied in or out
  // Wakes the resting link thread when a record is queued or a stop asked.
  std::condition_variable wake_;
  bool woken_ = false;  // under queueMutex_
  SendQueue queue_;
  std::uint64_t sequenceCounter_ = 0;  // never reset, across reconnections too
  std::set<std::uint64_t> replayed_;    // sequence numbers of queued replayed records
  SpoolSlots spool_;
  SpoolReplay8 replay_;  // GUI thread only

  bool Push(std::int32_t recordType, std::span<const std::uint8_t> payload, bool replayed);
  void Execute();
  // Between passes: 1 ms, or longer while nothing can be due, cut short by
  // a record queued or a stop requested.
  void Rest(std::uint32_t quietMs);
  std::unique_ptr<LinkSession> session_;  // used by the link thread only
  IClock* clock_ = nullptr;
  std::thread thread_;
};

}  // namespace vorel
