// The replay of protocol-8 spool files, the first step of every Timer2 tick
// on the GUI thread: while the link is up, .dd8 files are handed to the
// link's outbox, oldest name first, which sends them behind any live record,
// one exchange at a time. The file stays until the server acknowledges the
// exchange that carried it (the outbox decides); without that it goes again
// at a later replay. The files on their way already are left alone.
//
// The pace: with one file per tick (the default), at most one file every 3
// seconds, or at the next tick after an acknowledgement. With more, up to
// that many files are on their way at once and each tick tops them up, with
// no wait: a backlog goes as fast as the server answers.
#pragma once

#include <functional>
#include <string>

#include "base/datetime.h"
#include "base/severity.h"
#include "spool/spool_directory.h"
#include "spool/spool_walker.h"
#include "spool/spool_writer.h"

namespace vorel {

class cl;

class Protocol8Replay {
 public:
  // logLine: a file set aside or unreadable, for the operator's log (warnings).
  // spool: where the files are read (the spool's thread); nullptr reads them
  // in the tick's own turn.
  Protocol8Replay(cl& link, std::function<void(Severity, const std::string&)> logLine, int filesPerTick = 1,
                  ISpoolWriter* spool = nullptr);

  // One tick over the spool's index. A file that holds no event record of
  // its kind's size (or is no file at all) is renamed aside with ".bad"
  // appended (no pattern matches it then) and named in the log; the tick
  // goes on with the next file. A file that could not be read this time is
  // named in the log once and tried again at the next replay. The files are
  // read on the spool's thread and queued when their bytes are back; a tick
  // that comes meanwhile does nothing. The index must outlive the walk.
  void Step(SpoolListing& listing, TDateTime now);

 private:
  cl& link_;
  int filesPerTick_;
  TDateTime now_ = 0;  // the last tick's
  SpoolWalker walker_;
};

}  // namespace vorel
