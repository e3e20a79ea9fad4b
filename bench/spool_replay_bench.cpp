// What the 200 ms Timer2 tick pays for the spool replays when a long outage
// left 10,000 protocol-7 (.ddm) and 10,000 protocol-8 (.dd8) files behind,
// with a fresh reading of the directory per step, and with the station's
// index kept across ticks (BM_Tick_20000Files_Indexed):
// the protocol-8 step (at most one file every 3 s) and the protocol-7 step
// (one file per tick while connected), each with its link down, up with
// nothing to take, and up taking a file.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/directory_names.h"
#include "p7/frame.h"
#include "p8/link.h"
#include "p8/record_types.h"
#include "receiver/protocol7_replay.h"
#include "receiver/protocol8_replay.h"
#include "support/temp_dir.h"

namespace vorel {
namespace {

constexpr int kFilesPerKind = 10'000;
constexpr TDateTime kSecond = 1.0 / 86400.0;
constexpr TDateTime kStart = 46366.5;

// One spool directory for every benchmark here; each leaves it as it found it.
class Spool {
 public:
  // kFilesPerKind of each kind, or `perKind`.
  static Spool& Get(int perKind = kFilesPerKind) {
    static std::map<int, std::unique_ptr<Spool>> spools;
    auto& spool = spools[perKind];
    if (!spool) spool.reset(new Spool(perKind));
    return *spool;
  }

  std::string Prefix() const { return (dir_ / "spool/").string(); }
  const std::string& First7() const { return first7_; }
  void Restore7() { test::WriteFile(first7_, frame_); }
  // Writes a removed file back with its content (of either kind).
  void Restore(const std::string& file) const {
    test::WriteFile(file, file.ends_with(".ddm") ? frame_ : event8_);
  }

 private:
  explicit Spool(int perKind) {
    std::filesystem::create_directory(dir_ / "spool");
    const p7::Frame frame = p7::BuildFrame(p7::ftEvent);
    frame_.assign(reinterpret_cast<const char*>(frame.data()), frame.size());
    Bytes event(4 + 17, 0);
    PutLE<std::int32_t>(event, 0, rtEventMain);
    event8_.assign(event.begin(), event.end());
    const std::string& event8 = event8_;
    for (int i = 0; i < perKind; ++i) {
      // Spool names: the moment in milliseconds, upper-case hexadecimal.
      char stem[32];
      std::snprintf(stem, sizeof stem, "%X", 0x2DC00000 + i * 37);
      test::WriteFile(dir_ / "spool" / (std::string(stem) + "_-1.ddm"), frame_);
      test::WriteFile(dir_ / "spool" / (std::string(stem) + ".dd8"), event8);
      if (i == 0) first7_ = (dir_ / "spool" / (std::string(stem) + "_-1.ddm")).string();
    }
  }

  test::TempDir dir_;
  std::string frame_;
  std::string event8_;
  std::string first7_;
};

void NoLog(Severity, const std::string&) {}

// Empties the send queue, as the link thread would by sending.
void Drain(cl& link) {
  Bytes record;
  while (link.Peek(record)) link.DropHead();
}

// A step over a fresh reading of the directory, as every step made before
// the spool had its index.
void FreshStep(Protocol8Replay& replay, const std::string& prefix, TDateTime now) {
  SpoolListing listing(prefix);
  replay.Step(listing, now);
}
void FreshStep(Protocol7Replay& replay, const std::string& prefix) {
  SpoolListing listing(prefix);
  replay.Step(listing);
}

// The link up, with a file replayed at kStart: the next replay is 3 s away.
void UpBetweenReplays(cl& link, const std::string& prefix) {
  link.SetLinkUp(true);
  Protocol8Replay replay(link, NoLog);
  FreshStep(replay, prefix, kStart);
  Drain(link);
}

class Sender final : public IProtocol7Sender {
 public:
  bool Connected() override { return connected; }
  std::int32_t Send(const p7::Frame& frame) override { return static_cast<std::int32_t>(frame.size()); }
  std::int32_t SendRest(std::span<const std::uint8_t> bytes) override { return static_cast<std::int32_t>(bytes.size()); }
  void Disconnect() override { connected = false; }
  void CloseInOrder() override {}
  std::uint64_t ConnectionNumber() override { return 1; }
  std::uint64_t BytesSent() override { return 0; }
  std::optional<std::uint32_t> UnacknowledgedBytes() override { return 0; }
  std::optional<TPeerWindow> PeerWindow() override { return std::nullopt; }
  std::optional<std::uint64_t> AcknowledgedAtOrderlyEnd() override { return std::nullopt; }
  bool connected = false;
};

void SetFileCount(benchmark::State& state) { state.counters["files_per_kind"] = kFilesPerKind; }

// The floor of any step that looks at the directory: reading its 20,000
// names from the kernel, nothing else.
void BM_ReadSpoolDirectoryNames(benchmark::State& state) {
  Spool& spool = Spool::Get();
  std::size_t names = 0;
  for (auto _ : state) ForEachDirectoryName(spool.Prefix(), [&](std::string_view) { ++names; });
  benchmark::DoNotOptimize(names);
  SetFileCount(state);
}
BENCHMARK(BM_ReadSpoolDirectoryNames)->Unit(benchmark::kMillisecond);

void BM_Replay8_LinkDown(benchmark::State& state) {
  Spool& spool = Spool::Get();
  cl link;
  Protocol8Replay replay(link, NoLog);
  for (auto _ : state) FreshStep(replay, spool.Prefix(), kStart);
  SetFileCount(state);
}
BENCHMARK(BM_Replay8_LinkDown);

// Up, but a file went less than 3 s ago: 14 ticks out of 15.
void BM_Replay8_UpNotDue(benchmark::State& state) {
  Spool& spool = Spool::Get();
  cl link;
  Protocol8Replay replay(link, NoLog);
  UpBetweenReplays(link, spool.Prefix());
  for (auto _ : state) FreshStep(replay, spool.Prefix(), kStart + kSecond);
  benchmark::DoNotOptimize(link.QueuedCount());
  SetFileCount(state);
}
BENCHMARK(BM_Replay8_UpNotDue)->Unit(benchmark::kMillisecond);

// Up and due: the first file is read and queued (it stays until acknowledged).
void BM_Replay8_UpTakesFile(benchmark::State& state) {
  Spool& spool = Spool::Get();
  cl link;
  Protocol8Replay replay(link, NoLog);
  link.SetLinkUp(true);
  TDateTime now = kStart;
  for (auto _ : state) {
    now += 3.5 * kSecond;
    FreshStep(replay, spool.Prefix(), now);
    Drain(link);
  }
  SetFileCount(state);
}
BENCHMARK(BM_Replay8_UpTakesFile)->Unit(benchmark::kMillisecond);

void BM_Replay7_NotConnected(benchmark::State& state) {
  Spool& spool = Spool::Get();
  Sender sender;
  Protocol7Outbox outbox(sender);
  Protocol7Replay replay(outbox, {});
  for (auto _ : state) FreshStep(replay, spool.Prefix());
  SetFileCount(state);
}
BENCHMARK(BM_Replay7_NotConnected);

// Connected: the first file is sent and removed (put back untimed).
void BM_Replay7_ConnectedTakesFile(benchmark::State& state) {
  Spool& spool = Spool::Get();
  Sender sender;
  sender.connected = true;
  Protocol7Outbox outbox(sender);
  Protocol7Replay replay(outbox, {});
  for (auto _ : state) {
    FreshStep(replay, spool.Prefix());
    state.PauseTiming();
    spool.Restore7();
    state.ResumeTiming();
  }
  SetFileCount(state);
}
BENCHMARK(BM_Replay7_ConnectedTakesFile)->Unit(benchmark::kMillisecond);

// A whole tick's replays while both links are up and draining: the
// protocol-8 step between its 3 s replays, the protocol-7 step sending a file.
void BM_Tick_BothLinksUp(benchmark::State& state) {
  Spool& spool = Spool::Get();
  cl link;
  Protocol8Replay replay8(link, NoLog);
  UpBetweenReplays(link, spool.Prefix());
  Sender sender;
  sender.connected = true;
  Protocol7Outbox outbox(sender);
  Protocol7Replay replay(outbox, {});
  for (auto _ : state) {
    FreshStep(replay8, spool.Prefix(), kStart + kSecond);
    FreshStep(replay, spool.Prefix());
    state.PauseTiming();
    spool.Restore7();
    state.ResumeTiming();
  }
  SetFileCount(state);
}
BENCHMARK(BM_Tick_BothLinksUp)->Unit(benchmark::kMillisecond);

// 10,000 files waiting in all (5,000 of each kind), both links up: a usual
// tick (protocol 7 sends a file, protocol 8 between its replays), and the one
// tick in 15 when both replays take a file.
void BM_Tick_10000Files(benchmark::State& state) {
  const bool bothTakeFiles = state.range(0) != 0;
  Spool& spool = Spool::Get(5'000);
  cl link;
  Protocol8Replay replay8(link, NoLog);
  UpBetweenReplays(link, spool.Prefix());
  TDateTime now = kStart;
  Sender sender;
  sender.connected = true;
  Protocol7Outbox outbox(sender);
  Protocol7Replay replay(outbox, {});
  for (auto _ : state) {
    now += (bothTakeFiles ? 3.5 : 0.2) * kSecond;
    if (!bothTakeFiles) now = kStart + kSecond;
    SpoolListing listing(spool.Prefix());  // one reading per tick, as the station does
    replay8.Step(listing, now);
    replay.Step(listing);
    state.PauseTiming();
    Drain(link);
    spool.Restore7();
    state.ResumeTiming();
  }
  state.counters["files_waiting"] = 10'000;
}
BENCHMARK(BM_Tick_10000Files)->Arg(0)->Arg(1)->ArgName("both_take_files")->Unit(benchmark::kMillisecond);

// The tick as the station runs it: 20,000 files waiting (10,000 of each
// kind), the spool's index kept across ticks, both links up and taking
// files: at the steady pace one file each, at SoobPerTick=50 up to fifty
// each. Every file sent is acknowledged at once and removed, as a server
// that keeps up does; the benchmark writes it back untimed so that the
// backlog stays whole.
void BM_Tick_20000Files_Indexed(benchmark::State& state) {
  const int pace = static_cast<int>(state.range(0));
  Spool& spool = Spool::Get();
  SpoolListing index(spool.Prefix());
  index.Refresh(0);
  cl link;
  link.SetLinkUp(true);
  Protocol8Replay replay8(link, NoLog, pace);
  Sender sender;
  sender.connected = true;
  Protocol7Outbox outbox(sender);
  Protocol7Replay replay7(outbox, {}, pace);
  TDateTime now = kStart;
  std::size_t files = 0;
  for (auto _ : state) {
    now += 3.5 * kSecond;  // the steady pace's protocol-8 replay is due at every tick
    for (const std::string& file : outbox.TakeRemoved()) SpoolIndexEvents(index).Gone(file);
    for (const std::string& file : link.Outbox().TakeRemoved()) SpoolIndexEvents(index).Gone(file);
    replay8.Step(index, now);
    replay7.Step(index);
    state.PauseTiming();
    QueuedRecord head;
    while (link.Peek(head)) {  // the link thread's part: each answered with its acknowledgement
      link.Written(head);
      link.Settle(head, rtEventMainAck, now);
      link.DropHead();
    }
    std::vector<std::string> removed = outbox.TakeRemoved();
    for (const std::string& file : link.Outbox().TakeRemoved()) removed.push_back(file);
    files += removed.size();
    for (const std::string& file : removed) {
      spool.Restore(file);
      SpoolIndexEvents(index).Written(file);
    }
    state.ResumeTiming();
  }
  state.counters["files_waiting"] = 2 * kFilesPerKind;
  state.counters["files_per_tick"] = benchmark::Counter(static_cast<double>(files) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_Tick_20000Files_Indexed)->Arg(1)->Arg(50)->ArgName("SoobPerTick")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vorel
