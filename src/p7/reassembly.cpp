#include "p7/reassembly.h"

#include <optional>
#include <vector>

#include "p7/frame.h"

namespace vorel::p7 {
namespace {

struct Command {
  FrameType type;
  TDateTime dateTime;  // ftSetClock only
};

// The clock value of an ftSetClock frame, rounded to whole milliseconds.
// nullopt for a value that names no calendar date and time (NaN, infinities,
// years outside 1..9999): the clock is then left alone.
std::optional<TDateTime> ClockValue(std::span<const std::uint8_t> frame) {
  const auto fields = DecodeDateTime(GetLE<double>(frame, kPayloadOffset + kDateTimeOffset));
  if (!fields) return std::nullopt;
  return EncodeDateTime(*fields);
}

void Collect(std::span<const std::uint8_t> frame, std::vector<Command>& commands) {
  if (frame[0] != kMarkerByte || frame[1] != kMarkerByte) return;
  switch (frame[kTypeOffset]) {
    case ftSetClock:
      if (const auto value = ClockValue(frame)) commands.push_back({ftSetClock, *value});
      break;
    case ftClose:
      commands.push_back({ftClose, 0});
      break;
    default:
      break;  // nothing else comes from the server
  }
}

}  // namespace

FrameReassembler::FrameReassembler(IServerCommands& commands) : commands_(commands) {
  tail_.reserve(kFrameSize);
}

void FrameReassembler::Accept(std::span<const std::uint8_t> block) {
  // Equivalent to appending the block to the buffer and cutting frames from
  // its start, without ever copying more than one frame: the tail is
  // completed first, then whole frames are read straight from the block.
  std::vector<Command> commands;
  std::size_t used = 0;
  if (!tail_.empty()) {
    const std::size_t missing = kFrameSize - tail_.size();
    if (block.size() < missing) {
      tail_.insert(tail_.end(), block.begin(), block.end());
      return;
    }
    tail_.insert(tail_.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(missing));
    Collect(tail_, commands);
    tail_.clear();
    used = missing;
  }
  for (; block.size() - used >= kFrameSize; used += kFrameSize) Collect(block.subspan(used, kFrameSize), commands);
  tail_.assign(block.begin() + static_cast<std::ptrdiff_t>(used), block.end());

  IServerCommands& target = commands_;
  for (const Command& c : commands) {
    if (c.type == ftSetClock) target.SetClock(c.dateTime);
    else target.CloseRequested();
  }
}

}  // namespace vorel::p7
