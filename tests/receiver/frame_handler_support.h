// What the frame handler tests share: a sink that records every delivery, a
// clock whose every reading differs, a working directory of the test's own,
// and a main port open on the fake machine of serial ports.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/clock.h"
#include "config/settings.h"
#include "support/temp_dir.h"
#include "receiver/frame_handlers.h"
#include "receiver/station_port.h"
#include "serial/CPDrv.h"
#include "support/fake_serial_ports.h"

namespace vorel::test {

inline Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Every event handed to the outputs, in the order they were handed over.
class RecordingSink final : public IEventSink {
 public:
  enum class Output { Protocol7, Protocol8 };
  struct Delivery {
    Output output;
    PortId port;  // protocol 8 only
    Bytes bytes;
  };

  ::vorel::Delivery SendEvent(const EventRecord& record, AnswerSettled settled) override {
    delivered.push_back({Output::Protocol7, PortId::Main, Bytes(record.begin(), record.end())});
    if (protocol7Result == ::vorel::Delivery::Awaiting) awaiting7.push_back(std::move(settled));
    if (onDelivery) onDelivery();
    return protocol7Result;
  }
  ::vorel::Delivery SendEvent8(PortId port, std::span<const std::uint8_t> payload,
                               AnswerSettled settled) override {
    delivered.push_back({Output::Protocol8, port, Bytes(payload.begin(), payload.end())});
    waitsForAnswer.push_back(static_cast<bool>(settled));
    if (protocol8Result == ::vorel::Delivery::Awaiting) awaiting.push_back(std::move(settled));
    if (onDelivery) onDelivery();
    return protocol8Result;
  }

  std::vector<Delivery> delivered;
  // What each output says became of the event.
  ::vorel::Delivery protocol7Result = ::vorel::Delivery::SafeOnItsWay;
  ::vorel::Delivery protocol8Result = ::vorel::Delivery::SafeOnItsWay;
  std::function<void()> onDelivery;  // runs inside each output call
  std::vector<bool> waitsForAnswer;  // per protocol-8 event: a caller waits for the server's answer
  // The events handed over as Awaiting: the test settles each, as the server's
  // answer or the bound would.
  std::vector<AnswerSettled> awaiting;
  std::vector<AnswerSettled> awaiting7;  // the same for protocol 7's acknowledgement
};

// Each reading of the date-time is one millisecond later than the one before,
// so a test can tell which reading went where.
class ReadCountingClock final : public IClock {
 public:
  static constexpr TDateTime kStart = 46000.5;
  static constexpr TDateTime kStep = 1.0 / 86'400'000;

  // The value of reading number n (0 = the first).
  static TDateTime Reading(int n) { return kStart + n * kStep; }

  TDateTime Now() override { return Reading(reads++); }
  std::uint32_t TickCount() override { return tick; }

  int reads = 0;
  std::uint32_t tick = 1000;
};

// Runs the test inside a fresh directory: the traffic logs are named relative
// to the current directory.
class InTempDirectory {
 public:
  InTempDirectory() : previous_(std::filesystem::current_path()) { std::filesystem::current_path(dir_.Path()); }
  ~InTempDirectory() { std::filesystem::current_path(previous_); }
  const std::filesystem::path& Path() const { return dir_.Path(); }

 private:
  TempDir dir_;
  std::filesystem::path previous_;
};

inline std::size_t CountEntries(const std::vector<std::string>& log, std::string_view suffix) {
  return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& entry) {
    return entry.size() >= suffix.size() && entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0;
  }));
}

inline constexpr char kMainDevice[] = "\\\\.\\COM1";

// The main port, open on a fake device, as CommPortDriver1 would be.
struct OpenMainPort {
  explicit OpenMainPort(IClock& clock) {
    ports.present.insert(kMainDevice);
    ports.clock = &clock;
    driver = std::make_unique<TCommPortDriver>(nullptr, clock, ports.Make());
    driver->SetPortName(kMainDevice);
    driver->SetPacketSize(256);
    driver->SetPacketTimeout(200);
    driver->SetPacketMode(pmPass);
    driver->SetPollingDelay(5);
    if (!driver->Open()) ADD_FAILURE() << "the fake main port did not open";
    ports.log.clear();
  }

  const Bytes& Written() { return ports.output[kMainDevice]; }
  std::size_t AckCount() { return static_cast<std::size_t>(std::count(Written().begin(), Written().end(), kAck)); }
  std::size_t DtrRaised() const { return CountEntries(ports.log, "DTR 1"); }

  FakeSerialPorts ports;
  std::unique_ptr<TCommPortDriver> driver;
};

}  // namespace vorel::test
