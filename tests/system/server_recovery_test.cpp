// The real program while the protocol-8 server answers nothing: a spool file
// goes only when the server has acknowledged the event.
// (Servers restarted mid-stream and a server that denies access are rows of
// the fault table, fault_test.cpp.)
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fault_rig.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
using test::FaultRig;
using test::WaitUntil;
using test::Occurrences;

TEST(ServerRecovery, AReplayedEventFileStaysUntilTheServerAcknowledgesIt) {
  FaultRig rig;
  // The servers are down: the event goes to a .dd8 file.
  rig.servers.Start();
  rig.servers.Stop();
  rig.Configure();
  ASSERT_NO_FATAL_FAILURE(rig.StartStation());
  rig.StartDriver();
  ASSERT_NO_FATAL_FAILURE(rig.Begin("event 0007 E1; expect-ack 1 timeout 5000"));
  ASSERT_TRUE(WaitUntil([&] { return rig.SpoolFiles(".dd8") > 0; }, 20s));

  // A server that takes everything and answers nothing: its connections are
  // out of step from the first unanswered exchange, the driver replaces
  // them, and the file stays.
  rig.servers.Start("silent");
  ASSERT_TRUE(WaitUntil([&] { return Occurrences(rig.servers.P8SeenInRun(2), " connect conn=") >= 3; }, 30s))
      << rig.servers.P8SeenInRun(2);
  EXPECT_GT(rig.SpoolFiles(".dd8"), 0);
  rig.servers.Stop();

  // A server that acknowledges: the file goes.
  rig.servers.Start("accept");
  EXPECT_TRUE(WaitUntil([&] { return rig.SpoolFiles(".dd8") == 0; }, 40s)) << rig.servers.P8SeenInRun(3);
  EXPECT_NE(rig.servers.P8SeenInRun(3).find("answer type=rtEventMainAck"), std::string::npos);
  rig.StopDriver();  // SIGTERM, exit status 0
}

}  // namespace
}  // namespace vorel
