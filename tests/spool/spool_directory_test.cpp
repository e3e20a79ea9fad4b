// The spool's index: the files of each kind, oldest first, kept up to date by
// what this program writes and removes and read again once a minute.
#include "spool/spool_directory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vorel::test {
namespace {

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
  SpoolIndexEvents(listing).Gone(prefix + "C.dd8");
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
  SpoolIndexEvents(listing).Gone(all.front());
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
    SpoolIndexEvents(index).Gone(prefix + "F731400.dd8");
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
  SpoolIndexEvents(index).Written(prefix + "A.dd8");
  WriteFile(dir / "0.dd8", "x");  // another program's
  SpoolIndexEvents(index).Written(prefix + "elsewhere/1.dd8");
  SpoolIndexEvents(index).Written((dir / "..").string() + "/2.dd8");
  EXPECT_EQ(index.First(".dd8"), prefix + "A.dd8");
  EXPECT_EQ(index.Count(".dd8"), 2u);

  SpoolIndexEvents(index).Gone(prefix + "A.dd8");
  index.Refresh(start + SpoolListing::kRescanMs - 1);
  EXPECT_EQ(index.First(".dd8"), prefix + "B.dd8") << "not read again before a minute has passed";
  index.Refresh(start + SpoolListing::kRescanMs);
  EXPECT_EQ(index.First(".dd8"), prefix + "0.dd8");
  EXPECT_EQ(index.Count(".dd8"), 3u) << "A.dd8 is still on disk: the reading finds it again";
}


// The station's one way into the index: it reaches whichever index is there
// now, and an event before there is one is left to the first reading.
TEST(SpoolDirectory, TheIndexEventsReachTheIndexThatIsThereNow) {
  TempDir dir;
  const std::string prefix = (dir.Path() / "").string();
  std::unique_ptr<SpoolListing> index;
  SpoolIndexEvents events([&index] { return index.get(); });
  events.Written(prefix + "A.dd8");
  events.Gone(prefix + "A.dd8");

  WriteFile(dir / "B.dd8", "x");
  index = std::make_unique<SpoolListing>(prefix);
  index->Rescan();
  WriteFile(dir / "A.dd8", "x");
  events.Written(prefix + "A.dd8");
  EXPECT_EQ(index->First(".dd8"), prefix + "A.dd8");
  events.Gone(prefix + "A.dd8");
  events.Gone(prefix + "B.dd8");
  EXPECT_EQ(index->Count(".dd8"), 0u);

  index = std::make_unique<SpoolListing>(prefix);  // a new event path reads anew
  EXPECT_EQ(index->Count(".dd8"), 2u);
  events.Gone(prefix + "B.dd8");
  EXPECT_EQ(index->First(".dd8"), prefix + "A.dd8");
}

}  // namespace
}  // namespace vorel::test
