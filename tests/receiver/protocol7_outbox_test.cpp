// The life of a .ddm file on its way to the message server: removed only once
// the server has certainly read the frame (its window shows it, or it ended
// the connection in order), and the replay's again when its connection ends
// any other way first.
#include "receiver/protocol7_outbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "receiver/output_fakes.h"
#include "support/fake_scheduler.h"
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

TEST(Protocol7Outbox, AFileLeavesTheDiskOnlyOnceTheServerHasReadItsFrame) {
  const OutboxCase cases[] = {
      {"nothing acknowledged yet", [](OutboxRig& r) { r.outbox.Settle(); }, true, true},
      {"all but its last byte acknowledged",
       [](OutboxRig& r) {
         r.sender.unacknowledged = 1;
         r.outbox.Settle();
       },
       true, true},
      {"its last byte acknowledged, no window told",
       [](OutboxRig& r) {
         r.sender.unacknowledged = 0;
         r.outbox.Settle();
       },
       true, true},
      {"acknowledged, and the server ended the connection in order",
       [](OutboxRig& r) {
         r.sender.unacknowledged = 0;
         r.sender.orderlyEnd = kFrame;
         r.outbox.ConnectionEnded();
       },
       false, false},
      {"the server ended in order before acknowledging it",
       [](OutboxRig& r) {
         r.sender.orderlyEnd = kFrame - 1;
         r.outbox.ConnectionEnded();
       },
       false, true},
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

TEST(Protocol7Outbox, AFrameThatDidNotGoLeavesItsFileOnDiskAndTheConnectionUp) {
  const struct {
    const char* what;
    std::optional<std::int32_t> result;
    bool raise;
  } cases[] = {{"error", -1, false}, {"a full buffer", 0, false}, {"raises", {}, true}};
  for (const auto& c : cases) {
    OutboxRig rig;
    rig.sender.result = c.result;
    rig.sender.raise = c.raise;
    EXPECT_FALSE(rig.Send(rig.a)) << c.what;
    EXPECT_FALSE(rig.outbox.InFlight(rig.a)) << c.what;
    EXPECT_TRUE(fs::exists(rig.a)) << c.what;
    EXPECT_EQ(rig.sender.disconnects, 0) << c.what;
  }
}

// A frame the socket took in part is on its way: its rest goes before any
// other frame, as the buffer takes it, so the server sees whole frames. A
// frame offered meanwhile is not taken (its file waits for the replay).
TEST(Protocol7Outbox, TheRestOfAFrameSentInPartGoesBeforeAnyOtherFrame) {
  OutboxRig rig;
  rig.sender.result = 200;
  rig.sender.restResult = 0;  // the buffer is full
  ASSERT_TRUE(rig.Send(rig.a));
  EXPECT_TRUE(rig.outbox.InFlight(rig.a));
  rig.sender.result.reset();
  EXPECT_FALSE(rig.Send(rig.b));
  EXPECT_EQ(rig.sender.sent.size(), 1u) << "B not offered inside A's bytes";
  rig.sender.restResult = 100;
  rig.outbox.Settle();
  rig.sender.restResult.reset();
  EXPECT_TRUE(rig.Send(rig.b));
  ASSERT_EQ(rig.sender.rests.size(), 4u);
  EXPECT_EQ(rig.sender.rests[2].size(), kFrame - 200);
  EXPECT_EQ(rig.sender.rests[3].size(), kFrame - 300) << "what the last try left";
  EXPECT_EQ(rig.sender.bytesSent, 2 * kFrame);
  EXPECT_EQ(rig.sender.disconnects, 0);

  // A rest of an ended connection is dropped with it: its file goes again whole.
  rig.sender.result = 10;
  rig.sender.restResult = 0;
  ASSERT_TRUE(rig.outbox.Send((rig.dir / "C_-1.ddm").string(), p7::BuildHelloFrame()));
  rig.outbox.ConnectionEnded();
  ++rig.sender.connection;
  rig.sender.result.reset();
  const std::size_t rests = rig.sender.rests.size();
  EXPECT_TRUE(rig.Send(rig.a));
  EXPECT_EQ(rig.sender.rests.size(), rests) << "no rest of the old connection sent on the new one";
}

// The server's window: its right edge (acknowledged + window) moves on as
// the program reads, and as its kernel grows the window without a read. A
// frame counts as read once the edge stands four times the widest window
// shown, and a step of the window scale, past its end.
TEST(Protocol7Outbox, TheServersWindowShowsAFrameReadOnlyFourTimesItsWidestWindowOn) {
  constexpr std::uint32_t kWide = 50;
  const struct {
    const char* what;
    std::uint32_t acknowledged;  // of A and B, 2 × 555 bytes
    std::uint32_t window;        // after the first sample showed kWide
    std::uint32_t granule;
    bool aRead;
    bool bRead;
  } cases[] = {
      {"only A acknowledged, the window as wide as ever", kFrame, kWide, 1, false, false},
      {"the edge one byte short", 710, 45, 1, false, false},  // 755 - (4 × 50 + 1) = 554
      {"the edge exactly far enough past A", 710, 46, 1, true, false},
      {"a coarser window scale asks one step more", 710, 46, 128, false, false},
      {"a window grown past the widest is no evidence", 710, 10 * kWide, 1, false, false},
      {"all acknowledged: A read, B not yet", 2 * kFrame, kWide, 1, true, false},
  };
  for (const auto& c : cases) {
    OutboxRig rig;
    rig.sender.unacknowledged = kFrame;
    rig.sender.window = TPeerWindow{kWide, c.granule};
    ASSERT_TRUE(rig.Send(rig.a)) << c.what;  // the first sample: the widest window so far
    rig.sender.unacknowledged = 2 * kFrame;
    ASSERT_TRUE(rig.Send(rig.b)) << c.what;
    rig.sender.unacknowledged = 2 * kFrame - c.acknowledged;
    rig.sender.window = TPeerWindow{c.window, c.granule};
    rig.outbox.Settle();
    EXPECT_EQ(fs::exists(rig.a), !c.aRead) << c.what;
    EXPECT_EQ(fs::exists(rig.b), !c.bRead) << c.what;
    EXPECT_EQ(rig.outbox.InFlight(rig.a), !c.aRead) << c.what;
  }
}

// A file removed on a window's word stays removed; the others of that
// connection go again when it ends with a reset, and only when its server
// ended it in order are the acknowledged ones taken as read.
TEST(Protocol7Outbox, AnAbnormalEndSendsTheFramesInDoubtAgain) {
  OutboxRig rig;
  rig.sender.window = TPeerWindow{1000, 1};
  ASSERT_TRUE(rig.Send(rig.a));
  ASSERT_TRUE(rig.Send(rig.b));
  rig.outbox.Settle();
  EXPECT_EQ(rig.outbox.FilesUnacknowledged(), 0u) << "both acknowledged by the server's TCP";
  EXPECT_EQ(rig.outbox.FilesInFlight().size(), 2u) << "both in doubt";
  rig.outbox.ConnectionEnded();  // a reset
  EXPECT_TRUE(rig.outbox.FilesInFlight().empty());
  EXPECT_TRUE(fs::exists(rig.a));
  EXPECT_TRUE(fs::exists(rig.b));
  ++rig.sender.connection;
  rig.sender.bytesSent = 0;
  EXPECT_TRUE(rig.Send(rig.a)) << "sent again on the next connection";
  EXPECT_EQ(rig.sender.sent.size(), 3u);
}

// The replay's pace counts the frames the server's TCP has not acknowledged,
// newest first; those it has, in doubt or not, are no part of it.
TEST(Protocol7Outbox, CountsTheFilesTheServersTcpHasNotAcknowledged) {
  OutboxRig rig;
  rig.sender.unacknowledged = kFrame;
  ASSERT_TRUE(rig.Send(rig.a));
  EXPECT_EQ(rig.outbox.FilesUnacknowledged(), 1u);
  rig.sender.unacknowledged = 2 * kFrame;
  ASSERT_TRUE(rig.Send(rig.b));
  EXPECT_EQ(rig.outbox.FilesUnacknowledged(), 2u);
  rig.sender.unacknowledged = kFrame;
  rig.outbox.Settle();
  EXPECT_EQ(rig.outbox.FilesUnacknowledged(), 1u);
  EXPECT_EQ(rig.outbox.FilesInFlight().size(), 2u);
}

TEST(Protocol7Outbox, AFrameWithoutAFileIsSafeOnlyOnceAcknowledged) {
  OutboxRig rig;
  EXPECT_EQ(rig.outbox.SendUnfiled(p7::BuildHelloFrame()), Protocol7Outbox::Unfiled::Acknowledged);
  rig.sender.unacknowledged = 7;
  EXPECT_EQ(rig.outbox.SendUnfiled(p7::BuildHelloFrame()), Protocol7Outbox::Unfiled::Sent);
  rig.sender.result = 100;
  EXPECT_EQ(rig.outbox.SendUnfiled(p7::BuildHelloFrame()), Protocol7Outbox::Unfiled::Sent) << "a part, its rest kept";
  rig.sender.result = -1;
  EXPECT_EQ(rig.outbox.SendUnfiled(p7::BuildHelloFrame()), Protocol7Outbox::Unfiled::NotSent);
}

// An alarm without a file is sent at once, and its ACK waits, without
// blocking, for the server's TCP to acknowledge the frame's last byte: told
// within one 10-ms look once it has, refused at the connection's end or
// after 1.4 s, and told once.
TEST(Protocol7Outbox, AnAwaitedFrameIsToldOnceItsLastByteIsAcknowledgedOrRefusedInTheEnd) {
  struct AwaitRig {
    FakeProtocol7Sender sender;
    FakeScheduler scheduler;
    Protocol7Outbox outbox{sender, &scheduler};
  };
  const struct {
    const char* what;
    std::function<void(AwaitRig&)> act;
    std::vector<bool> told;
  } cases[] = {
      {"acknowledged after 30 ms",
       [](AwaitRig& r) {
         r.scheduler.Advance(30);
         r.sender.unacknowledged = 0;
         r.scheduler.Advance(Protocol7Outbox::kAwaitCheckMs);
         r.scheduler.Advance(2000);
       },
       {true}},
      {"never acknowledged", [](AwaitRig& r) { r.scheduler.Advance(2000); }, {false}},
      {"the last byte still unacknowledged at 1.4 s",
       [](AwaitRig& r) {
         r.sender.unacknowledged = 1;
         r.scheduler.Advance(2000);
       },
       {false}},
      {"the connection ended",
       [](AwaitRig& r) {
         r.sender.connected = false;
         r.outbox.ConnectionEnded();
         r.scheduler.Advance(2000);
       },
       {false}},
  };
  for (const auto& c : cases) {
    AwaitRig rig;
    rig.sender.connected = true;
    rig.sender.unacknowledged = kFrame;
    std::vector<bool> told;
    EXPECT_EQ(rig.outbox.SendUnfiledAwaited(p7::BuildFrame(p7::ftEvent), [&](bool ok) { told.push_back(ok); }),
              Protocol7Outbox::Unfiled::Sent)
        << c.what;
    EXPECT_TRUE(told.empty()) << c.what << ": never told from inside the send";
    c.act(rig);
    EXPECT_EQ(told, c.told) << c.what;
    EXPECT_EQ(rig.outbox.TakeDeliveredUnfiled(), c.told == std::vector<bool>{true} ? 1u : 0u) << c.what;
  }
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

// An idle connection shows nothing more through its window: once it has sent
// nothing for a while with frames in doubt, it is ended in order, which
// settles them. A server that does not close in time is not asked again soon.
TEST(Protocol7Outbox, AnIdleConnectionWithFramesInDoubtIsEndedInOrder) {
  constexpr std::uint32_t kIdle = Protocol7Outbox::kIdleCloseMs;
  struct IdleRig {
    TempDir dir;
    FakeProtocol7Sender sender;
    FakeScheduler scheduler;
    Protocol7Outbox outbox{sender, &scheduler};
    std::string a = (dir / "A_-1.ddm").string();
    std::string b = (dir / "B_-1.ddm").string();
    IdleRig() {
      sender.connected = true;
      for (const std::string& file : {a, b}) WriteFile(file, std::string(kFrame, 'x'));
    }
    bool Send(const std::string& file) { return outbox.Send(file, p7::BuildFrame(p7::ftEvent)); }
    // The connection ends: in order (the server's TCP had every byte) or not.
    void End(bool orderly) {
      sender.connected = false;
      if (orderly) sender.orderlyEnd = sender.bytesSent;
      outbox.ConnectionEnded();
      sender.orderlyEnd.reset();
    }
    void Reconnect() {
      ++sender.connection;
      sender.bytesSent = 0;
      sender.connected = true;
    }
  };
  const struct {
    const char* what;
    std::function<void(IdleRig&)> act;
    int closes;
    bool aOnDisk;
  } cases[] = {
      {"quiet for the idle time with a frame in doubt",
       [](IdleRig& r) {
         ASSERT_TRUE(r.Send(r.a));
         r.scheduler.Advance(kIdle - 1);
         EXPECT_EQ(r.sender.closesInOrder, 0) << "not yet";
         r.scheduler.Advance(2 * kIdle);
       },
       1, true},
      {"the server's orderly close then settles the frame",
       [](IdleRig& r) {
         ASSERT_TRUE(r.Send(r.a));
         r.scheduler.Advance(2 * kIdle);
         r.End(true);
       },
       1, false},
      {"sends keep the connection open; the quiet after them closes it",
       [](IdleRig& r) {
         ASSERT_TRUE(r.Send(r.a));
         r.scheduler.Advance(kIdle - 1000);
         ASSERT_TRUE(r.Send(r.b));
         r.scheduler.Advance(kIdle - 1000);
         EXPECT_EQ(r.sender.closesInOrder, 0) << "B went out within the idle time";
         r.scheduler.Advance(2 * kIdle);
       },
       1, true},
      {"nothing in doubt: the connection stays",
       [](IdleRig& r) {
         r.outbox.SendUnfiled(p7::BuildHelloFrame());
         r.scheduler.Advance(10 * kIdle);
       },
       0, true},
      {"the frames in doubt belong to a connection that has ended",
       [](IdleRig& r) {
         ASSERT_TRUE(r.Send(r.a));
         r.End(false);
         r.Reconnect();
         r.outbox.SendUnfiled(p7::BuildHelloFrame());
         r.scheduler.Advance(10 * kIdle);
       },
       0, true},
      {"a server that did not close in time is reset, and not asked again for a long while",
       [](IdleRig& r) {
         ASSERT_TRUE(r.Send(r.a));
         r.scheduler.Advance(2 * kIdle);
         r.End(false);  // the client's limit: a reset
         r.Reconnect();
         ASSERT_TRUE(r.Send(r.a)) << "sent again";
         r.scheduler.Advance(10 * kIdle);
         EXPECT_EQ(r.sender.closesInOrder, 1) << "held back";
         r.scheduler.Advance(Protocol7Outbox::kIdleCloseBackoffMs);
         ASSERT_TRUE(r.Send(r.b));
         r.scheduler.Advance(2 * kIdle);
       },
       2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IdleRig rig;
    c.act(rig);
    EXPECT_EQ(rig.sender.closesInOrder, c.closes);
    EXPECT_EQ(fs::exists(rig.a), c.aOnDisk);
  }
}

// With the spool, a file its server has leaves the disk on the spool's
// thread: it counts as removed at once, and one the spool could not remove
// comes back for the index (the replay sends it again, a repeat).
TEST(Protocol7Outbox, TheSpoolRemovesADeliveredFileAndOneItCannotComesBack) {
  struct RecordingSpool final : ISpoolWriter {
    void Write(std::vector<SpoolWrite>, SpoolWriteDone) override {}
    void Remove(std::string path, SpoolRemoveDone done) override { removals.push_back({path, std::move(done)}); }
    void Read(std::function<void()>, std::function<void()>) override {}
    std::vector<std::pair<std::string, SpoolRemoveDone>> removals;
  };
  for (const bool removed : {true, false}) {
    SCOPED_TRACE(removed ? "removed" : "not removed");
    OutboxRig r;
    RecordingSpool spool;
    std::vector<std::string> stayed;
    r.outbox.SetSpool(&spool, [&stayed](const std::string& file) { stayed.push_back(file); });
    ASSERT_TRUE(r.Send(r.a));
    r.sender.unacknowledged = 0;
    r.sender.orderlyEnd = kFrame;
    r.outbox.ConnectionEnded();
    ASSERT_EQ(spool.removals.size(), 1u);
    EXPECT_EQ(spool.removals[0].first, r.a);
    EXPECT_TRUE(fs::exists(r.a)) << "the outbox itself touches no disk";
    EXPECT_FALSE(r.outbox.InFlight(r.a));
    EXPECT_EQ(r.outbox.TakeRemoved(), std::vector<std::string>{r.a}) << "its server has it";
    spool.removals[0].second(removed);
    EXPECT_EQ(stayed, removed ? std::vector<std::string>{} : std::vector<std::string>{r.a});
  }
}

}  // namespace
}  // namespace vorel::test
