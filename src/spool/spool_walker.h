// The walk both replays make over the spool's index: the oldest files of one
// kind that are not on their way already, each read and handed to the replay,
// which knows only its link and its pace. A file that holds no record (too
// short, too long, no file at all) is set aside as ".bad" so that the files
// behind it still go; one that cannot even be renamed is passed over from
// then on. A file that could not be read this time (an I/O error) holds an
// acknowledged alarm: it stays, and is tried again at the next walk. The log
// names each such file once.
//
// The event loop never waits for the disk here: the walker picks its files
// from the index on the loop, the spool reads them (and renames a file set
// aside) on its file reader thread, beside the flushes, and the bytes come
// back to the loop, where they are handed over in name order. One walk is on
// its way at a time: a tick that comes meanwhile starts none. Without a spool
// thread (a tool, a unit test) the reading is done in the caller's turn and a
// walk ends before Walk returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/severity.h"
#include "spool/spool_directory.h"
#include "spool/spool_file.h"
#include "spool/spool_writer.h"

namespace vorel {

class SpoolWalker {
 public:
  // The log lines of one kind of file, in the replay's own words.
  struct Texts {
    // A file that could not be read now; `error` says why.
    std::function<std::string(const std::string& file, const std::string& error)> unreadable;
    // A file that holds no record, renamed to `aside` (empty: it could not be).
    std::function<std::string(const std::string& file, const std::string& aside)> setAside;
  };
  // What the replay did with a file's bytes.
  enum class Handed {
    NotARecord,  // no record of this kind: the walker sets the file aside
    GoOn,        // handed to the link; the pace allows another
    Enough,      // handed to the link, or refused by it: no more this time
  };
  using Hand = std::function<Handed(const std::string& file, const std::vector<std::uint8_t>& bytes)>;
  // The files on their way to the server now (full paths as the index gives
  // them), asked when a walk starts and again before its files are handed.
  using OnTheirWay = std::function<std::set<std::string>()>;

  // extension: ".ddm" or ".dd8"; readLimit: the bytes read from each file,
  // enough to tell one longer than a record. Every log line is a warning: it
  // names a file that holds an alarm and cannot go. spool: where the files
  // are read and renamed (ISpoolWriter::ReadFiles); nullptr reads in the
  // caller's turn.
  SpoolWalker(std::string_view extension, std::size_t readLimit, Texts texts,
              std::function<void(Severity, const std::string&)> logLine, ISpoolWriter* spool = nullptr);
  ~SpoolWalker();
  SpoolWalker(const SpoolWalker&) = delete;
  SpoolWalker& operator=(const SpoolWalker&) = delete;

  // One walk, oldest first, passing over what is on its way, handing at most
  // `want` files (those the replay's pace can use now) until `hand` says
  // Enough or no file is left. `hand` may run after Walk returns, on the
  // loop, so it holds what it needs itself; `listing` must outlive the
  // walker's work. Nothing happens while a walk is still on its way.
  void Walk(SpoolListing& listing, OnTheirWay onTheirWay, std::size_t want, Hand hand);
  // A walk is on its way: its files are being read.
  bool Walking() const { return walk_.has_value(); }

 private:
  struct WalkState {
    SpoolListing* listing;
    OnTheirWay onTheirWay;
    Hand hand;
    std::size_t left;                // files the pace can still use
    std::set<std::string> passOver;  // on their way, handed, unreadable, being set aside
  };
  // The files of one round of reading, in name order, and what was read.
  struct Batch {
    std::vector<std::string> files;
    std::vector<SpoolFileRead> reads;
    std::size_t outstanding = 0;
  };

  // Reads round after round until one is on the spool's thread or the walk
  // is over (a loop, not a recursion: without a thread every round ends at
  // once, and a long row of broken files is walked in one turn).
  void ReadRounds();
  std::shared_ptr<Batch> Pick();
  // Hands the round's files over in name order; false ends the walk.
  bool HandOver(Batch& batch);
  void SetAside(const std::string& file);
  void OnSpool(std::function<void()> work, std::function<void()> done);
  void Log(const std::string& line) const;

  std::string extension_;
  std::size_t readLimit_;
  Texts texts_;
  std::function<void(Severity, const std::string&)> logLine_;
  ISpoolWriter* spool_;
  std::optional<WalkState> walk_;
  // Set while a round's reads are handed to the spool; a round that ends
  // within it is handed over by ReadRounds itself.
  bool submitting_ = false;
  bool roundDone_ = false;
  // Files whose rename to ".bad" is on its way.
  std::set<std::string> settingAside_;
  // Files without a record that could not be renamed either, named once.
  std::set<std::string> passedOver_;
  // Files whose last read failed, so that the log names each once.
  std::set<std::string> unreadable_;
  // What the spool's `done` calls find: false once the walker is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vorel
