// POSIX sockets behind the component's platform interface. The hidden window
// of the Windows original becomes a pair of socket notifiers on the owner's
// event loop, and the notifications keep the Windows Sockets rules the
// component was built on:
// - connect completion is seen as write readiness and told with SO_ERROR;
//   the write notifier runs only while a connect is pending;
// - a read notification is not repeated until Recv has been called, and only
//   one notification per socket is handled at a time, so a handler that runs
//   a nested event loop does not see the same data twice;
// - a readable socket with nothing waiting has been closed by the peer: an
//   orderly close when a peek reads 0, a reset when it fails; bytes that came
//   before the close are always told first, as read notifications.
#include "p7/socket_api_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "p7/socket_api.h"

namespace vorel {

int WinSockErrorFromErrno(int error) {
  // EAGAIN and EWOULDBLOCK may be one value, so they are not switch labels.
  if (error == EAGAIN || error == EWOULDBLOCK) return wsa::kWouldBlock;
  switch (error) {
    case EINTR: return wsa::kInterrupted;
    case EBADF: return wsa::kNotSocket;  // Windows Sockets says "not a socket" for a bad handle
    case ENOTSOCK: return wsa::kNotSocket;
    case EACCES: return wsa::kAccessDenied;
    case EPERM: return wsa::kAccessDenied;
    case EFAULT: return wsa::kBadAddress;
    case EINVAL: return wsa::kInvalidArgument;
    case EMFILE: return wsa::kTooManyOpenFiles;
    case ENFILE: return wsa::kTooManyOpenFiles;
    case EINPROGRESS: return wsa::kInProgress;
    case EALREADY: return wsa::kAlreadyInProgress;
    case EDESTADDRREQ: return wsa::kDestinationRequired;
    case EMSGSIZE: return wsa::kMessageTooLong;
    case EPROTOTYPE: return wsa::kProtocolWrongType;
    case ENOPROTOOPT: return wsa::kProtocolNotAvailable;
    case EPROTONOSUPPORT: return wsa::kProtocolNotSupported;
#ifdef ESOCKTNOSUPPORT
    case ESOCKTNOSUPPORT: return wsa::kSocketTypeNotSupported;
#endif
    case EOPNOTSUPP: return wsa::kOperationNotSupported;
#ifdef EPFNOSUPPORT
    case EPFNOSUPPORT: return wsa::kProtocolFamilyNotSupported;
#endif
    case EAFNOSUPPORT: return wsa::kAddressFamilyNotSupported;
    case EADDRINUSE: return wsa::kAddressInUse;
    case EADDRNOTAVAIL: return wsa::kAddressNotAvailable;
    case ENETDOWN: return wsa::kNetworkDown;
    case ENETUNREACH: return wsa::kNetworkUnreachable;
    case ENETRESET: return wsa::kNetworkReset;
    case ECONNABORTED: return wsa::kConnectionAborted;
    case ECONNRESET: return wsa::kConnectionReset;
    case ENOBUFS: return wsa::kNoBufferSpace;
    case ENOMEM: return wsa::kNoBufferSpace;
    case EISCONN: return wsa::kAlreadyConnected;
    case ENOTCONN: return wsa::kNotConnected;
    case EPIPE: return wsa::kShutDown;  // sending on a connection that is gone
#ifdef ESHUTDOWN
    case ESHUTDOWN: return wsa::kShutDown;
#endif
#ifdef ETOOMANYREFS
    case ETOOMANYREFS: return wsa::kTooManyReferences;
#endif
    case ETIMEDOUT: return wsa::kTimedOut;
    case ECONNREFUSED: return wsa::kConnectionRefused;
    case ELOOP: return wsa::kLoop;
    case ENAMETOOLONG: return wsa::kNameTooLong;
#ifdef EHOSTDOWN
    case EHOSTDOWN: return wsa::kHostDown;
#endif
    case EHOSTUNREACH: return wsa::kHostUnreachable;
    case ENOTEMPTY: return wsa::kNotEmpty;
#ifdef EUSERS
    case EUSERS: return wsa::kTooManyUsers;
#endif
    case EDQUOT: return wsa::kQuotaExceeded;
    case ESTALE: return wsa::kStale;
#ifdef EREMOTE
    case EREMOTE: return wsa::kRemote;
#endif
    default: return 12000 + error;
  }
}

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

void KeepSendsFromRaisingSigpipe([[maybe_unused]] int fd) {
#ifdef SO_NOSIGPIPE
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

// One socket of the session and what it has been told to notify.
struct Watch {
  explicit Watch(int descriptor) : fd(descriptor) {}
  int fd;
  std::uint32_t mask = 0;
  bool connectPending = false;  // connect() under way, its end not yet told
  bool established = false;     // connected; only then is read readiness watched
  bool closeTold = false;       // the close notification comes once
  bool delivering = false;      // a notification of this socket is being handled
  bool recvSinceRead = true;    // Recv re-enables read notifications
  bool closed = false;
  QSocketNotifier* reader = nullptr;
  QSocketNotifier* writer = nullptr;
};

class PosixSocketApi final : public ISocketApi {
 public:
  ~PosixSocketApi() override { CloseAll(); }

  void SetNotificationSink(NotificationSink sink) override { sink_ = std::move(sink); }

  int Startup() override {
    started_ = true;
    return 0;
  }

  int Cleanup() override {
    if (!started_) return Fail(wsa::kNotInitialised);
    CloseAll();
    started_ = false;
    return 0;
  }

  int LastError() const override { return lastError_; }

  std::uint32_t InetAddr(const std::string& text) override { return ::inet_addr(text.c_str()); }

  bool GetHostByName(const std::string& name, std::uint32_t& address) override {
    if (!started_) {
      Fail(wsa::kNotInitialised);
      return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
      if (result) ::freeaddrinfo(result);
      Fail(wsa::kHostNotFound);
      return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(result);
    return true;
  }

  TSocket CreateSocket() override {
    if (!started_) return Fail(wsa::kNotInitialised);
    const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return FailErrno();
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    KeepSendsFromRaisingSigpipe(fd);
    sockets_[fd] = std::make_shared<Watch>(fd);
    return fd;
  }

  int AsyncSelect(TSocket s, std::uint32_t mask) override {
    Watch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    if (mask != 0) {
      const int flags = ::fcntl(w->fd, F_GETFL);
      if (flags < 0 || ::fcntl(w->fd, F_SETFL, flags | O_NONBLOCK) < 0) return FailErrno();
    }
    w->mask = mask;
    if (mask == 0) {
      DropNotifiers(*w);
      return 0;
    }
    if (!w->reader) {
      w->reader = new QSocketNotifier(w->fd, QSocketNotifier::Read);
      w->writer = new QSocketNotifier(w->fd, QSocketNotifier::Write);
      std::weak_ptr<Watch> weak = sockets_[s];
      QSocketNotifier* reader = w->reader;
      QSocketNotifier* writer = w->writer;
      QObject::connect(reader, &QSocketNotifier::activated, reader,
                       [this, weak, reader] { Fire(weak, reader, &PosixSocketApi::OnReadable); });
      QObject::connect(writer, &QSocketNotifier::activated, writer,
                       [this, weak, writer] { Fire(weak, writer, &PosixSocketApi::OnWritable); });
    }
    UpdateNotifiers(*w);
    return 0;
  }

  int Connect(TSocket s, const TSockAddrIn& address) override {
    Watch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = address.port;
    sa.sin_addr.s_addr = address.address;
    const int r = ::connect(w->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    const int error = errno;
    if (r == 0 && !w->reader) {
      w->established = true;  // a blocking socket: nothing more to tell
      return 0;
    }
    if (r == 0 || error == EINPROGRESS || error == EINTR) {
      // Even an at-once success is told through the event loop, as a connect
      // notification, so the component sees one path.
      w->connectPending = true;
      UpdateNotifiers(*w);
      return r == 0 ? 0 : Fail(wsa::kWouldBlock);
    }
    return Fail(WinSockErrorFromErrno(error));
  }

  int BytesWaiting(TSocket s, std::uint32_t& count) override {
    Watch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    int n = 0;
    if (::ioctl(w->fd, FIONREAD, &n) != 0) return FailErrno();
    count = static_cast<std::uint32_t>(std::max(n, 0));
    return 0;
  }

  int Recv(TSocket s, std::uint8_t* buffer, int length) override {
    Watch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    const ssize_t n = ::recv(w->fd, buffer, static_cast<std::size_t>(std::max(length, 0)), 0);
    const int error = errno;
    w->recvSinceRead = true;
    UpdateNotifiers(*w);
    if (n < 0) return Fail(WinSockErrorFromErrno(error));
    return static_cast<int>(n);
  }

  int Send(TSocket s, const std::uint8_t* data, int length) override {
    Watch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    if (w->connectPending) return Fail(wsa::kNotConnected);
    const ssize_t n = ::send(w->fd, data, static_cast<std::size_t>(std::max(length, 0)), kSendFlags);
    if (n < 0) return FailErrno();
    return static_cast<int>(n);
  }

  int Shutdown(TSocket s) override {
    Watch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    return ::shutdown(w->fd, SHUT_RDWR) == 0 ? 0 : FailErrno();
  }

  int SetLingerReset(TSocket s) override {
    Watch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    return ::setsockopt(w->fd, SOL_SOCKET, SO_LINGER, &option, sizeof option) == 0 ? 0 : FailErrno();
  }

  int CloseSocket(TSocket s) override {
    auto it = sockets_.find(s);
    if (it == sockets_.end()) return Fail(wsa::kNotSocket);
    std::shared_ptr<Watch> w = std::move(it->second);
    sockets_.erase(it);
    return Release(*w) ? 0 : FailErrno();
  }

 private:
  using Handler = void (PosixSocketApi::*)(const std::shared_ptr<Watch>&);

  // Only sockets of this session are touched: a handle that is not one (a
  // stale or foreign number) fails as "not a socket" without a system call.
  Watch* Find(TSocket s) {
    auto it = sockets_.find(s);
    return it == sockets_.end() ? nullptr : it->second.get();
  }

  int Fail(int code) {
    lastError_ = code;
    return -1;
  }
  int FailErrno() { return Fail(WinSockErrorFromErrno(errno)); }

  void Fire(const std::weak_ptr<Watch>& weak, QSocketNotifier* notifier, Handler handler) {
    std::shared_ptr<Watch> w = weak.lock();
    if (!w || w->closed || w->delivering) return;
    firing_.push_back(notifier);
    (this->*handler)(w);
    firing_.erase(std::find(firing_.begin(), firing_.end(), notifier));
  }

  void OnWritable(const std::shared_ptr<Watch>& w) {
    if (!w->connectPending) return UpdateNotifiers(*w);
    w->connectPending = false;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(w->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    w->established = error == 0;
    UpdateNotifiers(*w);
    if (w->mask & kFdConnect) Deliver(w, kFdConnect, error == 0 ? 0 : WinSockErrorFromErrno(error));
  }

  void OnReadable(const std::shared_ptr<Watch>& w) {
    int waiting = 0;
    // A failing FIONREAD is the component's to find and report: it asks too.
    if (::ioctl(w->fd, FIONREAD, &waiting) != 0 || waiting > 0) return DeliverRead(w);
    char byte = 0;
    const ssize_t n = ::recv(w->fd, &byte, 1, MSG_PEEK);
    if (n > 0) return DeliverRead(w);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;  // nothing after all
    const int code = n == 0 ? 0 : WinSockErrorFromErrno(errno);
    w->closeTold = true;
    UpdateNotifiers(*w);
    if (w->mask & kFdClose) Deliver(w, kFdClose, code);
  }

  void DeliverRead(const std::shared_ptr<Watch>& w) {
    w->recvSinceRead = false;
    if (w->mask & kFdRead) {
      Deliver(w, kFdRead, 0);
    } else {
      UpdateNotifiers(*w);  // nobody wants the data: wait for a Recv
    }
  }

  void Deliver(const std::shared_ptr<Watch>& w, std::uint16_t event, int error) {
    w->delivering = true;
    UpdateNotifiers(*w);
    if (sink_) sink_(w->fd, MakeNotification(event, static_cast<std::uint16_t>(error)));
    if (w->closed) return;  // the handler closed the socket
    w->delivering = false;
    UpdateNotifiers(*w);
  }

  void UpdateNotifiers(Watch& w) {
    if (w.reader) {
      const bool wantsRead = (w.mask & (kFdRead | kFdClose)) != 0;
      w.reader->setEnabled(wantsRead && w.established && !w.closeTold && !w.delivering && w.recvSinceRead);
    }
    if (w.writer) w.writer->setEnabled(w.connectPending && !w.delivering);
  }

  // A notifier is never deleted inside its own handler.
  void DropNotifier(QSocketNotifier*& notifier) {
    if (!notifier) return;
    notifier->setEnabled(false);
    QObject::disconnect(notifier, nullptr, nullptr, nullptr);
    if (std::find(firing_.begin(), firing_.end(), notifier) != firing_.end()) {
      notifier->deleteLater();
    } else {
      delete notifier;
    }
    notifier = nullptr;
  }

  void DropNotifiers(Watch& w) {
    DropNotifier(w.reader);
    DropNotifier(w.writer);
  }

  // Notifiers go before the descriptor, so that no event loop polls a closed one.
  bool Release(Watch& w) {
    DropNotifiers(w);
    w.closed = true;
    // The descriptor is gone after close() even when it reports EINTR.
    return ::close(w.fd) == 0 || errno == EINTR;
  }

  void CloseAll() {
    auto sockets = std::move(sockets_);
    sockets_.clear();
    for (auto& [fd, w] : sockets) Release(*w);
  }

  NotificationSink sink_;
  std::map<TSocket, std::shared_ptr<Watch>> sockets_;
  std::vector<QSocketNotifier*> firing_;
  int lastError_ = 0;
  bool started_ = false;
};

}  // namespace

std::unique_ptr<ISocketApi> CreateSystemSocketApi() { return std::make_unique<PosixSocketApi>(); }

}  // namespace vorel
