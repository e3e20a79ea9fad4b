// A scripted stand-in for the protocol-8 server side of the link connection.
// Every connection the link makes talks to the same FakeLinkNetwork: the test
// says whether connects succeed, what the server sends, and reads back what
// the link wrote. A wait for data that does not come moves the fake clock by
// the wait's time-out, as the real wait would take.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "p8/link.h"
#include "p8/link_connection.h"
#include "p8/record.h"
#include "support/fake_clock.h"

namespace vorel::test {

class FakeLinkNetwork final : public ILinkConnectionFactory {
 public:
  FakeLinkNetwork(FakeClock& clock, const cl& link) : clock_(clock), link_(link) {}

  struct ConnectCall {
    std::string host;
    std::int32_t port;
    std::uint32_t timeoutMs;
    bool linkUpDuringAttempt;
  };

  // The script.
  bool acceptConnects = true;
  int failingWrites = 0;              // the next writes that fail (connection still open)
  std::deque<Bytes> segments;         // server bytes; each one after a wait that times out
  Bytes available;                    // server bytes ready to read now
  // How many bytes at the front of `available` a read left behind: the
  // server sent them before the request they would seem to answer. (Bytes a
  // test adds before a pass are the answer to that pass's request.)
  std::size_t leftBehind = 0;
  bool peerClosesWhenDrained = false; // a read that runs out of bytes finds the peer gone

  // What happened.
  std::vector<ConnectCall> connects;
  std::vector<Bytes> frames;                // written frames, in order
  std::vector<std::size_t> readRequests;    // the byte counts asked for
  int closesWhileOpen = 0;
  int created = 0;

  void Answer(std::int32_t recordType, std::uint8_t marker = 0xFF) {
    Bytes frame = BuildFrame(BuildRecord(recordType, 0, {}));
    frame[0] = marker;
    available.insert(available.end(), frame.begin(), frame.end());
  }
  // An answer the server sends before anything asked for it.
  void Unasked(std::int32_t recordType) {
    Answer(recordType);
    leftBehind = available.size();
  }
  // Record types of the written frames (envelope header skipped).
  std::vector<std::int32_t> SentTypes() const {
    std::vector<std::int32_t> types;
    for (const Bytes& f : frames) types.push_back(GetLE<std::int32_t>(f, kEnvelopeHeaderSize + 1));
    return types;
  }

  std::unique_ptr<ILinkConnection> Create() override;

  class Connection;
  Connection* current = nullptr;

 private:
  friend class Connection;
  FakeClock& clock_;
  const cl& link_;
};

class FakeLinkNetwork::Connection final : public ILinkConnection {
 public:
  explicit Connection(FakeLinkNetwork& net) : net_(net) {}
  ~Connection() override {
    if (net_.current == this) net_.current = nullptr;
  }
  bool Connect(const std::string& host, std::int32_t port, std::uint32_t timeoutMs) override {
    net_.connects.push_back({host, port, timeoutMs, net_.link_.LinkUp()});
    open_ = net_.acceptConnects;
    return open_;
  }
  bool WriteAll(std::span<const std::uint8_t> data) override {
    if (!open_) return false;
    if (net_.failingWrites > 0) {
      --net_.failingWrites;
      return false;
    }
    net_.frames.emplace_back(data.begin(), data.end());
    return true;
  }
  bool ReadExact(std::size_t count, Bytes& out, std::uint32_t waitTimeoutMs) override {
    net_.readRequests.push_back(count);
    if (!open_) return false;
    std::size_t take = std::min(count, net_.available.size());
    out.insert(out.end(), net_.available.begin(), net_.available.begin() + static_cast<std::ptrdiff_t>(take));
    net_.available.erase(net_.available.begin(), net_.available.begin() + static_cast<std::ptrdiff_t>(take));
    net_.leftBehind = take == count ? net_.available.size() : 0;
    if (take == count) return true;
    if (!net_.segments.empty()) {
      net_.clock_.Advance(waitTimeoutMs);
      net_.available = std::move(net_.segments.front());
      net_.segments.pop_front();
      return false;
    }
    if (net_.peerClosesWhenDrained) {
      open_ = false;
      return false;
    }
    net_.clock_.Advance(waitTimeoutMs);
    return false;
  }
  bool BytesWaiting() override { return open_ && net_.leftBehind > 0 && !net_.available.empty(); }
  bool Close() override {
    if (!open_) return false;
    open_ = false;
    ++net_.closesWhileOpen;
    return true;
  }
  bool IsOpen() const override { return open_; }

 private:
  FakeLinkNetwork& net_;
  bool open_ = false;
};

inline std::unique_ptr<ILinkConnection> FakeLinkNetwork::Create() {
  ++created;
  // A new connection starts with nothing from the server.
  available.clear();
  leftBehind = 0;
  segments.clear();
  peerClosesWhenDrained = false;
  auto c = std::make_unique<Connection>(*this);
  current = c.get();
  return c;
}

}  // namespace vorel::test
