// The replay of protocol-7 spool files: while the message server is
// connected, .ddm files are sent at each 200 ms tick, oldest name first, and
// handed to the outbox, which removes each once the server's TCP has it.
// Live frames go out as they come, never behind a tick's replay. The pace:
// one file per tick by default; with more, up to that many per tick while
// the socket takes them and fewer than that many files are in flight.
#pragma once

#include <functional>
#include <string>

#include "base/severity.h"
#include "receiver/protocol7_outbox.h"
#include "spool/spool_directory.h"
#include "spool/spool_walker.h"
#include "spool/spool_writer.h"

namespace vorel {

class Protocol7Replay {
 public:
  struct Callbacks {
    std::function<void()> refreshIndicator;           // after each replayed file
    std::function<void(Severity, const std::string&)> logLine;  // a file put aside or unreadable
  };

  // spool: where the files are read (the spool's thread); nullptr reads
  // them in the tick's own turn.
  Protocol7Replay(Protocol7Outbox& outbox, Callbacks callbacks, int filesPerTick = 1, ISpoolWriter* spool = nullptr);

  // One step over the spool's index, to be called on every tick while
  // protocol 7 is on. A file in flight is not sent again; a failed send
  // leaves the file for the next connection. A file that cannot be read or
  // is shorter than a frame is put aside as ".bad" so the files behind it
  // still go; one that cannot even be renamed is passed over from then on. A
  // file that could not be read this time (an I/O error) stays and is tried
  // again. The files are read on the spool's thread and sent when their
  // bytes are back; a tick that comes meanwhile does nothing. The index
  // must outlive the walk.
  void Step(SpoolListing& listing);

 private:
  Protocol7Outbox& outbox_;
  Callbacks callbacks_;
  int filesPerTick_;
  SpoolWalker walker_;
};

}  // namespace vorel
