// Watching the station for silence: a port that has received no packet for
// longer than the attention time counts as lost, and traffic coming back
// counts as restored. Each change is shown on the port's indicator and, with
// protocol 7 on, reported to the message server as a link frame.
#pragma once

#include <cstdint>
#include <functional>

#include "base/datetime.h"
#include "p7/frame.h"
#include "receiver/station_port.h"

namespace vorel {

class StationSupervision {
 public:
  struct Port {
    StationPortState* state;
    std::int32_t tag;              // 31 main, 32 second
    std::function<void()> redraw;  // the port's indicator
  };
  // linkFrame is empty when protocol 7 is off: the flag and the indicator
  // still change, nothing is sent.
  using LinkFrameOutput = std::function<void(p7::FrameType type, std::int32_t portTag)>;
  using ErrorLog = std::function<void(int code)>;

  StationSupervision(TDateTime attention, LinkFrameOutput linkFrame, ErrorLog logError);

  // One check of one port. A failure inside it (a link frame that cannot be
  // delivered) is written to the error log as code 9 and the next port is
  // still checked; the flag change made before it stands. A failure of the
  // error log itself goes to the caller.
  void Check(const Port& port, TDateTime now);

 private:
  void ChangeLink(const Port& port, bool up);

  TDateTime attention_;
  LinkFrameOutput linkFrame_;
  ErrorLog logError_;
};

}  // namespace vorel
