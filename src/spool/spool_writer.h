// How the event loop hands the spool its disk work and hears back. The loop
// never waits for a disk: it hands over a packet's files to write, or a file
// to remove, and goes on; `done` runs later on the loop, once the work is
// over. The files of one hand-over are flushed together, with one flush of
// their directory, and a file counts as written only after that flush.
// Hand-overs are done in their order, and the `done` calls of the writes
// come in it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "spool/spool_disk.h"

namespace vorel {

// Queues a call to run later on the event loop's thread.
using LoopPoster = std::function<void(std::function<void()>)>;

using SpoolWriteDone = std::function<void(std::vector<SpoolWritten>)>;
using SpoolRemoveDone = std::function<void(bool removed)>;

class ISpoolWriter {
 public:
  virtual ~ISpoolWriter() = default;
  // `done` gets one SpoolWritten per write, in their order.
  virtual void Write(std::vector<SpoolWrite> writes, SpoolWriteDone done) = 0;
  // `done` hears whether the file was removed by this hand-over.
  virtual void Remove(std::string path, SpoolRemoveDone done) = 0;
  // A reading of the disk (the spool directory): `read` runs where the
  // spool does its disk work, after every file handed over before it is
  // written, and `done` comes after the `done` calls of all the files it
  // can see, so that the loop never learns of a file from a reading before
  // it hears that the file is written.
  virtual void Read(std::function<void()> read, std::function<void()> done) = 0;
  // A reading of spool files that needs no order with the writes (a replay's
  // files, taken from the index, which hears of a file only once it is
  // written), and a rename of such a file: it never waits behind a flush.
  // `done` comes on the loop. By default the same as Read.
  virtual void ReadFiles(std::function<void()> read, std::function<void()> done) {
    Read(std::move(read), std::move(done));
  }
};

// Writes every file, then flushes their directory once (once per prefix),
// never raising: a file that could not be written, or whose directory could
// not be flushed, is reported with its reason.
std::vector<SpoolWritten> WriteSpoolFiles(ISpoolDisk& disk, const std::vector<SpoolWrite>& writes);

// The disk work done at once, in the caller's turn (a tool, or a test that
// wants it exact); `done` runs before Write or Remove returns.
class InlineSpoolWriter final : public ISpoolWriter {
 public:
  explicit InlineSpoolWriter(ISpoolDisk& disk) : disk_(disk) {}
  void Write(std::vector<SpoolWrite> writes, SpoolWriteDone done) override;
  void Remove(std::string path, SpoolRemoveDone done) override;
  void Read(std::function<void()> read, std::function<void()> done) override;

 private:
  ISpoolDisk& disk_;
};

}  // namespace vorel
