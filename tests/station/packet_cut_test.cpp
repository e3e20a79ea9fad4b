// The cut at a frame's end (CutAtFrameEnd), over a fake device polled every
// 5 ms with a fake clock: a packet whose bytes end with a whole frame of its
// port goes at once; anything else waits for the 200 ms or the 256 bytes, as
// every packet does with the option off.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "serial/CPDrv.h"
#include "serial/fake_serial_device.h"
#include "station/station_ports.h"
#include "support/fake_clock.h"

namespace vorel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Main port: LF "011" account ' ' code CR; second port: 15 bytes ending LF CR.
const Bytes kMainFrame = Text("\n0115011 E1\r");
const Bytes kSecondFrame = Text("0110123 F3   \n\r");

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct Piece {
  std::uint32_t atMs;  // after the start of the run
  Bytes bytes;
};

struct Delivery {
  std::uint32_t atMs;
  std::size_t size;
  bool operator==(const Delivery&) const = default;
};

void PrintTo(const Delivery& d, std::ostream* os) { *os << "{" << d.size << " bytes at " << d.atMs << " ms}"; }

class PacketCutTest : public testing::Test {
 protected:
  void Configure(PortId id, bool cutAtFrameEnd) {
    auto device = std::make_unique<test::FakeSerialDevice>(&clock_);
    device_ = device.get();
    port_ = std::make_unique<TCommPortDriver>(nullptr, clock_, std::move(device));
    ConfigureStationPort(*port_);
    PortSettings settings;
    settings.CutAtFrameEnd = cutAtFrameEnd;
    ApplyPacketCut(id, settings, *port_);
    port_->OnReceivePacket = [this](TCommPortDriver*, const std::uint8_t* p, std::uint32_t n) {
      deliveries_.push_back({clock_.TickCount() - start_, n});
      received_.insert(received_.end(), p, p + n);
    };
    ASSERT_TRUE(port_->Open());
    start_ = clock_.TickCount();
  }

  // Feeds each piece at its time and polls every 5 ms up to `untilMs`.
  std::vector<Delivery> Run(const std::vector<Piece>& pieces, std::uint32_t untilMs = 600) {
    std::size_t next = 0;
    for (std::uint32_t t = 0; t <= untilMs; t += 5) {
      while (next < pieces.size() && pieces[next].atMs <= t) device_->Feed(pieces[next++].bytes);
      port_->Poll();
      clock_.Advance(5);
    }
    return deliveries_;
  }

  test::FakeClock clock_;
  test::FakeSerialDevice* device_ = nullptr;
  std::unique_ptr<TCommPortDriver> port_;
  std::uint32_t start_ = 0;
  std::vector<Delivery> deliveries_;
  Bytes received_;
};

struct CutCase {
  const char* name;
  PortId port;
  bool cutAtFrameEnd;
  std::vector<Piece> pieces;
  std::vector<Delivery> expected;
};

class PacketCutTableTest : public PacketCutTest, public testing::WithParamInterface<CutCase> {};

TEST_P(PacketCutTableTest, CutsWhereExpected) {
  const CutCase& c = GetParam();
  Configure(c.port, c.cutAtFrameEnd);
  EXPECT_EQ(Run(c.pieces), c.expected);
  // Whatever the cut, every byte arrives once and in order.
  Bytes sent;
  for (const Piece& piece : c.pieces) sent.insert(sent.end(), piece.bytes.begin(), piece.bytes.end());
  EXPECT_EQ(received_, sent);
  EXPECT_EQ(port_->PacketStartTick(), TCommPortDriver::kNoPacket);
}

const Bytes kHalfFrame(kMainFrame.begin(), kMainFrame.begin() + 6);
const Bytes kOtherHalf(kMainFrame.begin() + 6, kMainFrame.end());

const CutCase kCutCases[] = {
    // Off: the specified cut, the first poll more than 200 ms after the first byte.
    {"OffWholeFrameWaits", PortId::Main, false, {{0, kMainFrame}}, {{205, 12}}},
    {"OffSecondFrameWaits", PortId::Second, false, {{0, kSecondFrame}}, {{205, 15}}},
    // On, main port.
    {"WholeFrameGoesAtOnce", PortId::Main, true, {{0, kMainFrame}}, {{0, 12}}},
    {"FrameInTwoPiecesGoesWithItsEnd", PortId::Main, true, {{0, kHalfFrame}, {40, kOtherHalf}}, {{40, 12}}},
    {"EachFrameOfAStationThatWaitsGoesAtOnce", PortId::Main, true,
     {{0, kMainFrame}, {20, kMainFrame}, {40, kMainFrame}}, {{0, 12}, {20, 12}, {40, 12}}},
    {"TwoFramesTogetherAreOnePacket", PortId::Main, true, {{0, Join({kMainFrame, kMainFrame})}}, {{0, 24}}},
    {"PartialFrameWaitsForTheTimeout", PortId::Main, true, {{0, kHalfFrame}}, {{205, 6}}},
    {"FrameFollowedByTheStartOfTheNextWaits", PortId::Main, true, {{0, Join({kMainFrame, kHalfFrame})}},
     {{205, 18}}},
    {"CrWithoutLfIsNoFrame", PortId::Main, true, {{0, Text("0115011 E1\r")}}, {{205, 11}}},
    {"LoneCrIsNoFrame", PortId::Main, true, {{0, Text("\r")}}, {{205, 1}}},
    {"NoiseBeforeAFrameGoesWithIt", PortId::Main, true, {{0, Text("xy")}, {30, kMainFrame}}, {{30, 14}}},
    // Bytes that come after the time-out start a packet of their own.
    {"LateEndIsANewPacket", PortId::Main, true, {{0, kHalfFrame}, {250, kOtherHalf}}, {{205, 6}, {455, 6}}},
    // On, second port: only whole 15-byte frames.
    {"SecondFrameGoesAtOnce", PortId::Second, true, {{0, kSecondFrame}}, {{0, 15}}},
    {"TwoSecondFramesGoAtOnce", PortId::Second, true, {{0, Join({kSecondFrame, kSecondFrame})}}, {{0, 30}}},
    {"SecondFrameInPiecesGoesWithItsEnd", PortId::Second, true,
     {{0, Bytes(kSecondFrame.begin(), kSecondFrame.begin() + 14)}, {10, Bytes{'\r'}}}, {{10, 15}}},
    {"SecondFrameShortOfItsCrWaits", PortId::Second, true, {{0, Bytes(kSecondFrame.begin(), kSecondFrame.end() - 1)}},
     {{205, 14}}},
    {"SecondFrameWithOneMoreByteWaits", PortId::Second, true, {{0, Join({kSecondFrame, Text("0")})}}, {{205, 16}}},
    {"SecondFrameAfterNoiseWaits", PortId::Second, true, {{0, Join({Text("abc"), kSecondFrame})}}, {{205, 18}}},
    // A main-port frame is no frame of the second port, nor the other way.
    {"MainFrameOnTheSecondPortWaits", PortId::Second, true, {{0, kMainFrame}}, {{205, 12}}},
};

INSTANTIATE_TEST_SUITE_P(Table, PacketCutTableTest, testing::ValuesIn(kCutCases),
                         [](const testing::TestParamInfo<CutCase>& info) { return info.param.name; });

TEST_F(PacketCutTest, A256ByteBurstIsCutBySizeWhereverItsFramesEnd) {
  Configure(PortId::Main, true);
  // 22 frames (264 bytes) in one write: 256 at once, and the 8 bytes left
  // (the end of the frame the size cut split, which the main port's handler
  // joins again) right after them, as with the option off: the start tick
  // moved on by the line time of 256 bytes, a time already past.
  Bytes burst;
  for (int i = 0; i < 22; ++i) burst.insert(burst.end(), kMainFrame.begin(), kMainFrame.end());
  const auto deliveries = Run({{0, burst}});
  EXPECT_EQ(deliveries, (std::vector<Delivery>{{0, 256}, {0, 8}}));
  EXPECT_EQ(received_, burst);
}

TEST_F(PacketCutTest, AfterAHandlerClosesThePortTheNextOpenStartsAfresh) {
  // A restart frame closes the port from inside the handler: the gathered
  // bytes must not carry over into the packets after the port opens again.
  Configure(PortId::Main, true);
  port_->OnReceivePacket = [this](TCommPortDriver* sender, const std::uint8_t* p, std::uint32_t n) {
    received_.insert(received_.end(), p, p + n);
    sender->Close();
  };
  device_->Feed(kHalfFrame);
  port_->Poll();
  device_->Feed(kOtherHalf);
  port_->Poll();
  EXPECT_EQ(received_, kMainFrame);
  EXPECT_FALSE(port_->IsOpen());

  received_.clear();
  ASSERT_TRUE(port_->Open());
  device_->Feed(kMainFrame);
  port_->Poll();
  EXPECT_EQ(received_, kMainFrame);
}

TEST_F(PacketCutTest, HalfAFrameBeforeAPurgeIsGone) {
  Configure(PortId::Main, true);
  device_->Feed(kHalfFrame);
  port_->Poll();
  ASSERT_NE(port_->PacketStartTick(), TCommPortDriver::kNoPacket);
  ASSERT_TRUE(port_->PurgeBuffers(true, true));
  device_->Feed(kMainFrame);
  port_->Poll();
  EXPECT_EQ(received_, kMainFrame);
}

TEST_F(PacketCutTest, TheTestCannotChangeWhileThePortIsOpen) {
  Configure(PortId::Main, true);
  port_->SetPacketEndTest(nullptr);  // ignored: a packet may be half gathered
  EXPECT_TRUE(port_->CutsAtPacketEnd());
  port_->Close();
  ApplyPacketCut(PortId::Main, PortSettings{}, *port_);
  EXPECT_FALSE(port_->CutsAtPacketEnd());
}

TEST_F(PacketCutTest, TimedOutBytesAreDroppedInDiscardMode) {
  Configure(PortId::Main, true);
  port_->SetPacketMode(pmDiscard);
  EXPECT_EQ(Run({{0, kHalfFrame}, {300, kMainFrame}}), (std::vector<Delivery>{{300, 12}}));
}

}  // namespace
}  // namespace vorel
