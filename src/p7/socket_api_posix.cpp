// POSIX sockets behind the socket client's platform interface. A socket with
// notifications on has two socket notifiers on the owner's event loop:
// - the write notifier runs only while a connect is pending; the connect's
//   end is read from SO_ERROR and told as SocketConnected;
// - the read notifier runs once the connection is up. A readable socket with
//   nothing waiting has been closed by the peer: an orderly close when a peek
//   reads 0, a reset when it fails. So bytes that came before the close are
//   always told first, and the close is told once;
// - while an event of a socket is being handled, both of its notifiers are
//   off: a handler that runs a nested event loop (a message box) is not told
//   the next event of that socket in the middle of the first.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/dead_path_limits.h"
#include "p7/socket_api.h"

namespace vorel {
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

// One socket of the session.
struct SocketWatch {
  enum class Phase {
    Unconnected,
    Connecting,  // connect() under way: write readiness tells its end
    Open,        // read readiness tells bytes or the close
    Ended,       // the connect failed or the peer closed: nothing more to tell
  };

  explicit SocketWatch(int descriptor) : fd(descriptor) {}
  int fd;
  Phase phase = Phase::Unconnected;
  bool handling = false;  // one of its events is being handled
  // Both null while notifications are off.
  QSocketNotifier* reader = nullptr;
  QSocketNotifier* writer = nullptr;
};
using Phase = SocketWatch::Phase;

bool LookUp(const std::string& name, std::uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const bool found = ::getaddrinfo(name.c_str(), nullptr, &hints, &result) == 0 && result != nullptr;
  if (found) address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  if (result) ::freeaddrinfo(result);
  return found;
}

class PosixSocketApi;

// What a look-up thread needs to hand its result over: the session, while
// it lasts (cleared under the mutex when it ends).
struct LookupPoster {
  std::mutex mutex;
  PosixSocketApi* api = nullptr;
};

class PosixSocketApi final : public ISocketApi {
 public:
  PosixSocketApi() { poster_->api = this; }
  ~PosixSocketApi() override {
    {
      std::lock_guard<std::mutex> lock(poster_->mutex);
      poster_->api = nullptr;
    }
    CloseAll();
  }

  void SetEvents(ISocketEvents* events) override { events_ = events; }

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

  // getaddrinfo on a thread of its own; the result is posted to the event
  // loop of notifiers_, unless this session has ended by then.
  std::uint64_t StartHostLookup(const std::string& name) override {
    if (!started_) {
      Fail(wsa::kNotInitialised);
      return 0;
    }
    const std::uint64_t request = ++lastLookup_;
    try {
      std::thread([name, request, poster = poster_] {
        std::uint32_t address = 0;
        const bool found = LookUp(name, address);
        std::lock_guard<std::mutex> lock(poster->mutex);
        if (!poster->api) return;
        PosixSocketApi* api = poster->api;
        QMetaObject::invokeMethod(
            &api->notifiers_,
            [api, request, found, address] {
              if (api->events_) api->events_->HostLookedUp(request, found, address);
            },
            Qt::QueuedConnection);
      }).detach();
    } catch (const std::system_error&) {
      Fail(wsa::FromErrno(EAGAIN));  // no thread to be had: this attempt fails
      return 0;
    }
    return request;
  }

  TSocket CreateSocket() override {
    if (!started_) return Fail(wsa::kNotInitialised);
    const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return FailErrno();
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    KeepSendsFromRaisingSigpipe(fd);
    sockets_[fd] = std::make_shared<SocketWatch>(fd);
    return fd;
  }

  int StartNotifications(TSocket s) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    const int flags = ::fcntl(w->fd, F_GETFL);
    if (flags < 0 || ::fcntl(w->fd, F_SETFL, flags | O_NONBLOCK) < 0) return FailErrno();
    if (!w->reader) {
      w->reader = NewNotifier(sockets_[s], QSocketNotifier::Read, &PosixSocketApi::OnReadable);
      w->writer = NewNotifier(sockets_[s], QSocketNotifier::Write, &PosixSocketApi::OnWritable);
    }
    UpdateNotifiers(*w);
    return 0;
  }

  int StopNotifications(TSocket s) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    DropNotifiers(*w);
    return 0;
  }

  int Connect(TSocket s, const TSockAddrIn& address) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = address.port;
    sa.sin_addr.s_addr = address.address;
    const int r = ::connect(w->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    const int error = errno;
    if (r == 0 && !w->reader) {
      w->phase = Phase::Open;  // a blocking socket: nothing to tell
      return 0;
    }
    if (r == 0 || error == EINPROGRESS || error == EINTR) {
      // Even an at-once success is told through the event loop, so that the
      // component sees one path.
      w->phase = Phase::Connecting;
      UpdateNotifiers(*w);
      return r == 0 ? 0 : Fail(wsa::kWouldBlock);
    }
    return Fail(wsa::FromErrno(error));
  }

  int BytesWaiting(TSocket s, std::uint32_t& count) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    int n = 0;
    if (::ioctl(w->fd, FIONREAD, &n) != 0) return FailErrno();
    count = static_cast<std::uint32_t>(std::max(n, 0));
    return 0;
  }

  int UnacknowledgedBytes(TSocket s, std::uint32_t& count) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    int n = 0;
    if (::ioctl(w->fd, SIOCOUTQ, &n) != 0) return FailErrno();
    count = static_cast<std::uint32_t>(std::max(n, 0));
    return 0;
  }

  int PeerWindow(TSocket s, std::uint32_t& window, std::uint32_t& granule) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(w->fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return FailErrno();
    // A kernel older than tcpi_snd_wnd fills less of the structure.
    if (length < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd) return Fail(wsa::FromErrno(ENOPROTOOPT));
    window = info.tcpi_snd_wnd;
    granule = 1u << info.tcpi_snd_wscale;
    return 0;
  }

  int Recv(TSocket s, std::uint8_t* buffer, int length) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    const ssize_t n = ::recv(w->fd, buffer, static_cast<std::size_t>(std::max(length, 0)), 0);
    if (n < 0) return FailErrno();
    return static_cast<int>(n);
  }

  int Send(TSocket s, const std::uint8_t* data, int length) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    if (w->phase == Phase::Connecting) return Fail(wsa::kNotConnected);
    const ssize_t n = ::send(w->fd, data, static_cast<std::size_t>(std::max(length, 0)), kSendFlags);
    if (n < 0) return FailErrno();
    return static_cast<int>(n);
  }

  int Shutdown(TSocket s) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    return ::shutdown(w->fd, SHUT_RDWR) == 0 ? 0 : FailErrno();
  }

  int ShutdownSending(TSocket s) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    return ::shutdown(w->fd, SHUT_WR) == 0 ? 0 : FailErrno();
  }

  int SetLingerReset(TSocket s) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    return ::setsockopt(w->fd, SOL_SOCKET, SO_LINGER, &option, sizeof option) == 0 ? 0 : FailErrno();
  }

  int SetDeadPathLimits(TSocket s) override {
    SocketWatch* w = Find(s);
    if (!w) return Fail(wsa::kNotSocket);
    const int error = ApplyDeadPathLimits(w->fd);
    return error == 0 ? 0 : Fail(wsa::FromErrno(error));
  }

  int CloseSocket(TSocket s) override {
    auto it = sockets_.find(s);
    if (it == sockets_.end()) return Fail(wsa::kNotSocket);
    const std::shared_ptr<SocketWatch> w = std::move(it->second);
    sockets_.erase(it);
    return Release(*w) ? 0 : FailErrno();
  }

 private:
  using Handler = void (PosixSocketApi::*)(SocketWatch&);

  // Only sockets of this session are touched: a handle that is not one (a
  // stale or foreign number) fails as "not a socket" without a system call.
  SocketWatch* Find(TSocket s) {
    auto it = sockets_.find(s);
    return it == sockets_.end() ? nullptr : it->second.get();
  }

  int Fail(int code) {
    lastError_ = code;
    return -1;
  }
  int FailErrno() { return Fail(wsa::FromErrno(errno)); }

  QSocketNotifier* NewNotifier(const std::shared_ptr<SocketWatch>& w, QSocketNotifier::Type type, Handler handler) {
    auto* notifier = new QSocketNotifier(w->fd, type, &notifiers_);
    notifier->setEnabled(false);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [this, weak = std::weak_ptr<SocketWatch>(w), handler] { Handle(weak, handler); });
    return notifier;
  }

  // One event of a socket at a time (see the top of this file). The watch
  // lives on through the handler even when the handler closes its socket.
  void Handle(const std::weak_ptr<SocketWatch>& weak, Handler handler) {
    const std::shared_ptr<SocketWatch> w = weak.lock();
    if (!w) return;
    w->handling = true;
    UpdateNotifiers(*w);
    (this->*handler)(*w);
    w->handling = false;
    UpdateNotifiers(*w);
  }

  void OnWritable(SocketWatch& w) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(w.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    w.phase = error == 0 ? Phase::Open : Phase::Ended;
    if (events_) events_->SocketConnected(w.fd, error == 0 ? 0 : wsa::FromErrno(error));
  }

  void OnReadable(SocketWatch& w) {
    int waiting = 0;
    // A failing FIONREAD is the component's to find and report: it asks too.
    if (::ioctl(w.fd, FIONREAD, &waiting) != 0 || waiting > 0) return TellReadable(w);
    char byte = 0;
    const ssize_t n = ::recv(w.fd, &byte, 1, MSG_PEEK);
    if (n > 0) return TellReadable(w);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;  // nothing after all
    const int error = n == 0 ? 0 : wsa::FromErrno(errno);
    w.phase = Phase::Ended;
    if (events_) events_->SocketClosed(w.fd, error);
  }

  void TellReadable(const SocketWatch& w) {
    if (events_) events_->SocketReadable(w.fd);
  }

  // Nothing to do once notifications are off (the socket may be closed).
  static void UpdateNotifiers(SocketWatch& w) {
    if (!w.reader) return;
    w.reader->setEnabled(w.phase == Phase::Open && !w.handling);
    w.writer->setEnabled(w.phase == Phase::Connecting && !w.handling);
  }

  // The notifier whose handler is running may be one of these (a handler
  // closes the connection), so none is deleted at once. The ones still
  // waiting for the event loop go with notifiers_, their parent.
  static void DropNotifiers(SocketWatch& w) {
    for (QSocketNotifier** notifier : {&w.reader, &w.writer}) {
      if (!*notifier) continue;
      (*notifier)->setEnabled(false);
      (*notifier)->deleteLater();
      *notifier = nullptr;
    }
  }

  // Notifiers go before the descriptor, so that no event loop polls a closed one.
  static bool Release(SocketWatch& w) {
    DropNotifiers(w);
    // The descriptor is gone after close() even when it reports EINTR.
    return ::close(w.fd) == 0 || errno == EINTR;
  }

  void CloseAll() {
    auto sockets = std::move(sockets_);
    sockets_.clear();
    for (auto& [fd, w] : sockets) Release(*w);
  }

  ISocketEvents* events_ = nullptr;
  std::map<TSocket, std::shared_ptr<SocketWatch>> sockets_;
  QObject notifiers_;  // the parent of every notifier; look-up results are posted to it
  std::shared_ptr<LookupPoster> poster_ = std::make_shared<LookupPoster>();
  std::uint64_t lastLookup_ = 0;
  int lastError_ = 0;
  bool started_ = false;
};

}  // namespace

std::unique_ptr<ISocketApi> CreateSystemSocketApi() { return std::make_unique<PosixSocketApi>(); }

}  // namespace vorel
