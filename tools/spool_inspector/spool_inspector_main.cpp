// vorel_spool_inspector: shows what waits in the driver's spool directory,
// one line per file, in the order the replays will deliver it.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "spool_listing.h"

namespace {

using namespace vorel::spoolinspector;

constexpr const char* kUsage = R"(usage: vorel_spool_inspector [DIR_OR_PREFIX | FILE...]
Lists the spool files the driver wrote while a link was down, one line per
file, decoded field by field:
  NAME size=555 kind=protocol-7 type=ftEvent(21) account=310011 code=E130 port=31 details=1,2 time="2026-12-10 12:00:00.000"
  NAME size=555 kind=protocol-7 type=ftStationLost(72) port=32
  NAME size=21 kind=protocol-8 type=rtEventMain(0x03000018) account=310011 code=E130 time="2026-12-10 12:00:00.000"
  NAME size=18 kind=protocol-8 type=rtEventSecond(0x0300001A) account=310011 details=1,2 time="..."
  NAME size=100 kind=protocol-7 bad: 100 bytes, shorter than a 555-byte frame
  NAME.bad size=2 kind=protocol-8 set-aside bad: 2 bytes, shorter than the 4-byte record type
A .ddm file holds one 555-byte protocol-7 frame (its name: the spool moment
in hexadecimal, "_" and the station number); a .dd8 file holds a 4-byte
little-endian record type and the protocol-8 event payload. Files the driver
could not read are renamed with ".bad" appended and listed as set-aside.

DIR_OR_PREFIX is the spool location as PathForSoob gives it: a directory
("spool" or "spool/"), or a directory and a name prefix ("spool/1A"); without
it, the current directory. The .ddm files come first in the order the
protocol-7 replay sends them (name order), then the .dd8 files in the order
the protocol-8 replay queues them, then the files set aside. A count goes to
standard error.
FILE...: the named files only, in the order given.

Exit status: 0 when every file is fine, 1 when any file is bad (short,
unreadable, not a spool file, a frame without its marker, a record that is
no event; files already set aside do not count), 2 on usage errors.
Options:
  -h, --help   this text
)";

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool LooksLikeFile(const std::string& argument) {
  return IsFile(argument) || EndsWith(argument, ".ddm") || EndsWith(argument, ".dd8") || EndsWith(argument, ".bad");
}

int UsageError(const std::string& what) {
  std::fprintf(stderr, "vorel_spool_inspector: %s (--help tells more)\n", what.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (options && (argument == "-h" || argument == "--help")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (options && argument == "--") {
      options = false;
      continue;
    }
    if (options && argument.size() > 1 && argument[0] == '-') return UsageError("unknown option " + argument);
    arguments.push_back(argument);
  }

  std::vector<std::string> files;
  if (arguments.size() <= 1 && (arguments.empty() || !LooksLikeFile(arguments[0]))) {
    const std::string prefix = PrefixOf(arguments.empty() ? "" : arguments[0]);
    struct stat st {};
    const std::string directory = DirectoryOf(prefix);
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return UsageError("no directory " + directory);
    files = ListSpoolFiles(prefix);
  } else {
    for (const std::string& argument : arguments) {
      struct stat st {};
      if (::stat(argument.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return UsageError("give one directory or prefix, or files only: " + argument + " is a directory");
      files.push_back(argument);
    }
  }

  int bad = 0;
  int aside = 0;
  for (const std::string& file : files) {
    const FileReport report = DescribeSpoolFile(file);
    std::printf("%s\n", report.line.c_str());
    bad += report.bad ? 1 : 0;
    aside += report.setAside ? 1 : 0;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%zu files, %d bad, %d set aside\n", files.size(), bad, aside);
  return bad > 0 ? 1 : 0;
}
