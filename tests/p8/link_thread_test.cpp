// The link thread's start and stop, and the hand-over to the GUI thread.
// These tests run real threads; they wait for conditions with a bound, never
// for a fixed time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "p8/gui_hand_over.h"
#include "p8/link.h"
#include "p8/record.h"
#include "p8/record_types.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool WaitFor(Pred pred) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// A connection factory for the real thread: every connect is refused.
class RefusingConnections final : public ILinkConnectionFactory {
 public:
  class Refused final : public ILinkConnection {
   public:
    explicit Refused(std::atomic<int>& attempts) : attempts_(attempts) {}
    bool Connect(const std::string&, std::int32_t, std::uint32_t) override {
      ++attempts_;
      return false;
    }
    bool WriteAll(std::span<const std::uint8_t>) override { return false; }
    bool ReadExact(std::size_t, Bytes&, std::uint32_t) override { return false; }
    bool BytesWaiting() override { return false; }
    bool Close() override { return false; }
    bool IsOpen() const override { return false; }

   private:
    std::atomic<int>& attempts_;
  };
  std::unique_ptr<ILinkConnection> Create() override { return std::make_unique<Refused>(attempts); }
  std::atomic<int> attempts{0};
};

// The window's operations as the GUI thread runs them.
class GuiRecorder final : public ILinkHandOver {
 public:
  void AddLogLine(Severity, const std::string& text) override {
    std::lock_guard lock(mutex);
    log.push_back(text);
    threads.push_back(std::this_thread::get_id());
  }
  void RefreshIndicator() override { ++refreshes; }
  std::array<PortStatus, 2> PortStatuses() override { return {PortStatus{"COM1", true}, PortStatus{"COM2", true}}; }

  std::mutex mutex;
  std::vector<std::string> log;
  std::vector<std::thread::id> threads;
  std::atomic<int> refreshes{0};
};

// A stand-in for the GUI event loop: posted calls wait until Pump runs them.
class EventQueue {
 public:
  GuiPoster Poster() {
    return [this](std::function<void()> call) {
      std::lock_guard lock(mutex_);
      calls_.push_back(std::move(call));
      ++posted;
    };
  }
  // Runs what is queued; true when something ran.
  bool Pump() {
    std::deque<std::function<void()>> now;
    {
      std::lock_guard lock(mutex_);
      now.swap(calls_);
    }
    for (auto& c : now) c();
    return !now.empty();
  }
  std::atomic<int> posted{0};

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> calls_;
};

LinkEnvironment Environment(ILinkConnectionFactory& connections, ILinkHandOver& handOver, const test::TempDir& dir) {
  LinkEnvironment env;
  env.clock = &SystemClock();
  env.connections = &connections;
  env.handOver = &handOver;
  env.configFile = dir / "vorel.ini";
  env.versionText = [] { return std::string("1.0.0.1"); };
  return env;
}

TEST(LinkThread, TheFirstAttemptComesAtOnceAndAStopEndsTheThread) {
  test::TempDir dir;
  RefusingConnections connections;
  GuiRecorder gui;
  EventQueue loop;
  GuiHandOver handOver(loop.Poster(), gui);
  auto link = std::make_unique<cl>();
  link->Start(Environment(connections, handOver, dir));
  // The GUI thread runs the hand-overs the link thread posted.
  ASSERT_TRUE(WaitFor([&] {
    loop.Pump();
    std::lock_guard lock(gui.mutex);
    return !gui.log.empty();
  }));
  {
    std::lock_guard lock(gui.mutex);
    EXPECT_EQ(gui.log[0], "Соединение...");
    EXPECT_EQ(gui.threads[0], std::this_thread::get_id());
  }
  ASSERT_TRUE(WaitFor([&] { return connections.attempts.load() == 1; }));
  link->RequestStop();
  EXPECT_FALSE(link->LinkEnabled());
  handOver.Close();
  link.reset();  // joins; must not hang
  EXPECT_EQ(connections.attempts.load(), 1);  // the next one would be 5 s later
}

TEST(LinkThread, AStopRequestedBeforeTheStartEndsTheThreadWithoutAPass) {
  test::TempDir dir;
  RefusingConnections connections;
  GuiRecorder gui;
  EventQueue loop;
  GuiHandOver handOver(loop.Poster(), gui);
  {
    cl link;
    link.RequestStop();
    link.Start(Environment(connections, handOver, dir));
  }
  EXPECT_EQ(connections.attempts.load(), 0);
  EXPECT_EQ(loop.posted.load(), 0);
}

// A window that does not run its event loop (a modal dialog, a slow disk, the
// close) must not hold the link: its attempts go on, their lines wait.
TEST(LinkThread, TheLinkThreadNeverWaitsForTheWindow) {
  test::TempDir dir;
  RefusingConnections connections;
  GuiRecorder gui;
  EventQueue loop;
  GuiHandOver handOver(loop.Poster(), gui);
  handOver.SetPortStatuses({PortStatus{"COM3", true}, PortStatus{"COM4", false}});
  EXPECT_EQ(handOver.PortStatuses()[0], (PortStatus{"COM3", true})) << "the snapshot, without the window";
  auto link = std::make_unique<cl>();
  link->Start(Environment(connections, handOver, dir));
  ASSERT_TRUE(WaitFor([&] { return connections.attempts.load() == 1 && loop.posted.load() >= 2; }));
  link->RequestStop();
  handOver.Close();
  link.reset();
  EXPECT_TRUE(gui.log.empty()) << "nothing ran on a window that never turned its loop";
}

TEST(LinkThread, ShutdownWithCallsStillPostedRunsNoneOfThem) {
  // The GUI thread is busy destroying the link object and never runs the
  // posted calls; once the hand-over is closed they do nothing.
  test::TempDir dir;
  RefusingConnections connections;
  GuiRecorder gui;
  EventQueue loop;
  GuiHandOver handOver(loop.Poster(), gui);
  auto link = std::make_unique<cl>();
  link->Start(Environment(connections, handOver, dir));
  ASSERT_TRUE(WaitFor([&] { return loop.posted.load() >= 1; }));
  link->RequestStop();
  handOver.Close();
  link.reset();
  // Calls left in the event loop do nothing once closed.
  loop.Pump();
  EXPECT_TRUE(gui.log.empty());
  EXPECT_EQ(gui.refreshes.load(), 0);
  // The pass that was waiting finished its attempt and no other followed.
  EXPECT_LE(connections.attempts.load(), 1);
}

TEST(LinkThread, StartNeedsAHandOverAndHappensOnce) {
  test::TempDir dir;
  RefusingConnections connections;
  GuiRecorder gui;
  EventQueue loop;
  GuiHandOver handOver(loop.Poster(), gui);
  cl link;
  LinkEnvironment env = Environment(connections, handOver, dir);
  env.handOver = nullptr;
  EXPECT_THROW(link.Start(env), std::invalid_argument);
  link.RequestStop();
  link.Start(Environment(connections, handOver, dir));
  EXPECT_THROW(link.Start(Environment(connections, handOver, dir)), std::logic_error);
}

// Reads one frame from a blocking socket: the record type, or -1 when the
// connection ends.
std::int32_t ReadFrameType(int fd) {
  auto readAll = [fd](std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      ssize_t got = recv(fd, p, n, 0);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  };
  Bytes header(kEnvelopeHeaderSize);
  if (!readAll(header.data(), header.size())) return -1;
  Bytes body(static_cast<std::size_t>(GetLE<std::int32_t>(header, 5)));
  if (!readAll(body.data(), body.size())) return -1;
  return GetLE<std::int32_t>(body, 1);
}

TEST(LinkThread, HandshakeAndPollAgainstALoopbackServer) {
  test::TempDir dir;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  std::ofstream(dir / "vorel.ini") << "[ServerHost]\nAddress=127.0.0.1\nPort=" << ntohs(a.sin_port) << "\n";

  std::vector<std::int32_t> received;
  std::atomic<bool> serverDone{false};
  std::thread server([&] {
    int peer = accept(listener, nullptr, nullptr);
    for (int i = 0; i < 5; ++i) {
      std::int32_t type = ReadFrameType(peer);
      if (type < 0) break;
      received.push_back(type);
      Bytes answer = BuildFrame(BuildRecord(i == 3 ? rtAccept : rtPoll, 0, {}));
      send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    close(peer);
    serverDone = true;
  });

  GuiRecorder gui;
  EventQueue loop;
  GuiHandOver handOver(loop.Poster(), gui);
  auto link = std::make_unique<cl>();
  LinkEnvironment env;
  env.handOver = &handOver;
  env.configFile = dir / "vorel.ini";
  env.firstNumber = 31;
  link->Start(env);  // platform connections and clock
  bool done = WaitFor([&] {
    loop.Pump();
    return serverDone.load();
  });
  link->RequestStop();
  handOver.Close();
  link.reset();
  server.join();
  close(listener);
  ASSERT_TRUE(done);
  EXPECT_EQ(received, (std::vector<std::int32_t>{rtHello, rtPortStatus, rtFirstNumber, rtVersion, rtPoll}));
  std::lock_guard lock(gui.mutex);
  ASSERT_GE(gui.log.size(), 2u);
  EXPECT_EQ(gui.log[1], "Соединение установлено.");
}

TEST(GuiHandOverTest, AfterCloseNothingIsPosted) {
  GuiRecorder gui;
  EventQueue loop;
  GuiHandOver handOver(loop.Poster(), gui);
  handOver.Close();
  handOver.AddLogLine(Severity::Info, "x");
  handOver.RefreshIndicator();
  std::array<PortStatus, 2> ports = handOver.PortStatuses();
  EXPECT_EQ(loop.posted.load(), 0);
  EXPECT_FALSE(ports[0].open);
  EXPECT_TRUE(ports[1].name.empty());
}

// The link thread reads the last snapshot the GUI thread pushed, without
// posting anything or waiting for the window.
TEST(GuiHandOverTest, PortStatusesAreTheLastSnapshotPushed) {
  GuiRecorder gui;
  EventQueue loop;
  GuiHandOver handOver(loop.Poster(), gui);
  EXPECT_EQ(handOver.PortStatuses(), (std::array<PortStatus, 2>{})) << "none pushed yet";
  handOver.SetPortStatuses({PortStatus{"COM1", true}, PortStatus{"COM2", true}});
  std::array<PortStatus, 2> ports;
  std::thread linkThread([&] { ports = handOver.PortStatuses(); });
  linkThread.join();
  EXPECT_EQ(ports[0].name, "COM1");
  EXPECT_TRUE(ports[1].open);
  EXPECT_EQ(loop.posted.load(), 0);
}

}  // namespace
}  // namespace vorel
