// A scripted stand-in for the socket platform: it records the calls the
// component makes, fails the ones a test names, and lets the test tell the
// platform's events by hand, so that orders of callbacks can be checked exactly.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "p7/socket_api.h"

namespace vorel::test {

struct FakeSocketState {
  ISocketEvents* events = nullptr;
  std::vector<std::string> calls;   // "socket 7", "notify 7", "connect 7", "send 7 555", ...
  std::map<std::string, int> fail;  // operation name -> the code it fails with
  int startupResult = 0;
  int cleanupResult = 0;
  bool resolves = true;               // how the next look-up ends
  std::uint32_t resolvedAddress = 0;
  std::uint64_t pendingLookup = 0;    // started and not yet told (0: none)
  std::uint64_t lastLookup = 0;
  TSocket nextSocket = 7;
  std::set<TSocket> open;
  TSockAddrIn lastAddress;
  int sendAccepts = -1;  // bytes a send takes; -1: all
  std::uint32_t unacknowledged = 0;  // bytes sent that the peer's TCP has not acknowledged
  std::uint32_t peerWindow = 65536;  // the receive window the peer advertised last
  std::uint32_t peerGranule = 128;
  std::vector<std::uint8_t> sent;
  std::deque<std::uint8_t> incoming;  // bytes waiting on the socket
  std::uint32_t waitingReportLimit = 0;  // FIONREAD tells at most this many (0: all)
  int recvChunk = 0;                      // a receive takes at most this many (0: all it asks)
  bool peerClosed = false;                // with nothing waiting, a receive gives 0
  int lastError = 0;

  // The platform's events, as the platform tells them.
  void TellConnected(TSocket s, std::int32_t error = 0) const { events->SocketConnected(s, error); }
  void TellReadable(TSocket s) const { events->SocketReadable(s); }
  void TellClosed(TSocket s, std::int32_t error = 0) const { events->SocketClosed(s, error); }
  // The pending look-up ends as `resolves` says.
  void TellLookedUp() {
    const std::uint64_t request = pendingLookup;
    pendingLookup = 0;
    events->HostLookedUp(request, resolves, resolvedAddress);
  }
  std::size_t Count(const std::string& prefix) const {
    return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
      return c.rfind(prefix, 0) == 0;
    }));
  }
};

class FakeSocketApi final : public ISocketApi {
 public:
  explicit FakeSocketApi(std::shared_ptr<FakeSocketState> state) : s_(std::move(state)) {}

  void SetEvents(ISocketEvents* events) override { s_->events = events; }
  int Startup() override { return s_->startupResult; }
  int Cleanup() override { return s_->cleanupResult == 0 ? 0 : Fail("cleanup", s_->cleanupResult); }
  int LastError() const override { return s_->lastError; }
  std::uint32_t InetAddr(const std::string& text) override { return ::inet_addr(text.c_str()); }
  std::uint64_t StartHostLookup(const std::string& name) override {
    s_->calls.push_back("resolve " + name);
    if (Fails("resolve")) return 0;
    s_->pendingLookup = ++s_->lastLookup;
    return s_->pendingLookup;
  }
  TSocket CreateSocket() override {
    if (Fails("socket")) return kNoSocket;
    const TSocket s = s_->nextSocket++;
    s_->open.insert(s);
    s_->calls.push_back("socket " + std::to_string(s));
    return s;
  }
  int StartNotifications(TSocket s) override {
    s_->calls.push_back("notify " + std::to_string(s));
    return Known(s, "notify");
  }
  int StopNotifications(TSocket s) override {
    s_->calls.push_back("stop " + std::to_string(s));
    return Known(s, "stop");
  }
  int Connect(TSocket s, const TSockAddrIn& address) override {
    s_->calls.push_back("connect " + std::to_string(s));
    s_->lastAddress = address;
    if (Known(s, "connect") != 0) return -1;
    return Fail("connect", wsa::kWouldBlock);  // in progress
  }
  int BytesWaiting(TSocket s, std::uint32_t& count) override {
    if (Known(s, "fionread") != 0) return -1;
    count = static_cast<std::uint32_t>(s_->incoming.size());
    if (s_->waitingReportLimit != 0) count = std::min(count, s_->waitingReportLimit);
    return 0;
  }
  int UnacknowledgedBytes(TSocket s, std::uint32_t& count) override {
    if (Known(s, "outq") != 0) return -1;
    count = s_->unacknowledged;
    return 0;
  }
  int PeerWindow(TSocket s, std::uint32_t& window, std::uint32_t& granule) override {
    if (Known(s, "tcpinfo") != 0) return -1;
    window = s_->peerWindow;
    granule = s_->peerGranule;
    return 0;
  }
  int Recv(TSocket s, std::uint8_t* buffer, int length) override {
    s_->calls.push_back("recv " + std::to_string(s) + " " + std::to_string(length));
    if (Known(s, "recv") != 0) return -1;
    if (s_->incoming.empty()) return s_->peerClosed ? 0 : Fail("recv", wsa::kWouldBlock);
    if (s_->recvChunk > 0) length = std::min(length, s_->recvChunk);
    int n = 0;
    for (; n < length && !s_->incoming.empty(); ++n) {
      buffer[n] = s_->incoming.front();
      s_->incoming.pop_front();
    }
    return n;
  }
  int Send(TSocket s, const std::uint8_t* data, int length) override {
    s_->calls.push_back("send " + std::to_string(s) + " " + std::to_string(length));
    if (Known(s, "send") != 0) return -1;
    const int n = s_->sendAccepts < 0 ? length : std::min(length, s_->sendAccepts);
    s_->sent.insert(s_->sent.end(), data, data + n);
    return n;
  }
  int Shutdown(TSocket s) override {
    s_->calls.push_back("shutdown " + std::to_string(s));
    return Known(s, "shutdown");
  }
  int ShutdownSending(TSocket s) override {
    s_->calls.push_back("shutdown-send " + std::to_string(s));
    return Known(s, "shutdown-send");
  }
  int SetLingerReset(TSocket s) override {
    s_->calls.push_back("linger " + std::to_string(s));
    return Known(s, "linger");
  }
  int SetDeadPathLimits(TSocket s) override {
    s_->calls.push_back("limits " + std::to_string(s));
    return Known(s, "limits");
  }
  int CloseSocket(TSocket s) override {
    s_->calls.push_back("close " + std::to_string(s));
    if (Known(s, "close") != 0) return -1;
    s_->open.erase(s);
    return 0;
  }

 private:
  bool Fails(const std::string& op) {
    auto it = s_->fail.find(op);
    if (it == s_->fail.end()) return false;
    s_->lastError = it->second;
    return true;
  }
  int Fail(const std::string&, int code) {
    s_->lastError = code;
    return -1;
  }
  // 0 for an open socket whose operation is not scripted to fail.
  int Known(TSocket s, const std::string& op) {
    if (!s_->open.count(s)) return Fail(op, wsa::kNotSocket);
    return Fails(op) ? -1 : 0;
  }

  std::shared_ptr<FakeSocketState> s_;
};

}  // namespace vorel::test
