// Hostile bytes on either port: random packets of every length up to the
// packet size, biased toward what the handlers look at (LF, CR, digits,
// letters, 'Y', "OKAY"), never crash and never read or write out of bounds
// (this suite also runs under AddressSanitizer and UBSan). What does come
// out is still well-formed: whole records, whole payloads.
#include <gtest/gtest.h>

#include <random>

#include "frame_handler_support.h"
#include "support/fake_scheduler.h"
#include "receiver/main_port_handler.h"
#include "receiver/second_port_handler.h"

namespace vorel::test {
namespace {

Bytes RandomPacket(std::mt19937& random, std::size_t maxSize) {
  static constexpr char kInteresting[] = "\n\r\n\rOKAY0123456789ABCDEFGJXYZaf ";
  std::uniform_int_distribution<std::size_t> size(1, maxSize);
  std::uniform_int_distribution<int> kind(0, 3);
  std::uniform_int_distribution<int> anyByte(0, 255);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kInteresting - 2);
  Bytes packet(size(random));
  for (auto& b : packet)
    b = static_cast<std::uint8_t>(kind(random) == 0 ? anyByte(random) : kInteresting[pick(random)]);
  // Many packets should pass the shape tests to reach the deeper steps.
  if (kind(random) != 0) {
    packet.front() = kLF;
    packet.back() = kCR;
  }
  return packet;
}

TEST(FrameHandlersFuzz, RandomPacketsOnBothPorts) {
  InTempDirectory dir;
  ReadCountingClock clock;
  OpenMainPort main(clock);
  RecordingSink sink;
  Settings settings;
  settings.SendMivo7 = true;
  settings.SendMivo8 = true;
  StationPortState mainState;
  StationPortState secondState;
  test::FakeScheduler scheduler;
  MainPortHandler mainHandler(*main.driver, mainState, settings, clock, scheduler, sink, [] {});
  SecondPortHandler secondHandler(secondState, settings, clock, sink, [] {});

  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> port(0, 1);
  for (int i = 0; i < 20000; ++i) {
    const Bytes packet = RandomPacket(random, i % 100 == 0 ? 8192 : 300);
    if (port(random) == 0) {
      mainHandler.ReceivePacket(packet);
    } else {
      secondHandler.ReceivePacket(packet);
    }
    if (!main.driver->IsOpen()) {  // a restart frame whose reopen failed
      ASSERT_TRUE(main.driver->Open());
    }
    for (const RecordingSink::Delivery& d : sink.delivered) {
      if (d.output == RecordingSink::Output::Protocol7) {
        ASSERT_EQ(d.bytes.size(), kEventRecordSize);
        ASSERT_EQ(d.bytes[0], 3);
      } else {
        ASSERT_EQ(d.bytes.size(), d.port == PortId::Main ? kMainEventPayloadSize : kSecondEventPayloadSize);
      }
    }
    sink.delivered.clear();
  }
  EXPECT_GT(main.AckCount(), 0u) << "the random packets should reach the acknowledgement";
}

}  // namespace
}  // namespace vorel::test
