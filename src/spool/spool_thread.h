// The spool's own thread: it writes, flushes and removes spool files, so that
// the event loop never waits for a disk (on a card or a network share one
// flush can take hundreds of milliseconds). The loop hands work over and goes
// on; the thread posts each `done` back to the loop. What waits when the
// thread takes its next turn is done together: the files of every packet
// waiting then share one flush of their directory (a group commit), and each
// packet hears back, in order, once its files are flushed. The replays' files
// are read (and a broken one renamed) by a second thread of its own, so that
// a backlog does not wait behind the live alarms' flushes.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>

#include "spool/spool_writer.h"

namespace vorel {

class SpoolThread final : public ISpoolWriter {
 public:
  // `disk` must outlive the thread; `post` queues a call on the event loop.
  SpoolThread(ISpoolDisk& disk, LoopPoster post);
  // Finishes what was handed over (posting its `done` calls: a loop that
  // no longer runs them loses nothing but an ACK, and the station repeats
  // the alarm), then ends.
  ~SpoolThread() override;
  SpoolThread(const SpoolThread&) = delete;
  SpoolThread& operator=(const SpoolThread&) = delete;

  void Write(std::vector<SpoolWrite> writes, SpoolWriteDone done) override;
  void Remove(std::string path, SpoolRemoveDone done) override;
  void Read(std::function<void()> read, std::function<void()> done) override;
  void ReadFiles(std::function<void()> read, std::function<void()> done) override;

 private:
  struct WriteJob {
    std::vector<SpoolWrite> writes;
    SpoolWriteDone done;
  };
  struct RemoveJob {
    std::string path;
    SpoolRemoveDone done;
  };
  struct ReadJob {
    std::function<void()> read;
    std::function<void()> done;
  };
  using Job = std::variant<WriteJob, RemoveJob, ReadJob>;

  void Run();
  void RunFileReads();
  void Hand(Job job);
  // Runs `read` where it cannot end the thread, then posts `done`.
  void DoRead(ReadJob& job);
  // One turn: every write job's files, one directory flush, their `done`
  // calls posted in their order; then the removals and readings in theirs.
  void Do(std::deque<Job>& jobs);

  ISpoolDisk& disk_;
  LoopPoster post_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::deque<ReadJob> fileReads_;  // under mutex_, for fileReader_
  std::condition_variable fileReadsWake_;
  // Last: started once the rest is there.
  std::thread thread_;
  std::thread fileReader_;
};

}  // namespace vorel
