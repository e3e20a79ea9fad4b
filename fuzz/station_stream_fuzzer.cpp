// A well-behaved station on the main port, cut into packets as the port cuts
// them: after 256 bytes, or where the station paused between two frames. The
// input chooses the frames (events with any account digits and codes, keep-
// alives, restart requests) and the pauses. However the cuts fall, every
// event frame must become exactly one event, in order, with its account:
// a frame cut by the packet size waits for its end in the next packet.
#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "fuzzed_data_provider.h"
#include "base/bytes.h"
#include "receiver/frame_handlers.h"
#include "receiver/main_port_handler.h"
#include "serial/CPDrv.h"
#include "station_frames.h"
#include "support/fake_clock.h"
#include "support/fake_scheduler.h"
#include "support/fake_serial_ports.h"

namespace {

using namespace vorel;

constexpr char kDevice[] = "\\\\.\\COM1";
constexpr std::size_t kPacketSize = 256;
constexpr std::int32_t kFirstNumber = 31;

class AccountSink final : public IEventSink {
 public:
  Delivery SendEvent(const EventRecord&, AnswerSettled) override { return Delivery::SafeOnItsWay; }
  Delivery SendEvent8(PortId, std::span<const std::uint8_t> payload, AnswerSettled) override {
    accounts.push_back(GetLE<std::int32_t>(payload, 0));
    return Delivery::SafeOnItsWay;
  }
  std::vector<std::int32_t> accounts;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzedDataProvider input(data, size);
  std::vector<station::Bytes> packets;
  std::vector<std::int32_t> expected;
  station::Bytes pending;
  while (input.remaining_bytes() > 0 && expected.size() < 200) {
    station::Bytes frame;
    switch (input.ConsumeIntegralInRange(0, 15)) {
      case 0:
        frame = station::KeepAliveFrame();
        break;
      case 1:
        frame = station::RestartFrame();
        break;
      default: {
        const int account = input.ConsumeIntegralInRange(0, 9999);
        const std::string code = {static_cast<char>(input.ConsumeIntegralInRange('!', '~')),
                                  static_cast<char>(input.ConsumeIntegralInRange('!', '~'))};
        char digits[5];
        std::snprintf(digits, sizeof digits, "%04d", account);  // "0000" too
        frame = station::MainEventFrame(digits, code);
        expected.push_back(kFirstNumber * 10000 + account);
      }
    }
    for (const std::uint8_t b : frame) {
      pending.push_back(b);
      if (pending.size() == kPacketSize) packets.push_back(std::move(pending)), pending.clear();
    }
    // A pause after the frame ends the packet early.
    if (input.ConsumeBool() && !pending.empty()) packets.push_back(std::move(pending)), pending.clear();
  }
  if (!pending.empty()) packets.push_back(std::move(pending));

  Settings settings;
  settings.FirstNumber = kFirstNumber;
  settings.SendMivo8 = true;
  settings.Log = false;
  test::FakeClock clock;
  test::FakeSerialPorts ports;
  ports.present.insert(kDevice);
  TCommPortDriver driver(nullptr, clock, ports.Make());
  driver.SetPortName(kDevice);
  driver.SetPacketSize(static_cast<std::int16_t>(kPacketSize));
  driver.SetPacketMode(pmPass);
  if (!driver.Open()) std::abort();
  AccountSink sink;
  StationPortState state;
  test::FakeScheduler scheduler;
  MainPortHandler handler(driver, state, settings, clock, scheduler, sink, [] {}, "/dev/null");
  for (const station::Bytes& packet : packets) {
    handler.ReceivePacket(packet);
    clock.Advance(250);
    scheduler.Advance(250);
    // A restart closes the port for its pause: the station's next bytes
    // come once it is open again.
    for (int i = 0; handler.Restarting(); ++i) {
      if (i == 100) std::abort();  // the pause never ends
      clock.Advance(250);
      scheduler.Advance(250);
    }
  }
  if (sink.accounts != expected) std::abort();
  return 0;
}
