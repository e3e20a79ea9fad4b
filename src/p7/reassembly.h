// Cutting the bytes that the message server sends into 555-byte frames and
// acting on them. The receive buffer lives as long as the main window and is
// never cleared on a disconnect, so a frame cut short by one connection is
// completed by the first bytes of the next.
//
// The stream is cut every 555 bytes from wherever it started. A block whose
// first two bytes are not 0xFF 0xFF is dropped, and nothing searches for the
// next marker: a stream that is out of step stays out of step, exactly as the
// message server expects of this driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bytes.h"
#include "base/datetime.h"

namespace vorel::p7 {

// What the server may ask of the driver.
class IServerCommands {
 public:
  virtual ~IServerCommands() = default;
  // ftSetClock. The value is already rounded to whole milliseconds and lies
  // within years 1..9999; frames whose value is not a number, infinite or
  // outside that range never get here.
  virtual void SetClock(TDateTime localDateTime) = 0;
  // ftClose: close without asking for the password. The close itself must
  // happen after the current event, not inside this call.
  virtual void CloseRequested() = 0;
};

class FrameReassembler {
 public:
  explicit FrameReassembler(IServerCommands& commands);

  FrameReassembler(const FrameReassembler&) = delete;
  FrameReassembler& operator=(const FrameReassembler&) = delete;

  // Handles one block of received bytes of any length: every complete frame
  // in order (types other than ftSetClock and ftClose are ignored, a close
  // does not stop the frames after it), then keeps the unfinished tail.
  // The commands run once the buffer holds that tail, so a command that feeds
  // bytes in again finds a consistent buffer. The buffer never holds more than
  // one frame, however large the block.
  void Accept(std::span<const std::uint8_t> block);

  // The unfinished tail, always shorter than one frame.
  std::size_t PendingSize() const { return tail_.size(); }
  Bytes Pending() const { return tail_; }

 private:
  IServerCommands& commands_;
  Bytes tail_;
};

}  // namespace vorel::p7
