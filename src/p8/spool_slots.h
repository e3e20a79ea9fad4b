// The state that the protocol-8 spool replay (GUI thread) and the server's
// acknowledgements (link thread) share: the .dd8 file last replayed into each
// slot (second-port events in one, all others in the other) and the time of
// the last replay, all under one lock.
#pragma once

#include <mutex>
#include <string>

#include "base/datetime.h"

namespace vorel {

enum class SpoolSlot { Main, Second };

class SpoolSlots {
 public:
  // The replay step: remembers the file queued into its slot and the time.
  void Replayed(SpoolSlot slot, const std::string& path, TDateTime now);
  // Whether a replay is due: now is later than the last replay + 3 s.
  bool ReplayDue(TDateTime now) const;
  // The server acknowledged the exchange that carried the record replayed
  // from `file`: when the file exists, deletes it (a failed deletion changes
  // nothing) and moves the last replay a day back so that the next file goes
  // at once. Nothing at all when there is no such file. An acknowledgement
  // of any other exchange (a live event's) deletes no replayed file.
  void Acknowledged(const std::string& file, TDateTime now);
  // A new connection: the next replay may come at once.
  void AllowReplayNow(TDateTime now);

  std::string PendingSpoolFileMain() const;
  std::string PendingSpoolFileSecond() const;
  TDateTime LastReplayTime() const;

 private:
  mutable std::mutex mutex_;
  std::string pendingSpoolFileMain_;
  std::string pendingSpoolFileSecond_;
  TDateTime lastReplayTime_ = 0;  // long past
};

}  // namespace vorel
