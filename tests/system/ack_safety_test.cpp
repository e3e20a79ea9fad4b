// The station hears ACK only once its event outlives a crash of the driver:
// these scenarios kill the program or starve it of disk and count, from the
// station's own report, what it was told was taken.
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fault_rig.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::FaultCount;
using test::FaultRig;
using test::Numbers;
using test::WaitUntil;

// A listener on loopback whose accept queue is full: the kernel drops every
// further SYN, so a connect to it neither succeeds nor is refused - it runs
// into its time-out, as with a server address that never answers.
class BlackHoleListener {
 public:
  explicit BlackHoleListener(const std::string& address) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t length = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
        ::listen(listener_, 0) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
      return;
    port_ = ntohs(a.sin_port);
    // Fill the queue (it holds backlog + 1) with connections nobody accepts.
    for (int i = 0; i < 2; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(100ms);  // let the handshakes settle into the queue
  }
  ~BlackHoleListener() {
    for (int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }
  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

void ExpectNothingLost(const FaultCount& c) {
  EXPECT_EQ(c.p7.lost, 0) << c.p7.lostAccounts;
  EXPECT_EQ(c.p8.lost, 0) << c.p8.lostAccounts;
}

// While the protocol-8 server's address does not answer, the link counts as
// up for each 2.5-s attempt, and the events of that time were queued in
// memory only: a kill took them although the station had its ACK.
TEST(AckSafety, EventsOfAServerThatNeverAnswersSurviveAKill) {
  FaultRig rig("127.0.0.161");
  BlackHoleListener blackHole("127.0.0.1");
  ASSERT_NE(blackHole.Port(), 0);
  rig.servers.Start();  // protocol 7 answers; protocol 8 goes to the black hole
  test::WriteFile(rig.dir / "vorel.ini", "[port]\nComPort=COM1\n[main]\nSendMivo7=1\nhost=127.0.0.161\n"
                                         "PathForSoob=spool/\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                             std::to_string(blackHole.Port()) + "\n");
  rig.StartStation("stream 40 200");
  rig.StartDriver();
  // Long enough for several attempts of 2.5 s each.
  ASSERT_TRUE(rig.WaitForAcks(20, 60s)) << test::Contents(rig.dir / "station.txt");
  rig.KillDriver();
  const long acknowledged = rig.Acks();
  const FaultCount c = rig.CountAndReport("protocol-8 server that never answers, driver killed",
                                          Numbers(static_cast<int>(acknowledged)));
  ExpectNothingLost(c);
  EXPECT_EQ(c.p8.spooled, acknowledged);
}

// A spool directory that cannot be made while both links are down: the
// events used to be acknowledged and lost. Now the station keeps them until
// the directory can be made, and nothing is lost.
TEST(AckSafety, NoAckWhileNothingCanKeepTheEventThenAllOnceTheSpoolWorks) {
  FaultRig rig("127.0.0.162");
  rig.servers.Start();
  rig.servers.Stop();
  test::WriteFile(rig.dir / "blocker", "a file where the spool directory's parent should be");
  rig.Configure("blocker/spool/");
  rig.StartStation("stream 6 200");
  rig.StartDriver();
  EXPECT_TRUE(WaitUntil(
      [&] { return test::Contents(rig.dir / "driver-err.txt").find("не записано в буфер") != std::string::npos; },
      30s))
      << "the failed spool write is reported";
  std::this_thread::sleep_for(6s);  // the station sends the first event again meanwhile
  EXPECT_EQ(rig.Acks(), 0);

  fs::remove(rig.dir / "blocker");
  fs::create_directories(rig.dir / "blocker" / "spool");
  ASSERT_TRUE(rig.WaitForAcks(6, 60s));
  rig.StopDriver();
  int ddm = 0, dd8 = 0;
  for (const auto& entry : fs::directory_iterator(rig.dir / "blocker" / "spool")) {
    ddm += entry.path().extension() == ".ddm";
    dd8 += entry.path().extension() == ".dd8";
  }
  EXPECT_EQ(dd8, 6);
  // The six events; the station link's restoration frame came while the
  // directory could not be made (reported: the station does not send it).
  EXPECT_GE(ddm, 6);
}

}  // namespace
}  // namespace vorel
