#include "receiver/station_supervision.h"

#include <utility>

namespace vorel {

inline constexpr int kLinkCheckErrorCode = 9;

StationSupervision::StationSupervision(TDateTime attention, LinkFrameOutput linkFrame, ErrorLog logError)
    : attention_(attention), linkFrame_(std::move(linkFrame)), logError_(std::move(logError)) {}

void StationSupervision::Check(const Port& port, TDateTime now) {
  try {
    // Compared in whole milliseconds: days as doubles would make a silence of
    // exactly the attention time come out a hair longer or shorter.
    const TDateTime elapsed = now - port.state->lastFrameTime;
    const auto elapsedMs = RoundToMsecs(elapsed);
    const auto attentionMs = RoundToMsecs(attention_);
    const bool lost = elapsedMs && attentionMs ? *elapsedMs > *attentionMs : elapsed > attention_;
    const bool up = !lost;
    if (up != port.state->linkUp) ChangeLink(port, up);
  } catch (...) {
    logError_(kLinkCheckErrorCode);
  }
}

void StationSupervision::ChangeLink(const Port& port, bool up) {
  port.state->linkUp = up;
  if (port.redraw) port.redraw();
  if (linkFrame_) linkFrame_(up ? p7::ftStationRestored : p7::ftStationLost, port.tag);
}

}  // namespace vorel
