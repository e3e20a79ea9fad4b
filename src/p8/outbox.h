// The .dd8 files on their way to the protocol-8 server, and the one place
// that decides when such a file may go. A live event is written to its file
// before it is queued; a file left from a time without a link is handed over
// by the replay. Either way the file holds the event until the server has
// given the answer that delivers it to the exchange that carried it.
//
// The GUI thread queues (live events) and hands over (the replay); the link
// thread reports what became of each exchange. Every file on its way is
// known here; a file not known here is on disk, and the replay's.
//
// The life of a file:
//   on disk    -- Queue (a live event) -->             queued
//   on disk    -- Ready (handed over by the replay) -->  ready
//   ready      -- Numbered (into the send queue once
//                 it holds nothing else) -->           queued
//   queued     -- Written (the exchange's request) --> in flight
//   in flight  -- an answer that delivers it -->       removed
//   in flight  -- any other answer, or none -->        on disk
//   ready,
//   queued,
//   in flight  -- Released (the link went down) -->    on disk
// Transition() is that table; the class applies it. A repeat at the server
// is possible (an answer lost on its way back); a loss is not.
//
// Replayed files wait as "ready" outside the send queue, so that a live
// event never waits behind a backlog: it is numbered and sent first.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/datetime.h"

namespace vorel {

enum class SpoolOrigin { Live, Replayed };

class Protocol8Outbox {
 public:
  enum class State { Ready, Queued, InFlight };
  enum class Event {
    Numbered,      // taken into the send queue with its sequence number
    Written,       // its request went out whole
    Delivered,     // an answer that delivers it (AnswerDelivers)
    NotDelivered,  // an answer that does not
    Unanswered,    // no valid answer: time-out, garbage, connection lost
    Released,      // the link went down before its exchange ended
  };
  enum class FileAction { Keep, Remove };
  struct Outcome {
    std::optional<State> next;  // nullopt: no longer known here (removed, or on disk)
    FileAction file = FileAction::Keep;
  };
  // The table. An event that does not fit the state (an answer to a record
  // not yet written) changes nothing.
  static Outcome Transition(State state, Event event);

  // Whether the server's answer of type `answerType` delivers the record of
  // type `recordType`. A live event: any valid answer but rtAccessDenied,
  // rtClose and rtDisconnect (a server going away may not have kept it). A
  // replayed one: only the acknowledgement of its own kind (rtEventMainAck,
  // rtEventSecondAck); without it the file goes again at a later replay.
  static bool AnswerDelivers(SpoolOrigin origin, std::int32_t recordType, std::int32_t answerType);

  struct Entry {
    std::string file;
    SpoolOrigin origin = SpoolOrigin::Live;
    std::int32_t recordType = 0;
    State state = State::Queued;
  };
  // A replayed record waiting for the send queue.
  struct ReadyRecord {
    std::string file;
    std::int32_t recordType = 0;
    Bytes payload;
  };

  // The replay: `file` holds the record, which waits for the send queue. It
  // takes its slot (PendingSpoolFileMain / PendingSpoolFileSecond) and the
  // replay time.
  void Ready(ReadyRecord record, TDateTime now);
  // Link thread, with the queue's lock held: the oldest ready record, which
  // the caller numbers and queues at once (then Queue), or nullopt.
  std::optional<ReadyRecord> TakeReady();
  std::size_t ReadyCount() const;
  // With the queue's lock held: the record numbered `sequence` and held by
  // `file` was queued.
  void Queue(std::uint64_t sequence, const std::string& file, SpoolOrigin origin, std::int32_t recordType);
  // The entry of a queued record, if a file holds it.
  std::optional<Entry> Of(std::uint64_t sequence) const;

  // Link thread: what became of the exchange that carried `sequence`.
  void Written(std::uint64_t sequence);
  // answerType: the valid answer, or nullopt for none. A replayed file
  // removed lets the next replay come at once.
  void Settle(std::uint64_t sequence, std::optional<std::int32_t> answerType, TDateTime now);
  // The link went down: every file on its way is on disk again.
  void Release();
  // The same for one record, which left the queue without its exchange.
  void Release(std::uint64_t sequence);
  // A new connection: the next replay may come at once.
  void ConnectionMade(TDateTime now);

  // The replay: whether a file may be handed over now at the replay's pace
  // (more than 3 s after the last one, or at once after an acknowledgement
  // or a new connection), how many replayed files are on their way, and the
  // files it must not hand over because they are on their way already.
  bool ReplayDue(TDateTime now) const;
  std::size_t ReplayedOnTheirWay() const;
  std::set<std::string> FilesOnTheirWay() const;
  bool OnItsWay(const std::string& file) const;

  // The files removed since the last call, for the spool's index.
  std::vector<std::string> TakeRemoved();

  std::string PendingSpoolFileMain() const;
  std::string PendingSpoolFileSecond() const;
  TDateTime LastReplayTime() const;

 private:
  void Apply(std::map<std::uint64_t, Entry>::iterator entry, Event event, TDateTime now);

  mutable std::mutex mutex_;
  std::deque<ReadyRecord> ready_;           // oldest first
  std::map<std::uint64_t, Entry> entries_;  // queued and in flight, by sequence number
  std::vector<std::string> removed_;
  // The replay's slots: the file last replayed of each kind, and when.
  std::string pendingSpoolFileMain_;
  std::string pendingSpoolFileSecond_;
  TDateTime lastReplayTime_ = 0;  // long past
};

}  // namespace vorel
