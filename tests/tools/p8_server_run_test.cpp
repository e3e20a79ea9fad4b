// The built protocol-8 server against a test that plays the driver: records
// sent with the driver's codec come out as lines and get the policy's
// answers, a broken envelope ends the connection, SIGTERM the server.
#include <signal.h>

#include <gtest/gtest.h>

#include "base/datetime.h"
#include "p8/payloads.h"
#include "p8/record.h"
#include "p8/record_types.h"
#include "server_test_client.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorel::test {
namespace {

using namespace std::chrono_literals;

class P8ServerRunTest : public ::testing::Test {
 protected:
  // With `commands`, the test types the server's commands.
  void Start(const std::string& policy, bool commands = false) {
    std::vector<std::string> args{"127.0.0.1", "0", "--policy", policy, "-o", out_.string()};
    if (!commands) args.push_back("--no-stdin");
    server_.emplace(VOREL_P8_SERVER, args, dir_.Path().string(), std::map<std::string, std::string>{},
                    ChildIo{.stdinPipe = commands, .stderrFile = {}});
    ASSERT_TRUE(WaitUntil([&] { return ListeningPort(out_) != 0 && server_->Catches(SIGTERM); }, 5s));
  }
  // Sends one record and returns the answer's record type; 0 when none came.
  static std::int32_t Exchange(TestClient& client, std::int32_t type, std::uint64_t sequence, const Bytes& payload) {
    if (!client.Send(BuildFrame(BuildRecord(type, sequence, payload)))) return 0;
    return AnswerType(client);
  }
  // The record type of the next answer; 0 when none came.
  static std::int32_t AnswerType(TestClient& client) {
    const auto answer = client.Receive(kEnvelopeHeaderSize + kRecordHeaderSize, 5s);
    if (answer.size() != kEnvelopeHeaderSize + kRecordHeaderSize || ParseEnvelopeHeader(answer) != 18) return 0;
    const auto header = ParseRecordHeader(std::span(answer).subspan(kEnvelopeHeaderSize));
    return header ? header->recordType : 0;
  }

  TempDir dir_;
  std::filesystem::path out_ = dir_.Path() / "p8.txt";
  std::optional<ChildProcess> server_;
};

TEST_F(P8ServerRunTest, AcceptPolicyAnswersPrintsAndSummarises) {
  Start("accept");
  TestClient client("127.0.0.1", ListeningPort(out_));
  ASSERT_TRUE(client.Connected());
  EXPECT_EQ(Exchange(client, rtHello, 0, HelloPayload()), rtAccept);
  Bytes event(17, 0);
  PutLE<std::int32_t>(event, 0, 310011);
  PutShortString(event, 4, 4, "E1");
  PutLE<double>(event, 9, *EncodeDateTime(DateTimeFields{2026, 12, 10, 12, 0, 0, 0, 0}));
  EXPECT_EQ(Exchange(client, rtEventMain, 5, event), rtEventMainAck);
  EXPECT_EQ(Exchange(client, rtPoll, 0, {}), rtPoll);

  EXPECT_NE(FindLine(out_, " request type=rtHello(0x02000001) seq=0 bytes=13 00 conn=1"), "");
  EXPECT_NE(FindLine(out_, " request type=rtEventMain(0x03000018) seq=5 account=310011 code=E1 "
                           "time=\"2026-12-10 12:00:00.000\" conn=1"),
            "");
  EXPECT_NE(FindLine(out_, " answer type=rtEventMainAck(0x03000019) conn=1"), "");

  Bytes broken = BuildFrame(BuildRecord(rtPoll, 0, {}));
  broken[0] = 0x00;
  ASSERT_TRUE(client.Send(broken));
  EXPECT_TRUE(client.PeerClosed(5s));
  ASSERT_TRUE(WaitUntil([&] { return FindLine(out_, "disconnect conn=1 by=server requests=3") != ""; }, 5s));

  server_->Signal(SIGTERM);
  ASSERT_EQ(server_->WaitForExit(5s), 0);
  EXPECT_EQ(ReadLines(out_).back(), "summary requests=3 answers=3 rtPoll=1 rtHello=1 rtEventMain=1 bad=1");
}

TEST_F(P8ServerRunTest, DropPolicyClosesAfterItsCount) {
  Start("drop:1");
  TestClient client("127.0.0.1", ListeningPort(out_));
  ASSERT_TRUE(client.Connected());
  EXPECT_EQ(Exchange(client, rtHello, 0, HelloPayload()), rtAccept);
  EXPECT_EQ(Exchange(client, rtPoll, 0, {}), 0);
  EXPECT_TRUE(client.PeerClosed(5s));
  EXPECT_NE(FindLine(out_, " answer drop conn=1"), "");
}

TEST_F(P8ServerRunTest, SilentPolicyNeverAnswers) {
  Start("silent");
  TestClient client("127.0.0.1", ListeningPort(out_));
  ASSERT_TRUE(client.Send(BuildFrame(BuildRecord(rtHello, 0, HelloPayload()))));
  ASSERT_TRUE(WaitUntil([&] { return FindLine(out_, " answer none conn=1") != ""; }, 5s));
  EXPECT_TRUE(client.Receive(1, 100ms).empty());
}

// A hung server or a network black hole: the connection stays open but not
// even the request is read, until another policy comes and answers it.
TEST_F(P8ServerRunTest, BlackholePolicyReadsNothingUntilAnotherPolicyComes) {
  Start("blackhole", true);
  TestClient client("127.0.0.1", ListeningPort(out_));
  ASSERT_TRUE(WaitUntil([&] { return FindLine(out_, " connect conn=1 ") != ""; }, 5s)) << "still accepted";
  ASSERT_TRUE(client.Send(BuildFrame(BuildRecord(rtHello, 0, HelloPayload()))));
  EXPECT_TRUE(client.Receive(1, 300ms).empty());
  EXPECT_EQ(FindLine(out_, " request "), "") << "nothing was read";
  ASSERT_TRUE(server_->Type("policy accept"));
  EXPECT_EQ(AnswerType(client), rtAccept);
  EXPECT_NE(FindLine(out_, " request type=rtHello(0x02000001) seq=0 "), "");
}

}  // namespace
}  // namespace vorel::test
