// The life of a .ddm file on its way to the message server: removed only once
// the server's TCP has acknowledged the frame's last byte, and the replay's
// again when its connection ends first.
#include "receiver/protocol7_outbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "receiver/output_fakes.h"
#include "support/temp_dir.h"

namespace vorel::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kFrame = p7::kFrameSize;

struct OutboxRig {
  TempDir dir;
  FakeProtocol7Sender sender;
  Protocol7Outbox outbox{sender};
  std::string a = (dir / "A_-1.ddm").string();
  std::string b = (dir / "B_-1.ddm").string();

  OutboxRig() {
    sender.connected = true;
    for (const std::string& file : {a, b}) WriteFile(file, std::string(kFrame, 'x'));
  }
  bool Send(const std::string& file) { return outbox.Send(file, p7::BuildHelloFrame()); }
};

struct OutboxCase {
  const char* what;
  std::function<void(OutboxRig&)> act;  // from A in flight, its 555 bytes not acknowledged
  bool aInFlight;
  bool aOnDisk;
};

TEST(Protocol7Outbox, AFileLeavesTheDiskOnlyOnceTheServersTcpHasItsLastByte) {
  const OutboxCase cases[] = {
      {"nothing acknowledged yet", [](OutboxRig& r) { r.outbox.Settle(); }, true, true},
      {"all but its last byte acknowledged",
       [](OutboxRig& r) {
         r.sender.unacknowledged = 1;
         r.outbox.Settle();
       },
       true, true},
      {"its last byte acknowledged",
       [](OutboxRig& r) {
         r.sender.unacknowledged = 0;
         r.outbox.Settle();
       },
       false, false},
      {"the connection ended", [](OutboxRig& r) { r.outbox.ConnectionEnded(); }, false, true},
      {"settled while not connected",
       [](OutboxRig& r) {
         r.sender.connected = false;
         r.outbox.Settle();
       },
       false, true},
      {"settled on a later connection",
       [](OutboxRig& r) {
         ++r.sender.connection;
         r.sender.bytesSent = 0;
         r.sender.unacknowledged = 0;
         r.outbox.Settle();
       },
       false, true},
      {"the count cannot be read",
       [](OutboxRig& r) {
         r.sender.unacknowledged.reset();
         r.outbox.Settle();
       },
       true, true},
      {"sent again while in flight", [](OutboxRig& r) { EXPECT_TRUE(r.Send(r.a)); }, true, true},
  };
  for (const OutboxCase& c : cases) {
    OutboxRig rig;
    rig.sender.unacknowledged = kFrame;
    ASSERT_TRUE(rig.Send(rig.a)) << c.what;
    ASSERT_TRUE(rig.outbox.InFlight(rig.a)) << c.what;
    c.act(rig);
    EXPECT_EQ(rig.outbox.InFlight(rig.a), c.aInFlight) << c.what;
    EXPECT_EQ(fs::exists(rig.a), c.aOnDisk) << c.what;
    EXPECT_EQ(rig.sender.sent.size(), 1u) << c.what << ": never sent twice while in flight";
  }
}

TEST(Protocol7Outbox, AFrameThatDidNotGoWholeLeavesItsFileOnDiskAndAPartEndsTheConnection) {
  const struct {
    const char* what;
    std::optional<std::int32_t> result;
    bool raise;
    int disconnects;
  } cases[] = {{"error", -1, false, 0}, {"nothing", 0, false, 0}, {"a part", 554, false, 1}, {"raises", {}, true, 0}};
  for (const auto& c : cases) {
    OutboxRig rig;
    rig.sender.result = c.result;
    rig.sender.raise = c.raise;
    EXPECT_FALSE(rig.Send(rig.a)) << c.what;
    EXPECT_FALSE(rig.outbox.InFlight(rig.a)) << c.what;
    EXPECT_TRUE(fs::exists(rig.a)) << c.what;
    EXPECT_EQ(rig.sender.disconnects, c.disconnects) << c.what;
  }
}

// The server's TCP acknowledges in order: a frame sent later is not released
// by the acknowledgement of an earlier one.
TEST(Protocol7Outbox, FramesAreReleasedInTheOrderTheServersTcpTookThem) {
  OutboxRig rig;
  rig.sender.unacknowledged = 2 * kFrame;
  ASSERT_TRUE(rig.Send(rig.a));
  ASSERT_TRUE(rig.Send(rig.b));
  rig.sender.unacknowledged = kFrame;
  rig.outbox.Settle();
  EXPECT_FALSE(fs::exists(rig.a));
  EXPECT_TRUE(rig.outbox.InFlight(rig.b));
  EXPECT_EQ(rig.outbox.FilesInFlight(), std::set<std::string>{rig.b});
}

TEST(Protocol7Outbox, AFrameWithoutAFileIsSafeOnlyOnceAcknowledged) {
  OutboxRig rig;
  EXPECT_EQ(rig.outbox.SendUnfiled(p7::BuildHelloFrame()), Protocol7Outbox::Unfiled::Acknowledged);
  rig.sender.unacknowledged = 7;
  EXPECT_EQ(rig.outbox.SendUnfiled(p7::BuildHelloFrame()), Protocol7Outbox::Unfiled::Sent);
  rig.sender.result = 100;
  EXPECT_EQ(rig.outbox.SendUnfiled(p7::BuildHelloFrame()), Protocol7Outbox::Unfiled::NotSent);
  EXPECT_EQ(rig.sender.disconnects, 1) << "a part sent ends the connection";
}

// The delivery count takes events and station-link reports acknowledged
// without a file, not the driver's own greeting.
TEST(Protocol7Outbox, CountsTheEventsWithoutAFileThatTheServerHas) {
  OutboxRig rig;
  rig.outbox.SendUnfiled(p7::BuildHelloFrame());
  rig.outbox.SendUnfiled(p7::BuildFrame(p7::ftEvent));
  rig.outbox.SendUnfiled(p7::BuildStationLostFrame(31));
  rig.sender.unacknowledged = 7;
  rig.outbox.SendUnfiled(p7::BuildFrame(p7::ftEvent));  // not yet at the server
  EXPECT_EQ(rig.outbox.TakeDeliveredUnfiled(), 2u);
  EXPECT_EQ(rig.outbox.TakeDeliveredUnfiled(), 0u);
}

}  // namespace
}  // namespace vorel::test
