// What only the protocol-7 replay does: a faster pace held to what the
// server's TCP took, and a file kept until its whole frame went out. What
// both replays share is in spool_replay_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "spool/spool_directory.h"
#include "output_fakes.h"
#include "receiver/protocol7_replay.h"
#include "support/temp_dir.h"

namespace vorel::test {
namespace {

namespace fs = std::filesystem;

struct ReplayRig {
  TempDir dir;
  FakeProtocol7Sender sender;
  Protocol7Outbox outbox{sender};
  int refreshed = 0;
  std::vector<std::string> lines;
  std::string prefix = (dir / "spool/").string();
  Protocol7Replay replay;

  explicit ReplayRig(int filesPerTick = 1)
      : replay{outbox,
               {[this] { ++refreshed; },
                // A file that holds an alarm and cannot go: a warning.
                [this](Severity severity, const std::string& l) {
                  EXPECT_EQ(static_cast<int>(severity), static_cast<int>(Severity::Warning)) << l;
                  lines.push_back(l);
                }},
               filesPerTick} {
    fs::create_directory(dir / "spool");
  }
  void Spool(const std::string& name, std::uint8_t type, std::size_t size = p7::kFrameSize) {
    p7::Frame frame = p7::BuildFrame(type);
    WriteFile(dir / "spool" / name, std::string(reinterpret_cast<const char*>(frame.data()), size));
  }
  std::vector<std::string> Left(std::string_view extension) { return FindSpoolFiles(prefix, extension); }
  // A tick over a fresh reading of the directory.
  void Tick() {
    SpoolListing listing(prefix);
    replay.Step(listing);
  }
};

// A faster pace sends several files per tick, oldest first, with no more
// unacknowledged by the server's TCP than the pace; files the server's TCP
// has, still in doubt, do not hold the replay back.
TEST(Protocol7Replay, AFasterPaceSendsSeveralPerTickWithNoMoreInFlightThanThePace) {
  ReplayRig rig(3);
  for (const char* name : {"2DC06B61_-1.ddm", "2DC06B62_-1.ddm", "2DC06B63_-1.ddm", "2DC06B64_-1.ddm",
                           "2DC06B65_-1.ddm", "2DC06B66_-1.ddm", "2DC06B67_-1.ddm", "2DC06B68_-1.ddm"})
    rig.Spool(name, p7::ftEvent);
  rig.sender.connected = true;
  rig.Tick();
  EXPECT_EQ(rig.sender.sent.size(), 3u);
  EXPECT_EQ(rig.outbox.FilesUnacknowledged(), 0u) << "acknowledged at once";

  rig.sender.acknowledged = 3 * p7::kFrameSize;  // the server's TCP holds back what comes next
  rig.Tick();
  EXPECT_EQ(rig.sender.sent.size(), 6u);
  EXPECT_EQ(rig.outbox.FilesUnacknowledged(), 3u);
  rig.Tick();
  EXPECT_EQ(rig.sender.sent.size(), 6u) << "as many in flight as the pace: none this tick";

  rig.sender.acknowledged.reset();
  rig.outbox.Settle();
  rig.Tick();
  EXPECT_EQ(rig.sender.sent.size(), 8u);
  EXPECT_EQ(rig.outbox.FilesInFlight().size(), 8u);
}

// A frame the socket did not take stays for the next tick; one it took in
// part is on its way (its rest follows), and the connection stays up.
TEST(Protocol7Replay, AFileStaysUntilItsFrameWentAndAFullBufferEndsNothing) {
  const struct {
    std::int32_t result;
    bool onItsWay;
  } cases[] = {{-1, false}, {0, false}, {1, true}, {554, true}};
  for (const auto& c : cases) {
    ReplayRig rig;
    rig.Spool("A_-1.ddm", p7::ftEvent);
    rig.sender.connected = true;
    rig.sender.result = c.result;
    rig.Tick();
    EXPECT_EQ(rig.Left(".ddm").size(), 1u) << "send result " << c.result;
    EXPECT_EQ(rig.outbox.FilesInFlight().size(), c.onItsWay ? 1u : 0u) << "send result " << c.result;
    EXPECT_EQ(rig.refreshed, c.onItsWay ? 1 : 0);
    EXPECT_EQ(rig.sender.disconnects, 0) << "send result " << c.result;
  }
}

}  // namespace
}  // namespace vorel::test
