// SIGTERM, SIGINT and SIGHUP end the simulator in an orderly way (the
// published link must go): the handler only writes the signal number into a
// pipe that the simulator's poll loop watches.
#pragma once

namespace vorel::station {

// Installs the handlers (once) and ignores SIGPIPE. The read end of the pipe,
// or -1 when it cannot be made.
int InstallStopSignals();

// The first stop signal caught so far, 0 when none; reads the pipe.
int CaughtStopSignal();

}  // namespace vorel::station
