// The platform part of the socket client: the few socket operations the
// component needs, and three typed events it reports back on the owner's
// event loop. Results follow the Windows Sockets rules (0 or a count on
// success, -1 on failure with LastError() set to a code of winsock_errors.h),
// so that the component reads the same on every platform. The POSIX
// implementation lives in socket_api_posix.cpp; tests substitute a fake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "p7/winsock_errors.h"

namespace vorel {

// A socket handle; -1 when there is none.
using TSocket = std::int32_t;
inline constexpr TSocket kNoSocket = -1;

// What InetAddr returns for a text that is not a dotted address.
inline constexpr std::uint32_t kInAddrNone = 0xFFFFFFFFu;
inline constexpr std::uint16_t kAfInet = 2;

// The 16-byte IPv4 socket address, port and address in network byte order.
struct TSockAddrIn {
  std::uint16_t family = kAfInet;
  std::uint16_t port = 0;
  std::uint32_t address = 0;
  std::uint8_t zero[8] = {};
};
static_assert(sizeof(TSockAddrIn) == 16);

// The receive window a peer advertised, in bytes, and the step the peer can
// tell it in (1 << its window scale).
struct TPeerWindow {
  std::uint32_t window = 0;
  std::uint32_t granule = 1;
};

// What the platform tells about a socket whose notifications are on. Calls
// come from the owner's event loop, never from inside an operation of the
// api, and never two at a time for one socket. A handler may call the api,
// close the socket included. Errors are Windows Sockets codes, 0 for none.
class ISocketEvents {
 public:
  // The connect has ended: the connection is up, or the attempt failed.
  virtual void SocketConnected(TSocket socket, std::int32_t error) = 0;
  // Bytes are waiting. Told again as long as bytes are left unread.
  virtual void SocketReadable(TSocket socket) = 0;
  // The peer closed (error 0) or reset the connection; told once, and only
  // after every byte that came before it has been told as readable.
  virtual void SocketClosed(TSocket socket, std::int32_t error) = 0;
  // The look-up `request` of StartHostLookup has ended: the first IPv4
  // address in network byte order, or found false.
  virtual void HostLookedUp(std::uint64_t request, bool found, std::uint32_t address) = 0;

 protected:
  ~ISocketEvents() = default;
};

class ISocketApi {
 public:
  virtual ~ISocketApi() = default;

  // Where the events go; nullptr: nowhere.
  virtual void SetEvents(ISocketEvents* events) = 0;
  // Starts the sockets session; 0 on success, an error code otherwise.
  virtual int Startup() = 0;
  // Ends the session, closing what is still open; 0 on success.
  virtual int Cleanup() = 0;
  // The code of the last failed call.
  virtual int LastError() const = 0;

  // The dotted IPv4 address in network byte order, or kInAddrNone.
  virtual std::uint32_t InetAddr(const std::string& text) = 0;
  // Starts resolving a host name (IPv4) off the event loop, which a name
  // service that does not answer would otherwise hold for its time-outs. The
  // end comes as HostLookedUp on the owner's event loop, never from inside
  // this call. The request's number (above 0), or 0 when no look-up could
  // start (LastError set).
  virtual std::uint64_t StartHostLookup(const std::string& name) = 0;

  // A TCP/IPv4 stream socket, or kNoSocket.
  virtual TSocket CreateSocket() = 0;
  // Makes the socket non-blocking and turns its events on.
  virtual int StartNotifications(TSocket s) = 0;
  // No more events of this socket, from now on.
  virtual int StopNotifications(TSocket s) = 0;
  // Non-blocking once notifications are on: -1 with kWouldBlock means the
  // attempt goes on and its end comes as SocketConnected.
  virtual int Connect(TSocket s, const TSockAddrIn& address) = 0;
  // FIONREAD: bytes waiting to be read.
  virtual int BytesWaiting(TSocket s, std::uint32_t& count) = 0;
  // The bytes sent that the peer's TCP has not acknowledged yet (on Linux
  // SIOCOUTQ: those still to go plus those in flight). Bytes sent and no
  // longer counted here are in the peer's kernel.
  virtual int UnacknowledgedBytes(TSocket s, std::uint32_t& count) = 0;
  // The receive window the peer advertised last, in bytes, and the step it
  // can be told in (the peer's window scale: 1 << scale). On Linux TCP_INFO;
  // fails where the system does not tell the window.
  virtual int PeerWindow(TSocket s, std::uint32_t& window, std::uint32_t& granule) = 0;
  virtual int Recv(TSocket s, std::uint8_t* buffer, int length) = 0;
  // Never raises a signal when the peer is gone; fails with kNotConnected
  // while the connect has not ended yet.
  virtual int Send(TSocket s, const std::uint8_t* data, int length) = 0;
  // Both directions.
  virtual int Shutdown(TSocket s) = 0;
  // Sending only: the peer reads what was sent, then the end; receiving goes on.
  virtual int ShutdownSending(TSocket s) = 0;
  // SO_LINGER on with time 0: closing discards unsent data and resets.
  virtual int SetLingerReset(TSocket s) = 0;
  // Keepalive and the limit on unacknowledged bytes (base/dead_path_limits.h):
  // a path that dies silently ends the connection with a time-out within
  // about 20 s instead of a quarter of an hour.
  virtual int SetDeadPathLimits(TSocket s) = 0;
  virtual int CloseSocket(TSocket s) = 0;
};

// The platform's implementation, one sockets session per instance.
std::unique_ptr<ISocketApi> CreateSystemSocketApi();

}  // namespace vorel
