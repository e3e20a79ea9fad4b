// Finding the spool files of one kind for the replays, and putting aside one
// that can never be delivered, so that it does not block those behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorel {

// The extension a file put aside gets, after its own: no replay matches it.
inline constexpr std::string_view kBadSpoolExtension = ".bad";

// Oldest first. A spool name starts with the moment's milliseconds within
// the month in upper-case hexadecimal without leading zeros: of two names,
// the one with fewer such digits is the earlier (the first three days of a
// month have one digit less), and names with as many are in time order.
// Compares names without the configured name prefix.
struct SpoolNameOrder {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

// Every entry whose name is prefix + anything + extension, oldest first
// (an entry that is not a file is listed too: the replay sets it aside). The
// prefix is the configured spool directory glued on as it is ("spool/" is a
// directory, "spool" is a name prefix in the current directory; empty is the
// current directory). A missing directory has no files.
std::vector<std::string> FindSpoolFiles(std::string_view prefix, std::string_view extension);

// The first of FindSpoolFiles' list that is not in `passOver`, or nullopt.
std::optional<std::string> FirstSpoolFile(std::string_view prefix, std::string_view extension,
                                          const std::set<std::string>& passOver = {});

// The spool directory as the replays and the status see it: read from the
// disk on first use, then kept up to date by what this program writes
// (Added) and removes (Forget), and read again once a minute (Refresh) for
// what another program wrote or removed. A long outage leaves tens of
// thousands of files; listing them costs milliseconds, so a tick never does:
// finding the oldest file or counting them costs microseconds however many
// wait. Names are kept per extension (what follows the name's last dot).
class SpoolIndexEvents;

class SpoolListing {
 public:
  static constexpr std::uint32_t kRescanMs = 60'000;

  explicit SpoolListing(std::string_view prefix);

  // The oldest file with the extension (one dot: ".ddm", ".dd8") that is not
  // in `passOver`, or nullopt.
  std::optional<std::string> First(std::string_view extension, const std::set<std::string>& passOver = {});
  // Whether the index holds the file (a path as First gives it).
  bool Contains(const std::string& path);
  // How many files of the extension there are.
  std::size_t Count(std::string_view extension);
  // Reads the directory again when kRescanMs have passed since the last
  // reading; tickMs is a millisecond count that may wrap.
  void Refresh(std::uint32_t tickMs);
  // Reads the directory again now.
  void Rescan() { Read(); }

  // The same reading in two steps, for a reader on another thread: whether
  // one is due (kRescanMs since the last, or none yet), the reading itself
  // (a function that holds its own copy of what it needs, to run anywhere),
  // and what it found taken in.
  using Names = std::set<std::string, SpoolNameOrder>;  // without the name prefix
  using Reading = std::map<std::string, Names, std::less<>>;
  bool RescanDue(std::uint32_t tickMs) const;
  std::function<Reading()> Reader() const;
  void Take(Reading reading, std::uint32_t tickMs);

 private:
  friend class SpoolIndexEvents;  // the one way in for what this program did
  // The file (a path as First gives it) is gone from the directory.
  void Forget(const std::string& path);
  // This program wrote the file (a path that starts with the prefix).
  void Added(const std::string& path);
  static Reading ReadDirectory(const std::string& directory, const std::string& namePrefix);
  void Read();
  Names* Of(std::string_view extension);
  // The name within the directory, less the name prefix, for a path with
  // the prefix, or nullopt.
  std::optional<std::string> NameOf(const std::string& path) const;

  std::string directory_;  // "." for a prefix without a slash
  std::string dirPart_;    // what goes before a name in the paths returned
  std::string namePrefix_;
  bool read_ = false;
  std::uint32_t readAtMs_ = 0;
  Reading byExtension_;  // entry names without the name prefix
};

// The one way into the index for what this program did, rather than read:
// a file it wrote (or one whose removal failed, back for the replay), and a
// file gone (delivered and removed, set aside, or found gone by a replay).
// The index it feeds may be replaced or not there yet (nullptr); then the
// event is left to the next reading.
class SpoolIndexEvents {
 public:
  explicit SpoolIndexEvents(std::function<SpoolListing*()> index) : index_(std::move(index)) {}
  explicit SpoolIndexEvents(SpoolListing& index) : index_([&index] { return &index; }) {}
  void Written(const std::string& path) {
    if (SpoolListing* index = index_()) index->Added(path);
  }
  void Gone(const std::string& path) {
    if (SpoolListing* index = index_()) index->Forget(path);
  }

 private:
  std::function<SpoolListing*()> index_;
};

// Renames the file to its name + ".bad"; the new name, or empty when even that
// failed.
std::string SetSpoolFileAside(const std::string& file);

}  // namespace vorel
