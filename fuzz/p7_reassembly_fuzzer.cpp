// Hostile bytes from the protocol-7 message server, arriving in chunks of any
// size. The input is a count k (first byte, mod 16), k chunk sizes (two bytes
// each, little-endian, mod 1700 so that a chunk may hold up to three frames)
// and the stream; the sizes are used in turn until the stream is used up.
// However the stream is cut, the commands must be those of the stream fed
// whole, the pending tail is what follows the last whole 555-byte frame, and
// every clock value is a whole millisecond of a real date.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "base/datetime.h"
#include "p7/frame.h"
#include "p7/reassembly.h"

namespace {

using namespace vorel;

struct Command {
  bool close;
  TDateTime value;
  bool operator==(const Command&) const = default;
};

class RecordingCommands final : public p7::IServerCommands {
 public:
  void SetClock(TDateTime localDateTime) override {
    const auto fields = DecodeDateTime(localDateTime);
    if (!std::isfinite(localDateTime) || !fields) std::abort();
    if (EncodeDateTime(*fields) != localDateTime) std::abort();  // not rounded to the millisecond
    commands.push_back({false, localDateTime});
  }
  void CloseRequested() override { commands.push_back({true, 0}); }
  std::vector<Command> commands;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> input(data, size);
  if (input.empty()) return 0;
  const std::size_t count = input[0] % 16;
  input = input.subspan(1);
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < count && input.size() >= 2; ++i) {
    sizes.push_back(static_cast<std::size_t>(input[0] | input[1] << 8) % 1700);
    input = input.subspan(2);
  }
  const std::span<const std::uint8_t> stream = input;

  RecordingCommands whole;
  p7::FrameReassembler wholeReassembler(whole);
  wholeReassembler.Accept(stream);

  RecordingCommands chunked;
  p7::FrameReassembler reassembler(chunked);
  std::size_t used = 0;
  for (std::size_t i = 0; used < stream.size(); ++i) {
    const std::size_t want = sizes.empty() ? stream.size() : sizes[i % sizes.size()];
    const std::size_t take = std::min(want, stream.size() - used);
    reassembler.Accept(stream.subspan(used, take));  // empty chunks too: a read of nothing
    used += take;
    if (reassembler.PendingSize() >= p7::kFrameSize) std::abort();
    if (i > stream.size() + sizes.size()) break;  // only zero sizes: give up cutting
  }
  if (used < stream.size()) reassembler.Accept(stream.subspan(used));

  if (chunked.commands != whole.commands) std::abort();
  const std::size_t tail = stream.size() % p7::kFrameSize;
  if (reassembler.PendingSize() != tail || wholeReassembler.PendingSize() != tail) std::abort();
  const Bytes pending = reassembler.Pending();
  const auto expected = stream.last(tail);
  if (!std::equal(pending.begin(), pending.end(), expected.begin(), expected.end())) std::abort();
  return 0;
}
