// The walk both replays make over the spool's index: the oldest files of one
// kind that are not on their way already, each read and handed to the replay,
// which knows only its link and its pace. A file that holds no record (too
// short, too long, no file at all) is set aside as ".bad" so that the files
// behind it still go; one that cannot even be renamed is passed over from
// then on. A file that could not be read this time (an I/O error) holds an
// acknowledged alarm: it stays, and is tried again at the next walk. The log
// names each such file once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/severity.h"
#include "spool/spool_directory.h"

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

  // extension: ".ddm" or ".dd8"; readLimit: the bytes read from each file,
  // enough to tell one longer than a record. Every log line is a warning: it
  // names a file that holds an alarm and cannot go.
  SpoolWalker(std::string_view extension, std::size_t readLimit, Texts texts,
              std::function<void(Severity, const std::string&)> logLine);

  // One walk, oldest first, passing over `onTheirWay` (full paths as the
  // index gives them). Ends when `hand` says Enough or no file is left.
  void Walk(SpoolListing& listing, std::set<std::string> onTheirWay, const Hand& hand);

 private:
  void Log(const std::string& line) const;

  std::string extension_;
  std::size_t readLimit_;
  Texts texts_;
  std::function<void(Severity, const std::string&)> logLine_;
  // Files without a record that could not be renamed either, named once.
  std::set<std::string> passedOver_;
  // Files whose last read failed, so that the log names each once.
  std::set<std::string> unreadable_;
};

}  // namespace vorel
