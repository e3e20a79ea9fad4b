// What the spool inspector shows: the spool files the driver left for its
// replays, one line each, decoded with the reference servers' text, and the
// order in which the replays take them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorel::spoolinspector {

struct FileReport {
  // "NAME size=N kind=protocol-7 type=ftEvent(21) account=..." or
  // "NAME size=N kind=... bad: WHY"; a file the driver set aside carries
  // "set-aside" after its kind.
  std::string line;
  // The replay cannot deliver it as it is (short, unreadable, not a spool
  // file, a frame without its marker, a record the server will not take).
  // Files already set aside are not counted: the driver is past them.
  bool bad = false;
  bool setAside = false;
};

// One file, decoded by its name: .ddm holds one 555-byte protocol-7 frame,
// .dd8 a 4-byte little-endian record type and the record's payload, and
// either with ".bad" appended is one the driver set aside.
FileReport DescribeSpoolFile(const std::string& path);

// The spool files under `prefix` (the driver's PathForSoob form: "spool/" a
// directory, "spool/A" a name prefix in it, empty the current directory):
// the .ddm files in the order the protocol-7 replay sends them, then the .dd8
// files in the order the protocol-8 replay queues them, then the files set
// aside, each group in name order.
std::vector<std::string> ListSpoolFiles(std::string_view prefix);

// DIR_OR_PREFIX as typed, in the driver's form: an existing directory given
// without its trailing '/' gets one.
std::string PrefixOf(std::string_view argument);

// The directory part of a prefix ("." when it has none).
std::string DirectoryOf(std::string_view prefix);

}  // namespace vorel::spoolinspector
