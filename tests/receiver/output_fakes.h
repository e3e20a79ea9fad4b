// Links as the event outputs see them, recording what they were offered.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "p7/frame.h"
#include "receiver/event_outputs.h"

namespace vorel::test {

class FakeProtocol7Sender final : public IProtocol7Sender {
 public:
  bool Connected() override { return connected; }
  std::int32_t Send(const p7::Frame& frame) override {
    sent.push_back(frame);
    if (raise) throw std::runtime_error("Socket Error # 10054");
    const std::int32_t taken = result.value_or(static_cast<std::int32_t>(frame.size()));
    if (taken > 0) bytesSent += static_cast<std::uint64_t>(taken);
    return taken;
  }
  std::int32_t SendRest(std::span<const std::uint8_t> bytes) override {
    rests.emplace_back(bytes.begin(), bytes.end());
    const std::int32_t taken = restResult.value_or(static_cast<std::int32_t>(bytes.size()));
    if (taken > 0) bytesSent += static_cast<std::uint64_t>(taken);
    return taken;
  }
  void Disconnect() override {
    ++disconnects;
    connected = false;
  }
  void CloseInOrder() override { ++closesInOrder; }
  std::uint64_t ConnectionNumber() override { return connection; }
  std::uint64_t BytesSent() override { return bytesSent; }
  std::optional<std::uint32_t> UnacknowledgedBytes() override {
    if (connected && acknowledged) return static_cast<std::uint32_t>(bytesSent - *acknowledged);
    return connected ? unacknowledged : std::nullopt;
  }
  std::optional<TPeerWindow> PeerWindow() override { return connected ? window : std::nullopt; }
  std::optional<std::uint64_t> AcknowledgedAtOrderlyEnd() override { return orderlyEnd; }

  bool connected = false;
  std::optional<std::int32_t> result;  // what Send returns; the whole frame when unset
  bool raise = false;                  // Send raises instead
  std::vector<p7::Frame> sent;         // every frame offered, taken or not
  std::optional<std::int32_t> restResult;  // what SendRest returns; all of it when unset
  std::vector<std::vector<std::uint8_t>> rests;  // every rest of a frame offered
  int disconnects = 0;
  int closesInOrder = 0;
  std::uint64_t connection = 1;  // the number of the connection that is up
  std::uint64_t bytesSent = 0;   // taken by sends on it
  // Of those, not yet acknowledged by the server's TCP; none by default.
  std::optional<std::uint32_t> unacknowledged = 0;
  // When set, the bytes acknowledged instead: all sent after them are not.
  std::optional<std::uint64_t> acknowledged;
  // The receive window the server advertises; none: the system cannot tell.
  std::optional<TPeerWindow> window;
  // Set when the connection that ended was closed by the server in order.
  std::optional<std::uint64_t> orderlyEnd;
};

class FakeProtocol8Queue final : public IProtocol8Queue {
 public:
  struct Record {
    std::int32_t type;
    Bytes payload;
    std::string spoolFile = {};  // the file written ahead; empty: none
    bool operator==(const Record&) const = default;
  };

  bool LinkUp() override { return linkUp; }
  bool Enqueue(std::int32_t recordType, std::span<const std::uint8_t> payload) override {
    offered.push_back({recordType, Bytes(payload.begin(), payload.end())});
    return accept;
  }
  bool EnqueueSpooled(std::int32_t recordType, std::span<const std::uint8_t> payload,
                      const std::string& spoolFile) override {
    offered.push_back({recordType, Bytes(payload.begin(), payload.end()), spoolFile});
    return accept;
  }
  bool EnqueueAwaited(std::int32_t recordType, std::span<const std::uint8_t> payload,
                      AnswerSettled settled) override {
    offered.push_back({recordType, Bytes(payload.begin(), payload.end())});
    if (accept) awaited.push_back(std::move(settled));
    return accept;
  }

  bool linkUp = false;
  bool accept = true;            // false: the queue is full
  std::vector<AnswerSettled> awaited;  // settled by the test
  std::vector<Record> offered;   // every record offered, taken or not
};

}  // namespace vorel::test
