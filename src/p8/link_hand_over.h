// What the link thread needs of the main window. No call waits for the GUI
// thread: the log line and the indicator are posted to run there later (or
// not at all once the window has closed the hand-over, see gui_hand_over.h),
// and the port statuses are the last snapshot the window pushed.
#pragma once

#include <array>
#include <string>

#include "base/severity.h"
#include "p8/payloads.h"

namespace vorel {

class ILinkHandOver {
 public:
  virtual ~ILinkHandOver() = default;
  // One line of the log memo; the window puts the date-time text in front.
  virtual void AddLogLine(Severity severity, const std::string& text) = 0;
  // Advances the protocol-8 activity counter and redraws its indicator.
  virtual void RefreshIndicator() = 0;
  // The current names and open states of the main port and the second port,
  // for the handshake's rtPortStatus.
  virtual std::array<PortStatus, 2> PortStatuses() = 0;
};

}  // namespace vorel
