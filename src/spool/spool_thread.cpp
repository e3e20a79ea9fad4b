#include "spool/spool_thread.h"

#include <utility>

#include "base/uncaught_error.h"

namespace vorel {

SpoolThread::SpoolThread(ISpoolDisk& disk, LoopPoster post)
    : disk_(disk), post_(std::move(post)), thread_([this] { Run(); }), fileReader_([this] { RunFileReads(); }) {}

SpoolThread::~SpoolThread() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  fileReadsWake_.notify_one();
  thread_.join();
  fileReader_.join();
}

void SpoolThread::Write(std::vector<SpoolWrite> writes, SpoolWriteDone done) {
  Hand(WriteJob{std::move(writes), std::move(done)});
}

void SpoolThread::Remove(std::string path, SpoolRemoveDone done) { Hand(RemoveJob{std::move(path), std::move(done)}); }

void SpoolThread::Read(std::function<void()> read, std::function<void()> done) {
  Hand(ReadJob{std::move(read), std::move(done)});
}

void SpoolThread::ReadFiles(std::function<void()> read, std::function<void()> done) {
  {
    std::lock_guard lock(mutex_);
    fileReads_.push_back(ReadJob{std::move(read), std::move(done)});
  }
  fileReadsWake_.notify_one();
}

void SpoolThread::RunFileReads() {
  for (;;) {
    std::deque<ReadJob> jobs;
    {
      std::unique_lock lock(mutex_);
      fileReadsWake_.wait(lock, [this] { return stopping_ || !fileReads_.empty(); });
      if (fileReads_.empty()) return;  // stopping, and nothing left to do
      jobs.swap(fileReads_);
    }
    for (ReadJob& job : jobs) DoRead(job);
  }
}

void SpoolThread::DoRead(ReadJob& job) {
  try {
    if (job.read) job.read();
  } catch (...) {
    // The reader keeps its own failure; the thread goes on.
  }
  if (job.done) post_([done = std::move(job.done)] { RunGuarded(done); });
}

void SpoolThread::Hand(Job job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void SpoolThread::Run() {
  for (;;) {
    std::deque<Job> jobs;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping, and nothing left to do
      jobs.swap(jobs_);
    }
    Do(jobs);
  }
}

void SpoolThread::Do(std::deque<Job>& jobs) {
  // The files of all write jobs in one list, so that they share the flush.
  std::vector<SpoolWrite> writes;
  for (Job& job : jobs)
    if (auto* w = std::get_if<WriteJob>(&job))
      for (SpoolWrite& write : w->writes) writes.push_back(std::move(write));
  std::vector<SpoolWritten> written = WriteSpoolFiles(disk_, writes);

  std::size_t next = 0;
  for (Job& job : jobs) {
    auto* w = std::get_if<WriteJob>(&job);
    if (!w) continue;
    std::vector<SpoolWritten> mine(std::make_move_iterator(written.begin() + static_cast<std::ptrdiff_t>(next)),
                                   std::make_move_iterator(written.begin() +
                                                           static_cast<std::ptrdiff_t>(next + w->writes.size())));
    next += w->writes.size();
    if (w->done)
      post_([done = std::move(w->done), mine = std::move(mine)]() mutable {
        // What raises here is reported like any event handler's error.
        RunGuarded([&] { done(std::move(mine)); });
      });
  }
  // A reading sees every file of this turn: it is posted after their news.
  for (Job& job : jobs) {
    if (auto* r = std::get_if<RemoveJob>(&job)) {
      const bool removed = disk_.RemoveFile(r->path);
      if (r->done) post_([done = std::move(r->done), removed] { RunGuarded([&] { done(removed); }); });
    } else if (auto* read = std::get_if<ReadJob>(&job)) {
      DoRead(*read);
    }
  }
}

}  // namespace vorel
