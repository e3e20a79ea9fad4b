// The .ddm files on their way to the message server, and the one place that
// decides when such a file may go. An alarm or station-link frame is written
// to its file before it is sent; files left from a time without a connection
// are sent by the replay. Either way the file holds the frame until the
// frame is beyond doubt: the server program has read past it. Bytes in our
// own kernel are not at the server, and neither are bytes the server's
// kernel took that the program has not read: a program that dies, or a
// connection that ends with a reset, throws them away.
//
// The server's kernel tells what its program has read only through the
// receive window it advertises: the window's right edge (acknowledged bytes
// + window) moves on as the program reads. It moves on without reads too,
// while the kernel grows the window towards the buffer it has (as data comes
// in, and as the buffer itself is grown), so the buffer may be larger than
// any window shown, and a kernel that packs small segments together opens
// the window further. Measured on Linux, a server that stops reading lets the
// right edge run up to about twice the widest window it showed before, more
// with a small buffer. So a frame is taken as read once the right edge
// stands four times the widest window the connection has shown (and one
// step of the peer's window scale) past its end. That costs time, not
// alarms: in steady traffic a frame waits about three windows of later
// frames; with no later traffic it waits for the next frames, or for the
// server to end the connection in order (a program that closes with bytes
// unread resets instead).
//
// A full send buffer is no fault of the connection. A frame the socket took
// only a part of is in doubt like the others; the outbox keeps its unsent
// rest and finishes it (after each send and every tick) before any other
// frame goes, so the server still sees whole 555-byte frames. Meanwhile a
// new frame is not taken: its file waits for the replay.
//
// The life of a file:
//   on disk   -- Send, the frame taken whole or in part --> in doubt (connection, end offset)
//   on disk   -- Send fails, or a rest still waits -->     on disk
//   in doubt  -- Settle, read past its end -->            removed
//   in doubt  -- ConnectionEnded in order, its end
//                acknowledged -->                          removed
//   in doubt  -- ConnectionEnded any other way, or
//                Settle on a later connection -->          on disk (the replay sends it again)
// A repeat at the server is possible (the frames in doubt when a connection
// ends abnormally); a loss is not.
//
// An idle connection shows nothing more through its window. One that has
// sent nothing for kIdleCloseMs while frames of its own are in doubt is
// ended in order: the server reads to the end and closes, which settles them
// all, and a new connection follows at once. A server that does not close in
// time is reset (its frames in doubt go again), and the next such close waits
// kIdleCloseBackoffMs, so that a server that never closes is not reset
// again and again.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/scheduler.h"
#include "p7/frame.h"
#include "receiver/protocol7_sender.h"
#include "spool/spool_writer.h"

namespace vorel {

class Protocol7Outbox {
 public:
  // scheduler: for the frames whose ACK waits for the server's TCP (none
  // without it).
  explicit Protocol7Outbox(IProtocol7Sender& sender, IScheduler* scheduler = nullptr);

  // How many of the widest window the server has shown its window's right
  // edge must stand past a frame before the frame counts as read.
  static constexpr std::uint64_t kWindowsInDoubt = 4;

  bool Connected() { return sender_.Connected(); }

  // Sends the frame that `file` holds. True when all of it went out; the
  // file is in doubt then, and settled at once if the server has read past
  // it already.
  bool Send(const std::string& file, const p7::Frame& frame);

  // A frame that no file holds: the greeting, or an alarm whose file could
  // not be written.
  enum class Unfiled { NotSent, Sent, Acknowledged };
  Unfiled SendUnfiled(const p7::Frame& frame);
  // The same for an alarm whose ACK waits: when it was sent but not yet
  // acknowledged, `acknowledged` is called later, once: true as soon as the
  // server's TCP has its last byte (looked at every 10 ms and on every
  // tick), false when the connection ends or 1.4 s pass first. Nothing
  // waits meanwhile; later frames settle in their order.
  Unfiled SendUnfiledAwaited(const p7::Frame& frame, std::function<void(bool)> acknowledged);
  // Whether SendUnfiledAwaited can wait (it has a scheduler).
  bool Awaits() const { return scheduler_ != nullptr; }
  static constexpr std::uint32_t kAwaitLimitMs = 1400;
  static constexpr std::uint32_t kAwaitCheckMs = 10;
  static constexpr std::uint32_t kIdleCloseMs = 3000;
  static constexpr std::uint32_t kIdleCloseBackoffMs = 10 * 60 * 1000;

  // Finishes the rest of a frame sent in part, then removes the files whose
  // frames the server has read past; those of a connection that has ended go
  // back to the replay. After every send and on every tick.
  void Settle();
  // The connection ended. In order: the files whose frames its TCP had
  // acknowledged are removed. Either way every other file in doubt is the
  // replay's again.
  void ConnectionEnded();

  // A file its server has leaves the disk through the spool, off the event
  // loop, and counts as removed at once (TakeRemoved: the server has it).
  // One the spool could not remove stays for the replay, a repeat: it is
  // handed to `stayed`, for the spool's index. Without a spool the outbox
  // removes files itself, in the caller's turn.
  void SetSpool(ISpoolWriter* spool, std::function<void(const std::string& file)> stayed) {
    spool_ = spool;
    stayed_ = std::move(stayed);
  }

  bool InFlight(const std::string& file) const { return files_.contains(file); }
  // The files removed since the last call, for the spool's index.
  std::vector<std::string> TakeRemoved() { return std::exchange(removed_, {}); }
  // Events and station-link reports without a file that the server's TCP
  // acknowledged at once, since the last call.
  std::uint64_t TakeDeliveredUnfiled() { return std::exchange(deliveredUnfiled_, 0); }
  const std::set<std::string>& FilesInFlight() const { return files_; }
  // Of those, the files whose frames the server's TCP has not acknowledged
  // yet (still in our kernel or on the way): the replay's measure of a
  // full pipe.
  std::size_t FilesUnacknowledged() const;

 private:
  struct Entry {
    std::string file;
    std::uint64_t connection;
    std::uint64_t end;  // the connection's byte count after the frame
  };

  // Offers the frame once no rest of an earlier one waits: true when the
  // socket took all of it, or a part (its rest kept for FinishRest).
  bool Offer(const p7::Frame& frame);
  // Sends what waits of a frame that went in part; true when nothing waits.
  bool FinishRest();
  // Bytes of the current connection that the server's TCP holds, or nullopt
  // when that cannot be told.
  std::optional<std::uint64_t> AcknowledgedBytes();
  // Takes the server's window as it is now into the evidence of the current
  // connection.
  void ReadWindow(std::uint64_t acknowledged);
  void Remove(const std::string& file);
  // Settles the awaited frames that the server's TCP has by now, or whose
  // connection has ended.
  void CheckAwaited();
  void ScheduleAwaitedCheck();
  void SettleAwaited(std::uint64_t id, bool acknowledged);
  // Bytes went out: the idle close waits for a quiet spell after them.
  void NoteSent();
  void ScheduleIdleCheck();
  // Ends the connection in order when nothing was sent since `sends`, and
  // frames of it are still in doubt.
  void CloseIfIdle(std::uint64_t sends);

  IProtocol7Sender& sender_;
  IScheduler* scheduler_;
  struct Awaited {
    std::uint64_t connection;
    std::uint64_t end;
    bool counted;  // an event or station-link report, for the delivery count
    std::function<void(bool)> acknowledged;
  };
  std::map<std::uint64_t, Awaited> awaited_;  // by number, in send order
  std::uint64_t lastAwaited_ = 0;
  bool checkScheduled_ = false;
  std::deque<Entry> inFlight_;  // in send order, so in offset order per connection
  std::set<std::string> files_;
  std::vector<std::string> removed_;
  ISpoolWriter* spool_ = nullptr;
  std::function<void(const std::string& file)> stayed_;
  std::uint64_t deliveredUnfiled_ = 0;
  // The unsent rest of a frame of connection restConnection_.
  std::vector<std::uint8_t> rest_;
  std::uint64_t restConnection_ = 0;
  // What the current connection (number evidenceConnection_) has shown: its
  // widest window, the bytes acknowledged, and how far its server has read
  // for certain.
  std::uint64_t evidenceConnection_ = 0;
  std::uint64_t widestWindow_ = 0;
  std::uint64_t acknowledged_ = 0;
  std::uint64_t readPast_ = 0;
  // The idle close: sends so far, a look scheduled, the connection being
  // ended in order (0: none), and a server that did not close in time.
  std::uint64_t sends_ = 0;
  bool idleCheckScheduled_ = false;
  std::uint64_t closingConnection_ = 0;
  bool idleCloseHeldBack_ = false;
};

}  // namespace vorel
