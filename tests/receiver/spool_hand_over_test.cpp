// The main port's frames through the real outputs to a spool that answers
// only when the test says the files are flushed: the ACK waits for the
// flush, keeps the frames' order, and a file that could not be written
// takes the way of an event without a file.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "p8/record_types.h"
#include "receiver/event_outputs.h"
#include "receiver/frame_handler_support.h"
#include "receiver/main_port_handler.h"
#include "receiver/output_fakes.h"
#include "spool/spool_writer.h"
#include "support/fake_scheduler.h"

namespace vorel {
namespace {

using test::ToBytes;

// Keeps every hand-over until the test flushes it.
class ManualSpoolWriter final : public ISpoolWriter {
 public:
  struct HandOver {
    std::vector<SpoolWrite> writes;
    SpoolWriteDone done;
  };
  void Write(std::vector<SpoolWrite> writes, SpoolWriteDone done) override {
    handOvers.push_back({std::move(writes), std::move(done)});
  }
  void Remove(std::string path, SpoolRemoveDone done) override {
    removed.push_back(path);
    done(true);
  }
  void Read(std::function<void()> read, std::function<void()> done) override {
    read();
    done();
  }
  // Hand-over `i` flushed: each file under its own name, or none with the
  // reason when the disk fails.
  void Flush(std::size_t i, bool diskFails = false) {
    std::vector<SpoolWritten> written;
    for (const SpoolWrite& w : handOvers.at(i).writes) {
      if (diskFails)
        written.push_back({std::nullopt, "No space left on device"});
      else
        written.push_back({w.prefix + w.stem + w.extension, ""});
    }
    handOvers.at(i).done(std::move(written));
  }
  std::vector<HandOver> handOvers;
  std::vector<std::string> removed;
};

std::string MainFrame(std::string_view account) { return "\n011" + std::string(account) + " 3A00\r"; }

class SpoolHandOverTest : public ::testing::Test {
 protected:
  SpoolHandOverTest() {
    settings.FirstNumber = 31;
    settings.OKAY = true;
    settings.SendMivo7 = true;
    settings.SendMivo8 = true;
    p7.connected = true;
    p8.linkUp = true;
  }
  // One packet as the station's runtime hands it over: its offers together.
  void Receive(std::string_view packet) {
    outputs->BeginPacket();
    handler.ReceivePacket(ToBytes(packet));
    outputs->EndPacket();
  }

  test::InTempDirectory dir;
  test::ReadCountingClock clock;
  test::OpenMainPort port{clock};
  StationPortState station;
  Settings settings;
  test::FakeScheduler scheduler;
  test::FakeProtocol7Sender p7;
  Protocol7Outbox outbox{p7, &scheduler};
  test::FakeProtocol8Queue p8;
  ManualSpoolWriter spool;
  std::vector<std::string> losses;
  std::vector<std::string> notWritten;
  std::vector<std::string> written;
  std::unique_ptr<EventOutputs> outputs = std::make_unique<EventOutputs>(
      OutputSettings{false, 5, "spool/"}, clock, outbox, &p8,
      EventOutputs::Callbacks{{}, {}, [this](std::string w) { losses.push_back(w); },
                              [this](std::string w) { notWritten.push_back(w); }, {},
                              [this](const std::string& f) { written.push_back(f); }},
      &spool);
  EventOutputsSink sink{*outputs};
  MainPortHandler handler{*port.driver, station, settings, clock, scheduler, sink, {}};
};

// Nothing reaches the station or a link before the files are flushed, and a
// later packet flushed first waits for the earlier one: the station counts
// ACKs, and each must answer its own frame. A keep-alive between them, which
// needs no file, waits in line too.
TEST_F(SpoolHandOverTest, NoAckBeforeTheFlushAndTheAcksKeepTheFramesOrder) {
  Receive(MainFrame("0001"));
  Receive("\n011OKAY 0000\r");
  Receive(MainFrame("0002"));
  ASSERT_EQ(spool.handOvers.size(), 2u) << "the keep-alive has no file to write";
  EXPECT_EQ(spool.handOvers[0].writes.size(), 2u) << "one .dd8 and one .ddm";
  EXPECT_EQ(port.AckCount(), 0u);
  EXPECT_TRUE(p8.offered.empty() && p7.sent.empty()) << "no link has an event whose file is not flushed";
  EXPECT_EQ(handler.AlarmsAwaitingAck(), 2u);

  spool.Flush(1);
  EXPECT_EQ(port.AckCount(), 0u) << "the second alarm's ACK waits for the first";
  spool.Flush(0);
  EXPECT_EQ(port.AckCount(), 3u);
  EXPECT_EQ(handler.AlarmsAcknowledged(), 2u);
  ASSERT_EQ(p8.offered.size(), 2u);
  EXPECT_FALSE(p8.offered[0].spoolFile.empty()) << "queued with its file";
  EXPECT_EQ(written.size(), 4u) << "the index hears of every file flushed";
}

// The frames of one packet go to the spool in one hand-over, whose files
// share one directory flush; each frame is answered once it is flushed.
TEST_F(SpoolHandOverTest, AllTheFilesOfAPacketGoInOneHandOver) {
  Receive(MainFrame("0001") + MainFrame("0002") + MainFrame("0003"));
  ASSERT_EQ(spool.handOvers.size(), 1u);
  EXPECT_EQ(spool.handOvers[0].writes.size(), 6u);
  EXPECT_EQ(port.AckCount(), 0u);
  spool.Flush(0);
  EXPECT_EQ(port.AckCount(), 3u);
}

// A file the disk could not take: with the link up the event waits for the
// server's answer (the way of an event without a file), with the link down
// it is not kept and the station hears no ACK; a later packet is answered.
TEST_F(SpoolHandOverTest, AFileNotWrittenTakesTheWayOfAnEventWithoutAFile) {
  settings.SendMivo7 = false;
  struct Case {
    const char* name;
    bool linkUp;
    std::optional<bool> answered;  // the server's answer to the awaited event
    std::size_t acks;
    std::size_t losses;
  };
  const Case cases[] = {
      {"link up, the server answers", true, true, 1, 0},
      {"link up, the answer does not come in time", true, false, 0, 0},
      {"link down", false, std::nullopt, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    p8 = {};
    p8.linkUp = c.linkUp;
    spool.handOvers.clear();
    losses.clear();
    const std::size_t acksBefore = port.AckCount();
    Receive(MainFrame("0001"));
    spool.Flush(0, true);
    EXPECT_EQ(port.AckCount(), acksBefore) << "nothing safe yet";
    ASSERT_EQ(p8.awaited.size(), c.answered ? 1u : 0u);
    if (c.answered) p8.awaited[0](*c.answered);
    EXPECT_EQ(port.AckCount() - acksBefore, c.acks);
    EXPECT_EQ(losses.size(), c.losses);

    p8.linkUp = true;
    Receive(MainFrame("0002"));
    spool.Flush(1);
    EXPECT_EQ(port.AckCount() - acksBefore, c.acks + 1) << "the next packet is answered";
  }
}

// Outputs gone before the spool answers (the driver closing): what the spool
// posts back then does nothing.
TEST_F(SpoolHandOverTest, AnAnswerAfterTheOutputsAreGoneDoesNothing) {
  Receive(MainFrame("0001"));
  outputs.reset();
  spool.Flush(0);
  EXPECT_EQ(port.AckCount(), 0u);
  EXPECT_TRUE(p8.offered.empty());
  EXPECT_TRUE(written.empty());
}

}  // namespace
}  // namespace vorel
