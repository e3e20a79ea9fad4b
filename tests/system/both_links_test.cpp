// The whole road of an alarm: the simulated station on a pseudo-terminal,
// the real program, and both reference servers on loopback. The event
// reaches each server with its account and code; the protocol-8 server
// acknowledges it and nothing is left in the spool directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fault_rig.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::FaultRig;
using test::WaitUntil;

TEST(BothLinks, AnAlarmReachesBothServers) {
  FaultRig rig;
  rig.servers.Start();
  rig.Configure();
  ASSERT_NO_FATAL_FAILURE(rig.StartStation());
  rig.StartDriver();
  ASSERT_NO_FATAL_FAILURE(rig.Begin("event 0002 E1; expect-ack 1 timeout 5000"));

  const auto has = [](const std::string& text, const std::string& type) {
    const std::size_t line = text.find("type=" + type + "(");
    return line != std::string::npos && text.find("account=310002 code=E1", line) != std::string::npos;
  };
  EXPECT_TRUE(WaitUntil([&] { return has(rig.servers.P8Seen(), "rtEventMain"); }, 20s)) << rig.servers.P8Seen();
  EXPECT_TRUE(WaitUntil([&] { return has(rig.servers.P7Seen(), "ftEvent"); }, 20s)) << rig.servers.P7Seen();
  const std::string p8Text = rig.servers.P8Seen();
  EXPECT_LT(p8Text.find("type=rtHello("), p8Text.find("type=rtEventMain(")) << "the handshake came first";
  EXPECT_NE(p8Text.find("port1=COM1 open1=1"), std::string::npos);
  // The .ddm file stays until the protocol-7 server has certainly read its
  // frame: on a quiet connection, when the driver has ended it in order.
  EXPECT_TRUE(WaitUntil([&] { return fs::is_empty(rig.spool); }, 10s)) << "nothing waits in the spool";
  rig.StopDriver();  // SIGTERM, exit status 0
}

}  // namespace
}  // namespace vorel
