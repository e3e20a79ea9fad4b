// TSimpleTCPClient: the event-driven TCP client that carries the protocol-7
// link. The socket is non-blocking; the platform part (socket_api.h) tells
// the end of a connect, arriving bytes and the peer's close as typed events
// on the owner's event loop, and the component turns them into OnConnected,
// OnDisconnected, OnRead and OnError.
// A host name is looked up off the event loop and its answer kept
// (base/host_lookup_cache.h), so a slow name service still lets the link
// connect. There is no send queue: a send hands the bytes to the system at
// once (as many as its buffer takes, none when it is full) or fails, and
// every failure ends the connection. A connect that has not ended within
// kConnectLimitMs fails as timed out, and every socket carries keepalive and a
// limit on unacknowledged bytes, so that a dead path ends the connection and a
// path that comes back is found within seconds.
//
// Callbacks run inside the notification handling and may call back into the
// component (send from OnConnected, write Connected := false from OnRead).
// They must not destroy it: an owner that wants rid of it uses deleteLater().
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <map>
#include <string>

#include "base/host_lookup_cache.h"
#include "p7/memory_stream.h"
#include "p7/socket_api.h"

namespace vorel {

// A per-connection socket of a listening variant, which this system does not
// have: the client always passes none.
class TSocketConnection;

// Sender is the component.
using TNotifyEvent = std::function<void(QObject* Sender)>;
// DataSize: bytes waiting on the socket.
using TSimpleTCPClientDataAvailEvent = std::function<void(QObject* Sender, std::int32_t DataSize)>;
// Stream: the bytes received, positioned at its start; owned by the component
// and freed when the callback returns.
using TSimpleTCPClientIOEvent = std::function<void(QObject* Sender, TMemoryStream* Stream)>;
// Socket: -1 when there is none; ErrorCode: a Windows Sockets code;
// ErrorMsg: its text (wsa::ErrorText).
using TSimpleTCPErrorEvent = std::function<void(QObject* Sender, std::int32_t Socket, std::int32_t ErrorCode,
                                                const std::string& ErrorMsg)>;

// Errors the component raises carry only their message.
class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The socket plumbing shared with a listening variant.
class TCustomSimpleSocket : public QObject, private ISocketEvents {
  Q_OBJECT

 public:
  // Starts the component's own sockets session; raises "Can not start socket
  // session" when the platform refuses.
  TCustomSimpleSocket(QObject* owner, std::unique_ptr<ISocketApi> api);
  // Ends the session. A failure is reported as an uncaught error ("Can not
  // clean socket session"): a destructor cannot raise.
  ~TCustomSimpleSocket() override;

  bool AllowChangeHostAndPortOnConnection() const { return allowChangeHostAndPortOnConnection_; }
  void SetAllowChangeHostAndPortOnConnection(bool value) { allowChangeHostAndPortOnConnection_ = value; }
  const std::string& Host() const { return host_; }
  virtual void SetHost(const std::string& value) = 0;
  std::uint16_t Port() const { return port_; }
  virtual void SetPort(std::uint16_t value) = 0;

  TSimpleTCPErrorEvent OnError;

  // Sends the whole stream from its start with one send, leaving its position
  // as it was. Returns the bytes the system took (a partial send is not
  // completed), 0 with no socket or no stream or a full send buffer, or -1
  // after the error path.
  std::int32_t SendStreamTo(TSocket Socket, TMemoryStream* Stream);
  // One receive of up to Size bytes; -1 after the error path. With WaitAll
  // it goes on until Size bytes are in, the peer closes or a call fails.
  std::int32_t ReceiveBytes(TSocket Socket, std::uint8_t* Buffer, std::int32_t Size, bool WaitAll);
  // ReceiveBytes into a buffer of Size bytes, appending what came to Stream.
  std::int32_t ReceiveToStream(TSocket Socket, TMemoryStream* Stream, std::int32_t Size, bool WaitAll);

  // The socket handle; -1 when there is none.
  TSocket SocketHandle() const { return socket_; }

 protected:
  // Turns the code into its text and calls OnError, or raises the text.
  virtual void ReportError(TSocket Socket, std::int32_t ErrorCode);
  virtual void ConnectNotified() = 0;
  virtual void CloseNotified(TSocket Socket) = 0;
  virtual void DataAvailableNotified(TSocketConnection* Connection, std::int32_t DataSize, bool& Handled) = 0;
  virtual void ReadNotified(TSocketConnection* Connection, TMemoryStream* Stream) = 0;
  // A host look-up this component started has ended.
  virtual void LookupNotified(std::uint64_t request, bool found, std::uint32_t address) = 0;

  ISocketApi& Api() { return *api_; }
  // Set first thing in the destructor: no callback of the owner runs then.
  bool Destroying() const { return destroying_; }
  void BeginDestruction() { destroying_ = true; }

  bool allowChangeHostAndPortOnConnection_ = false;
  std::string host_;
  std::uint16_t port_ = 0;
  TSocket socket_ = kNoSocket;
  TSockAddrIn serverAddress_;  // filled at each connection attempt

 private:
  // The platform's events. An error (a Windows Sockets code, 0 for none)
  // takes the error path; otherwise the event goes to its step.
  void SocketConnected(TSocket socket, std::int32_t error) override;
  void SocketReadable(TSocket socket) override;
  void SocketClosed(TSocket socket, std::int32_t error) override;
  void HostLookedUp(std::uint64_t request, bool found, std::uint32_t address) override;
  // Whether an event of this socket is still ours to act on.
  bool IsCurrent(TSocket socket) const { return socket != kNoSocket && socket == socket_; }
  void ReadProcedure(TSocket Socket);
  // The connection list of a listening variant is never created here.
  TSocketConnection* FindConnection(TSocket) const { return nullptr; }

  std::unique_ptr<ISocketApi> api_;  // the sockets session
  bool destroying_ = false;
};

class TSimpleTCPClient : public TCustomSimpleSocket {
  Q_OBJECT

 public:
  explicit TSimpleTCPClient(QObject* owner = nullptr, std::unique_ptr<ISocketApi> api = CreateSystemSocketApi());
  // Runs the disconnect sequence (the connection is reset; OnDisconnected is
  // not raised), then ends the sockets session.
  ~TSimpleTCPClient() override;

  bool AutoTryReconnect() const { return autoTryReconnect_; }
  void SetAutoTryReconnect(bool value) { autoTryReconnect_ = value; }
  // True only between a successful connect and the disconnect sequence.
  bool Connected() const { return connected_; }
  // true starts a connection attempt unless one is in progress or up;
  // false ends the attempt or the connection (OnDisconnected).
  virtual void SetConnected(bool Value);
  // True from the start of an attempt until the disconnect sequence.
  bool ConnectRequested() const { return requested_; }
  // Ends the connection in order: closes it for sending, so that the server
  // reads what it was sent and then its end, and waits for the server's
  // close. That close is an orderly end like any other (OnDisconnected,
  // AcknowledgedAtOrderlyEnd), and a new connection starts at once.
  // Meanwhile a send takes nothing. A server that has not closed within
  // kCloseLimitMs is reset (OnDisconnected, no orderly end, no new attempt).
  void CloseInOrder();
  // Between CloseInOrder and the end of the connection.
  bool Closing() const { return closing_; }

  TNotifyEvent OnConnected;
  TNotifyEvent OnDisconnected;
  TSimpleTCPClientDataAvailEvent OnDataAvailable;
  TSimpleTCPClientIOEvent OnRead;

  // While connected a different value raises "Can not change Host while
  // connected", or reconnects to it when AllowChangeHostAndPortOnConnection
  // is set; otherwise it is used from the next attempt.
  void SetHost(const std::string& value) override;
  // Likewise, with "Can not change Port while connected".
  void SetPort(std::uint16_t value) override;

  // SendStreamTo on the component's socket.
  std::int32_t SendStream(TMemoryStream* Stream);

  // Counts for telling which bytes sent the server's TCP holds: the
  // connections made so far (each gets the next number), the bytes this
  // connection's sends took, and how many of those its kernel still holds
  // unacknowledged (nullopt while not connected or when the system cannot
  // tell).
  std::uint64_t ConnectionNumber() const { return connectionNumber_; }
  std::uint64_t BytesSent() const { return bytesSent_; }
  std::optional<std::uint32_t> UnacknowledgedBytes();
  // The receive window the server last advertised (nullopt while not
  // connected or when the system cannot tell).
  std::optional<TPeerWindow> PeerWindow();
  // When the last connection was ended by the server in order (its close
  // came after it had read what it was sent before): the bytes of it that
  // its TCP had acknowledged then. nullopt when it ended any other way, or
  // while it is up.
  std::optional<std::uint64_t> AcknowledgedAtOrderlyEnd() const { return acknowledgedAtOrderlyEnd_; }

 protected:
  // The disconnect sequence first, then the text to OnError or raised.
  void ReportError(TSocket Socket, std::int32_t ErrorCode) override;
  void ConnectNotified() override;
  void CloseNotified(TSocket Socket) override;
  void DataAvailableNotified(TSocketConnection* Connection, std::int32_t DataSize, bool& Handled) override;
  void ReadNotified(TSocketConnection* Connection, TMemoryStream* Stream) override;
  void LookupNotified(std::uint64_t request, bool found, std::uint32_t address) override;

 private:
  void ConnectSequence();
  void StartLookUp(const std::string& name);
  // The rest of the attempt once the server's address is known.
  void ConnectToAddress(std::uint32_t address);
  void DisconnectSequence();

  bool autoTryReconnect_ = false;
  bool requested_ = false;
  bool connected_ = false;
  bool closing_ = false;
  std::uint64_t connectionNumber_ = 0;
  std::uint64_t bytesSent_ = 0;
  std::optional<std::uint64_t> acknowledgedAtOrderlyEnd_;
  // Each attempt's number: the limits of an attempt act only on their own.
  std::uint64_t attempt_ = 0;
  HostLookupCache lookups_{SystemClock()};
  std::map<std::uint64_t, std::string> lookUpsOut_;  // request -> name
  // The name the attempt waits for (empty: none). An answer that has not
  // come within kLookupLimitMs fails the attempt quietly; it is kept for the
  // next one whenever it comes.
  std::string awaitedName_;

 public:
  static constexpr int kLookupLimitMs = 2500;
  // A SYN lost on a dead path is sent again after 1 s, 3 s, 7 s, 15 s...: a
  // fresh attempt every few seconds finds a path that came back sooner.
  static constexpr int kConnectLimitMs = 2500;
  // A server reading a full buffer over a slow path ends within this.
  static constexpr int kCloseLimitMs = 5000;
};

}  // namespace vorel
