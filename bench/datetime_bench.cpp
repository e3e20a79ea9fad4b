// Date-time conversions run for every event (reception time, spool name) and
// on every 200 ms display tick.
#include <benchmark/benchmark.h>

#include "base/clock.h"
#include "base/datetime.h"

namespace vorel {
namespace {

void BM_DecodeDateTime(benchmark::State& state) {
  TDateTime value = 46366.123456789;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DecodeDateTime(value));
    value += 1.0 / 86400.0;
  }
}
BENCHMARK(BM_DecodeDateTime);

void BM_SystemClockNow(benchmark::State& state) {
  IClock& clock = SystemClock();
  for (auto _ : state) benchmark::DoNotOptimize(clock.Now());
}
BENCHMARK(BM_SystemClockNow);

}  // namespace
}  // namespace vorel
