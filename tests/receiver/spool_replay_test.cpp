// What both replays share, over both kinds of file: the oldest files go
// first at the replay's pace, files on their way are passed over, a file
// that holds no record is set aside so that those behind it still go, one
// that cannot be read now stays, and nothing moves while the link is down.
// With the spool's thread in between, a walk's files come back later, in
// any order: they go in name order, once, and not when they went live or
// were delivered meanwhile.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "base/bytes.h"
#include "output_fakes.h"
#include "p8/link.h"
#include "p8/record_types.h"
#include "receiver/event_record.h"
#include "receiver/protocol7_replay.h"
#include "receiver/protocol8_replay.h"
#include "spool/spool_writer.h"
#include "support/temp_dir.h"

namespace vorel::test {
namespace {

namespace fs = std::filesystem;

// The spool's thread as the test drives it: every reading waits until the
// test runs it, and its `done` until the test posts it, in any order.
class DeferredSpool final : public ISpoolWriter {
 public:
  void Write(std::vector<SpoolWrite>, SpoolWriteDone) override { ADD_FAILURE() << "a replay writes nothing"; }
  void Remove(std::string, SpoolRemoveDone) override { ADD_FAILURE() << "a replay removes nothing"; }
  void Read(std::function<void()> read, std::function<void()> done) override {
    jobs.push_back({std::move(read), std::move(done)});
  }
  // Reads the disk for every job waiting; their `done` calls still wait.
  void RunReads() {
    for (Job& job : jobs)
      if (job.read) std::exchange(job.read, nullptr)();
  }
  // Job `i` read and its `done` posted.
  void Finish(std::size_t i) {
    Job job = std::move(jobs.at(i));
    jobs.erase(jobs.begin() + static_cast<std::ptrdiff_t>(i));
    if (job.read) job.read();
    job.done();
  }
  // Everything, also what the `done` calls hand over, the last job first.
  void FinishAllBackwards() {
    while (!jobs.empty()) {
      RunReads();
      Finish(jobs.size() - 1);
    }
  }
  struct Job {
    std::function<void()> read;
    std::function<void()> done;
  };
  std::vector<Job> jobs;
};

// One replay with its link, over a spool directory of its own.
class ReplayRig {
 public:
  virtual ~ReplayRig() = default;
  virtual std::string Extension() const = 0;
  // A file that holds the record this replay sends.
  virtual void SpoolGood(const std::string& stem) = 0;
  // The same file, already on its way as a live event.
  virtual void SendLive(const std::string& stem) = 0;
  virtual void SetLinkUp(bool up) = 0;
  virtual void Tick() = 0;
  // The files on their way to the server, full paths.
  virtual std::set<std::string> OnTheirWay() = 0;
  // How many records the link got, live ones included.
  virtual std::size_t RecordsHanded() = 0;
  // The stems of the replayed files, in the order the link got them; asked
  // once, at the end (protocol 8's queue is emptied by it).
  virtual std::string StemsHanded() = 0;

  fs::path Spool() const { return dir / "spool"; }
  std::string Path(const std::string& stem) const { return (Spool() / (stem + Extension())).string(); }

  TempDir dir;
  std::vector<std::string> log;
  // The tick's shared index, read when first asked (after the files are there).
  SpoolListing index{(dir / "spool" / "").string()};

 protected:
  ReplayRig() { fs::create_directory(Spool()); }
  // A good file's record carries its one-character stem, to tell the files apart.
  static constexpr std::size_t kStemByte = 1;
  std::function<void(Severity, const std::string&)> Logger() {
    // Every line names a file that holds an alarm and cannot go: a warning.
    return [this](Severity severity, const std::string& line) {
      EXPECT_EQ(static_cast<int>(severity), static_cast<int>(Severity::Warning)) << line;
      log.push_back(line);
    };
  }
  std::string Prefix() const { return (Spool() / "").string(); }
};

class Protocol7Rig final : public ReplayRig {
 public:
  Protocol7Rig(int pace, ISpoolWriter* spool) : replay_(outbox_, {{}, Logger()}, pace, spool) {}
  std::string Extension() const override { return ".ddm"; }
  void SpoolGood(const std::string& stem) override {
    p7::Frame frame = p7::BuildFrame(p7::ftEvent);
    frame[p7::kPayloadOffset + kStemByte] = static_cast<std::uint8_t>(stem.at(0));
    WriteFile(Path(stem), std::string(reinterpret_cast<const char*>(frame.data()), frame.size()));
  }
  void SendLive(const std::string& stem) override {
    SpoolGood(stem);
    ASSERT_TRUE(outbox_.Send(Path(stem), p7::BuildFrame(p7::ftEvent)));
  }
  void SetLinkUp(bool up) override { sender_.connected = up; }
  void Tick() override { replay_.Step(index); }
  std::set<std::string> OnTheirWay() override { return outbox_.FilesInFlight(); }
  std::size_t RecordsHanded() override { return sender_.sent.size(); }
  std::string StemsHanded() override {
    std::string stems;
    for (const p7::Frame& frame : sender_.sent) stems += static_cast<char>(frame[p7::kPayloadOffset + kStemByte]);
    return stems;
  }

 private:
  FakeProtocol7Sender sender_;
  Protocol7Outbox outbox_{sender_};
  Protocol7Replay replay_;
};

class Protocol8Rig final : public ReplayRig {
 public:
  Protocol8Rig(int pace, ISpoolWriter* spool) : replay_(link_, Logger(), pace, spool) {}
  std::string Extension() const override { return ".dd8"; }
  void SpoolGood(const std::string& stem) override {
    Bytes content(4 + kMainEventPayloadSize, 0x30);
    PutLE<std::int32_t>(content, 0, rtEventMain);
    content[4 + kStemByte] = static_cast<std::uint8_t>(stem.at(0));
    WriteFile(Path(stem), std::string(content.begin(), content.end()));
  }
  void SendLive(const std::string& stem) override {
    SpoolGood(stem);
    ASSERT_TRUE(link_.EnqueueSpooled(rtEventMain, Bytes(kMainEventPayloadSize, 0x30), Path(stem)));
  }
  void SetLinkUp(bool up) override { link_.SetLinkUp(up); }
  void Tick() override {
    replay_.Step(index, now_);
    now_ += 4.0 / 86400.0;  // past the 3-s wait of the steady pace
  }
  std::set<std::string> OnTheirWay() override { return link_.Outbox().FilesOnTheirWay(); }
  std::size_t RecordsHanded() override { return link_.QueuedCount(); }
  std::string StemsHanded() override {
    std::string stems;
    Bytes record;
    while (link_.Peek(record)) {
      link_.DropHead();
      const auto parsed = ParseRecord(record);
      stems += static_cast<char>(parsed->payload[kStemByte]);
    }
    return stems;
  }

 private:
  cl link_;
  Protocol8Replay replay_;
  TDateTime now_ = 46000.5;
};

enum class Entry {
  Good,
  Live,        // good, and on its way already
  Short,       // shorter than its record
  Directory,   // no file at all
  Looping,     // a link that loops: cannot be read now
  Unrenamable  // short, and its ".bad" name is taken by a directory
};

struct Case {
  const char* what;
  int pace;
  bool linkUp;
  std::vector<std::pair<const char*, Entry>> files;  // stems, oldest first
  int ticks;
  std::set<std::string> onTheirWay;  // stems
  std::size_t recordsHanded;
  std::set<std::string> setAside;  // stems now with ".bad"
  std::size_t logLines;
};

const Case kCases[] = {
    {"a good file goes", 1, true, {{"1", Entry::Good}}, 1, {"1"}, 1, {}, 0},
    {"the steady pace: the oldest file, one a tick", 1, true,
     {{"1", Entry::Good}, {"2", Entry::Good}, {"3", Entry::Good}}, 2, {"1", "2"}, 2, {}, 0},
    {"a faster pace: that many a tick, oldest first", 3, true,
     {{"1", Entry::Good}, {"2", Entry::Good}, {"3", Entry::Good}, {"4", Entry::Good}, {"5", Entry::Good}}, 1,
     {"1", "2", "3"}, 3, {}, 0},
    {"a file on its way is passed over", 1, true, {{"1", Entry::Live}, {"2", Entry::Good}}, 2, {"1", "2"}, 2, {},
     0},
    {"a short file is set aside and the next goes in the same tick", 1, true,
     {{"1", Entry::Short}, {"2", Entry::Good}}, 1, {"2"}, 1, {"1"}, 1},
    {"no file at all is set aside", 1, true, {{"1", Entry::Directory}, {"2", Entry::Good}}, 1, {"2"}, 1, {"1"}, 1},
    {"a file that cannot be read now stays, named once", 1, true, {{"1", Entry::Looping}, {"2", Entry::Good}}, 3,
     {"2"}, 1, {}, 1},
    {"a broken file that cannot be renamed is passed over, named once", 1, true,
     {{"1", Entry::Unrenamable}, {"2", Entry::Good}, {"3", Entry::Good}}, 3, {"2", "3"}, 2, {}, 1},
    {"link down: nothing moves, nothing is set aside", 1, false, {{"1", Entry::Short}, {"2", Entry::Good}}, 2, {}, 0,
     {}, 0},
};

std::unique_ptr<ReplayRig> MakeRig(bool protocol8, int pace, ISpoolWriter* spool = nullptr) {
  if (protocol8) return std::make_unique<Protocol8Rig>(pace, spool);
  return std::make_unique<Protocol7Rig>(pace, spool);
}

std::string Kind(bool protocol8) { return protocol8 ? "protocol 8" : "protocol 7"; }

TEST(SpoolReplay, BothKindsOfFileFollowTheSameRules) {
  for (const bool protocol8 : {false, true}) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(std::string(protocol8 ? "protocol 8: " : "protocol 7: ") + c.what);
      const std::unique_ptr<ReplayRig> rig = MakeRig(protocol8, c.pace);
      rig->SetLinkUp(true);  // a live file goes while the link is up
      for (const auto& [stem, entry] : c.files) {
        const std::string path = rig->Path(stem);
        switch (entry) {
          case Entry::Good: rig->SpoolGood(stem); break;
          case Entry::Live: rig->SendLive(stem); break;
          case Entry::Short: WriteFile(path, "xy"); break;
          case Entry::Directory: fs::create_directory(path); break;
          case Entry::Looping: fs::create_symlink(path, path); break;
          case Entry::Unrenamable:
            WriteFile(path, "xy");
            fs::create_directories(path + ".bad/taken");
            break;
        }
      }
      rig->SetLinkUp(c.linkUp);
      for (int tick = 0; tick < c.ticks; ++tick) rig->Tick();

      std::set<std::string> onTheirWay;
      for (const std::string& stem : c.onTheirWay) onTheirWay.insert(rig->Path(stem));
      EXPECT_EQ(rig->OnTheirWay(), onTheirWay);
      EXPECT_EQ(rig->RecordsHanded(), c.recordsHanded) << "each file handed to the link once";
      for (const auto& [stem, entry] : c.files) {
        const bool aside = c.setAside.contains(stem);
        std::error_code ec;
        EXPECT_EQ(fs::symlink_status(rig->Path(stem) + ".bad", ec).type() != fs::file_type::not_found,
                  aside || entry == Entry::Unrenamable)
            << stem;
        EXPECT_EQ(fs::symlink_status(rig->Path(stem), ec).type() != fs::file_type::not_found, !aside) << stem;
      }
      EXPECT_EQ(rig->log.size(), c.logLines);
      for (const std::string& line : rig->log) EXPECT_NE(line.find(rig->Path("1")), std::string::npos) << line;
    }
  }
}

// The files come back from the spool's thread a tick or more later, the
// last read first: they go in name order, each once, and a tick that comes
// while they are being read starts no second walk.
TEST(SpoolReplay, FilesReadOnTheSpoolThreadGoOnceInNameOrderWhenTheyAreBack) {
  for (const bool protocol8 : {false, true}) {
    SCOPED_TRACE(Kind(protocol8));
    DeferredSpool spool;
    const std::unique_ptr<ReplayRig> rig = MakeRig(protocol8, 3, &spool);
    for (const char* stem : {"3", "1", "2", "4"}) rig->SpoolGood(stem);
    rig->SetLinkUp(true);
    rig->Tick();
    EXPECT_EQ(spool.jobs.size(), 3u) << "the three oldest, all at once";
    EXPECT_EQ(rig->RecordsHanded(), 0u) << "nothing goes before its bytes are back";
    rig->Tick();
    rig->Tick();
    EXPECT_EQ(spool.jobs.size(), 3u) << "no second walk while the first is on its way";
    spool.FinishAllBackwards();
    EXPECT_EQ(rig->OnTheirWay(), (std::set<std::string>{rig->Path("1"), rig->Path("2"), rig->Path("3")}));
    EXPECT_EQ(rig->StemsHanded(), "123");
  }
}

// Read, then sent live or delivered and removed before its bytes are back
// on the loop: the replay does not send it a second time.
TEST(SpoolReplay, AFileThatWentOrWasDeliveredWhileItWasReadIsNotSent) {
  enum class Meanwhile { SentLive, Delivered };
  for (const bool protocol8 : {false, true}) {
    for (const Meanwhile meanwhile : {Meanwhile::SentLive, Meanwhile::Delivered}) {
      SCOPED_TRACE(Kind(protocol8) + (meanwhile == Meanwhile::SentLive ? ": sent live" : ": delivered"));
      DeferredSpool spool;
      const std::unique_ptr<ReplayRig> rig = MakeRig(protocol8, 1, &spool);
      rig->SpoolGood("1");
      rig->SetLinkUp(true);
      rig->Tick();
      spool.RunReads();  // the bytes are read; their news waits on the loop
      if (meanwhile == Meanwhile::SentLive) {
        rig->SendLive("1");
      } else {
        fs::remove(rig->Path("1"));
        SpoolIndexEvents(rig->index).Gone(rig->Path("1"));
      }
      const std::size_t handed = rig->RecordsHanded();
      spool.FinishAllBackwards();
      EXPECT_EQ(rig->RecordsHanded(), handed) << "not handed again";
      EXPECT_TRUE(rig->log.empty());
    }
  }
}

// A broken file is renamed on the spool's thread; while that is on its way
// the next walk neither reads it again nor names it twice.
TEST(SpoolReplay, AFileBeingSetAsideIsNotTakenAgainByTheNextWalk) {
  for (const bool protocol8 : {false, true}) {
    SCOPED_TRACE(Kind(protocol8));
    DeferredSpool spool;
    const std::unique_ptr<ReplayRig> rig = MakeRig(protocol8, 1, &spool);
    WriteFile(rig->Path("1"), "xy");
    rig->SpoolGood("2");
    rig->SpoolGood("3");
    rig->SetLinkUp(true);
    rig->Tick();
    spool.Finish(0);  // "1" read: its rename and the read of "2" are handed over
    ASSERT_EQ(spool.jobs.size(), 2u);
    spool.Finish(1);  // "2" read and handed: the walk is over, the rename still waits
    EXPECT_EQ(rig->RecordsHanded(), 1u);
    rig->Tick();
    EXPECT_EQ(spool.jobs.size(), 2u) << "the rename and one read";
    spool.Finish(1);  // that read before the rename: it must be of "3"
    spool.FinishAllBackwards();
    EXPECT_EQ(rig->StemsHanded(), "23");
    EXPECT_TRUE(fs::exists(rig->Path("1") + ".bad"));
    EXPECT_EQ(rig->log.size(), 1u);
  }
}

}  // namespace
}  // namespace vorel::test
