// The protocol-7 client (SimpleTCPClient1) as the outputs and the replay see
// it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "p7/frame.h"
#include "p7/socket_api.h"

namespace vorel {

class IProtocol7Sender {
 public:
  virtual ~IProtocol7Sender() = default;
  virtual bool Connected() = 0;
  // Sends the frame in one go; the count the system took (0 when its buffer
  // is full), or -1 (the connection has ended then).
  virtual std::int32_t Send(const p7::Frame& frame) = 0;
  // The same for the rest of a frame that went in part.
  virtual std::int32_t SendRest(std::span<const std::uint8_t> bytes) = 0;
  // Ends the connection (OnDisconnected); the retry timer makes a new one.
  virtual void Disconnect() = 0;
  // Ends the connection in order: nothing more is sent, the server reads to
  // the end and closes, which ends the connection as an orderly end (or, past
  // a limit, as a reset); a new connection follows at once.
  virtual void CloseInOrder() = 0;
  // The number of the connection that is up (each new one gets the next),
  // the bytes its sends took so far, and how many of those the server's TCP
  // has not acknowledged yet (nullopt: not connected, or the system cannot
  // tell).
  virtual std::uint64_t ConnectionNumber() = 0;
  virtual std::uint64_t BytesSent() = 0;
  virtual std::optional<std::uint32_t> UnacknowledgedBytes() = 0;
  // The receive window the server's TCP advertised last (nullopt: not
  // connected, or the system cannot tell).
  virtual std::optional<TPeerWindow> PeerWindow() = 0;
  // The bytes of the connection that ended last that the server's TCP had
  // acknowledged when the server closed it in order; nullopt when it ended
  // any other way (a reset, a time-out, our own close).
  virtual std::optional<std::uint64_t> AcknowledgedAtOrderlyEnd() = 0;
};

}  // namespace vorel
