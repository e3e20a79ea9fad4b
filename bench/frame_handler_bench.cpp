// What one station packet costs the GUI thread once the port delivered it:
// the frame handler stamps the time, acknowledges, builds the 552-byte event
// record and the protocol-8 payload and hands both to the outputs. A packet
// may carry several frames the station sent within one packet time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "config/settings.h"
#include "receiver/event_outputs.h"
#include "receiver/main_port_handler.h"
#include "receiver/second_port_handler.h"
#include "serial/CPDrv.h"
#include "support/fake_clock.h"
#include "support/fake_scheduler.h"
#include "support/fake_serial_ports.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

constexpr char kDevice[] = "\\\\.\\COM1";

// Takes the events and forgets them, so that only the handler is measured.
class CountingSink final : public IEventSink {
 public:
  Delivery SendEvent(const EventRecord& record, AnswerSettled) override {
    bytes += record.size();
    return Delivery::SafeOnItsWay;
  }
  Delivery SendEvent8(PortId, std::span<const std::uint8_t> payload, AnswerSettled) override {
    bytes += payload.size();
    return Delivery::SafeOnItsWay;
  }
  std::uint64_t bytes = 0;
};

// The handlers write their traffic logs relative to the current directory.
class InTempDirectory {
 public:
  InTempDirectory() : previous_(std::filesystem::current_path()) { std::filesystem::current_path(dir_.Path()); }
  ~InTempDirectory() { std::filesystem::current_path(previous_); }

 private:
  test::TempDir dir_;
  std::filesystem::path previous_;
};

Settings HandlerSettings(bool log) {
  Settings s;
  s.FirstNumber = 31;
  s.Log = log;
  s.OKAY = true;
  s.SendMivo7 = true;
  s.SendMivo8 = true;
  return s;
}

// Frames with accounts 0001, 0002, ... back to back.
Bytes MainFrames(int count) {
  Bytes out;
  for (int i = 1; i <= count; ++i) {
    const std::string frame = "\n011" + std::string(4 - std::to_string(i).size(), '0') + std::to_string(i) + " E100\r";
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}

Bytes SecondFrames(int count) {
  Bytes out;
  for (int i = 1; i <= count; ++i) {
    const std::string frame = "011" + std::string(4 - std::to_string(i).size(), '0') + std::to_string(i) + " 3A   \n\r";
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}

struct MainRig {
  InTempDirectory dir;
  test::FakeClock clock;
  test::FakeSerialPorts ports;
  std::unique_ptr<TCommPortDriver> driver;
  StationPortState station;
  Settings settings;
  CountingSink sink;
  test::FakeScheduler scheduler;  // no restart frames here
  std::unique_ptr<MainPortHandler> handler;

  explicit MainRig(bool log) : settings(HandlerSettings(log)) {
    ports.present.insert(kDevice);
    driver = std::make_unique<TCommPortDriver>(nullptr, clock, ports.Make());
    driver->SetPortName(kDevice);
    driver->SetPacketSize(256);
    driver->SetPacketTimeout(200);
    driver->SetPacketMode(pmPass);
    driver->SetPollingDelay(5);
    driver->Open();
    handler = std::make_unique<MainPortHandler>(*driver, station, settings, clock, scheduler, sink, [] {});
  }
  // The fake port keeps every ACK and DTR change; forget them now and then.
  void Forget() {
    ports.output[kDevice].clear();
    ports.log.clear();
  }
};

// Arguments: frames per packet, traffic log on (1) or off (0).
void BM_MainPortPacket(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  MainRig rig(state.range(1) != 0);
  const Bytes packet = MainFrames(frames);
  for (auto _ : state) {
    rig.handler->ReceivePacket(packet);
    rig.Forget();
  }
  state.SetItemsProcessed(state.iterations() * frames);
  benchmark::DoNotOptimize(rig.sink.bytes);
}
BENCHMARK(BM_MainPortPacket)->ArgNames({"frames", "log"})->Args({1, 0})->Args({10, 0})->Args({1, 1})->Args({10, 1});

void BM_SecondPortPacket(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  InTempDirectory dir;
  test::FakeClock clock;
  StationPortState station;
  const Settings settings = HandlerSettings(state.range(1) != 0);
  CountingSink sink;
  SecondPortHandler handler(station, settings, clock, sink, [] {});
  const Bytes packet = SecondFrames(frames);
  for (auto _ : state) handler.ReceivePacket(packet);
  state.SetItemsProcessed(state.iterations() * frames);
  benchmark::DoNotOptimize(sink.bytes);
}
BENCHMARK(BM_SecondPortPacket)->ArgNames({"frames", "log"})->Args({1, 0})->Args({10, 0})->Args({1, 1})->Args({10, 1});

// The outputs of one event with both links up: the 555-byte ftEvent frame
// built and sent, the protocol-8 record written ahead to its .dd8 file (flushed
// to the disk), numbered and queued, and the file removed as the server's
// answer removes it. The write-ahead is what the station's ACK waits for.
class NullSender final : public IProtocol7Sender {
 public:
  bool Connected() override { return true; }
  std::int32_t Send(const p7::Frame& frame) override {
    sum += frame[2];
    sent += frame.size();
    return static_cast<std::int32_t>(frame.size());
  }
  std::int32_t SendRest(std::span<const std::uint8_t> bytes) override { return static_cast<std::int32_t>(bytes.size()); }
  void Disconnect() override {}
  void CloseInOrder() override {}
  // The server's TCP takes every frame at once.
  std::uint64_t ConnectionNumber() override { return 1; }
  std::uint64_t BytesSent() override { return sent; }
  std::optional<std::uint32_t> UnacknowledgedBytes() override { return 0; }
  std::optional<TPeerWindow> PeerWindow() override { return std::nullopt; }
  std::optional<std::uint64_t> AcknowledgedAtOrderlyEnd() override { return std::nullopt; }
  std::uint64_t sent = 0;
  std::uint64_t sum = 0;
};

class NullQueue final : public IProtocol8Queue {
 public:
  bool LinkUp() override { return true; }
  bool Enqueue(std::int32_t, std::span<const std::uint8_t> payload) override {
    sum += payload.size();
    return true;
  }
  bool EnqueueSpooled(std::int32_t type, std::span<const std::uint8_t> payload, const std::string& file) override {
    std::filesystem::remove(file);
    return Enqueue(type, payload);
  }
  bool EnqueueAwaited(std::int32_t type, std::span<const std::uint8_t> payload, AnswerSettled settled) override {
    if (!Enqueue(type, payload)) return false;
    settled(true);
    return true;
  }
  std::uint64_t sum = 0;
};

void BM_EventOutputsLive(benchmark::State& state) {
  test::FakeClock clock;
  NullSender sender;
  NullQueue queue;
  test::TempDir spool;
  OutputSettings settings;
  settings.PathForSoob = spool.Path().string() + "/";
  Protocol7Outbox outbox(sender);
  EventOutputs outputs(settings, clock, outbox, &queue, {});
  EventRecord record{};
  record[0] = 3;
  record[1] = 31;
  const MainEventPayload payload{};
  for (auto _ : state) {
    outputs.SendEvent8(PortId::Main, payload);
    outputs.SendEvent(record);
  }
  benchmark::DoNotOptimize(sender.sum + queue.sum);
}
BENCHMARK(BM_EventOutputsLive);

}  // namespace
}  // namespace vorel
