// The spool inspector against files written by the driver's own outputs and
// spool writer: each decodes to its fields, broken files say why, and the
// listing follows the replays' order.
#include <stdio.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/datetime.h"
#include "p7/frame.h"
#include "p8/record_types.h"
#include "receiver/event_outputs.h"
#include "spool/spool_file.h"
#include "spool_listing.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace vorel::spoolinspector {
namespace {

using test::TempDir;

const TDateTime kNoon = *EncodeDateTime(DateTimeFields{2026, 12, 10, 12, 0, 0, 0, 0});
constexpr const char* kNoonText = "time=\"2026-12-10 12:00:00.000\"";

class NoProtocol7 final : public IProtocol7Sender {
 public:
  bool Connected() override { return false; }
  std::int32_t Send(const p7::Frame&) override { return -1; }
  std::int32_t SendRest(std::span<const std::uint8_t> bytes) override { return static_cast<std::int32_t>(bytes.size()); }
  void Disconnect() override {}
  void CloseInOrder() override {}
  std::uint64_t ConnectionNumber() override { return 0; }
  std::uint64_t BytesSent() override { return 0; }
  std::optional<std::uint32_t> UnacknowledgedBytes() override { return std::nullopt; }
  std::optional<TPeerWindow> PeerWindow() override { return std::nullopt; }
  std::optional<std::uint64_t> AcknowledgedAtOrderlyEnd() override { return std::nullopt; }
};

EventRecord Event(std::uint8_t portTag, std::int32_t account, std::string_view code, std::uint8_t d1,
                  std::uint8_t d2) {
  namespace er = event_record;
  EventRecord r{};
  r[er::kKind] = 3;
  r[er::kPortTag] = portTag;
  PutLE<std::int32_t>(r, er::kAccount, account);
  PutShortString(r, er::kEventCode, 4, code);
  r[er::kDetail1] = d1;
  r[er::kDetail2] = d2;
  PutLE<double>(r, er::kReceived, kNoon);
  return r;
}

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

TEST(SpoolInspectorTest, FilesTheOutputsSpoolDecodeToTheirFields) {
  TempDir dir;
  test::FakeClock clock(kNoon);
  NoProtocol7 protocol7;
  Protocol7Outbox outbox(protocol7);
  OutputSettings settings;
  settings.n_abs = 5;
  settings.PathForSoob = dir.Path().string() + "/";
  EventOutputs outputs(settings, clock, outbox, nullptr, {});

  MainEventPayload main{};
  PutLE<std::int32_t>(main, 0, 310011);
  PutShortString(main, 4, 4, "E130");
  PutLE<double>(main, 9, kNoon);
  SecondEventPayload second{};
  PutLE<std::int32_t>(second, 0, 42);
  second[4] = 10;
  second[5] = 15;
  PutLE<double>(second, 6, kNoon);

  // One file per millisecond, so that name order is the order written here.
  const std::string expected[] = {
      std::string("size=555 kind=protocol-7 type=ftEvent(21) account=310011 code=E130 port=31 ") + kNoonText,
      std::string("size=555 kind=protocol-7 type=ftEvent(21) account=42 code= port=32 details=10,15 ") +
          kNoonText,
      "size=555 kind=protocol-7 type=ftStationLost(72) port=32",
      std::string("size=21 kind=protocol-8 type=rtEventMain(0x03000018) account=310011 code=E130 ") + kNoonText,
      std::string("size=18 kind=protocol-8 type=rtEventSecond(0x0300001A) account=42 details=10,15 ") + kNoonText,
  };
  ASSERT_EQ(outputs.SendEvent(Event(31, 310011, "E130", 0, 0)), Delivery::Spooled);
  clock.Advance(1);
  ASSERT_EQ(outputs.SendEvent(Event(32, 42, "", 10, 15)), Delivery::Spooled);
  clock.Advance(1);
  ASSERT_EQ(outputs.SendLinkFrame(p7::ftStationLost, 32), Delivery::Spooled);
  clock.Advance(1);
  ASSERT_EQ(outputs.SendEvent8(PortId::Main, main), Delivery::Spooled);
  clock.Advance(1);
  ASSERT_EQ(outputs.SendEvent8(PortId::Second, second), Delivery::Spooled);

  const std::vector<std::string> files = ListSpoolFiles(PrefixOf(dir.Path().string()));
  ASSERT_EQ(files.size(), std::size(expected));
  for (std::size_t i = 0; i < files.size(); ++i) {
    const FileReport report = DescribeSpoolFile(files[i]);
    EXPECT_EQ(report.line, files[i] + " " + expected[i]);
    EXPECT_FALSE(report.bad) << report.line;
    EXPECT_FALSE(report.setAside);
  }
  EXPECT_TRUE(files[0].ends_with("_5.ddm")) << files[0];
}

TEST(SpoolInspectorTest, BrokenFilesSayWhy) {
  TempDir dir;
  Bytes unknownType(4);
  PutLE<std::int32_t>(unknownType, 0, rtPoll);
  Bytes shortMain(4 + 3);
  PutLE<std::int32_t>(shortMain, 0, rtEventMain);
  std::filesystem::create_directory(dir / "D.ddm");

  const struct {
    std::string name;
    Bytes bytes;
    bool write;
    std::string tail;  // the line after the name
    bool bad;
  } cases[] = {
      {"A.ddm", Bytes(100), true, "size=100 kind=protocol-7 bad: 100 bytes, shorter than a 555-byte frame", true},
      {"B.ddm", Bytes(555), true, "size=555 kind=protocol-7 bad: no 0xFF 0xFF frame marker, head=00 00", true},
      {"C.dd8", Bytes(2), true, "size=2 kind=protocol-8 bad: 2 bytes, shorter than the 4-byte record type", true},
      {"E.dd8", unknownType, true, "size=4 kind=protocol-8 type=rtPoll(0x02000000) bad: not an event record", true},
      {"F.dd8", shortMain, true,
       "size=7 kind=protocol-8 type=rtEventMain(0x03000018) bad: payload of 3 bytes does not fit its type: 00 00 00",
       true},
      {"notes.txt", Bytes(555), true,
       "size=555 kind=unknown bad: not a spool file (.ddm, .dd8, or either with .bad set aside)", true},
      {"gone.ddm", {}, false, "size=? kind=protocol-7 bad: cannot open: No such file or directory", true},
      {"D.ddm", {}, false, "size=? kind=protocol-7 bad: not a regular file", true},
      // Set aside by the driver already: shown, but not counted against the spool.
      {"G.dd8.bad", Bytes(1), true, "size=1 kind=protocol-8 set-aside bad: 1 bytes, shorter than the 4-byte record type",
       false},
  };
  for (const auto& c : cases) {
    const std::string path = (dir / c.name).string();
    if (c.write) WriteBytes(path, c.bytes);
    const FileReport report = DescribeSpoolFile(path);
    EXPECT_EQ(report.line, path + " " + c.tail);
    EXPECT_EQ(report.bad, c.bad) << c.name;
  }
}

TEST(SpoolInspectorTest, ListsInReplayOrderAndHonoursANamePrefix) {
  TempDir dir;
  const std::string prefix = dir.Path().string() + "/";
  const Bytes frame(p7::kFrameSize);
  // Written out of order; oldest first as the replays take them: fewer hex
  // digits is an earlier moment ("9" before "B" before "10").
  for (const char* stem : {"B_5", "9_5", "10_5", "B_5"}) WriteSpoolFile(prefix, stem, kProtocol7SpoolExtension, frame);
  for (const char* stem : {"C", "1"}) WriteSpoolFile(prefix, stem, kProtocol8SpoolExtension, Bytes(21));
  WriteBytes(dir / "A_5.ddm.bad", Bytes(3));
  WriteBytes(dir / "0.dd8.bad", Bytes(3));
  WriteBytes(dir / "Z_5.ddm.123-0.part", frame);  // a file still being written
  WriteBytes(dir / "notes.txt", frame);

  std::vector<std::string> names;
  for (const std::string& file : ListSpoolFiles(prefix)) names.push_back(std::filesystem::path(file).filename());
  EXPECT_EQ(names, (std::vector<std::string>{"9_5.ddm", "B_5-1.ddm", "B_5.ddm", "10_5.ddm", "1.dd8", "C.dd8",
                                             "0.dd8.bad", "A_5.ddm.bad"}));

  names.clear();
  for (const std::string& file : ListSpoolFiles(prefix + "1")) names.push_back(std::filesystem::path(file).filename());
  EXPECT_EQ(names, (std::vector<std::string>{"10_5.ddm", "1.dd8"}));
}

// The program's exit status and first line; stdout only.
std::pair<int, std::string> RunInspector(const std::string& args) {
  FILE* pipe = ::popen((std::string(VOREL_SPOOL_INSPECTOR) + " " + args + " 2>/dev/null").c_str(), "r");
  if (!pipe) return {-1, ""};
  std::string out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out.substr(0, out.find('\n'))};
}

TEST(SpoolInspectorTest, ProgramExitStatusTellsGoodBadAndUsage) {
  TempDir dir;
  WriteSpoolFile(dir.Path().string() + "/", "A_5", kProtocol7SpoolExtension, p7::BuildStationLostFrame(31));
  const std::string d = dir.Path().string();
  EXPECT_EQ(RunInspector(d), std::make_pair(0, d + "/A_5.ddm size=555 kind=protocol-7 type=ftStationLost(72) port=31"));
  EXPECT_EQ(RunInspector(d + "/A_5.ddm").first, 0);
  WriteBytes(dir / "B_5.ddm", Bytes(10));
  EXPECT_EQ(RunInspector(d).first, 1);
  EXPECT_EQ(RunInspector(d + "/A_5.ddm " + d + "/B_5.ddm").first, 1);
  EXPECT_EQ(RunInspector("--help").first, 0);
  EXPECT_EQ(RunInspector("--bogus").first, 2);
  EXPECT_EQ(RunInspector(d + "/missing/").first, 2);
  EXPECT_EQ(RunInspector(d + " " + d + "/A_5.ddm").first, 2);
}

}  // namespace
}  // namespace vorel::spoolinspector
