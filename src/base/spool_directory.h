// Finding the spool files of one kind for the replays, and putting aside one
// that can never be delivered, so that it does not block those behind it.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vorel {

// The extension a file put aside gets, after its own: no replay matches it.
inline constexpr std::string_view kBadSpoolExtension = ".bad";

// Every entry whose name is prefix + anything + extension, in name order
// (an entry that is not a file is listed too: the replay sets it aside). The
// prefix is the configured spool directory glued on as it is ("spool/" is a
// directory, "spool" is a name prefix in the current directory; empty is the
// current directory). A missing directory has no files.
std::vector<std::string> FindSpoolFiles(std::string_view prefix, std::string_view extension);

// The first of FindSpoolFiles' list that is not in `passOver`, or nullopt,
// without sorting the list: a long outage leaves thousands waiting.
std::optional<std::string> FirstSpoolFile(std::string_view prefix, std::string_view extension,
                                          const std::set<std::string>& passOver = {});

// The spool directory as the replays of one timer tick see it: read from the
// disk once, on first use, and shared by the replays of both links, each of
// which takes the first file of its own extension. Listing a directory that
// holds thousands of files is the dearest part of a tick; reading it twice
// would double that. A file a replay removes or sets aside is forgotten.
class SpoolListing {
 public:
  explicit SpoolListing(std::string_view prefix);

  // As FirstSpoolFile, from the one reading of the directory.
  std::optional<std::string> First(std::string_view extension, const std::set<std::string>& passOver = {});
  // The file (a path as First gives it) is gone from the directory.
  void Forget(const std::string& path);
  // How many files of the extension there are, from the same reading.
  std::size_t Count(std::string_view extension);

 private:
  void Read(const std::string& directory, const std::string& namePrefix);
  std::string prefix_;
  bool read_ = false;
  std::vector<std::string> names_;  // entry names starting with the name part of the prefix
  std::set<std::string> gone_;
};

// Renames the file to its name + ".bad"; the new name, or empty when even that
// failed.
std::string SetSpoolFileAside(const std::string& file);

}  // namespace vorel
