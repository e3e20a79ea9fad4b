// Hostile station traffic on both serial ports. The input is a settings byte
// and then a series of packets, each behind a control byte: bit 7 picks the
// second port, the low 7 bits give the length (0: a full 256-byte packet, as
// the port delivers a burst cut by size; 127: the rest of the input; else
// that many bytes). Full-size packets make the main port carry a cut frame
// over to the next packet. What comes out must still be whole records and
// payloads of the port that made them.
#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>

#include "receiver/frame_handlers.h"
#include "receiver/main_port_handler.h"
#include "receiver/second_port_handler.h"
#include "serial/CPDrv.h"
#include "support/fake_clock.h"
#include "support/fake_scheduler.h"
#include "support/fake_serial_ports.h"

namespace {

using namespace vorel;

constexpr char kDevice[] = "\\\\.\\COM1";
constexpr std::int16_t kPacketSize = 256;
// Logging goes nowhere: the writes are exercised, the disk is not filled.
constexpr char kTrafficLog[] = "/dev/null";

class CheckingSink final : public IEventSink {
 public:
  Delivery SendEvent(const EventRecord& record, AnswerSettled) override {
    if (record.size() != kEventRecordSize || record[0] != 3) std::abort();
    if (record[1] != kMainPortTag && record[1] != kSecondPortTag) std::abort();
    return Delivery::SafeOnItsWay;
  }
  Delivery SendEvent8(PortId port, std::span<const std::uint8_t> payload, AnswerSettled) override {
    const std::size_t expected = port == PortId::Main ? kMainEventPayloadSize : kSecondEventPayloadSize;
    if (payload.size() != expected) std::abort();
    return Delivery::SafeOnItsWay;
  }
};

constexpr std::int32_t kFirstNumbers[] = {31, 0, std::numeric_limits<std::int32_t>::max(),
                                          std::numeric_limits<std::int32_t>::min()};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // The port component is a QObject with a poll timer.
  static QCoreApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::span<const std::uint8_t> input(data, size);
  const std::uint8_t options = input[0];
  input = input.subspan(1);

  Settings settings;
  settings.Log = options & 0x01;
  settings.OKAY = options & 0x02;
  settings.SendMivo7 = options & 0x04;
  settings.SendMivo8 = options & 0x08;
  settings.FirstNumber = kFirstNumbers[(options >> 4) & 0x03];

  test::FakeClock clock;
  test::FakeSerialPorts ports;
  ports.present.insert(kDevice);
  TCommPortDriver driver(nullptr, clock, ports.Make());
  driver.SetPortName(kDevice);
  driver.SetPacketSize(kPacketSize);
  driver.SetPacketMode(pmPass);
  if (!driver.Open()) std::abort();

  CheckingSink sink;
  StationPortState mainState;
  StationPortState secondState;
  test::FakeScheduler scheduler;
  MainPortHandler mainHandler(driver, mainState, settings, clock, scheduler, sink, [] {}, kTrafficLog);
  SecondPortHandler secondHandler(secondState, settings, clock, sink, [] {}, kTrafficLog);

  while (!input.empty()) {
    const std::uint8_t control = input[0];
    input = input.subspan(1);
    std::size_t length = control & 0x7F;
    if (length == 0) length = kPacketSize;
    if (length == 0x7F) length = input.size();
    length = std::min(length, input.size());
    const std::span<const std::uint8_t> packet = input.first(length);
    input = input.subspan(length);
    if (control & 0x80) {
      secondHandler.ReceivePacket(packet);
    } else {
      mainHandler.ReceivePacket(packet);
    }
    clock.Advance(250);  // the next packet comes after a packet time
    scheduler.Advance(250);
  }
  return 0;
}
