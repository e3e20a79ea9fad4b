#include "receiver/second_port_handler.h"

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

bool IsFrame(std::span<const std::uint8_t> piece) {
  return piece.size() == kSecondFrameSize && piece[13] == kLF && piece[14] == kCR;
}

// Frames that came within one packet time arrive together; a packet counts
// only when every 15-byte piece of it is a frame.
bool AllFrames(std::span<const std::uint8_t> packet) {
  if (packet.empty() || packet.size() % kSecondFrameSize != 0) return false;
  for (std::size_t at = 0; at < packet.size(); at += kSecondFrameSize)
    if (!IsFrame(packet.subspan(at, kSecondFrameSize))) return false;
  return true;
}

}  // namespace

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
  const std::vector<std::uint8_t> bytes(packet.begin(), packet.end());
  buffer_.Load(bytes);
  if (settings_.Log) AppendTrafficLog(trafficLog_, bytes);

  if (!AllFrames(bytes)) return;
  for (std::size_t at = 0; at < bytes.size(); at += kSecondFrameSize) {
    if (at != 0) buffer_.Load(std::span(bytes).subspan(at, kSecondFrameSize));
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

  if (settings_.SendMivo7) events_.SendEvent(record);
  if (settings_.SendMivo8) events_.SendEvent8(PortId::Second, payload_);
}

}  // namespace vorel
