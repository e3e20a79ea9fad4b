// How the poll gathers received bytes into packets, driven tick by tick with a
// fake clock and a fake device. The port has the main window's settings:
// packets of 256 bytes, a 200 ms time-out, short packets passed on, 5 ms polls.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/uncaught_error.h"
#include "serial/CPDrv.h"
#include "serial/fake_serial_device.h"
#include "support/fake_clock.h"

namespace vorel {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::Sequence;

class PacketPollTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto device = std::make_unique<test::FakeSerialDevice>(&clock);
    dev = device.get();
    port = std::make_unique<TCommPortDriver>(nullptr, clock, std::move(device));
    port->SetPortName("\\\\.\\COM1");
    port->SetPacketSize(256);
    port->SetPacketTimeout(200);
    port->SetPacketMode(pmPass);
    port->SetPollingDelay(5);
    port->OnReceivePacket = [this](TCommPortDriver* sender, const std::uint8_t* p, std::uint32_t n) {
      EXPECT_EQ(sender, port.get());
      packets.emplace_back(p, p + n);
    };
    ASSERT_TRUE(port->Open());
  }

  // Polls as the timer would, every 5 ms, for `ms` milliseconds.
  void PollFor(std::uint32_t ms) {
    for (std::uint32_t t = 0; t < ms; t += 5) {
      clock.Advance(5);
      port->Poll();
    }
  }

  std::vector<std::size_t> Sizes() const {
    std::vector<std::size_t> sizes;
    for (const auto& p : packets) sizes.push_back(p.size());
    return sizes;
  }

  Bytes Joined() const {
    Bytes all;
    for (const auto& p : packets) all.insert(all.end(), p.begin(), p.end());
    return all;
  }

  test::FakeClock clock{46000.5, 1000};
  test::FakeSerialDevice* dev = nullptr;
  std::unique_ptr<TCommPortDriver> port;
  std::vector<Bytes> packets;
};

TEST_F(PacketPollTest, SlowSenderIsCutIntoPacketsByTheTimeout) {
  // One byte every 50 ms for a second. A packet ends at the first poll more
  // than 200 ms after its first byte: 205 ms, so five bytes each.
  const Bytes sent = Sequence(20, 'a');
  for (std::uint32_t t = 0; t <= 1200; t += 5) {
    if (t % 50 == 0 && t / 50 < sent.size()) dev->Feed({sent[t / 50]});
    port->Poll();
    clock.Advance(5);
  }
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{5, 5, 5, 5}));
  EXPECT_EQ(Joined(), sent);
  EXPECT_EQ(port->PacketStartTick(), TCommPortDriver::kNoPacket);
}

TEST_F(PacketPollTest, TimeoutIsStrictlyGreater) {
  dev->Feed({0x0A, 'x', 0x0D});
  port->Poll();
  EXPECT_EQ(port->PacketStartTick(), clock.TickCount()) << "the first byte seen starts the packet";
  clock.Advance(200);
  port->Poll();
  EXPECT_TRUE(packets.empty()) << "200 ms is not more than 200 ms";
  clock.Advance(1);
  port->Poll();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], (Bytes{0x0A, 'x', 0x0D}));
  EXPECT_EQ(port->PacketStartTick(), TCommPortDriver::kNoPacket);
}

TEST_F(PacketPollTest, ExactlyPacketSizeIsDeliveredAtOnce) {
  dev->Feed(Sequence(256));
  port->Poll();
  ASSERT_EQ(Sizes(), (std::vector<std::size_t>{256}));
  EXPECT_EQ(packets[0], Sequence(256));
  EXPECT_EQ(port->PacketStartTick(), TCommPortDriver::kNoPacket);
  EXPECT_TRUE(dev->input.empty());
}

TEST_F(PacketPollTest, ThreeHundredWaitingGiveFullPacketThenRestAtNextPoll) {
  dev->Feed(Sequence(300));
  port->Poll();
  ASSERT_EQ(Sizes(), (std::vector<std::size_t>{256}));
  // none (all bits set) + 267 ms of line time for 256 bytes at 9600 bit/s
  EXPECT_EQ(port->PacketStartTick(), 266u);
  clock.Advance(5);
  port->Poll();
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256, 44}));
  EXPECT_EQ(Joined(), Sequence(300));
  EXPECT_EQ(port->PacketStartTick(), TCommPortDriver::kNoPacket);
}

TEST_F(PacketPollTest, FullPacketMovesStartedPacketOnByItsLineTime) {
  dev->Feed({1});
  port->Poll();
  const std::uint32_t start = clock.TickCount();
  dev->Feed(Sequence(600));  // two full packets and 89 bytes more
  clock.Advance(5);
  port->Poll();
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256, 256}));
  EXPECT_EQ(port->PacketStartTick(), start + 2 * 267);
  EXPECT_EQ(dev->input.size(), 89u);
}

TEST_F(PacketPollTest, DiscardModeDropsTimedOutShortPacketsOnly) {
  port->SetPacketMode(pmDiscard);
  dev->Feed(Sequence(10));
  PollFor(300);
  EXPECT_TRUE(packets.empty());
  EXPECT_TRUE(dev->input.empty()) << "the short packet is read and dropped";
  EXPECT_EQ(port->PacketStartTick(), TCommPortDriver::kNoPacket);

  dev->Feed(Sequence(256));
  port->Poll();
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256})) << "full packets are delivered in both modes";
}

TEST_F(PacketPollTest, NoTimeoutKeepsShortPacketInDeviceUntilFull) {
  port->SetPacketTimeout(-1);
  dev->Feed(Sequence(10));
  PollFor(10000);
  EXPECT_TRUE(packets.empty());
  EXPECT_EQ(dev->input.size(), 10u);
  dev->Feed(Sequence(246, 10));
  port->Poll();
  ASSERT_EQ(Sizes(), (std::vector<std::size_t>{256}));
  EXPECT_EQ(packets[0], Sequence(256));
}

TEST_F(PacketPollTest, TimeoutAcrossTickWrapAround) {
  port->Close();
  clock.SetTick(0xFFFFFF9Cu);  // 100 ms before the counter wraps
  ASSERT_TRUE(port->Open());
  dev->Feed({7, 8, 9});
  port->Poll();
  EXPECT_EQ(port->PacketStartTick(), 0xFFFFFF9Cu);
  clock.Advance(200);  // the counter now reads 100
  port->Poll();
  EXPECT_TRUE(packets.empty()) << "200 ms since the start, across the wrap";
  clock.Advance(5);
  port->Poll();
  EXPECT_EQ(packets, (std::vector<Bytes>{{7, 8, 9}}));
}

TEST_F(PacketPollTest, StreamModeReadsNoMoreThanTheDefaultBuffer) {
  auto device = std::make_unique<test::FakeSerialDevice>();
  auto* d = device.get();
  TCommPortDriver stream(nullptr, clock, std::move(device));
  std::vector<std::size_t> sizes;
  stream.OnReceiveData = [&](TCommPortDriver*, const std::uint8_t*, std::uint32_t n) { sizes.push_back(n); };
  ASSERT_TRUE(stream.Open());
  d->Feed(Sequence(3000));
  stream.Poll();
  stream.Poll();
  EXPECT_EQ(sizes, (std::vector<std::size_t>{2048, 952}));
}

TEST_F(PacketPollTest, StreamModeReportsThroughReceiveDataOnly) {
  port->Close();
  port->SetPacketSize(0);
  ASSERT_EQ(port->PacketSize(), -1);
  port->SetInBufSize(128);
  ASSERT_TRUE(port->Open());
  std::vector<Bytes> chunks;
  port->OnReceiveData = [&](TCommPortDriver*, const std::uint8_t* p, std::uint32_t n) { chunks.emplace_back(p, p + n); };

  dev->Feed(Sequence(3));
  port->Poll();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0], Sequence(3));

  // More waiting than the buffer holds: what fits now, the rest at the next polls.
  dev->Feed(Sequence(300, 3));
  for (int i = 0; i < 4; ++i) port->Poll();
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_EQ(chunks[1].size(), 128u);
  EXPECT_EQ(chunks[2].size(), 128u);
  EXPECT_EQ(chunks[3].size(), 44u);
  EXPECT_LE(dev->largestRead, 128u);
  EXPECT_TRUE(packets.empty());
}

TEST_F(PacketPollTest, ReadFailureRaisesNothingAndEndsThePacket) {
  dev->Feed(Sequence(5));
  port->Poll();
  dev->readResult = false;
  PollFor(300);
  EXPECT_TRUE(packets.empty());
  EXPECT_EQ(dev->input.size(), 5u);
  dev->readResult = true;
  PollFor(300);
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{5}));
}

TEST_F(PacketPollTest, HandlerClosingThePortEndsDeliveryQuietly) {
  int calls = 0;
  port->OnReceivePacket = [&](TCommPortDriver* sender, const std::uint8_t*, std::uint32_t) {
    ++calls;
    sender->Close();
  };
  dev->Feed(Sequence(600));
  port->Poll();
  EXPECT_EQ(calls, 1) << "the second read of this poll fails on the closed port";
  EXPECT_FALSE(port->IsOpen());
  EXPECT_FALSE(port->PollTimer().isActive());
  port->Poll();
  EXPECT_EQ(calls, 1);
}

TEST_F(PacketPollTest, HandlerReopeningThePortPollFinishesOnTheNewHandle) {
  // The restart frame: the handler closes the port and opens it again; the
  // poll then goes on reading from the reopened device.
  port->OnReceivePacket = [&](TCommPortDriver* sender, const std::uint8_t* p, std::uint32_t n) {
    packets.emplace_back(p, p + n);
    if (packets.size() == 1) {
      sender->Close();
      ASSERT_TRUE(sender->Open());
      dev->Feed(Sequence(10, 100));
    }
  };
  dev->Feed(Sequence(600));
  port->Poll();
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256, 10}));
  EXPECT_EQ(packets[1], Sequence(10, 100));
  EXPECT_TRUE(port->IsOpen());
  EXPECT_TRUE(port->PollTimer().isActive());
}

TEST_F(PacketPollTest, HandlerErrorLeavesThePollAndTheNextPollGoesOn) {
  bool fail = true;
  port->OnReceivePacket = [&](TCommPortDriver*, const std::uint8_t* p, std::uint32_t n) {
    packets.emplace_back(p, p + n);
    if (fail) throw std::runtime_error("handler failed");
  };
  dev->Feed(Sequence(512));
  EXPECT_THROW(port->Poll(), std::runtime_error);
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256}));
  fail = false;
  port->Poll();
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256, 256}));
}

// Regression: a handler that runs a nested event loop had the poll timer read
// the next packet over the bytes it was still looking at.
TEST_F(PacketPollTest, NestedPollInsideHandlerDoesNotOverwriteThePacket) {
  port->OnReceivePacket = [&](TCommPortDriver* sender, const std::uint8_t* p, std::uint32_t n) {
    const Bytes before(p, p + n);
    sender->Poll();  // what a modal window's event loop would do
    packets.emplace_back(p, p + n);
    EXPECT_EQ(packets.back(), before);
  };
  dev->Feed(Sequence(256));
  dev->Feed(Sequence(256, 0x80));
  dev->Feed(Sequence(10, 0x40));
  port->Poll();
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256, 256}));
  EXPECT_EQ(dev->input.size(), 10u);
}

// Regression: switching to stream mode from a handler made the packet loop
// count upwards for ever.
TEST_F(PacketPollTest, HandlerChangingPacketSizeFinishesTheStep) {
  port->OnReceivePacket = [&](TCommPortDriver* sender, const std::uint8_t* p, std::uint32_t n) {
    packets.emplace_back(p, p + n);
    sender->SetPacketSize(0);
  };
  dev->Feed(Sequence(600));
  port->Poll();
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256, 256}));
  EXPECT_EQ(port->PacketSize(), -1);
}

TEST_F(PacketPollTest, PacketSizeRaisedWhileOpenNeverReadsPastTheBuffer) {
  port->SetPacketSize(4000);  // the buffer (2048) cannot grow while open
  EXPECT_EQ(port->InBufSize(), 2048u);
  EXPECT_EQ(port->PacketSize(), 2048);
  dev->Feed(Sequence(5000));
  port->Poll();
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{2048, 2048}));
  EXPECT_LE(dev->largestRead, 2048u);
}

TEST_F(PacketPollTest, ClosedPortDoesNotPoll) {
  port->Close();
  dev->isOpen = true;  // even if the device had something to say
  dev->Feed(Sequence(300));
  port->Poll();
  EXPECT_TRUE(packets.empty());
}

// The timer on the event loop: a handler's error reaches the one reporting
// place instead of unwinding through Qt, and polling goes on.
TEST_F(PacketPollTest, TimerTickReportsHandlerErrorAndKeepsPolling) {
  std::vector<std::string> reported;
  const auto previous = SetUncaughtErrorSink([&](const std::string& m) { reported.push_back(m); });
  port->OnReceivePacket = [&](TCommPortDriver*, const std::uint8_t* p, std::uint32_t n) {
    packets.emplace_back(p, p + n);
    if (packets.size() == 1) throw std::runtime_error("bad frame");
  };
  dev->Feed(Sequence(512));
  QDeadlineTimer deadline(5000);
  while (packets.size() < 2 && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);  // the 5 ms poll timer keeps events coming
  }
  SetUncaughtErrorSink(previous);
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256, 256}));
  EXPECT_EQ(reported, (std::vector<std::string>{"bad frame"}));
}

}  // namespace
}  // namespace vorel
