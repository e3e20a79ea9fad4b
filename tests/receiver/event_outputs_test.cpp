#include "receiver/event_outputs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fake_scheduler.h"
#include "support/temp_dir.h"
#include "p8/record_types.h"
#include "receiver/output_fakes.h"
#include "support/fake_clock.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;
using test::FakeProtocol7Sender;
using test::FakeProtocol8Queue;
using test::ReadFile;
using test::TempDir;

// A moment of March 2025, a month of 31 days.
TDateTime At(int day, int hour, int minute, int second, int ms) {
  return *EncodeDateTime({2025, 3, day, hour, minute, second, ms});
}

// The moment whose spool name is 2DC06B63.
const TDateTime kMoment = At(8, 21, 13, 5, 123);

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

template <class Bytes>
std::string Str(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

EventRecord SampleRecord(std::uint8_t seed = 1) {
  EventRecord record{};
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(seed + i * 7);
  return record;
}

Bytes SamplePayload(std::size_t size, std::uint8_t seed = 1) {
  Bytes payload(size);
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(seed + i * 13);
  return payload;
}

// ---------------------------------------------------------------- spool name

struct SpoolNameCase {
  const char* what;
  TDateTime when;
  const char* name;
};

class SpoolNameTest : public ::testing::TestWithParam<SpoolNameCase> {};

TEST_P(SpoolNameTest, IsTheMillisecondOfTheMonthInUpperCaseHex) {
  EXPECT_EQ(SpoolName(GetParam().when), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, SpoolNameTest,
    ::testing::Values(SpoolNameCase{"eighth_21_13_05_123", At(8, 21, 13, 5, 123), "2DC06B63"},
                      SpoolNameCase{"first_at_midnight_seven_digits", At(1, 0, 0, 0, 0), "5265C00"},
                      SpoolNameCase{"largest_day31_23_59_59_999", At(31, 23, 59, 59, 999), "A4CB7FFF"},
                      SpoolNameCase{"other_month_same_moment", *EncodeDateTime({2024, 2, 8, 21, 13, 5, 123}),
                                    "2DC06B63"},
                      SpoolNameCase{"rounded_to_the_millisecond", At(8, 21, 13, 5, 123) + 0.4 / 86'400'000.0,
                                    "2DC06B63"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(SpoolNameErrors, ValueThatIsNotADateRaises) {
  for (TDateTime bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e9})
    EXPECT_THROW(SpoolName(bad), std::invalid_argument) << bad;
}

// ---------------------------------------------------------------- outputs

class EventOutputsTest : public ::testing::Test {
 protected:
  EventOutputs Make() {
    EventOutputs::Callbacks callbacks;
    callbacks.refreshProtocol7Indicator = [this] {
      ++refreshes;
      if (refreshRaises) throw std::runtime_error("canvas");
    };
    callbacks.logError = [this](int code) { errors.push_back(code); };
    callbacks.spoolFailed = [this](std::string what) { losses.push_back(std::move(what)); };
    callbacks.dropped = [this](std::string what) { drops.push_back(std::move(what)); };
    callbacks.spoolNotWritten = [this](std::string what) { notWritten.push_back(std::move(what)); };
    return EventOutputs(settings, clock, outbox, withProtocol8 ? &p8 : nullptr, callbacks);
  }
  std::string Spooled(const std::string& name) { return ReadFile(dir / name); }

  TempDir dir;
  test::FakeClock clock{kMoment};
  FakeProtocol7Sender p7;
  Protocol7Outbox outbox{p7};
  FakeProtocol8Queue p8;
  bool withProtocol8 = true;
  OutputSettings settings{false, 5, dir.Path().string() + "/"};

  int refreshes = 0;
  bool refreshRaises = false;
  std::vector<int> errors;
  std::vector<std::string> losses;
  std::vector<std::string> drops;
  std::vector<std::string> notWritten;  // spool writes failed for events taken live
};

// The three protocol-7 frames of the outputs, by name.
enum class P7Kind { Event, Lost, Restored };

struct P7Output {
  P7Kind kind;
  p7::Frame frame;
  Delivery Send(EventOutputs& out) const {
    switch (kind) {
      case P7Kind::Event: return out.SendEvent(SampleRecord());
      case P7Kind::Lost: return out.SendLinkFrame(p7::ftStationLost, 31);
      case P7Kind::Restored: return out.SendLinkFrame(p7::ftStationRestored, 32);
    }
    return Delivery::Lost;
  }
};

const P7Output kP7Outputs[] = {
    {P7Kind::Event, p7::BuildEventFrame(SampleRecord())},
    {P7Kind::Lost, p7::BuildStationLostFrame(31)},
    {P7Kind::Restored, p7::BuildStationRestoredFrame(32)},
};

TEST_F(EventOutputsTest, Protocol7LiveSendsTheFrameAndRefreshesTheIndicatorOnlyForAnEvent) {
  p7.connected = true;
  auto out = Make();
  for (const P7Output& o : kP7Outputs) {
    const int before = refreshes;
    EXPECT_EQ(o.Send(out), Delivery::SafeOnItsWay);
    ASSERT_FALSE(p7.sent.empty());
    EXPECT_EQ(p7.sent.back(), o.frame);
    EXPECT_EQ(refreshes - before, o.kind == P7Kind::Event ? 1 : 0);
  }
  EXPECT_EQ(p7.sent.size(), 3u);
  EXPECT_EQ(outbox.FilesInFlight().size(), 3u) << "each written ahead, in doubt until the server has read it";
}

TEST_F(EventOutputsTest, LinkFramesCarryThePortTag) {
  p7.connected = true;
  auto out = Make();
  out.SendLinkFrame(p7::ftStationLost, 32);
  ASSERT_EQ(p7.sent.size(), 1u);
  const auto fields = p7::DecodeFrame(p7.sent[0]);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->type, p7::ftStationLost);
  EXPECT_EQ(fields->linkPortTag, 32);
}

TEST_F(EventOutputsTest, IndicatorErrorAfterALiveEventIsIgnored) {
  p7.connected = true;
  refreshRaises = true;
  auto out = Make();
  EXPECT_EQ(out.SendEvent(SampleRecord()), Delivery::SafeOnItsWay);
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(outbox.FilesInFlight().size(), 1u) << "on its way, whatever the window did";
}

// A frame in our own kernel is not at the server yet, nor is one its kernel
// holds unread: its file is written before the send and stays until the
// server has certainly read it (here: the server ends the connection in
// order).
TEST_F(EventOutputsTest, Protocol7LiveFramesAreWrittenAheadAndStayUntilTheServerHasThem) {
  p7.connected = true;
  p7.unacknowledged = p7::kFrameSize;
  auto out = Make();
  for (const P7Output& o : kP7Outputs) {
    EXPECT_EQ(o.Send(out), Delivery::SafeOnItsWay);
    fs::path file = dir / "2DC06B63_5.ddm";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(Spooled(file.filename()), Str(o.frame));
    EXPECT_TRUE(outbox.InFlight(file.string()));
    p7.unacknowledged = 0;
    outbox.Settle();
    EXPECT_TRUE(fs::exists(file)) << "acknowledged by its TCP, not yet known to be read";
    p7.orderlyEnd = p7.bytesSent;
    outbox.ConnectionEnded();
    EXPECT_TRUE(Names(dir.Path()).empty());
    p7.orderlyEnd.reset();
    p7.unacknowledged = p7::kFrameSize;
  }
}

// With no file (the spool directory cannot be made) the frame is safe only
// once the server's TCP has it; otherwise the station hears no ACK.
TEST_F(EventOutputsTest, Protocol7FrameWithoutAFileIsSafeOnlyOnceTheServersTcpHasIt) {
  test::WriteFile(dir / "blocked", "a file where the directory should be");
  settings.PathForSoob = (dir / "blocked" / "").string();
  p7.connected = true;
  auto out = Make();
  EXPECT_EQ(out.SendEvent(SampleRecord()), Delivery::SafeOnItsWay);
  p7.unacknowledged = 1;
  EXPECT_EQ(out.SendEvent(SampleRecord()), Delivery::Queued);
  EXPECT_FALSE(SafeFromCrash(Delivery::Queued));
  EXPECT_EQ(p7.sent.size(), 2u);
  EXPECT_TRUE(losses.empty()) << "taken live, so not counted as not kept";
  EXPECT_EQ(notWritten.size(), 2u) << "the failing disk is still reported";

  // A caller that waits (the main port's ACK) hears later instead.
  test::FakeScheduler scheduler;
  Protocol7Outbox awaitingOutbox{p7, &scheduler};
  EventOutputs awaitingOut(settings, clock, awaitingOutbox, nullptr, {});
  std::vector<bool> told;
  EXPECT_EQ(awaitingOut.SendEvent(SampleRecord(), [&](bool ok) { told.push_back(ok); }), Delivery::Awaiting);
  p7.unacknowledged = 0;
  scheduler.Advance(Protocol7Outbox::kAwaitCheckMs);
  EXPECT_EQ(told, std::vector<bool>{true});
  p7.result = -1;
  EXPECT_EQ(out.SendEvent(SampleRecord()), Delivery::Lost);
  EXPECT_EQ(losses.size(), 1u) << "neither sent nor spooled: reported once";
  EXPECT_EQ(notWritten.size(), 2u) << "as a loss, not twice";
}

TEST_F(EventOutputsTest, Protocol7NotConnectedWritesTheFrameAsDdm) {
  auto out = Make();
  for (const P7Output& o : kP7Outputs) {
    EXPECT_EQ(o.Send(out), Delivery::Spooled);
    const std::vector<std::string> names = Names(dir.Path());
    ASSERT_EQ(names, std::vector<std::string>{"2DC06B63_5.ddm"});
    EXPECT_EQ(Spooled(names[0]), Str(o.frame));
    fs::remove(dir / names[0]);
  }
  EXPECT_TRUE(p7.sent.empty());
  EXPECT_EQ(refreshes, 0);
  EXPECT_TRUE(losses.empty());
}

TEST_F(EventOutputsTest, NegativeNAbsStaysInTheName) {
  settings.n_abs = -1;
  auto out = Make();
  out.SendEvent(SampleRecord());
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"2DC06B63_-1.ddm"});
}

struct FailedSend {
  const char* what;
  std::optional<std::int32_t> result;
  bool raise;
};

class FailedLiveSendTest : public EventOutputsTest, public ::testing::WithParamInterface<FailedSend> {};

// A frame the socket did not take would otherwise be gone: nothing sends it
// again. (One it took in part goes on: the outbox finishes its rest.)
TEST_P(FailedLiveSendTest, FrameIsSpooledAndTheIndicatorLeftAlone) {
  p7.connected = true;
  p7.result = GetParam().result;
  p7.raise = GetParam().raise;
  auto out = Make();
  EXPECT_EQ(out.SendEvent(SampleRecord()), Delivery::Spooled);
  EXPECT_EQ(out.SendLinkFrame(p7::ftStationRestored, 31), Delivery::Spooled);
  EXPECT_EQ(p7.disconnects, 0);
  EXPECT_EQ(p7.sent.size(), 2u);
  EXPECT_EQ(refreshes, 0);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"2DC06B63_5-1.ddm", "2DC06B63_5.ddm"}));
  EXPECT_EQ(Spooled("2DC06B63_5.ddm"), Str(p7::BuildEventFrame(SampleRecord())));
  EXPECT_EQ(Spooled("2DC06B63_5-1.ddm"), Str(p7::BuildStationRestoredFrame(31)));
}

INSTANTIATE_TEST_SUITE_P(Results, FailedLiveSendTest,
                         ::testing::Values(FailedSend{"error", -1, false}, FailedSend{"buffer_full", 0, false},
                                           FailedSend{"raises", {}, true}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(EventOutputsTest, UnknownLinkFrameTypeIsRefused) {
  p7.connected = true;
  auto out = Make();
  EXPECT_THROW(out.SendLinkFrame(p7::ftEvent, 31), std::invalid_argument);
  EXPECT_TRUE(p7.sent.empty());
}

struct Protocol8Case {
  const char* what;
  PortId port;
  std::size_t size;
  std::int32_t type;
  std::string typeBytes;
};

class Protocol8OutputTest : public EventOutputsTest, public ::testing::WithParamInterface<Protocol8Case> {};

// A queued event lived in memory only: a crash, a kill or a power cut took it
// although the station had been told it was taken.
TEST_P(Protocol8OutputTest, LinkUpWritesTheEventAheadThenQueuesItWithItsFile) {
  const Bytes payload = SamplePayload(GetParam().size);
  p8.linkUp = true;
  auto out = Make();
  EXPECT_EQ(out.SendEvent8(GetParam().port, payload), Delivery::SafeOnItsWay);
  const std::string file = dir.Path().string() + "/2DC06B63.dd8";
  EXPECT_EQ(p8.offered, (std::vector<FakeProtocol8Queue::Record>{{GetParam().type, payload, file}}));
  EXPECT_EQ(Spooled("2DC06B63.dd8"), GetParam().typeBytes + Str(payload));
}

// Without a spool file the event is safe only once the server has answered
// it; until then the station must not hear "taken" (it sends the frame again:
// a repeat beats a loss).
TEST_P(Protocol8OutputTest, LinkUpWithoutASpoolFileIsSafeOnlyOnceTheServerAnswered) {
  settings.PathForSoob = (dir / "file-not-dir" / "x").string();
  test::WriteFile(dir / "file-not-dir", "a file where the spool directory should be");
  const Bytes payload = SamplePayload(GetParam().size);
  p8.linkUp = true;
  auto out = Make();
  std::vector<bool> settled;
  const Delivery awaiting = out.SendEvent8(GetParam().port, payload, [&](bool answered) { settled.push_back(answered); });
  EXPECT_EQ(awaiting, Delivery::Awaiting);
  EXPECT_FALSE(SafeFromCrash(awaiting)) << "not before the answer";
  ASSERT_EQ(p8.awaited.size(), 1u);
  p8.awaited[0](true);
  EXPECT_EQ(settled, std::vector<bool>{true});
  // Nobody waiting for the answer (the second port answers nobody): queued.
  const Delivery unawaited = out.SendEvent8(GetParam().port, payload);
  EXPECT_EQ(unawaited, Delivery::Queued);
  EXPECT_FALSE(SafeFromCrash(unawaited));
  EXPECT_EQ(p8.offered, (std::vector<FakeProtocol8Queue::Record>(2, {GetParam().type, payload})));
  EXPECT_TRUE(losses.empty()) << "on its way to the server: not counted as not kept";
  p8.accept = false;
  EXPECT_EQ(out.SendEvent8(GetParam().port, payload, [](bool) {}), Delivery::Lost);
  EXPECT_EQ(losses.size(), 1u) << "refused by the queue as well: reported once";
}

TEST_P(Protocol8OutputTest, LinkDownWritesTypeAndPayloadAsDd8) {
  const Bytes payload = SamplePayload(GetParam().size);
  auto out = Make();
  EXPECT_EQ(out.SendEvent8(GetParam().port, payload), Delivery::Spooled);
  EXPECT_TRUE(p8.offered.empty());
  ASSERT_EQ(Names(dir.Path()), std::vector<std::string>{"2DC06B63.dd8"});
  const std::string file = Spooled("2DC06B63.dd8");
  EXPECT_EQ(file.size(), 4 + GetParam().size);
  EXPECT_EQ(file, GetParam().typeBytes + Str(payload));
}

// A full queue refuses the record without a word; the event must wait on disk.
TEST_P(Protocol8OutputTest, FullQueueWritesTheEventAsDd8) {
  const Bytes payload = SamplePayload(GetParam().size);
  p8.linkUp = true;
  p8.accept = false;
  auto out = Make();
  EXPECT_EQ(out.SendEvent8(GetParam().port, payload), Delivery::Spooled);
  EXPECT_EQ(p8.offered.size(), 1u);
  EXPECT_EQ(Spooled("2DC06B63.dd8"), GetParam().typeBytes + Str(payload));
}

TEST_P(Protocol8OutputTest, NotSendToDiskDropsWhenTheLinkDoesNotTakeIt) {
  settings.NotSendToDiskMivo8 = true;
  const Bytes payload = SamplePayload(GetParam().size);
  auto out = Make();
  EXPECT_EQ(out.SendEvent8(GetParam().port, payload), Delivery::Dropped);  // link down
  p8.linkUp = true;
  p8.accept = false;
  EXPECT_EQ(out.SendEvent8(GetParam().port, payload), Delivery::Dropped);  // queue full
  EXPECT_TRUE(Names(dir.Path()).empty());
  EXPECT_TRUE(losses.empty());
  const std::string what = GetParam().port == PortId::Main ? "протокол 8, rtEventMain" : "протокол 8, rtEventSecond";
  EXPECT_EQ(drops, std::vector<std::string>(2, what)) << "each drop is reported";
  p8.accept = true;
  EXPECT_EQ(out.SendEvent8(GetParam().port, payload), Delivery::SafeOnItsWay);
  EXPECT_EQ(drops.size(), 2u) << "a queued event is no drop";
}

TEST_P(Protocol8OutputTest, WrongPayloadSizeIsRefused) {
  p8.linkUp = true;
  auto out = Make();
  EXPECT_THROW(out.SendEvent8(GetParam().port, SamplePayload(GetParam().size + 1)), std::invalid_argument);
  EXPECT_THROW(out.SendEvent8(GetParam().port, SamplePayload(GetParam().size - 1)), std::invalid_argument);
  EXPECT_TRUE(p8.offered.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Ports, Protocol8OutputTest,
    ::testing::Values(
        Protocol8Case{"main", PortId::Main, kMainEventPayloadSize, rtEventMain, std::string("\x18\x00\x00\x03", 4)},
        Protocol8Case{"second", PortId::Second, kSecondEventPayloadSize, rtEventSecond,
                      std::string("\x1A\x00\x00\x03", 4)}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(EventOutputsTest, WithoutALinkObjectProtocol8Spools) {
  withProtocol8 = false;
  auto out = Make();
  EXPECT_EQ(out.SendEvent8(PortId::Second, SamplePayload(kSecondEventPayloadSize)), Delivery::Spooled);
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"2DC06B63.dd8"});
}

TEST_F(EventOutputsTest, PathWithoutSeparatorIsGluedToTheName) {
  fs::create_directory(dir / "spool");
  settings.PathForSoob = (dir / "spool").string();
  auto out = Make();
  out.SendEvent8(PortId::Main, SamplePayload(kMainEventPayloadSize));
  out.SendEvent(SampleRecord());
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"spool", "spool2DC06B63.dd8", "spool2DC06B63_5.ddm"}));
  EXPECT_TRUE(Names(dir / "spool").empty());
}

TEST_F(EventOutputsTest, EmptyPathMeansTheCurrentDirectory) {
  settings.PathForSoob.clear();
  const fs::path before = fs::current_path();
  fs::current_path(dir.Path());
  auto out = Make();
  const Delivery d8 = out.SendEvent8(PortId::Main, SamplePayload(kMainEventPayloadSize));
  const Delivery d7 = out.SendEvent(SampleRecord());
  fs::current_path(before);
  EXPECT_EQ(d8, Delivery::Spooled);
  EXPECT_EQ(d7, Delivery::Spooled);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"2DC06B63.dd8", "2DC06B63_5.ddm"}));
}

// Names are unique to the millisecond only: a second file of the same moment
// (or one left from the same moment of an earlier month) must not be replaced.
TEST_F(EventOutputsTest, FilesOfTheSameMillisecondAreAllKept) {
  std::ofstream(dir / "2DC06B63.dd8", std::ios::binary) << "last month";
  auto out = Make();
  for (std::uint8_t seed : {10, 20, 30}) {
    out.SendEvent8(PortId::Main, SamplePayload(kMainEventPayloadSize, seed));
    out.SendEvent(SampleRecord(seed));
  }
  EXPECT_EQ(Names(dir.Path()),
            (std::vector<std::string>{"2DC06B63-1.dd8", "2DC06B63-2.dd8", "2DC06B63-3.dd8", "2DC06B63.dd8",
                                      "2DC06B63_5-1.ddm", "2DC06B63_5-2.ddm", "2DC06B63_5.ddm"}));
  EXPECT_EQ(Spooled("2DC06B63.dd8"), "last month");
  const std::string main(std::string("\x18\x00\x00\x03", 4));
  EXPECT_EQ(Spooled("2DC06B63-1.dd8"), main + Str(SamplePayload(kMainEventPayloadSize, 10)));
  EXPECT_EQ(Spooled("2DC06B63-3.dd8"), main + Str(SamplePayload(kMainEventPayloadSize, 30)));
  EXPECT_EQ(Spooled("2DC06B63_5.ddm"), Str(p7::BuildEventFrame(SampleRecord(10))));
  EXPECT_EQ(Spooled("2DC06B63_5-2.ddm"), Str(p7::BuildEventFrame(SampleRecord(30))));
}

TEST_F(EventOutputsTest, NextMillisecondGetsItsOwnName) {
  auto out = Make();
  out.SendEvent(SampleRecord());
  clock.Advance(1);
  out.SendEvent(SampleRecord());
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"2DC06B63_5.ddm", "2DC06B64_5.ddm"}));
}

// An event that can be neither sent nor spooled must not vanish in silence: each one is reported.
TEST_F(EventOutputsTest, ASpoolDirectoryThatCannotBeMadeReportsEachLossAndRaisesNothing) {
  test::WriteFile(dir / "blocked", "a file where the directory should be");
  settings.PathForSoob = (dir / "blocked" / "").string();
  p7.connected = true;
  p7.result = -1;
  auto out = Make();
  EXPECT_EQ(out.SendEvent(SampleRecord()), Delivery::Lost);
  EXPECT_EQ(out.SendLinkFrame(p7::ftStationLost, 31), Delivery::Lost);
  EXPECT_EQ(out.SendEvent8(PortId::Second, SamplePayload(kSecondEventPayloadSize)), Delivery::Lost);
  ASSERT_EQ(losses.size(), 3u);
  EXPECT_NE(losses[0].find("blocked/2DC06B63_5.ddm"), std::string::npos) << losses[0];
  EXPECT_NE(losses[0].find("Not a directory"), std::string::npos) << losses[0];
  EXPECT_NE(losses[2].find("blocked/2DC06B63.dd8"), std::string::npos) << losses[2];
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(refreshes, 0);
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"blocked"});
}

TEST_F(EventOutputsTest, ClockWithoutADateWritesErrorElevenAndReportsTheLoss) {
  clock.SetNow(std::numeric_limits<double>::quiet_NaN());
  auto out = Make();
  EXPECT_EQ(out.SendEvent(SampleRecord()), Delivery::Lost);
  EXPECT_EQ(out.SendEvent8(PortId::Main, SamplePayload(kMainEventPayloadSize)), Delivery::Lost);
  EXPECT_EQ(errors, (std::vector<int>{11, 11}));
  EXPECT_EQ(losses.size(), 2u);
  EXPECT_TRUE(Names(dir.Path()).empty());
}

TEST(OutputSettingsTest, TakesTheThreeKeysFromTheSettings) {
  Settings s;
  s.NotSendToDiskMivo8 = true;
  s.n_abs = 42;
  s.PathForSoob = "/var/spool/vorel/";
  const OutputSettings o = OutputSettings::From(s);
  EXPECT_TRUE(o.NotSendToDiskMivo8);
  EXPECT_EQ(o.n_abs, 42);
  EXPECT_EQ(o.PathForSoob, "/var/spool/vorel/");
}

}  // namespace
}  // namespace vorel
