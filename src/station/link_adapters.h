// The two server links as the event outputs see them: the protocol-7 client
// SimpleTCPClient1 and the protocol-8 link object.
#pragma once

#include <utility>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "p7/SimpleTCP.h"
#include "p7/memory_stream.h"
#include "base/scheduler.h"
#include "p8/gui_hand_over.h"
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
  std::int32_t SendRest(std::span<const std::uint8_t> bytes) override {
    TMemoryStream stream(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    return client_.SendStream(&stream);
  }
  void Disconnect() override { client_.SetConnected(false); }
  void CloseInOrder() override { client_.CloseInOrder(); }
  std::uint64_t ConnectionNumber() override { return client_.ConnectionNumber(); }
  std::uint64_t BytesSent() override { return client_.BytesSent(); }
  std::optional<std::uint32_t> UnacknowledgedBytes() override { return client_.UnacknowledgedBytes(); }
  std::optional<TPeerWindow> PeerWindow() override { return client_.PeerWindow(); }
  std::optional<std::uint64_t> AcknowledgedAtOrderlyEnd() override { return client_.AcknowledgedAtOrderlyEnd(); }

 private:
  TSimpleTCPClient& client_;
};

// The protocol-8 link object cl as the outputs see it. The outbox owns what
// becomes of each event; this only tells it where callers hear their answers
// (the GUI thread) and which timers end their waits.
class Protocol8QueueAdapter final : public IProtocol8Queue {
 public:
  // post: runs a call on the GUI thread (the link thread's hand-over).
  Protocol8QueueAdapter(cl& link, GuiPoster post, IScheduler& scheduler) : link_(link) {
    link_.Outbox().AnswerOn(std::move(post), scheduler);
  }
  bool LinkUp() override { return link_.LinkUp(); }
  bool Enqueue(std::int32_t recordType, std::span<const std::uint8_t> payload) override {
    return link_.Enqueue(recordType, payload);
  }
  bool EnqueueSpooled(std::int32_t recordType, std::span<const std::uint8_t> payload,
                      const std::string& spoolFile) override {
    return link_.EnqueueSpooled(recordType, payload, spoolFile);
  }
  bool EnqueueAwaited(std::int32_t recordType, std::span<const std::uint8_t> payload,
                      AnswerSettled settled) override {
    return link_.EnqueueAwaited(recordType, payload, std::move(settled));
  }

 private:
  cl& link_;
};

}  // namespace vorel
