// Replay of .ddm files: one per tick while connected, removed only when the
// whole frame went out; unreadable or short files put aside, not blocking.
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
      : replay{prefix, outbox,
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
};

TEST(Protocol7Replay, OneFilePerTickInNameOrderOnlyWhileConnected) {
  ReplayRig rig;
  rig.Spool("2DC06B63_-1.ddm", p7::ftEvent);
  rig.Spool("2DC06B64_-1.ddm", p7::ftStationLost);
  rig.Spool("2DC06B65.dd8", 0);  // the other link's file
  rig.replay.Step();
  EXPECT_TRUE(rig.sender.sent.empty()) << "not connected";

  rig.sender.connected = true;
  rig.replay.Step();
  ASSERT_EQ(rig.sender.sent.size(), 1u);
  EXPECT_EQ(rig.sender.sent[0][2], p7::ftEvent);
  EXPECT_EQ(rig.outbox.FilesInFlight().size(), 1u);
  rig.replay.Step();
  EXPECT_EQ(rig.sender.sent.back()[2], p7::ftStationLost);
  EXPECT_EQ(rig.outbox.FilesInFlight().size(), 2u) << "both in doubt, neither sent again";
  EXPECT_EQ(rig.refreshed, 2);
  rig.replay.Step();
  EXPECT_EQ(rig.sender.sent.size(), 2u);
  EXPECT_EQ(rig.Left(".dd8").size(), 1u);
}

// A faster pace sends several files per tick, oldest first, with no more
// unacknowledged by the server's TCP than the pace; files the server's TCP
// has, still in doubt, do not hold the replay back.
TEST(Protocol7Replay, AFasterPaceSendsSeveralPerTickWithNoMoreInFlightThanThePace) {
  ReplayRig rig(3);
  for (const char* name : {"2DC06B61_-1.ddm", "2DC06B62_-1.ddm", "2DC06B63_-1.ddm", "2DC06B64_-1.ddm",
                           "2DC06B65_-1.ddm", "2DC06B66_-1.ddm", "2DC06B67_-1.ddm", "2DC06B68_-1.ddm"})
    rig.Spool(name, p7::ftEvent);
  rig.sender.connected = true;
  rig.replay.Step();
  EXPECT_EQ(rig.sender.sent.size(), 3u);
  EXPECT_EQ(rig.outbox.FilesUnacknowledged(), 0u) << "acknowledged at once";

  rig.sender.acknowledged = 3 * p7::kFrameSize;  // the server's TCP holds back what comes next
  rig.replay.Step();
  EXPECT_EQ(rig.sender.sent.size(), 6u);
  EXPECT_EQ(rig.outbox.FilesUnacknowledged(), 3u);
  rig.replay.Step();
  EXPECT_EQ(rig.sender.sent.size(), 6u) << "as many in flight as the pace: none this tick";

  rig.sender.acknowledged.reset();
  rig.outbox.Settle();
  rig.replay.Step();
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
    rig.replay.Step();
    EXPECT_EQ(rig.Left(".ddm").size(), 1u) << "send result " << c.result;
    EXPECT_EQ(rig.outbox.FilesInFlight().size(), c.onItsWay ? 1u : 0u) << "send result " << c.result;
    EXPECT_EQ(rig.refreshed, c.onItsWay ? 1 : 0);
    EXPECT_EQ(rig.sender.disconnects, 0) << "send result " << c.result;
  }
}

TEST(Protocol7Replay, UnreadableOrShortFilesArePutAsideAndTheNextOneGoes) {
  ReplayRig rig;
  rig.Spool("1_-1.ddm", p7::ftEvent, 100);                  // short
  fs::create_directory(rig.dir / "spool" / "2_-1.ddm.d");    // not a file: never matched
  rig.Spool("3_-1.ddm", p7::ftStationRestored);
  rig.sender.connected = true;
  rig.replay.Step();
  ASSERT_EQ(rig.sender.sent.size(), 1u);
  EXPECT_EQ(rig.sender.sent[0][2], p7::ftStationRestored);
  EXPECT_EQ(rig.Left(".ddm"), std::vector<std::string>{rig.prefix + "3_-1.ddm"}) << "in doubt";
  EXPECT_EQ(rig.Left(".bad").size(), 1u);
  ASSERT_EQ(rig.lines.size(), 1u);
  EXPECT_NE(rig.lines[0].find("1_-1.ddm.bad"), std::string::npos);
}

// A file that cannot be read this time (here a link that loops) holds an
// acknowledged alarm: it is never set aside, the log names it once, and it
// goes as soon as it can be read.
TEST(Protocol7Replay, AFileThatCannotBeReadNowStaysAndGoesOnceReadable) {
  ReplayRig rig;
  const fs::path looping = rig.dir / "spool" / "1_-1.ddm";
  fs::create_symlink(looping, looping);
  rig.Spool("2_-1.ddm", p7::ftEvent);
  rig.sender.connected = true;
  for (int tick = 0; tick < 3; ++tick) rig.replay.Step();
  ASSERT_EQ(rig.sender.sent.size(), 1u);
  EXPECT_TRUE(fs::is_symlink(looping));
  EXPECT_TRUE(rig.Left(".bad").empty());
  ASSERT_EQ(rig.lines.size(), 1u);
  EXPECT_NE(rig.lines[0].find("1_-1.ddm"), std::string::npos);

  fs::remove(looping);
  rig.Spool("1_-1.ddm", p7::ftStationLost);
  rig.replay.Step();
  ASSERT_EQ(rig.sender.sent.size(), 2u);
  EXPECT_EQ(rig.sender.sent[1][2], p7::ftStationLost);
}

// A broken file whose ".bad" name is taken by a directory cannot be renamed:
// it is passed over, and the log names it once, not on every tick.
TEST(Protocol7Replay, ABrokenFileThatCannotBeRenamedIsNamedOnceAndPassedOver) {
  ReplayRig rig;
  rig.Spool("1_-1.ddm", p7::ftEvent, 100);
  fs::create_directories(rig.dir / "spool" / "1_-1.ddm.bad" / "taken");
  rig.Spool("2_-1.ddm", p7::ftEvent);
  rig.Spool("3_-1.ddm", p7::ftEvent);
  rig.sender.connected = true;
  for (int tick = 0; tick < 4; ++tick) rig.replay.Step();
  EXPECT_EQ(rig.sender.sent.size(), 2u);
  EXPECT_EQ(rig.lines.size(), 1u);
  EXPECT_EQ(rig.outbox.FilesInFlight(), (std::set<std::string>{rig.prefix + "2_-1.ddm", rig.prefix + "3_-1.ddm"}));
}

TEST(SpoolDirectory, PrefixWithoutSeparatorIsANamePrefix) {
  TempDir dir;
  WriteFile(dir / "spoolA_-1.ddm", "x");
  WriteFile(dir / "other_-1.ddm", "x");
  EXPECT_EQ(FindSpoolFiles((dir / "spool").string(), ".ddm"),
            std::vector<std::string>{(dir / "spoolA_-1.ddm").string()});
  EXPECT_TRUE(FindSpoolFiles((dir / "missing/").string(), ".ddm").empty());
}

// The status file counts both kinds from one reading; a file forgotten as
// gone no longer counts.
TEST(SpoolDirectory, CountsEachKindFromOneReading) {
  TempDir dir;
  for (const char* name : {"B_-1.ddm", "A_-1.ddm.bad", "A0_-1.ddm", "C.dd8", "D.dd8", "E.dd8"})
    WriteFile(dir / name, "x");
  const std::string prefix = (dir.Path() / "").string();
  SpoolListing listing(prefix);
  EXPECT_EQ(listing.Count(".ddm"), 2u);
  EXPECT_EQ(listing.Count(".dd8"), 3u);
  listing.Forget(prefix + "C.dd8");
  EXPECT_EQ(listing.Count(".dd8"), 2u);
  EXPECT_EQ(SpoolListing((dir / "missing/").string()).Count(".ddm"), 0u);
}

// The replays take the first file of the full listing, found in one pass.
TEST(SpoolDirectory, FirstFileIsTheFirstOfTheListingLessThoseHeldBack) {
  TempDir dir;
  for (const char* name : {"B_-1.ddm", "A_-1.ddm.bad", "a_-1.ddm", "C.dd8", "A0_-1.ddm", "\xC0_-1.ddm"})
    WriteFile(dir / name, "x");
  const std::string prefix = (dir.Path() / "").string();
  const std::vector<std::string> all = FindSpoolFiles(prefix, ".ddm");
  // Fewer leading hex digits first; among as many, bytes compare as unsigned.
  EXPECT_EQ(all, (std::vector<std::string>{prefix + "a_-1.ddm", prefix + "\xC0_-1.ddm", prefix + "B_-1.ddm",
                                           prefix + "A0_-1.ddm"}));
  std::set<std::string> passOver;
  for (const std::string& expected : all) {
    EXPECT_EQ(FirstSpoolFile(prefix, ".ddm", passOver), expected);
    passOver.insert(expected);
  }
  EXPECT_EQ(FirstSpoolFile(prefix, ".ddm", passOver), std::nullopt);
  EXPECT_EQ(FirstSpoolFile((dir / "a").string(), ".ddm"), (dir / "a_-1.ddm").string()) << "a name prefix";
  EXPECT_EQ(FirstSpoolFile((dir / "missing/").string(), ".ddm"), std::nullopt);

  // The tick's shared listing finds the same files, both kinds from one
  // reading of the directory.
  for (const std::string& p : {prefix, (dir / "a").string(), (dir / "missing/").string()}) {
    SpoolListing listing(p);
    EXPECT_EQ(listing.First(".ddm"), FirstSpoolFile(p, ".ddm")) << p;
    EXPECT_EQ(listing.First(".dd8"), FirstSpoolFile(p, ".dd8")) << p;
  }
  SpoolListing listing(prefix);
  EXPECT_EQ(listing.First(".dd8"), prefix + "C.dd8");
  WriteFile(dir / "0_-1.ddm", "x");  // written after the reading
  EXPECT_EQ(listing.First(".ddm"), all.front()) << "the directory is read once";
  listing.Forget(all.front());
  EXPECT_EQ(listing.First(".ddm"), all[1]) << "a file sent or set aside is not offered again";
  EXPECT_EQ(listing.First(".ddm", {all[1]}), all[2]);
}

// Oldest first: the last moment of the 3rd of a month (seven hex digits)
// goes before the first of the 4th (eight), in the listing and the index,
// also under a name prefix.
TEST(SpoolDirectory, TheOldestGoesFirstAcrossTheDayWhoseNamesGainADigit) {
  TempDir dir;
  std::filesystem::create_directory(dir / "plain");
  std::filesystem::create_directory(dir / "named");
  for (const char* name : {"plain/14997000.dd8", "plain/F731400.dd8", "named/sp_14997000.dd8", "named/sp_F731400.dd8"})
    WriteFile(dir / name, "x");
  for (const std::string& prefix : {(dir / "plain/").string(), (dir / "named/sp_").string()}) {
    SCOPED_TRACE(prefix);
    EXPECT_EQ(FirstSpoolFile(prefix, ".dd8"), prefix + "F731400.dd8");
    SpoolListing index(prefix);
    EXPECT_EQ(index.First(".dd8"), prefix + "F731400.dd8");
    index.Forget(prefix + "F731400.dd8");
    EXPECT_EQ(index.First(".dd8"), prefix + "14997000.dd8");
  }
}

// The index is kept by what the program writes and removes; what another
// program does shows after the next reading, a minute later at most.
TEST(SpoolDirectory, TheIndexFollowsThisProgramAtOnceAndOthersWithinAMinute) {
  TempDir dir;
  const std::string prefix = (dir.Path() / "").string();
  WriteFile(dir / "B.dd8", "x");
  SpoolListing index(prefix);
  const std::uint32_t start = 0xFFFFF000u;  // the tick count wraps during the test
  index.Refresh(start);
  EXPECT_EQ(index.Count(".dd8"), 1u);

  WriteFile(dir / "A.dd8", "x");
  index.Added(prefix + "A.dd8");
  WriteFile(dir / "0.dd8", "x");  // another program's
  index.Added(prefix + "elsewhere/1.dd8");
  index.Added((dir / "..").string() + "/2.dd8");
  EXPECT_EQ(index.First(".dd8"), prefix + "A.dd8");
  EXPECT_EQ(index.Count(".dd8"), 2u);

  index.Forget(prefix + "A.dd8");
  index.Refresh(start + SpoolListing::kRescanMs - 1);
  EXPECT_EQ(index.First(".dd8"), prefix + "B.dd8") << "not read again before a minute has passed";
  index.Refresh(start + SpoolListing::kRescanMs);
  EXPECT_EQ(index.First(".dd8"), prefix + "0.dd8");
  EXPECT_EQ(index.Count(".dd8"), 3u) << "A.dd8 is still on disk: the reading finds it again";
}

}  // namespace
}  // namespace vorel::test
