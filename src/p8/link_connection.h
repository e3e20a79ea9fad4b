// The blocking TCP connection of the protocol-8 link. The link thread makes a
// new one for every connection attempt and does one exchange at a time on it:
// a whole frame written, then an answer read with a wait per chunk of data.
// Every call that waits has a limit, whatever the peer does, so that the link
// thread always ends its pass and the program can close.
// The platform part lives in link_connection_posix.cpp; tests use a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/bytes.h"

namespace vorel {

inline constexpr std::uint32_t kLinkConnectTimeoutMs = 2500;
// How long a write waits for room in the socket's send buffer before the
// server counts as gone: one that stopped reading would hold it for good.
inline constexpr std::uint32_t kLinkWriteWaitMs = 1000;

class ILinkConnection {
 public:
  virtual ~ILinkConnection() = default;  // closes without any notice

  // Connects to host:port within timeoutMs, the lookup of a host name
  // included (IPv4; the host may be a name). An empty host, port 0 or above
  // 65535, refusal, an unknown or unreachable host and the time-out are all
  // failure.
  virtual bool Connect(const std::string& host, std::int32_t port, std::uint32_t timeoutMs) = 0;

  // Writes every byte, blocking. False on any failure, and when no byte could
  // be written for kLinkWriteWaitMs; the caller then closes the connection.
  virtual bool WriteAll(std::span<const std::uint8_t> data) = 0;

  // Reads until `count` bytes have been appended to `out`. waitTimeoutMs
  // bounds the whole read, however the bytes trickle in. False on a time-out,
  // a close by the peer or a socket error; the bytes that did arrive are
  // appended all the same. A close by the peer or a socket error closes this
  // side at once (no notice); a time-out leaves the connection open.
  virtual bool ReadExact(std::size_t count, Bytes& out, std::uint32_t waitTimeoutMs) = 0;

  // Whether bytes wait to be read, without waiting for any. A close by the
  // peer found here closes this side at once (no notice) and is no bytes.
  virtual bool BytesWaiting() = 0;

  // Closes the connection. True when it was open, so that the caller can run
  // its disconnected handling; false (and nothing done) otherwise.
  virtual bool Close() = 0;

  virtual bool IsOpen() const = 0;
};

class ILinkConnectionFactory {
 public:
  virtual ~ILinkConnectionFactory() = default;
  virtual std::unique_ptr<ILinkConnection> Create() = 0;
};

// Plain TCP sockets of the platform.
ILinkConnectionFactory& PlatformLinkConnectionFactory();

}  // namespace vorel
