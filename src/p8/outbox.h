// The one owner of every protocol-8 event on its way to the server: a .dd8
// file (a live event written ahead, or one the replay handed over) until the
// server has given the answer that delivers it, and an event whose file
// could not be written ("no file") until its caller has heard whether the
// server answered it in time. One message, one record here, one state.
//
// The GUI thread queues (live events) and hands over (the replay); the link
// thread reports what became of each exchange; the GUI thread's timer ends a
// caller's wait. Every file on its way is known here; a file not known here
// is on disk, and the replay's.
//
// The table (Transition): state x event -> next state + effect. "gone": no
// longer known here (removed, on disk for the replay, or its caller told).
// A pair not listed keeps its state and does nothing (an answer to a record
// not yet written, a wait ended for a record that has a file).
//
//   Ready     -- Numbered (into the send queue once it
//                holds nothing else) ----------------> Queued
//   Ready     -- LinkDown ---------------------------> gone (on disk)
//   Queued    -- Written (its request went out) -----> InFlight
//   Queued    -- LinkDown, Dropped ------------------> gone (on disk)
//   InFlight  -- Delivered --------------------------> Removing   + RemoveFile
//   InFlight  -- NotDelivered, Unanswered, LinkDown,
//                Dropped ----------------------------> gone (on disk)
//   Removing  -- Removed ----------------------------> gone       + FileGone
//   Removing  -- NotRemoved -------------------------> gone (on disk: a repeat)
//   Awaited   -- Written ----------------------------> AwaitedInFlight
//   Awaited   -- BoundPassed ------------------------> Overdue    + TellNotAnswered
//   Awaited   -- Dropped ----------------------------> gone       + TellNotAnswered
//   AwaitedInFlight -- Delivered --------------------> gone       + TellAnswered
//   AwaitedInFlight -- NotDelivered, Unanswered,
//                      LinkDown (it stays queued) ---> Awaited
//   AwaitedInFlight -- BoundPassed ------------------> OverdueInFlight + TellNotAnswered
//   AwaitedInFlight -- Dropped ----------------------> gone       + TellNotAnswered
//   Overdue   -- Written ----------------------------> OverdueInFlight
//   Overdue   -- Dropped ----------------------------> gone
//   OverdueInFlight -- Delivered --------------------> gone       + CountAnswered
//   OverdueInFlight -- NotDelivered, Unanswered,
//                      LinkDown ---------------------> Overdue
//   OverdueInFlight -- Dropped ----------------------> gone
//
// The effects run after the lock is released: a file is removed outside it
// (the GUI thread takes the lock on every tick and must not wait for a
// disk), and is still "on its way" (Removing) meanwhile, so that the replay
// does not send it again. A caller hears its answer on the GUI thread, once.
// A repeat at the server is possible (an answer lost on its way back); a
// loss is not.
//
// Replayed files wait as Ready outside the send queue, so that a live event
// never waits behind a backlog: it is numbered and sent first.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/datetime.h"
#include "base/scheduler.h"
#include "p8/gui_hand_over.h"

namespace vorel {

enum class SpoolOrigin { Live, Replayed };

class Protocol8Outbox {
 public:
  enum class State {
    Ready,            // a replayed file, waiting outside the send queue
    Queued,           // in the send queue; its file holds it
    InFlight,         // its request went out; its file holds it
    Removing,         // delivered: its file is being removed
    Awaited,          // no file: in the send queue; its caller waits
    AwaitedInFlight,  // no file: its request went out; its caller waits
    Overdue,          // no file: in the send queue; its caller heard "not in time"
    OverdueInFlight,  // no file: its request went out; its caller heard "not in time"
  };
  enum class Event {
    Numbered,      // taken into the send queue with its sequence number
    Written,       // its request went out whole
    Delivered,     // an answer that delivers it (AnswerDelivers)
    NotDelivered,  // an answer that does not
    Unanswered,    // no valid answer: time-out, garbage, connection lost
    LinkDown,      // the link went down: a record a file holds leaves the queue
    Dropped,       // it left the send queue without an answer that delivers it
    Removed,       // its file was removed
    NotRemoved,    // its file could not be removed
    BoundPassed,   // its caller's wait (kAnswerBoundMs) ended
  };
  enum class Effect {
    None,
    RemoveFile,       // remove its file (outside the lock), then Removed or NotRemoved
    FileGone,         // the file is gone: the spool's index hears it (TakeRemoved)
    TellAnswered,     // its caller hears "answered in time"; counted delivered
    TellNotAnswered,  // its caller hears "not answered in time"
    CountAnswered,    // answered after its caller heard "not in time": counted delivered
  };
  struct Outcome {
    std::optional<State> next;  // nullopt: gone
    Effect effect = Effect::None;
    friend bool operator==(const Outcome&, const Outcome&) = default;
  };
  static constexpr State kStates[] = {State::Ready,    State::Queued,  State::InFlight, State::Removing,
                                      State::Awaited,  State::AwaitedInFlight,
                                      State::Overdue,  State::OverdueInFlight};
  static constexpr Event kEvents[] = {Event::Numbered,   Event::Written,  Event::Delivered, Event::NotDelivered,
                                      Event::Unanswered, Event::LinkDown, Event::Dropped,   Event::Removed,
                                      Event::NotRemoved, Event::BoundPassed};
  static Outcome Transition(State state, Event event);

  // Whether the server's answer of type `answerType` delivers the record of
  // type `recordType`. A live event: any valid answer but rtAccessDenied,
  // rtClose and rtDisconnect (a server going away may not have kept it). A
  // replayed one: only the acknowledgement of its own kind (rtEventMainAck,
  // rtEventSecondAck); without it the file goes again at a later replay.
  static bool AnswerDelivers(SpoolOrigin origin, std::int32_t recordType, std::int32_t answerType);

  // How long a caller waits for the answer to an event without a file: long
  // enough for one exchange (the answer wait is 1 s), short of the
  // station's 5-s resend.
  static constexpr std::uint32_t kAnswerBoundMs = 1400;
  // Told once, on the GUI thread: whether the server answered in time.
  using AnswerSettled = std::function<void(bool answered)>;

  // What a queued record is to the outbox.
  struct Entry {
    std::string file;  // empty: no file holds it
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

  // Removes a file; true when it is gone. The disk's own by default.
  using FileRemover = std::function<bool(const std::string& file)>;
  explicit Protocol8Outbox(FileRemover removeFile = {});

  // GUI thread, before the first awaited event: where callers hear their
  // answers, and the timers that end their waits. Without it a caller hears
  // on the thread that settled its record, and waits without a bound.
  void AnswerOn(GuiPoster post, IScheduler& scheduler);

  // The replay: `file` holds the record, which waits for the send queue.
  void Ready(ReadyRecord record, TDateTime now);
  // Link thread, with the queue's lock held: the oldest ready record, which
  // the caller numbers and queues at once (then Queue), or nullopt.
  std::optional<ReadyRecord> TakeReady();
  std::size_t ReadyCount() const;
  // With the queue's lock held: the record numbered `sequence` and held by
  // `file` was queued.
  void Queue(std::uint64_t sequence, const std::string& file, SpoolOrigin origin, std::int32_t recordType);
  // With the queue's lock held: the event numbered `sequence`, which no file
  // holds, was queued; `settled` hears once whether the server answered it
  // in time. Then, without the lock, StartBound.
  void QueueAwaited(std::uint64_t sequence, std::int32_t recordType, AnswerSettled settled);
  // GUI thread: the caller's wait for `sequence` starts now.
  void StartBound(std::uint64_t sequence);
  // The entry of a queued record, if it is known here.
  std::optional<Entry> Of(std::uint64_t sequence) const;

  // Link thread: what became of the exchange that carried `sequence`.
  void Written(std::uint64_t sequence);
  // answerType: the valid answer, or nullopt for none. A replayed file
  // removed lets the next replay come at once.
  void Settle(std::uint64_t sequence, std::optional<std::int32_t> answerType, TDateTime now);
  // The link went down: every file on its way is on disk again; an event
  // without a file stays queued for the next connection.
  void LinkDown();
  // The record left the send queue (after its exchange, or without one).
  void Dropped(std::uint64_t sequence);
  // A new connection: the next replay may come at once.
  void ConnectionMade(TDateTime now);

  // The replay: whether a file may be handed over now at the replay's pace
  // (more than 3 s after the last one, or at once after an acknowledgement
  // or a new connection), how many replayed files are on their way, and the
  // files it must not hand over because they are on their way already.
  bool ReplayDue(TDateTime now) const;
  std::size_t ReplayedOnTheirWay() const;
  std::set<std::string> FilesOnTheirWay() const;

  // The files removed since the last call, for the spool's index.
  std::vector<std::string> TakeRemoved();
  // The events without a file that the server answered, since the last call.
  std::uint64_t TakeAnsweredWithoutFile();

 private:
  struct Message {
    Entry entry;
    AnswerSettled settled;  // no file: the caller, until told
  };
  // What is done after the lock is released.
  struct Deferred {
    Effect effect = Effect::None;
    std::uint64_t sequence = 0;
    std::string file;
    AnswerSettled settled;
    GuiPoster post;
  };
  // Everything under one mutex. Shared with the timers that end the
  // callers' waits, which may outlive the link object.
  struct Book {
    mutable std::mutex mutex;
    std::deque<ReadyRecord> ready;             // oldest first
    std::map<std::uint64_t, Message> entries;  // queued and in flight, by sequence number
    std::vector<std::string> removed;
    std::uint64_t answeredWithoutFile = 0;
    GuiPoster post;
    IScheduler* scheduler = nullptr;
    // When the replay last handed a file over.
    TDateTime lastReplayTime = 0;  // long past
  };

  // Under the lock: the event applied to the record of `sequence`, if known.
  static Deferred Apply(Book& book, std::uint64_t sequence, Event event, TDateTime now);
  // Without the lock: the effect carried out.
  void Carry(Deferred deferred, TDateTime now);
  static void Tell(Deferred& deferred, bool answered);
  // The event applied to one record, and its effects carried out.
  void Step(std::uint64_t sequence, Event event, TDateTime now);

  FileRemover removeFile_;
  std::shared_ptr<Book> book_ = std::make_shared<Book>();
};

}  // namespace vorel
