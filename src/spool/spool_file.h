// Spool files: one protocol-7 frame (.ddm) or one protocol-8 event (.dd8) per
// file. Every event is written to its files before the station hears its
// ACK, also while its link is up, and each file stays until its server has
// the event: the protocol-7 outbox removes a .ddm file once the server's TCP
// acknowledged the frame, the protocol-8 outbox a .dd8 file once the server
// answered the exchange that carried it. Until then the replay of its link
// sends it again. The replays take every file whose name ends in the
// extension, so a name with a suffix before the extension is replayed alike,
// and a file that does not end in it yet (written, not yet renamed) is left
// alone.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorel {

inline constexpr std::string_view kProtocol7SpoolExtension = ".ddm";
inline constexpr std::string_view kProtocol8SpoolExtension = ".dd8";

// Writes `bytes` as a new file named prefix + stem + extension (the prefix is
// the configured spool directory, glued on as it is) and returns the name the
// file got. The file is complete or absent: the bytes go to a temporary name
// that does not end in the extension, are flushed to the disk, and only then
// does the file appear under its final name. An existing file is never
// replaced: when the name is taken (two files in one millisecond, or a file
// left from the same moment of an earlier month) the name gets "-1", "-2", ...
// before the extension. A missing spool directory is made, and made durable
// in its parent. Raises std::system_error when the file cannot be written;
// nothing is left behind then.
// The name itself outlives a power cut only once the directory is flushed
// (FlushSpoolDirectory): the files of one packet share that flush.
std::string PublishSpoolFile(std::string_view prefix, std::string_view stem, std::string_view extension,
                             std::span<const std::uint8_t> bytes);

// One file to write: prefix + stem + extension, as PublishSpoolFile names it.
struct SpoolWrite {
  std::string prefix;
  std::string stem;
  std::string extension;
  std::vector<std::uint8_t> bytes;
};

// What became of one SpoolWrite: the name of the file, or why there is none.
struct SpoolWritten {
  std::optional<std::string> file;
  std::string error;
};

// PublishSpoolFile for each file, never raising: every file is written and
// its way to the disk started before the first is flushed, so that the disk
// takes them together rather than one flush after another. One result per
// write, in their order.
std::vector<SpoolWritten> PublishSpoolFiles(const std::vector<SpoolWrite>& writes);

// Flushes the directory that the files of `prefix` go to, so that the names
// published there outlive a power cut. A file system that cannot flush a
// directory at all (some network and FUSE ones) offers nothing better, and
// counts as flushed. Raises std::system_error.
void FlushSpoolDirectory(std::string_view prefix);

// PublishSpoolFile and FlushSpoolDirectory for one file. When only the flush
// of the directory failed, the file stays for the replay (a repeat at the
// server, not a loss) and the error is raised all the same.
std::string WriteSpoolFile(std::string_view prefix, std::string_view stem, std::string_view extension,
                           std::span<const std::uint8_t> bytes);

// Removes a spool file whose event its server has; true when this call
// removed it.
bool RemoveSpoolFile(const std::string& path);

// What reading a spool file found. Only a file whose content is wrong may be
// set aside for good; one that could not be read this time (an I/O error, no
// descriptors left, a network share that went stale) holds an acknowledged
// alarm and is tried again.
enum class SpoolReadResult {
  Read,      // `bytes` holds the file's first bytes, at most the limit asked for
  Gone,      // removed since the directory was read
  NotAFile,  // a directory or another entry that is no regular file
  Failed,    // `error` is the errno value; try again later
};
struct SpoolFileRead {
  SpoolReadResult result = SpoolReadResult::Failed;
  std::vector<std::uint8_t> bytes;
  int error = 0;
};
// Reads at most `limit` bytes of the file.
SpoolFileRead ReadSpoolFile(const std::string& path, std::size_t limit);

// Removes the temporary files that a driver killed in the middle of a spool
// write left behind (their event was never acknowledged, so the station sent
// it again), leaving those of a driver still running on the same directory.
// The number removed.
int RemoveUnfinishedSpoolFiles(std::string_view prefix);

}  // namespace vorel
