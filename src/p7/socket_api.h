// The platform part of the socket client: the few Windows Sockets 1.1
// operations the component needs, with asynchronous notification to a sink
// that stands for the component's hidden window. Results follow the Windows
// Sockets rules (0 or a count on success, -1 on failure with LastError() set
// to a code of winsock_errors.h), so that the component reads the same on
// every platform. The POSIX implementation lives in socket_api_posix.cpp;
// tests substitute a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "p7/winsock_errors.h"

namespace vorel {

// A socket handle; -1 when there is none.
using TSocket = std::int32_t;
inline constexpr TSocket kNoSocket = -1;

// Notification events: bits of the select mask and the low word of a
// notification's second parameter. The high word carries an error code.
inline constexpr std::uint16_t kFdRead = 0x01;
inline constexpr std::uint16_t kFdAccept = 0x08;
inline constexpr std::uint16_t kFdConnect = 0x10;
inline constexpr std::uint16_t kFdClose = 0x20;

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

inline std::uint32_t MakeNotification(std::uint16_t event, std::uint16_t error) {
  return static_cast<std::uint32_t>(event) | (static_cast<std::uint32_t>(error) << 16);
}

class ISocketApi {
 public:
  // The hidden window's procedure for socket notifications: the socket and
  // the event word (event in the low 16 bits, error code in the high 16).
  // Called from the event loop of the thread that owns the api, one at a
  // time; it must not throw.
  using NotificationSink = std::function<void(TSocket socket, std::uint32_t event)>;

  virtual ~ISocketApi() = default;

  // Creates the hidden window: where notifications of AsyncSelect go.
  virtual void SetNotificationSink(NotificationSink sink) = 0;
  // Starts the sockets session; 0 on success, an error code otherwise.
  virtual int Startup() = 0;
  // Ends the session, closing what is still open; 0 on success.
  virtual int Cleanup() = 0;
  // The code of the last failed call.
  virtual int LastError() const = 0;

  // The dotted IPv4 address in network byte order, or kInAddrNone.
  virtual std::uint32_t InetAddr(const std::string& text) = 0;
  // Blocking name resolution, IPv4 only: the first address, network byte order.
  virtual bool GetHostByName(const std::string& name, std::uint32_t& address) = 0;

  // A TCP/IPv4 stream socket, or kNoSocket.
  virtual TSocket CreateSocket() = 0;
  // Makes the socket non-blocking and asks for one notification per event of
  // the mask (kFdRead | kFdConnect | kFdClose); mask 0 stops them. As on
  // Windows, after a read notification the next one comes only once Recv has
  // been called; a close notification comes once.
  virtual int AsyncSelect(TSocket s, std::uint32_t mask) = 0;
  // Non-blocking: -1 with kWouldBlock means the attempt goes on and its end
  // comes as a connect notification.
  virtual int Connect(TSocket s, const TSockAddrIn& address) = 0;
  // FIONREAD: bytes waiting to be read.
  virtual int BytesWaiting(TSocket s, std::uint32_t& count) = 0;
  virtual int Recv(TSocket s, std::uint8_t* buffer, int length) = 0;
  // Never raises a signal when the peer is gone; fails with kNotConnected
  // while the connect notification has not come yet.
  virtual int Send(TSocket s, const std::uint8_t* data, int length) = 0;
  // Both directions.
  virtual int Shutdown(TSocket s) = 0;
  // SO_LINGER on with time 0: closing discards unsent data and resets.
  virtual int SetLingerReset(TSocket s) = 0;
  virtual int CloseSocket(TSocket s) = 0;
};

// The platform's implementation, one sockets session per instance.
std::unique_ptr<ISocketApi> CreateSystemSocketApi();

}  // namespace vorel
