// The two links' own bookkeeping: the protocol-7 reassembly of what the
// message server sends, and the protocol-8 send queue that events go through.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>

#include "base/bytes.h"
#include "p7/frame.h"
#include "p7/reassembly.h"
#include "p8/link.h"
#include "p8/record_types.h"

namespace vorel {
namespace {

class CountingCommands final : public p7::IServerCommands {
 public:
  void SetClock(TDateTime) override { ++clocks; }
  void CloseRequested() override { ++closes; }
  std::uint64_t clocks = 0;
  std::uint64_t closes = 0;
};

// A clock frame that came in one read.
void BM_Reassembly_OneFrame(benchmark::State& state) {
  CountingCommands commands;
  p7::FrameReassembler reassembler(commands);
  const p7::Frame frame = p7::BuildSetClockFrame(46366.5);
  for (auto _ : state) reassembler.Accept(frame);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame.size()));
  benchmark::DoNotOptimize(commands.clocks);
}
BENCHMARK(BM_Reassembly_OneFrame);

// The same frame one byte per read: the worst a slow line can do.
void BM_Reassembly_ByteByByte(benchmark::State& state) {
  CountingCommands commands;
  p7::FrameReassembler reassembler(commands);
  const p7::Frame frame = p7::BuildSetClockFrame(46366.5);
  for (auto _ : state)
    for (std::size_t i = 0; i < frame.size(); ++i) reassembler.Accept(std::span(frame).subspan(i, 1));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame.size()));
  benchmark::DoNotOptimize(commands.clocks);
}
BENCHMARK(BM_Reassembly_ByteByByte);

// One 17-byte event through the protocol-8 send queue: numbered and queued by
// the GUI thread, copied out and released by the link thread (which is not
// started here, so nobody contends for the lock).
void BM_SendQueue_EnqueuePeekDrop(benchmark::State& state) {
  cl link;
  const Bytes payload(17, 0x5A);
  Bytes record;
  for (auto _ : state) {
    link.Enqueue(rtEventMain, payload);
    link.Peek(record);
    link.DropHead();
  }
  benchmark::DoNotOptimize(record.data());
}
BENCHMARK(BM_SendQueue_EnqueuePeekDrop);

// A full queue filled and drained: 100 records each way.
void BM_SendQueue_Fill100Drain(benchmark::State& state) {
  cl link;
  const Bytes payload(17, 0x5A);
  Bytes record;
  for (auto _ : state) {
    for (int i = 0; i < 100; ++i) link.Enqueue(rtEventMain, payload);
    while (link.Peek(record)) link.DropHead();
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_SendQueue_Fill100Drain);

}  // namespace
}  // namespace vorel
