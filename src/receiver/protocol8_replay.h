// The replay of protocol-8 spool files, the first step of every Timer2 tick
// on the GUI thread: while the link is up, at most one .dd8 file every 3
// seconds goes into the send queue. The file stays until the server
// acknowledges the exchange that carried it (the link's outbox decides);
// without that it is queued again 3 seconds later. The files on their way
// already are left alone.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/datetime.h"
#include "base/spool_directory.h"

namespace vorel {

class cl;

class Protocol8Replay {
 public:
  // logLine: a file set aside, for the operator's log.
  Protocol8Replay(cl& link, std::function<void(const std::string&)> logLine);

  // One tick. A file that holds no event record of its kind's size (or is no
  // file at all) is renamed aside with ".bad" appended (no pattern matches it
  // then) and named in the log; the tick goes on with the next file. A file
  // that could not be read this time is named in the log once and tried
  // again at the next replay.
  void Step(const std::string& pathForSoob, TDateTime now);
  // The same, from the tick's shared reading of the spool directory.
  void Step(SpoolListing& listing, TDateTime now);

 private:
  cl& link_;
  std::function<void(const std::string&)> logLine_;
  // Broken files that could not be renamed either: reported once, then
  // passed over, so that they neither block the others nor flood the log.
  std::set<std::string> passedOver_;
  // Files whose last read failed, so that the log names each once.
  std::set<std::string> unreadable_;
};

}  // namespace vorel
