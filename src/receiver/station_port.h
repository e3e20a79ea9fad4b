// What the driver knows of the station on one serial port: when its last
// packet arrived and whether its link counts as up.
#pragma once

#include "base/datetime.h"

namespace vorel {

// Tag of each port in event records and link frames.
inline constexpr int kMainPortTag = 31;
inline constexpr int kSecondPortTag = 32;

struct StationPortState {
  TDateTime lastFrameTime = 0;
  bool linkUp = false;

  // At start-up both links count as lost and the last frame as a day old, so
  // the first traffic on a port is reported as a restoration.
  void Reset(TDateTime now) {
    lastFrameTime = now - kOneDay;
    linkUp = false;
  }
};

}  // namespace vorel
