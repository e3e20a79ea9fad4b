#include "p7/SimpleTCP.h"

#include <QTimer>

#include <QtEndian>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "base/uncaught_error.h"

namespace vorel {
namespace {

// A handler may reassign its own callback; the call runs on a copy.
template <class Callback, class... Args>
void Fire(const Callback& callback, Args&&... args) {
  if (!callback) return;
  Callback copy = callback;
  copy(std::forward<Args>(args)...);
}

constexpr std::int32_t kMaxChunk = std::numeric_limits<std::int32_t>::max();

// Puts the stream's position back however the send ends.
class PositionKeeper {
 public:
  explicit PositionKeeper(TMemoryStream& stream) : stream_(stream), position_(stream.Position()) {}
  ~PositionKeeper() { stream_.SetPosition(position_); }
  PositionKeeper(const PositionKeeper&) = delete;
  PositionKeeper& operator=(const PositionKeeper&) = delete;

 private:
  TMemoryStream& stream_;
  std::int64_t position_;
};

}  // namespace

// --- TCustomSimpleSocket -----------------------------------------------------

TCustomSimpleSocket::TCustomSimpleSocket(QObject* owner, std::unique_ptr<ISocketApi> api)
    : QObject(owner), api_(std::move(api)) {
  api_->SetEvents(this);
  if (api_->Startup() != 0) throw ESocketError("Can not start socket session");
}

TCustomSimpleSocket::~TCustomSimpleSocket() {
  destroying_ = true;
  api_->SetEvents(nullptr);
  if (api_->Cleanup() != 0) ReportUncaughtError("Can not clean socket session");
}

// Each event runs as an event handler of its own: an error raised while it is
// handled goes to the application's handler for uncaught errors, and the
// program goes on. A platform that queues its events may still hand over one
// of a socket closed meanwhile; acting on it would end the next connection.
void TCustomSimpleSocket::SocketConnected(TSocket socket, std::int32_t error) {
  if (!IsCurrent(socket)) return;
  RunGuarded([&] {
    if (error != 0) {
      ReportError(socket, error);
    } else {
      ConnectNotified();
    }
  });
}

void TCustomSimpleSocket::SocketReadable(TSocket socket) {
  if (!IsCurrent(socket)) return;
  RunGuarded([&] { ReadProcedure(socket); });
}

void TCustomSimpleSocket::SocketClosed(TSocket socket, std::int32_t error) {
  if (!IsCurrent(socket)) return;
  RunGuarded([&] {
    if (error != 0) {
      ReportError(socket, error);
    } else {
      CloseNotified(socket);
    }
  });
}

void TCustomSimpleSocket::HostLookedUp(std::uint64_t request, bool found, std::uint32_t address) {
  RunGuarded([&] { LookupNotified(request, found, address); });
}

// Delivers everything that has arrived by now in one OnRead, however many
// receives it takes.
void TCustomSimpleSocket::ReadProcedure(TSocket Socket) {
  TSocketConnection* connection = FindConnection(Socket);
  TMemoryStream stream;
  bool handled = false;
  for (;;) {
    // A handler (or the error path) closed the socket: nothing more to read.
    if (!IsCurrent(Socket)) return;
    std::uint32_t waiting = 0;
    if (api_->BytesWaiting(Socket, waiting) != 0) {
      ReportError(Socket, api_->LastError());
      return;
    }
    if (waiting > 0) {
      const auto count = static_cast<std::int32_t>(std::min<std::uint32_t>(waiting, kMaxChunk));
      handled = false;
      DataAvailableNotified(connection, count, handled);
      if (!handled) ReceiveToStream(Socket, &stream, count, false);
      continue;
    }
    if (handled) return;  // OnDataAvailable took the bytes itself
    if (stream.Size() > 0) {
      stream.SetPosition(0);
      ReadNotified(connection, &stream);
    }
    return;
  }
}

void TCustomSimpleSocket::ReportError(TSocket Socket, std::int32_t ErrorCode) {
  const std::string text = wsa::ErrorText(ErrorCode);
  // While the component is being destroyed its owner may be half gone: the
  // error is raised instead, to the handler for uncaught errors.
  if (OnError && !destroying_) {
    Fire(OnError, this, Socket, ErrorCode, text);
    return;
  }
  throw ESocketError(text);
}

std::int32_t TCustomSimpleSocket::SendStreamTo(TSocket Socket, TMemoryStream* Stream) {
  if (Socket == kNoSocket || Stream == nullptr) return 0;
  PositionKeeper keeper(*Stream);
  const auto size = static_cast<std::int32_t>(std::min<std::int64_t>(Stream->Size(), kMaxChunk));
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size));
  Stream->SetPosition(0);
  Stream->Read(buffer.data(), size);
  const int sent = api_->Send(Socket, buffer.data(), size);
  if (sent != -1) return sent;
  // A full send buffer takes nothing; it is no fault of the connection.
  if (api_->LastError() == wsa::kWouldBlock) return 0;
  ReportError(Socket, api_->LastError());
  return -1;
}

std::int32_t TCustomSimpleSocket::ReceiveBytes(TSocket Socket, std::uint8_t* Buffer, std::int32_t Size,
                                               bool WaitAll) {
  const int first = api_->Recv(Socket, Buffer, std::max(Size, 0));
  if (first == -1) {
    ReportError(Socket, api_->LastError());
    return -1;
  }
  std::int32_t total = first;
  // Waiting for all spins on the non-blocking socket until the rest is in.
  // It ends when the peer closes too (a receive of 0), not only on failure.
  while (WaitAll && first > 0 && total < Size) {
    std::uint32_t waiting = 0;
    if (api_->BytesWaiting(Socket, waiting) != 0) {
      ReportError(Socket, api_->LastError());
      return total;
    }
    const std::int32_t rest = Size - total;
    const std::int32_t ask = waiting > 0 ? std::min<std::int32_t>(rest, static_cast<std::int32_t>(
                                                                          std::min<std::uint32_t>(waiting, kMaxChunk)))
                                         : rest;
    const int n = api_->Recv(Socket, Buffer + total, ask);
    if (n == 0) return total;
    if (n == -1) {
      const int code = api_->LastError();
      if (code == wsa::kWouldBlock) continue;  // nothing yet
      ReportError(Socket, code);
      return total;
    }
    total += n;
  }
  return total;
}

std::int32_t TCustomSimpleSocket::ReceiveToStream(TSocket Socket, TMemoryStream* Stream, std::int32_t Size,
                                                  bool WaitAll) {
  if (Size <= 0 || Stream == nullptr) return 0;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(Size));
  const std::int32_t received = ReceiveBytes(Socket, buffer.data(), Size, WaitAll);
  if (received > 0) Stream->Write(buffer.data(), received);
  return received;
}

// --- TSimpleTCPClient --------------------------------------------------------

TSimpleTCPClient::TSimpleTCPClient(QObject* owner, std::unique_ptr<ISocketApi> api)
    : TCustomSimpleSocket(owner, std::move(api)) {}

TSimpleTCPClient::~TSimpleTCPClient() {
  BeginDestruction();
  RunGuarded([this] { SetConnected(false); });
}

void TSimpleTCPClient::SetConnected(bool Value) {
  if (Value) {
    ConnectSequence();
  } else {
    DisconnectSequence();
  }
}

void TSimpleTCPClient::ConnectSequence() {
  if (requested_) return;  // an attempt in progress or a connection up
  requested_ = true;

  serverAddress_ = TSockAddrIn{};
  serverAddress_.family = kAfInet;
  serverAddress_.port = qToBigEndian<std::uint16_t>(port_);
  const std::uint64_t attempt = ++attempt_;
  const std::uint32_t numeric = Api().InetAddr(host_);
  if (numeric != kInAddrNone) {
    ConnectToAddress(numeric);
    return;
  }
  // A host name: the last good answer at once, refreshed off the event loop
  // when it has aged; without one, the look-up that is out, within the
  // attempt's limit.
  const HostLookupCache::Plan plan = lookups_.ForAttempt(host_);
  if (plan.startLookUp) StartLookUp(host_);
  if (!plan.addresses.empty()) {
    ConnectToAddress(plan.addresses.front());
    return;
  }
  if (!lookups_.LookUpOut(host_)) {
    ReportError(kNoSocket, wsa::kBadAddress);
    return;
  }
  awaitedName_ = host_;
  QTimer::singleShot(kLookupLimitMs, this, [this, attempt] {
    if (attempt != attempt_ || awaitedName_.empty()) return;
    RunGuarded([this] {
      awaitedName_.clear();
      ReportError(kNoSocket, wsa::kBadAddress);
    });
  });
}

void TSimpleTCPClient::StartLookUp(const std::string& name) {
  const std::uint64_t request = Api().StartHostLookup(name);
  if (request == 0) {
    lookups_.NotStarted(name);
    return;
  }
  lookUpsOut_[request] = name;
}

void TSimpleTCPClient::LookupNotified(std::uint64_t request, bool found, std::uint32_t address) {
  auto it = lookUpsOut_.find(request);
  if (it == lookUpsOut_.end()) return;
  const std::string name = std::move(it->second);
  lookUpsOut_.erase(it);
  lookups_.Answered(name, found ? std::vector<std::uint32_t>{address} : std::vector<std::uint32_t>{});
  // No attempt waits for it (a refresh, or one given up): kept for the next.
  if (!requested_ || awaitedName_.empty() || awaitedName_ != name) return;
  awaitedName_.clear();
  if (!found) {
    ReportError(kNoSocket, wsa::kBadAddress);
    return;
  }
  ConnectToAddress(address);
}

void TSimpleTCPClient::ConnectToAddress(std::uint32_t address) {
  serverAddress_.address = address;
  socket_ = Api().CreateSocket();
  if (socket_ == kNoSocket) {
    ReportError(kNoSocket, Api().LastError());
    return;
  }
  // Not looked at: a system without these options still connects, only
  // notices a dead path later.
  Api().SetDeadPathLimits(socket_);
  if (Api().StartNotifications(socket_) != 0) {
    ReportError(socket_, Api().LastError());
    return;
  }
  if (Api().Connect(socket_, serverAddress_) != 0) {
    const int code = Api().LastError();
    if (code != wsa::kWouldBlock) {
      ReportError(socket_, code);
      return;
    }
  }
  // Connected stays false until the connect notification, which must come
  // within the limit.
  const std::uint64_t attempt = attempt_;
  const TSocket socket = socket_;
  QTimer::singleShot(kConnectLimitMs, this, [this, attempt, socket] {
    if (attempt != attempt_ || socket != socket_ || !requested_ || connected_) return;
    RunGuarded([this] { ReportError(socket_, wsa::kTimedOut); });
  });
}

void TSimpleTCPClient::DisconnectSequence() {
  if (!requested_) return;
  requested_ = false;
  awaitedName_.clear();
  // Results not looked at: the socket goes whatever state it is in.
  Api().StopNotifications(socket_);
  Api().Shutdown(socket_);
  Api().SetLingerReset(socket_);
  if (Api().CloseSocket(socket_) != 0) {
    ReportError(socket_, Api().LastError());
    return;
  }
  socket_ = kNoSocket;
  connected_ = false;
  closing_ = false;
  if (!Destroying()) Fire(OnDisconnected, this);
}

void TSimpleTCPClient::ReportError(TSocket Socket, std::int32_t ErrorCode) {
  DisconnectSequence();
  TCustomSimpleSocket::ReportError(Socket, ErrorCode);
}

void TSimpleTCPClient::ConnectNotified() {
  connected_ = true;
  ++connectionNumber_;
  bytesSent_ = 0;
  acknowledgedAtOrderlyEnd_.reset();
  Fire(OnConnected, this);
}

// The server closed the connection in an orderly way. A server program that
// closes with bytes unread resets instead, so what its TCP had acknowledged
// by now it has read.
void TSimpleTCPClient::CloseNotified(TSocket) {
  if (const std::optional<std::uint32_t> unacknowledged = UnacknowledgedBytes(); unacknowledged && *unacknowledged <= bytesSent_)
    acknowledgedAtOrderlyEnd_ = bytesSent_ - *unacknowledged;
  const bool ours = closing_;
  DisconnectSequence();
  if (Destroying()) return;
  Fire(OnDisconnected, this);
  if (autoTryReconnect_ || ours) ConnectSequence();
}

void TSimpleTCPClient::CloseInOrder() {
  if (!connected_ || closing_) return;
  if (Api().ShutdownSending(socket_) != 0) {
    ReportError(socket_, Api().LastError());
    return;
  }
  closing_ = true;
  const std::uint64_t connection = connectionNumber_;
  QTimer::singleShot(kCloseLimitMs, this, [this, connection] {
    if (!closing_ || connection != connectionNumber_) return;
    RunGuarded([this] { DisconnectSequence(); });
  });
}

void TSimpleTCPClient::DataAvailableNotified(TSocketConnection*, std::int32_t DataSize, bool& Handled) {
  Handled = static_cast<bool>(OnDataAvailable);
  if (Handled) Fire(OnDataAvailable, this, DataSize);
}

void TSimpleTCPClient::ReadNotified(TSocketConnection*, TMemoryStream* Stream) { Fire(OnRead, this, Stream); }

void TSimpleTCPClient::SetHost(const std::string& value) {
  if (value == host_) return;
  if (connected_) {
    if (!allowChangeHostAndPortOnConnection_) throw ESocketError("Can not change Host while connected");
    DisconnectSequence();
    host_ = value;
    ConnectSequence();
    return;
  }
  host_ = value;  // an attempt in progress goes on to the old address
}

void TSimpleTCPClient::SetPort(std::uint16_t value) {
  if (value == port_) return;
  if (connected_) {
    if (!allowChangeHostAndPortOnConnection_) throw ESocketError("Can not change Port while connected");
    DisconnectSequence();
    port_ = value;
    ConnectSequence();
    return;
  }
  port_ = value;
}

std::int32_t TSimpleTCPClient::SendStream(TMemoryStream* Stream) {
  if (closing_) return 0;
  const std::int32_t sent = SendStreamTo(socket_, Stream);
  if (sent > 0) bytesSent_ += static_cast<std::uint64_t>(sent);
  return sent;
}

std::optional<std::uint32_t> TSimpleTCPClient::UnacknowledgedBytes() {
  std::uint32_t count = 0;
  if (!connected_ || Api().UnacknowledgedBytes(socket_, count) != 0) return std::nullopt;
  return count;
}

std::optional<TPeerWindow> TSimpleTCPClient::PeerWindow() {
  TPeerWindow window;
  if (!connected_ || Api().PeerWindow(socket_, window.window, window.granule) != 0) return std::nullopt;
  return window;
}

}  // namespace vorel
