// The three outputs of an event: the protocol-7 event output, the link frame
// output and the protocol-8 event output. Each writes the event ahead to a
// spool file, then hands it to its link when the link is up; the link's
// outbox removes the file once the server has it, and the replay sends it
// otherwise. Without a file an event is safe only once its server has it.
// The files are written by the spool (its own thread in the program): the
// offers of one packet are handed over together, their files share one
// directory flush, and what follows the file (the link, the Delivery) runs
// once the spool posts back that the files are flushed, in the offers' order.
// What becomes of each offer is its Delivery; nothing offered to an output is
// lost silently (Lost is reported once, Dropped by NotSendToDiskMivo8 too).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "config/settings.h"
#include "p7/frame.h"
#include "receiver/event_record.h"
#include "receiver/protocol7_outbox.h"
#include "spool/spool_disk.h"
#include "spool/spool_writer.h"

namespace vorel {

// How an event whose only safe copy will be the server's answer ends: called
// once, later, on the GUI thread: true when the server answered the exchange
// that carried it within the bound, false when the bound passed first.
using AnswerSettled = std::function<void(bool answered)>;

// The protocol-8 link object as the outputs see it (cl).
class IProtocol8Queue {
 public:
  virtual ~IProtocol8Queue() = default;
  virtual bool LinkUp() = 0;
  // False when the queue refused the record (full).
  virtual bool Enqueue(std::int32_t recordType, std::span<const std::uint8_t> payload) = 0;
  // The same for an event already written to its .dd8 file `spoolFile`.
  virtual bool EnqueueSpooled(std::int32_t recordType, std::span<const std::uint8_t> payload,
                              const std::string& spoolFile) = 0;
  // For an event without a spool file: queued, and `settled` tells later
  // whether the server answered its exchange in time. False when the queue
  // refused it (settled never runs). Nothing waits meanwhile.
  virtual bool EnqueueAwaited(std::int32_t recordType, std::span<const std::uint8_t> payload,
                              AnswerSettled settled) = 0;
};

// The spool name of a moment: (day × 86400 + h × 3600 + m × 60 + s) × 1000 +
// ms as upper-case hexadecimal without leading zeros. Unique to the
// millisecond within a month only. Raises std::invalid_argument when `now` is
// not a date (NaN, out of range).
std::string SpoolName(TDateTime now);

// What became of one event or frame offered to an output.
enum class Delivery {
  Awaiting,  // its spool file being written: `settled` tells later whether it
             // became safe (the file flushed, and what the link made of it);
             // or without a file, on its way; safe only once protocol 8's server
             // answers it, or protocol 7's TCP acknowledges it, in time, which
             // `settled` tells later. Protocol 8: queued; safe only if the server
             // answers in time, which SendEvent8's `settled` tells later
  SafeOnItsWay,  // handed to its link and safe from a crash: protocol 7 sent
                 // whole, and written ahead to its .ddm file (which stays until
                 // the server has read the frame) or, when no file could be
                 // written, already acknowledged by the server's TCP; protocol
                 // 8 queued with its spool file written ahead, or answered by
                 // the server when no file could be written. With
                 // NotSendToDiskMivo8 on, protocol 8 queued in memory only: the
                 // operator keeps none on disk (as with Dropped)
  Queued,   // on its way, but neither written to a spool file nor confirmed by
            // the server in time (protocol 7: not yet acknowledged by its TCP)
  Spooled,  // written as a spool file for the replay
  Dropped,  // protocol 8 down or full with NotSendToDiskMivo8 on: discarded by design
  Lost,     // neither delivered, nor on its way, nor spooled (the spool file
            // could not be written); reported through spoolFailed, once
};

// Whether the event outlives a crash of the driver from here on (or was
// given up by the operator's choice): only then may the station hear that
// it was taken.
constexpr bool SafeFromCrash(Delivery d) {
  return d == Delivery::SafeOnItsWay || d == Delivery::Spooled || d == Delivery::Dropped;
}

// The callers decide by SendMivo7 and SendMivo8 whether to call an output.
struct OutputSettings {
  bool NotSendToDiskMivo8 = false;
  std::int32_t n_abs = -1;
  std::string PathForSoob;  // spool directory as a plain prefix
  static OutputSettings From(const Settings& s);
};

class EventOutputs {
 public:
  struct Callbacks {
    std::function<void()> refreshProtocol7Indicator;  // after a live ftEvent
    std::function<void(int code)> logError;           // error log (code 11: no spool name)
    // An event or frame that could be neither sent nor spooled, with the
    // reason (missing spool directory, disk full, no spool name): called
    // once for an offer that ends Lost, never for one a link took.
    std::function<void(std::string what)> spoolFailed;
    // A spool file that could not be written for an event or frame its link
    // took all the same (not a loss), with the same kind of report.
    std::function<void(std::string what)> spoolNotWritten;
    // A protocol-8 event dropped by NotSendToDiskMivo8 (the link could not
    // take it), with what it was: the operator chose this, but hears of it.
    std::function<void(std::string what)> dropped;
    // A spool file written (it holds the event from now on), for the index.
    std::function<void(const std::string& file)> spoolWritten;
  };

  // protocol8 may be null: protocol 8 is off and there is no link object.
  // spool may be null: the files are written at once, in the offer's turn.
  EventOutputs(OutputSettings settings, IClock& clock, Protocol7Outbox& protocol7, IProtocol8Queue* protocol8,
               Callbacks callbacks, ISpoolWriter* spool = nullptr);
  ~EventOutputs();
  EventOutputs(const EventOutputs&) = delete;
  EventOutputs& operator=(const EventOutputs&) = delete;

  // The offers between these two are one packet's: their files go to the
  // spool in one hand-over, at EndPacket. Outside a packet each offer is
  // handed over at once. An offer whose file is being written returns
  // Awaiting when its caller waits through `settled`, else Queued; its
  // outcome comes through `settled` (Awaiting: once the link has it).
  void BeginPacket();
  void EndPacket();

  // None of the outputs raises for a delivery that fails: a frame the link
  // does not take is spooled, and a spool file that cannot be written is
  // reported through spoolFailed.

  // Protocol-7 event output: the ftEvent frame is written to its .ddm spool
  // file first, then sent while connected; the outbox removes the file once
  // the server's TCP has the frame, and the replay sends it otherwise. Only
  // a live send refreshes the protocol-7 indicator. With no file but a
  // connection, the frame is sent: Awaiting when a caller waits through
  // `settled` for the server's TCP to acknowledge it (the main port's ACK),
  // else Queued until it is acknowledged at once.
  Delivery SendEvent(const EventRecord& record, AnswerSettled settled = {});
  // Link frame output: ftStationLost / ftStationRestored, the same way.
  // Another type raises std::invalid_argument.
  Delivery SendLinkFrame(p7::FrameType type, std::int32_t portTag);
  // Protocol-8 event output: rtEventMain / rtEventSecond queued, or a .dd8
  // file while the link is down or the queue is full (dropped instead when
  // NotSendToDiskMivo8 is on). A queued event is written to its .dd8 file
  // first, so that it outlives a crash; the link removes the file once the
  // server has answered the exchange that carried it, and the replay sends it
  // otherwise. With no file but a link, the event is queued: Awaiting when a
  // caller waits for the answer through `settled` (the main port's ACK),
  // else Queued (the second port, which answers nobody). The payload must be
  // 17 bytes for the main port and 14 for the second, else
  // std::invalid_argument.
  Delivery SendEvent8(PortId port, std::span<const std::uint8_t> payload, AnswerSettled settled = {});

  void SetProtocol8(IProtocol8Queue* protocol8) { protocol8_ = protocol8; }

 private:
  // What follows an offer's file: the link, given the file's name (none: it
  // could not be written) and the caller's `settled`.
  using AfterFile = std::function<Delivery(const std::optional<std::string>& file, AnswerSettled settled)>;
  struct Offer {
    std::optional<std::size_t> write;    // its file's place in the hand-over; none: no file
    std::optional<std::string> failure;  // why it has no file
    std::string what;                    // for the reports
    AfterFile after;
    AnswerSettled settled;
    bool returned = false;               // the offer's call has returned (Awaiting or Queued)
    std::optional<Delivery> delivery;    // decided before it returned
  };
  using Offers = std::vector<std::shared_ptr<Offer>>;

  Delivery Hand(std::optional<SpoolWrite> write, std::string what, std::optional<std::string> failure,
                AfterFile after, AnswerSettled settled);
  void HandOver();
  void Written(const Offers& offers, const std::vector<SpoolWritten>& written);
  // The spool write of a file named after the moment, or nullopt with the
  // reason in `failure` (no spool name).
  std::optional<SpoolWrite> SpoolWriteOf(std::string_view stemSuffix, std::string_view extension,
                                         std::span<const std::uint8_t> bytes, std::string_view what,
                                         std::optional<std::string>& failure);

  OutputSettings settings_;
  IClock& clock_;
  Protocol7Outbox& protocol7_;
  IProtocol8Queue* protocol8_;
  Callbacks callbacks_;
  PosixSpoolDisk disk_;
  InlineSpoolWriter inlineSpool_{disk_};
  ISpoolWriter& spool_;
  bool inPacket_ = false;
  Offers offers_;                  // not yet handed over
  std::vector<SpoolWrite> writes_;  // their files
  // What the spool posts back runs only while the outputs are there.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  // Each link's offer (its file handed to the spool), and what follows once
  // the spool has written it or failed to.
  Delivery Offer7(const p7::Frame& frame, bool refreshIndicator, std::string_view what, AnswerSettled settled);
  Delivery After7(const p7::Frame& frame, bool refreshIndicator, const std::optional<std::string>& file,
                  AnswerSettled settled);
  Delivery Offer8(PortId port, std::span<const std::uint8_t> payload, AnswerSettled settled);
  Delivery After8(std::int32_t recordType, const std::vector<std::uint8_t>& payload,
                  const std::optional<std::string>& file, AnswerSettled settled);
  // The end of one offer: a Lost one is reported with the reason its spool
  // file was not written.
  Delivery Decided(Delivery delivery, const std::optional<std::string>& failure);
  void ReportLoss(const std::string& what);
  // Reports a protocol-8 event dropped by NotSendToDiskMivo8.
  Delivery Drop(std::int32_t recordType);
};

}  // namespace vorel
