// What the journal hears: each standard-error line with its level when
// standard error is the journal, the link changes, where "vorel --status"
// looks, and the reason the program gives for its end. The level of each
// operator's log line is its writer's, checked where each writer is tested.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/close_reason.h"
#include "app/journal_levels.h"
#include "app/link_change_log.h"
#include "app/status_command.h"

namespace vorel {
namespace {

TEST(JournalLevels, APrefixOnlyForTheJournal) {
  EXPECT_EQ(JournalLine(Severity::Error, "vorel: error: x\n", true), "<3>vorel: error: x\n");
  EXPECT_EQ(JournalLine(Severity::Warning, "vorel: log: y\n", true), "<4>vorel: log: y\n");
  EXPECT_EQ(JournalLine(Severity::Info, "vorel: log: z\n", true), "<6>vorel: log: z\n");
  EXPECT_EQ(JournalLine(Severity::Debug, "vorel: log: w\n", true), "<7>vorel: log: w\n");
  EXPECT_EQ(JournalLine(Severity::Error, "vorel: error: x\n", false), "vorel: error: x\n") << "a terminal or a file";
}

TEST(JournalLevels, OnlyTheStreamThatJournalStreamNamesIsTheJournal) {
  const std::pair<unsigned long long, unsigned long long> stream{64769, 123456};
  EXPECT_TRUE(NamesStream("64769:123456", stream));
  EXPECT_FALSE(NamesStream("64769:123457", stream)) << "standard error redirected by a parent";
  EXPECT_FALSE(NamesStream("64770:123456", stream));
  EXPECT_FALSE(NamesStream(nullptr, stream));
  EXPECT_FALSE(NamesStream("", stream));
  EXPECT_FALSE(NamesStream("64769:123456x", stream));
  EXPECT_FALSE(NamesStream("64769", stream));
  EXPECT_FALSE(NamesStream("64769:123456", std::nullopt));
}

// A link that goes down is a warning, one that comes back information; the
// first look (every link down at start) and links switched off say nothing.
TEST(LinkChangeLogTest, EachChangeOnceWithItsLevel) {
  LinkChangeLog log;
  StationStatus s;
  s.main.name = "COM1";
  s.second.name = "COM2";
  s.protocol7 = LinkState::Down;
  s.protocol8 = LinkState::Off;
  EXPECT_TRUE(log.Look(s).empty()) << "the first look";
  s.main.stationLinkUp = true;
  s.protocol7 = LinkState::Up;
  using Lines = std::vector<std::pair<Severity, std::string>>;
  EXPECT_EQ(log.Look(s), (Lines{{Severity::Info, "vorel: link: station link of the main port COM1 restored\n"},
                                {Severity::Info, "vorel: link: protocol-7 server link up\n"}}));
  EXPECT_TRUE(log.Look(s).empty()) << "no change, no line";
  s.main.stationLinkUp = false;
  s.protocol7 = LinkState::Down;
  EXPECT_EQ(log.Look(s), (Lines{{Severity::Warning, "vorel: link: station link of the main port COM1 lost\n"},
                                {Severity::Warning, "vorel: link: protocol-7 server link lost\n"}}));
  s.protocol7 = LinkState::Off;
  EXPECT_TRUE(log.Look(s).empty()) << "a link switched off is not lost";
}

// Attempts at a server that takes no connection are no news: the journal
// hears of a server link only when it is established and when it is lost.
TEST(LinkChangeLogTest, AttemptsAreNoNewsOnlyEstablishedAndLost) {
  LinkChangeLog log;
  StationStatus s;
  s.protocol8 = LinkState::Down;
  EXPECT_TRUE(log.Look(s).empty());
  for (int attempt = 0; attempt < 3; ++attempt) {
    s.protocol8 = LinkState::Connecting;
    EXPECT_TRUE(log.Look(s).empty());
    s.protocol8 = LinkState::Down;
    EXPECT_TRUE(log.Look(s).empty());
  }
  using Lines = std::vector<std::pair<Severity, std::string>>;
  s.protocol8 = LinkState::Connecting;
  EXPECT_TRUE(log.Look(s).empty());
  s.protocol8 = LinkState::Up;
  EXPECT_EQ(log.Look(s), (Lines{{Severity::Info, "vorel: link: protocol-8 server link up\n"}}));
  s.protocol8 = LinkState::Connecting;  // lost, and tried again at once
  EXPECT_EQ(log.Look(s), (Lines{{Severity::Warning, "vorel: link: protocol-8 server link lost\n"}}));
  s.protocol8 = LinkState::Down;
  EXPECT_TRUE(log.Look(s).empty()) << "lost once";
}

TEST(StatusDirectoryTest, ThePackagedStateDirectoryAnInstanceOrAPath) {
  struct Case {
    const char* argument;
    const char* directory;
  };
  const Case cases[] = {
      {nullptr, "/var/lib/vorel"},      {"", "/var/lib/vorel"},           {"north", "/var/lib/vorel/north"},
      {".", "."},                       {"..", ".."},                     {"./north", "./north"},
      {"/srv/vorel", "/srv/vorel"},     {"build/run", "build/run"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(StatusDirectory(c.argument), c.directory) << (c.argument ? c.argument : "(none)");
}

TEST(CloseReasonTest, EachEndNamesItsReason) {
  EXPECT_EQ(ClosingLine(CloseReason::Server), "vorel: closing: the message server's close command\n");
  EXPECT_EQ(ClosingLine(CloseReason::Terminate), "vorel: closing: SIGTERM (the service manager's stop, or kill)\n");
  EXPECT_EQ(ClosingLine(CloseReason::Interrupt), "vorel: closing: SIGINT (interrupted from the terminal)\n");
  EXPECT_EQ(ClosingLine(CloseReason::Operator), "vorel: closing: the operator's close, with the close password\n");
}

}  // namespace
}  // namespace vorel
