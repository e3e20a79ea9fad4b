// Hostile answers of the protocol-8 server. The whole input is first read as
// one record body by the parsers (a record they accept must build back to the
// same bytes). Then the link connects to a scripted server and runs passes:
// the input, after an options byte, is the server's bytes in segments, each
// behind a length byte (255: the rest), each segment arriving after a wait
// that times out; when the script runs dry the server closes. Envelope
// headers, body lengths (negative, zero, huge) and record headers all come
// from the input. Every frame the link writes must be well formed, and no
// answer may make it allocate more than a body of 1 MiB (-malloc_limit_mb).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "p8/fake_link_connection.h"
#include "p8/link.h"
#include "p8/link_session.h"
#include "p8/record.h"
#include "p8/record_types.h"
#include "support/fake_clock.h"

namespace {

using namespace vorel;

class QuietHandOver final : public ILinkHandOver {
 public:
  void AddLogLine(Severity, const std::string&) override {}
  void RefreshIndicator() override {}
  std::array<PortStatus, 2> PortStatuses() override { return {PortStatus{"COM3", true}, PortStatus{"COM4", false}}; }
};

void CheckParsers(std::span<const std::uint8_t> body) {
  ParseEnvelopeHeader(body);
  const auto header = ParseRecordHeader(body);
  const auto record = ParseRecord(body);
  if (record) {
    if (!header || record->payload.size() != static_cast<std::size_t>(header->payloadLength)) std::abort();
    const Bytes rebuilt = BuildRecord(header->recordType, header->sequence, record->payload);
    if (!std::equal(rebuilt.begin(), rebuilt.end(), body.begin(), body.end())) std::abort();
  }
}

void CheckWrittenFrame(const Bytes& frame) {
  const auto length = ParseEnvelopeHeader(frame);
  if (!length || *length < 0 || static_cast<std::size_t>(*length) != frame.size() - kEnvelopeHeaderSize) std::abort();
  if (!ParseRecord(std::span(frame).subspan(kEnvelopeHeaderSize))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> input(data, size);
  CheckParsers(input);
  if (input.empty()) return 0;
  const std::uint8_t options = input[0];
  input = input.subspan(1);

  test::FakeClock clock;
  cl link;
  test::FakeLinkNetwork net(clock, link);
  QuietHandOver handOver;
  LinkEnvironment env;
  env.clock = &clock;
  env.connections = &net;
  env.handOver = &handOver;
  env.configFile = "/nonexistent/vorel.ini";  // the defaults, without touching the disk
  env.firstNumber = 31;
  env.versionText = [] { return std::string("1.0.0.1"); };
  LinkSession session(link, env);

  session.RunPass();  // connects and queues the handshake
  if (!link.LinkUp() || net.created != 1) std::abort();
  if (options & 0x01) link.Enqueue(rtEventMain, Bytes(17, 0x11));
  if (options & 0x02) link.Enqueue(rtEventSecond, Bytes(14, 0x22));

  bool first = true;
  while (!input.empty()) {
    std::size_t length = input[0] == 0xFF ? input.size() - 1 : input[0];
    input = input.subspan(1);
    length = std::min(length, input.size());
    Bytes segment(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(length));
    input = input.subspan(length);
    if (first) net.available = std::move(segment);
    else net.segments.push_back(std::move(segment));
    first = false;
  }
  net.peerClosesWhenDrained = true;

  // Until the link gives up on this connection (a new one would start
  // without a script), or a bounded number of passes.
  for (int pass = 0; pass < 64 && net.created == 1; ++pass) {
    session.RunPass();
    clock.Advance(100);
  }
  session.Finish();
  for (const Bytes& frame : net.frames) CheckWrittenFrame(frame);
  return 0;
}
