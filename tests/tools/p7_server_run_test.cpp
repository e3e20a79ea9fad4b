// The built protocol-7 server against a test that plays the driver: frames
// sent with the driver's codec come out as lines, the timed close command
// reaches the client, and SIGTERM ends it with the summary.
#include <signal.h>

#include <gtest/gtest.h>

#include <thread>

#include "p7/frame.h"
#include "server_test_client.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel::test {
namespace {

using namespace std::chrono_literals;

TEST(P7ServerRunTest, PrintsFramesSendsCloseAndSummarises) {
  TempDir dir;
  const auto out = dir.Path() / "p7.txt";
  ChildProcess server(VOREL_P7_SERVER,
                      {"127.0.0.1", "0", "--no-stdin", "-o", out.string(), "--close-after", "2", "-e",
                       "after-frames 1 setclock 2026-12-10 12:00:00.000"},
                      dir.Path().string());
  ASSERT_TRUE(WaitUntil([&] { return ListeningPort(out) != 0 && server.Catches(SIGTERM); }, 5s));

  TestClient client("127.0.0.1", ListeningPort(out));
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send(p7::BuildHelloFrame()));
  const auto clock = client.Receive(p7::kFrameSize, 5s);
  ASSERT_EQ(clock.size(), p7::kFrameSize);
  const auto clockFields = p7::DecodeFrame(clock);
  ASSERT_TRUE(clockFields);
  EXPECT_EQ(clockFields->type, p7::ftSetClock);
  EXPECT_EQ(clockFields->dateTime, *EncodeDateTime(DateTimeFields{2026, 12, 10, 12, 0, 0, 0, 0}));

  ASSERT_TRUE(client.Send(p7::BuildStationLostFrame(32)));
  const auto close = client.Receive(p7::kFrameSize, 5s);
  ASSERT_EQ(close.size(), p7::kFrameSize);
  EXPECT_EQ(p7::DecodeFrame(close)->type, p7::ftClose);

  EXPECT_NE(FindLine(out, " frame type=ftHello(20) value=31 conn=1"), "");
  EXPECT_NE(FindLine(out, " frame type=ftStationLost(72) port=32 conn=1"), "");
  // The line follows the send, so it may come after the client has the frame.
  EXPECT_TRUE(WaitUntil([&] { return FindLine(out, " sent type=ftClose(17) conn=1") != ""; }, 5s));

  const std::uint8_t half[100] = {0xFF, 0xFF, p7::ftEvent};
  ASSERT_TRUE(client.Send(half));
  client.Close();
  ASSERT_TRUE(WaitUntil([&] { return FindLine(out, "disconnect conn=1") != ""; }, 5s));
  EXPECT_NE(FindLine(out, "disconnect conn=1 by=peer frames=2 tail=100"), "");

  server.Signal(SIGTERM);
  ASSERT_EQ(server.WaitForExit(5s), 0);
  EXPECT_EQ(ReadLines(out).back(), "summary frames=2 events=0");
}

TEST(P7ServerRunTest, DisconnectRuleEndsTheConnectionFromTheServerSide) {
  TempDir dir;
  const auto out = dir.Path() / "p7.txt";
  ChildProcess server(VOREL_P7_SERVER, {"127.0.0.1", "0", "--no-stdin", "-o", out.string(), "-e",
                                        "after-frames 1 disconnect"},
                      dir.Path().string());
  ASSERT_TRUE(WaitUntil([&] { return ListeningPort(out) != 0; }, 5s));
  TestClient client("127.0.0.1", ListeningPort(out));
  ASSERT_TRUE(client.Send(p7::BuildPortNumberFrame(3)));
  EXPECT_TRUE(client.PeerClosed(5s));
  ASSERT_TRUE(WaitUntil([&] { return FindLine(out, "disconnect conn=1") != ""; }, 5s));
  EXPECT_NE(FindLine(out, " frame type=ftPortNumber(50) com=3 conn=1"), "");
  EXPECT_NE(FindLine(out, "disconnect conn=1 by=server frames=1 tail=0"), "");
}

// A server that hangs, and one that ends without dropping a frame: while
// stalled nothing is read; "finish" reads what waited, refuses new
// connections, closes for sending and reads on until the client closes, so
// even a frame sent after the server's close arrives.
TEST(P7ServerRunTest, StallHoldsTheFramesAndFinishReadsToTheEnd) {
  TempDir dir;
  const auto out = dir.Path() / "p7.txt";
  ChildProcess server(VOREL_P7_SERVER, {"127.0.0.1", "0", "-o", out.string()}, dir.Path().string(), {},
                      ChildIo{.stdinPipe = true, .stderrFile = {}});
  ASSERT_TRUE(WaitUntil([&] { return ListeningPort(out) != 0 && server.Catches(SIGTERM); }, 5s));
  TestClient client("127.0.0.1", ListeningPort(out));
  ASSERT_TRUE(client.Connected());
  const auto lines = [&](const std::string& part) {
    int count = 0;
    for (const auto& line : ReadLines(out)) count += line.find(part) != std::string::npos;
    return count;
  };

  ASSERT_TRUE(server.Type("stall"));
  ASSERT_TRUE(WaitUntil([&] { return lines(" stall") == 1; }, 5s));
  ASSERT_TRUE(client.Send(p7::BuildHelloFrame()));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(lines(" frame "), 0) << "nothing was read";
  ASSERT_TRUE(server.Type("resume"));
  EXPECT_TRUE(WaitUntil([&] { return lines(" frame type=ftHello(20) value=31 conn=1") == 1; }, 5s));

  ASSERT_TRUE(server.Type("stall"));
  ASSERT_TRUE(WaitUntil([&] { return lines(" stall") == 2; }, 5s));
  ASSERT_TRUE(client.Send(p7::BuildPortNumberFrame(3)));
  ASSERT_TRUE(server.Type("finish"));
  EXPECT_TRUE(client.PeerClosed(5s));
  EXPECT_TRUE(WaitUntil([&] { return lines(" frame type=ftPortNumber(50) com=3 conn=1") == 1; }, 5s));
  EXPECT_FALSE(TestClient("127.0.0.1", ListeningPort(out)).Connected());
  ASSERT_TRUE(client.Send(p7::BuildStationLostFrame(31)));
  EXPECT_TRUE(WaitUntil([&] { return lines(" frame type=ftStationLost(72) port=31 conn=1") == 1; }, 5s));
  client.Close();
  ASSERT_EQ(server.WaitForExit(5s), 0);
  EXPECT_NE(FindLine(out, "disconnect conn=1 by=peer frames=3 tail=0"), "");
  EXPECT_EQ(ReadLines(out).back(), "summary frames=3 events=0");
}

TEST(P7ServerRunTest, RefusesBadCommandLines) {
  TempDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"127.0.0.1", "70000"}, {"127.0.0.1", "0", "-e", "after-frames x close"},
        {"localhost-not-an-address", "0"}, {"127.0.0.1", "0", "--bogus"}}) {
    ChildProcess server(VOREL_P7_SERVER, args, dir.Path().string());
    const auto status = server.WaitForExit(5s);
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
  }
}

}  // namespace
}  // namespace vorel::test
