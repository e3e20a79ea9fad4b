// The .ddm files on their way to the message server, and the one place that
// decides when such a file may go. An alarm or station-link frame is written
// to its file before it is sent; files left from a time without a connection
// are sent by the replay. Either way the file holds the frame until the
// server's TCP has acknowledged the frame's last byte: bytes still in our own
// kernel are not at the server, and a connection that ends (a reset, a path
// that died, TCP giving up, our own close) throws them away.
//
// The life of a file:
//   on disk   -- Send, the whole frame taken -->          in flight (connection, end offset)
//   on disk   -- Send fails or takes a part -->           on disk (a part ends the connection)
//   in flight -- Settle, acknowledged up to its end -->   removed
//   in flight -- Settle, not yet acknowledged -->         in flight
//   in flight -- ConnectionEnded, or Settle on a later
//                connection -->                           on disk (the replay sends it again)
// A repeat at the server is possible (a frame that arrived just before its
// connection ended); a loss is not.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "p7/frame.h"
#include "receiver/protocol7_sender.h"

namespace vorel {

class Protocol7Outbox {
 public:
  explicit Protocol7Outbox(IProtocol7Sender& sender);

  IProtocol7Sender& Sender() { return sender_; }
  bool Connected() { return sender_.Connected(); }

  // Sends the frame that `file` holds. True when all of it went out; the
  // file is in flight then, and settled at once if the server's TCP already
  // has it.
  bool Send(const std::string& file, const p7::Frame& frame);

  // A frame that no file holds: the greeting, or an alarm whose file could
  // not be written.
  enum class Unfiled { NotSent, Sent, Acknowledged };
  Unfiled SendUnfiled(const p7::Frame& frame);

  // Removes the files whose frames the server's TCP has acknowledged; those
  // of a connection that has ended go back to the replay. After every send
  // and on every tick.
  void Settle();
  // The connection ended: every file in flight is the replay's again.
  void ConnectionEnded();

  bool InFlight(const std::string& file) const { return files_.contains(file); }
  // The files removed since the last call, for the spool's index.
  std::vector<std::string> TakeRemoved() { return std::exchange(removed_, {}); }
  // Events and station-link reports without a file that the server's TCP
  // acknowledged at once, since the last call.
  std::uint64_t TakeDeliveredUnfiled() { return std::exchange(deliveredUnfiled_, 0); }
  const std::set<std::string>& FilesInFlight() const { return files_; }

 private:
  struct Entry {
    std::string file;
    std::uint64_t connection;
    std::uint64_t end;  // the connection's byte count after the frame
  };

  // All of the frame, or nothing: a part leaves the server cutting every
  // later frame in the wrong place, so such a connection ends.
  bool SendWhole(const p7::Frame& frame);
  // Bytes of the current connection that the server's TCP holds, or nullopt
  // when that cannot be told.
  std::optional<std::uint64_t> AcknowledgedBytes();

  IProtocol7Sender& sender_;
  std::deque<Entry> inFlight_;  // in send order, so in offset order per connection
  std::set<std::string> files_;
  std::vector<std::string> removed_;
  std::uint64_t deliveredUnfiled_ = 0;
};

}  // namespace vorel
