// The two server links as the event outputs see them: the protocol-7 client
// SimpleTCPClient1 and the protocol-8 link object.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "p7/SimpleTCP.h"
#include "p7/memory_stream.h"
#include "p8/link.h"
#include "receiver/event_outputs.h"

namespace vorel {

class Protocol7Sender final : public IProtocol7Sender {
 public:
  explicit Protocol7Sender(TSimpleTCPClient& client) : client_(client) {}
  bool Connected() override { return client_.Connected(); }
  // One frame in a fresh stream, one send.
  std::int32_t Send(const p7::Frame& frame) override {
    TMemoryStream stream(std::vector<std::uint8_t>(frame.begin(), frame.end()));
    return client_.SendStream(&stream);
  }
  void Disconnect() override { client_.SetConnected(false); }
  std::uint64_t ConnectionNumber() override { return client_.ConnectionNumber(); }
  std::uint64_t BytesSent() override { return client_.BytesSent(); }
  std::optional<std::uint32_t> UnacknowledgedBytes() override { return client_.UnacknowledgedBytes(); }

 private:
  TSimpleTCPClient& client_;
};

class Protocol8Queue final : public IProtocol8Queue {
 public:
  explicit Protocol8Queue(cl& link) : link_(link) {}
  bool LinkUp() override { return link_.LinkUp(); }
  bool Enqueue(std::int32_t recordType, std::span<const std::uint8_t> payload) override {
    return link_.Enqueue(recordType, payload);
  }
  bool EnqueueSpooled(std::int32_t recordType, std::span<const std::uint8_t> payload,
                      const std::string& spoolFile) override {
    return link_.EnqueueSpooled(recordType, payload, spoolFile);
  }
  // Long enough for one exchange (the answer wait is 1 s), short of the
  // station's 5-s resend.
  static constexpr std::chrono::milliseconds kAnswerWait{1400};
  bool EnqueueAndAwaitAnswer(std::int32_t recordType, std::span<const std::uint8_t> payload,
                             bool& queued) override {
    const cl::AwaitedAnswer answer = link_.EnqueueAwaitingAnswer(recordType, payload, kAnswerWait);
    queued = answer != cl::AwaitedAnswer::Refused;
    return answer == cl::AwaitedAnswer::Answered;
  }

 private:
  cl& link_;
};

}  // namespace vorel
