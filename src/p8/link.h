// The protocol-8 link object. It exists only while protocol 8 is switched on
// and lives until the program ends. It owns the send queue and the sequence
// counter, which the GUI thread (live events, port status) and the link
// thread (handshake, ping replies) fill, and which the link thread alone
// drains with Peek and DropHead, one record per exchange. Records the replay
// read from spool files wait in the outbox and are numbered into the queue
// only when it holds nothing else, so that live events go first. The link
// thread (link_session.h does its work) starts with Start and ends after
// RequestStop at the end of its current pass.
//
// An event record may also be held by a .dd8 spool file: a live event is
// written to its file before it is queued (so that a crash cannot take it),
// and a replayed one comes from its file. Such a record lives in the queue
// only while a connection is up or being made (ReleaseSpooled takes it out
// when the link goes down); the outbox (outbox.h) keeps its file until the
// server has answered the exchange that carried it.
//
// LinkUp is set from the start of each connection attempt, so that live
// events are queued meanwhile; the window's indicator shows it. Established
// follows once the server has answered on the connection: the status file,
// the metrics and the journal call the link up only then.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "p8/link_session.h"
#include "p8/link_state.h"
#include "p8/send_queue.h"
#include "p8/outbox.h"

namespace vorel {

class cl final : public ILinkState {
 public:
  cl() = default;
  // Requests the stop and waits for the current pass to end (up to the
  // connect time-out plus the answer wait). The link thread never waits on
  // the GUI thread once the window has closed its hand-over, so this cannot
  // deadlock.
  ~cl() override;
  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  // Numbers the record with the counter's current value, adds 1 to the
  // counter, and queues the record - all under the queue mutex, so numbers
  // follow queue order. A full queue refuses the record without notice, yet
  // its number is used up. Returns whether the queue took it: callers that
  // must not lose the record (an event) keep it elsewhere when it did not.
  // A payload too long for the length field throws std::length_error and
  // takes no number.
  bool Enqueue(std::int32_t recordType, std::span<const std::uint8_t> payload) override;
  // The same for a live event already written to `spoolFile`. While it is
  // on its way the replay leaves that file alone (the outbox knows it).
  bool EnqueueSpooled(std::int32_t recordType, std::span<const std::uint8_t> payload, const std::string& spoolFile);
  // A record the replay read from `spoolFile` at `now`: it waits in the
  // outbox and is numbered into the queue once the queue holds nothing else,
  // so that live records go first. Always taken.
  bool EnqueueReplayed(std::int32_t recordType, std::span<const std::uint8_t> payload, const std::string& spoolFile,
                       TDateTime now);

  // For an event that could not be written to its spool file: queues it;
  // `settled` hears once whether the server answered the exchange that
  // carried it within the bound (only an answered event is safe from a
  // crash); the outbox owns the wait (Protocol8Outbox::AnswerOn). Nobody
  // waits meanwhile. False when the queue refused the record.
  bool EnqueueAwaited(std::int32_t recordType, std::span<const std::uint8_t> payload,
                      Protocol8Outbox::AnswerSettled settled);
  // Records awaited without a file that the server answered, since the last
  // call.
  std::uint64_t TakeAnsweredAwaited() { return outbox_.TakeAnsweredWithoutFile(); }

  // Link thread only. A copy of the head record, which stays queued; false
  // when the queue is empty.
  bool Peek(Bytes& record);
  bool Peek(QueuedRecord& head) override;
  // Link thread only. Releases the head record; nothing when empty.
  void DropHead() override;
  // Link thread, when the link goes down: every queued record that a spool
  // file holds leaves the queue (in order, the others keep theirs); the
  // replay sends it from its file once a connection is up again.
  void ReleaseSpooled() override;

  std::size_t QueuedCount() const override;

  void Written(const QueuedRecord& head) override { outbox_.Written(head.sequence); }
  // The outbox decides what becomes of the file, or of the caller's wait.
  void Settle(const QueuedRecord& head, std::optional<std::int32_t> answerType, TDateTime now) override {
    outbox_.Settle(head.sequence, answerType, now);
  }
  void ConnectionMade(TDateTime now) override { outbox_.ConnectionMade(now); }

  // True while the link counts as up: producers then queue instead of
  // writing spool files. Written by the link thread.
  bool LinkUp() const override { return linkUp_; }
  void SetLinkUp(bool up) override {
    if (!up) established_ = false;
    linkUp_ = up;
  }
  // The server has answered on the current connection: what the status, the
  // metrics and the journal call up (the window's indicator shows LinkUp).
  bool Established() const override { return established_; }
  void SetEstablished() override { established_ = true; }
  // Connection attempts are allowed; cleared at shutdown and when the server
  // denies access.
  bool LinkEnabled() const override { return linkEnabled_; }
  void DisableLink() override { linkEnabled_ = false; }
  // The link thread ends at its next check.
  bool StopRequested() const override { return stopRequested_; }

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
  // Every event on its way, shared by the outputs, the replay step and the
  // link thread.
  Protocol8Outbox& Outbox() { return outbox_; }


 private:
  std::atomic<bool> linkUp_{false};
  std::atomic<bool> established_{false};
  std::atomic<bool> linkEnabled_{true};
  std::atomic<bool> stopRequested_{false};
  mutable std::mutex queueMutex_;  // held only while a record is copied in or out
  // Wakes the resting link thread when a record is queued or a stop asked.
  std::condition_variable wake_;
  bool woken_ = false;  // under queueMutex_
  SendQueue queue_;
  std::uint64_t sequenceCounter_ = 0;  // never reset, across reconnections too
  Protocol8Outbox outbox_;

  // The sequence number the record got, or nullopt when the queue refused it.
  // spoolFile: the file of a live event, or null; settled: the caller of an
  // event without a file, or none.
  std::optional<std::uint64_t> Push(std::int32_t recordType, std::span<const std::uint8_t> payload,
                                    const std::string* spoolFile, Protocol8Outbox::AnswerSettled settled = {});
  // Under queueMutex_: numbers a record and queues it.
  std::optional<std::uint64_t> PushLocked(Bytes record);
  // Under queueMutex_: an empty queue takes the oldest replayed record ready.
  void FeedReplayed();
  void Execute();
  // Between passes: as long as the session says nothing can be due, cut
  // short by a record queued or a stop requested.
  void Rest(std::uint32_t quietMs);
  std::unique_ptr<LinkSession> session_;  // used by the link thread only
  std::function<void(std::uint32_t)> rest_;  // an injected waiter, or none
  std::thread thread_;
};

}  // namespace vorel
