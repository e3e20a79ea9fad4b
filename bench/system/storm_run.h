// An alarm storm: a station that sends its queued alarms one after another,
// each as soon as the ACK of the one before came back, to a driver with both
// links up.
#pragma once

#include <string>

namespace vorel::bench {

struct StormOptions {
  std::string vorel;               // the program
  std::string p7Host;              // the protocol-7 server's loopback address
  int alarms = 1000;
  bool cutAtFrameEnd = false;      // CutAtFrameEnd of the main port
  int baud = 0;                    // the station's bytes at this line's pace; 0: as fast as the terminal takes them
};

// Prints alarms per second, the ACK delay's median and p99 (from the frame's
// last byte) and what reached the servers. False when the driver did not
// come up or an alarm never reached a server.
bool RunStorm(const StormOptions& options);

}  // namespace vorel::bench
