#include "spool/spool_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "spool/spool_writer.h"

namespace vorel {
namespace {

// A disk that records what it is asked, fails where told, and can hold the
// spool thread inside a write until the test lets it go.
class FakeSpoolDisk final : public ISpoolDisk {
 public:
  std::vector<SpoolWritten> PublishFiles(const std::vector<SpoolWrite>& writes) override {
    std::vector<SpoolWritten> written;
    for (const SpoolWrite& w : writes) {
      std::unique_lock lock(mutex);
      const std::string name = w.prefix + w.stem + w.extension;
      calls.push_back("write " + name);
      changed.notify_all();
      changed.wait(lock, [this] { return !held; });
      written.push_back(failWrite == name ? SpoolWritten{std::nullopt, "spool file " + name + ": No space left on device"}
                                          : SpoolWritten{name, {}});
    }
    return written;
  }
  void FlushDirectory(std::string_view prefix) override {
    std::lock_guard lock(mutex);
    calls.push_back("flush " + std::string(prefix));
    if (failFlush) throw std::system_error(EIO, std::generic_category(), "spool directory");
  }
  bool RemoveFile(const std::string& path) override {
    std::lock_guard lock(mutex);
    calls.push_back("remove " + path);
    return path != "gone";
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex);
    return calls;
  }
  void Hold(bool hold) {
    {
      std::lock_guard lock(mutex);
      held = hold;
    }
    changed.notify_all();
  }
  // Bounded: a thread that never gets there fails the test, not hangs it.
  bool WaitForCalls(std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return calls.size() >= n; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> calls;
  bool held = false;
  std::string failWrite;
  bool failFlush = false;
};

// The event loop as the spool thread sees it: calls queued, run by the test.
class FakeLoop {
 public:
  LoopPoster Poster() {
    return [this](std::function<void()> call) {
      std::lock_guard lock(mutex_);
      calls_.push_back(std::move(call));
      posted_.notify_all();
    };
  }
  bool WaitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, std::chrono::seconds(20), [&] { return calls_.size() >= n; });
  }
  void RunAll() {
    std::vector<std::function<void()>> calls;
    {
      std::lock_guard lock(mutex_);
      calls.swap(calls_);
    }
    for (auto& call : calls) call();
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::vector<std::function<void()>> calls_;
};

SpoolWrite File(std::string stem, std::string prefix = "spool/") { return SpoolWrite{prefix, stem, ".dd8", {1, 2, 3}}; }

std::vector<std::string> Names(const std::vector<SpoolWritten>& written) {
  std::vector<std::string> names;
  for (const SpoolWritten& w : written) names.push_back(w.file ? *w.file : "none: " + w.error);
  return names;
}

// The files of one hand-over share one flush of their directory, after the
// last of them; a file that could not be written, or whose directory could
// not be flushed, has no name and says why.
TEST(SpoolWriteFilesTest, OneDirectoryFlushAfterAllTheFilesAndEachFailureItsOwn) {
  struct Case {
    const char* name;
    std::vector<SpoolWrite> writes;
    std::string failWrite;
    bool failFlush;
    std::vector<std::string> calls;
    std::vector<std::string> written;
  };
  const std::vector<Case> cases = {
      {"three files, one flush",
       {File("A"), File("B"), File("C")},
       "",
       false,
       {"write spool/A.dd8", "write spool/B.dd8", "write spool/C.dd8", "flush spool/"},
       {"spool/A.dd8", "spool/B.dd8", "spool/C.dd8"}},
      {"one write fails, the others stand",
       {File("A"), File("B")},
       "spool/A.dd8",
       false,
       {"write spool/A.dd8", "write spool/B.dd8", "flush spool/"},
       {"none: spool file spool/A.dd8: No space left on device", "spool/B.dd8"}},
      {"every write fails: nothing to flush",
       {File("A")},
       "spool/A.dd8",
       false,
       {"write spool/A.dd8"},
       {"none: spool file spool/A.dd8: No space left on device"}},
      {"the flush fails: no file counts",
       {File("A"), File("B")},
       "",
       true,
       {"write spool/A.dd8", "write spool/B.dd8", "flush spool/"},
       {"none: spool directory: Input/output error", "none: spool directory: Input/output error"}},
      {"two directories, one flush each",
       {File("A"), File("B", "other/"), File("C")},
       "",
       false,
       {"write spool/A.dd8", "write other/B.dd8", "write spool/C.dd8", "flush spool/", "flush other/"},
       {"spool/A.dd8", "other/B.dd8", "spool/C.dd8"}},
      {"nothing to write", {}, "", false, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSpoolDisk disk;
    disk.failWrite = c.failWrite;
    disk.failFlush = c.failFlush;
    EXPECT_EQ(Names(WriteSpoolFiles(disk, c.writes)), c.written);
    EXPECT_EQ(disk.Calls(), c.calls);
  }
}

// What waits while the thread flushes is written in its next turn, with one
// directory flush for all of it (a group commit), and every hand-over hears
// back on the loop, the writes in their order, never on the spool thread.
TEST(SpoolThreadTest, WaitingHandOversShareOneFlushAndHearBackInOrderOnTheLoop) {
  FakeSpoolDisk disk;
  FakeLoop loop;
  std::vector<std::string> heard;
  {
    SpoolThread thread(disk, loop.Poster());
    const auto done = [&heard](std::string packet) {
      return [&heard, packet](std::vector<SpoolWritten> written) {
        heard.push_back(packet + ": " + std::to_string(written.size()) + " " + Names(written).front());
      };
    };
    disk.Hold(true);
    thread.Write({File("A")}, done("first"));
    ASSERT_TRUE(disk.WaitForCalls(1));  // the thread is inside the first write
    thread.Write({File("B"), File("C")}, done("second"));
    thread.Remove("spool/0.dd8", [&heard](bool removed) { heard.push_back(removed ? "removed" : "not removed"); });
    thread.Write({File("D")}, done("third"));
    EXPECT_TRUE(heard.empty());
    disk.Hold(false);
    ASSERT_TRUE(loop.WaitFor(4));
    EXPECT_TRUE(heard.empty()) << "only the loop runs what the spool posts back";
    loop.RunAll();
  }
  EXPECT_EQ(heard, (std::vector<std::string>{"first: 1 spool/A.dd8", "second: 2 spool/B.dd8",
                                             "third: 1 spool/D.dd8", "removed"}));
  EXPECT_EQ(disk.Calls(), (std::vector<std::string>{"write spool/A.dd8", "flush spool/", "write spool/B.dd8",
                                                    "write spool/C.dd8", "write spool/D.dd8", "flush spool/",
                                                    "remove spool/0.dd8"}));
}

// A reading of the directory handed over before a file is written in the
// same turn still sees that file, so the loop hears of the file first: it
// must never learn of a file from a reading before its link has it.
TEST(SpoolThreadTest, AReadingComesBackAfterTheNewsOfEveryFileItCanSee) {
  FakeSpoolDisk disk;
  FakeLoop loop;
  std::vector<std::string> heard;
  {
    SpoolThread thread(disk, loop.Poster());
    disk.Hold(true);
    thread.Write({File("A")}, {});
    ASSERT_TRUE(disk.WaitForCalls(1));
    thread.Read([&disk] { disk.RemoveFile("reading"); }, [&heard] { heard.push_back("read"); });
    thread.Write({File("B")}, [&heard](std::vector<SpoolWritten> w) { heard.push_back(*w.at(0).file); });
    disk.Hold(false);
    ASSERT_TRUE(loop.WaitFor(2));
    loop.RunAll();
  }
  EXPECT_EQ(heard, (std::vector<std::string>{"spool/B.dd8", "read"}));
  const std::vector<std::string> calls = disk.Calls();
  EXPECT_LT(std::find(calls.begin(), calls.end(), "write spool/B.dd8"),
            std::find(calls.begin(), calls.end(), "remove reading"));
}

// The replays' files are read beside the writes: on a slow disk a backlog
// does not wait behind the live alarms' flushes. What was handed over to
// read when the driver ends is read before the thread is gone.
TEST(SpoolThreadTest, FilesAreReadWhileAWriteWaitsForTheDisk) {
  FakeSpoolDisk disk;
  FakeLoop loop;
  std::vector<std::string> heard;
  {
    SpoolThread thread(disk, loop.Poster());
    disk.Hold(true);
    thread.Write({File("A")}, [&heard](std::vector<SpoolWritten>) { heard.push_back("written"); });
    ASSERT_TRUE(disk.WaitForCalls(1));
    thread.ReadFiles([&heard] { heard.push_back("reading"); }, [&heard] { heard.push_back("read"); });
    ASSERT_TRUE(loop.WaitFor(1)) << "the reading waited for the write";
    loop.RunAll();
    thread.ReadFiles([&heard] { heard.push_back("reading at the end"); }, {});
    std::thread release([&disk] { disk.Hold(false); });
    release.join();
  }
  loop.RunAll();
  EXPECT_EQ(heard, (std::vector<std::string>{"reading", "read", "reading at the end", "written"}));
}

// A driver that ends finishes what it handed over: the files are on the disk
// before the thread is gone.
TEST(SpoolThreadTest, TheEndFinishesWhatWasHandedOver) {
  FakeSpoolDisk disk;
  FakeLoop loop;
  {
    SpoolThread thread(disk, loop.Poster());
    disk.Hold(true);
    thread.Write({File("A")}, {});
    ASSERT_TRUE(disk.WaitForCalls(1));
    thread.Write({File("B")}, {});
    thread.Remove("gone", {});
    std::thread release([&disk] { disk.Hold(false); });
    release.join();
  }
  EXPECT_EQ(disk.Calls(), (std::vector<std::string>{"write spool/A.dd8", "flush spool/", "write spool/B.dd8",
                                                    "flush spool/", "remove gone"}));
}

}  // namespace
}  // namespace vorel
