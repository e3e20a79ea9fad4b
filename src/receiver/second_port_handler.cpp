#include "receiver/second_port_handler.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/bytes.h"

namespace vorel {

namespace {

// Offsets into the 14-byte protocol-8 event payload of the second port.
constexpr std::size_t kPayloadAccount = 0;
constexpr std::size_t kPayloadDetail1 = 4;
constexpr std::size_t kPayloadDetail2 = 5;
constexpr std::size_t kPayloadReceived = 6;

}  // namespace

std::vector<SecondFrame> SecondFrameParser::Push(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> stream = std::move(pending_);
  stream.insert(stream.end(), bytes.begin(), bytes.end());

  std::vector<SecondFrame> frames;
  std::size_t start = 0;  // the first byte that no frame has taken
  for (std::size_t end = kSecondFrameSize - 1; end < stream.size(); ++end) {
    const std::size_t first = end + 1 - kSecondFrameSize;
    if (first < start || stream[end - 1] != kLF || stream[end] != kCR) continue;
    SecondFrame& frame = frames.emplace_back();
    std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(first), kSecondFrameSize, frame.begin());
    start = end + 1;
  }

  // A frame still to come ends in a later packet, so at most its first 14
  // bytes are here.
  const std::size_t keep = std::min(stream.size() - start, kMaxPending);
  pending_.assign(stream.end() - static_cast<std::ptrdiff_t>(keep), stream.end());
  return frames;
}

std::uint8_t HexDigitValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  return 0;
}

SecondPortHandler::SecondPortHandler(StationPortState& station, const Settings& settings, IClock& clock,
                                     IEventSink& events, std::function<void()> refreshIndicator,
                                     std::filesystem::path trafficLog)
    : station_(station),
      settings_(settings),
      clock_(clock),
      events_(events),
      refreshIndicator_(std::move(refreshIndicator)),
      trafficLog_(std::move(trafficLog)) {}

void SecondPortHandler::ReceivePacket(std::span<const std::uint8_t> packet) {
  station_.lastFrameTime = clock_.Now();  // traffic, frame or not
  buffer_.Load(packet);
  if (settings_.Log) AppendTrafficLog(trafficLog_, packet);

  for (const SecondFrame& frame : stream_.Push(packet)) {
    buffer_.Load(frame);
    HandleFrame();
  }
}

void SecondPortHandler::HandleFrame() {
  using namespace event_record;
  if (refreshIndicator_) refreshIndicator_();

  // This station sends 'A' for a zero in the account.
  for (std::size_t p = 4; p <= 7; ++p)
    if (buffer_.At(p) == 'A') buffer_.Set(p, '0');

  EventRecord record{};
  StartEventRecord(record);

  const std::uint8_t last = buffer_.At(7);
  if (last >= 'A' && last <= 'J') buffer_.Set(7, static_cast<std::uint8_t>('0' + (last - 'A')));
  if (!buffer_.AllDigits(4, 7)) return;

  const std::int32_t account = AccountNumber(settings_.FirstNumber, buffer_.DecimalValue(4, 7));
  PutLE<std::int32_t>(record, kAccount, account);
  record[kPortTag] = kSecondPortTag;
  PutShortString(record, kEventCode, 4, "00");
  PutFixedEventBytes(record);

  const TDateTime received = clock_.Now();
  PutLE<double>(record, kReceived, received);
  const std::uint8_t detail1 = HexDigitValue(buffer_.At(9));
  const std::uint8_t detail2 = HexDigitValue(buffer_.At(10));
  record[kDetail1] = detail1;
  record[kDetail2] = detail2;

  SecondEventPayload payload{};
  PutLE<std::int32_t>(payload, kPayloadAccount, account);
  payload[kPayloadDetail1] = detail1;
  payload[kPayloadDetail2] = detail2;
  PutLE<double>(payload, kPayloadReceived, received);
  payload_ = payload;
  ++alarmsReceived_;

  if (settings_.SendMivo7) events_.SendEvent(record, {});
  // Nothing here waits for the server: the second port answers nobody.
  if (settings_.SendMivo8) events_.SendEvent8(PortId::Second, payload_, {});
}

}  // namespace vorel
