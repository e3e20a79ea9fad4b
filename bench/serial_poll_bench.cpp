// Cost of the 5 ms serial poll: an idle tick (nothing waiting) is what the
// driver pays 200 times a second per open port, all day long; a packet tick
// is what one station frame costs before the frame handler runs.
#include <benchmark/benchmark.h>

#include "serial/CPDrv.h"
#include "support/fake_clock.h"
#include "support/fake_serial_ports.h"

namespace vorel {
namespace {

struct Rig {
  test::FakeClock clock;
  test::FakeSerialPorts ports;
  TCommPortDriver driver{nullptr, clock, ports.Make()};
  std::uint64_t delivered = 0;

  Rig() {
    ports.present.insert("\\\\.\\COM1");
    driver.SetPortName("\\\\.\\COM1");
    driver.SetPacketSize(256);
    driver.SetPacketTimeout(200);
    driver.SetPacketMode(pmPass);
    driver.SetPollingDelay(5);
    driver.OnReceivePacket = [this](TCommPortDriver*, const std::uint8_t*, std::uint32_t n) { delivered += n; };
    driver.Open();
  }
};

void BM_PollIdle(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    rig.clock.Advance(5);
    rig.driver.Poll();
  }
}
BENCHMARK(BM_PollIdle);

// One 20-byte station frame: first seen, then delivered once the 200 ms
// silence has passed.
void BM_PollFrame(benchmark::State& state) {
  Rig rig;
  const std::string frame = "\n5011 18E13001003\r";
  auto& input = rig.ports.input["\\\\.\\COM1"];
  for (auto _ : state) {
    input.insert(input.end(), frame.begin(), frame.end());
    rig.driver.Poll();
    rig.clock.Advance(201);
    rig.driver.Poll();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(rig.delivered));
}
BENCHMARK(BM_PollFrame);

}  // namespace
}  // namespace vorel
