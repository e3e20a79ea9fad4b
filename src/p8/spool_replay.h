// The protocol-8 spool replay, the first step of every Timer2 tick on the GUI
// thread: while the link is up, at most one .dd8 file every 3 seconds goes
// into the send queue. The file stays until the server acknowledges its type
// (see SpoolSlots); without that it is queued again 3 seconds later.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/datetime.h"
#include "base/spool_directory.h"

namespace vorel {

class cl;

class SpoolReplay8 {
 public:
  // One tick. A file that cannot be opened or is shorter than its 4-byte
  // record type is renamed aside with ".bad" appended (no pattern matches it
  // then) and named through addLogLine; the tick goes on with the next file.
  void Step(cl& link, const std::string& pathForSoob, TDateTime now,
            const std::function<void(const std::string&)>& addLogLine);
  // The same, from the tick's shared reading of the spool directory.
  void Step(cl& link, SpoolListing& listing, TDateTime now, const std::function<void(const std::string&)>& addLogLine);

 private:
  // Broken files that could not be renamed either: reported once, then
  // passed over, so that they neither block the others nor flood the log.
  std::set<std::string> passedOver_;
};

}  // namespace vorel
