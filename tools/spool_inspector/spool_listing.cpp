#include "spool_listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "base/bytes.h"
#include "spool/spool_directory.h"
#include "p7/frame.h"
#include "p7_frame_text.h"
#include "p8/record_types.h"
#include "p8_record_text.h"
#include "spool/spool_file.h"

namespace vorel::spoolinspector {
namespace {

using p7server::Escaped;
using p8server::HexBytes;

// Spool files are a few hundred bytes; a huge file is shown by its head.
constexpr std::size_t kMaxRead = 1 << 20;
constexpr std::size_t kRecordTypeSize = 4;

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

struct Content {
  std::string size = "?";
  Bytes bytes;
  std::string error;  // why the file could not be read
};

Content Read(const std::string& path) {
  Content c;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    c.error = std::string("cannot open: ") + std::strerror(errno);
    return c;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    c.error = "not a regular file";
  } else {
    c.size = std::to_string(st.st_size);
    c.bytes.resize(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), kMaxRead));
    std::size_t got = 0;
    while (got < c.bytes.size()) {
      const ssize_t n = ::read(fd, c.bytes.data() + got, c.bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        c.error = std::string("cannot read: ") + std::strerror(errno);
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    c.bytes.resize(got);
  }
  ::close(fd);
  return c;
}

// The decoded fields of a .ddm file, or "bad: WHY" with `bad` set.
std::string Protocol7Fields(const Bytes& bytes, bool& bad) {
  if (bytes.size() < p7::kFrameSize) {
    bad = true;
    return "bad: " + std::to_string(bytes.size()) + " bytes, shorter than a " + std::to_string(p7::kFrameSize) +
           "-byte frame";
  }
  const std::span<const std::uint8_t> frame(bytes.data(), p7::kFrameSize);
  if (!p7::DecodeFrame(frame)) {
    // The replay sends it all the same; the server drops it.
    bad = true;
    return "bad: no 0xFF 0xFF frame marker, head=" + HexBytes(frame.first(2));
  }
  std::string fields = p7server::DescribeFrame(frame);
  // The replay sends the first 555 bytes only.
  if (bytes.size() > p7::kFrameSize) fields += " extra=" + std::to_string(bytes.size() - p7::kFrameSize);
  return fields;
}

// The decoded fields of a .dd8 file, or "... bad: WHY" with `bad` set.
std::string Protocol8Fields(const Bytes& bytes, bool& bad) {
  if (bytes.size() < kRecordTypeSize) {
    bad = true;
    return "bad: " + std::to_string(bytes.size()) + " bytes, shorter than the 4-byte record type";
  }
  const std::int32_t type = GetLE<std::int32_t>(bytes, 0);
  const std::span<const std::uint8_t> payload = std::span(bytes).subspan(kRecordTypeSize);
  const std::string label = "type=" + p8server::RecordTypeLabel(type);
  const std::optional<std::string> fields = p8server::DescribePayload(type, payload);
  if (!fields) {
    bad = true;
    return label + " bad: payload of " + std::to_string(payload.size()) + " bytes does not fit its type: " +
           HexBytes(payload);
  }
  if (type != rtEventMain && type != rtEventSecond) {
    bad = true;
    return label + " bad: not an event record" + (fields->empty() ? "" : ": " + *fields);
  }
  return label + " " + *fields;
}

}  // namespace

FileReport DescribeSpoolFile(const std::string& path) {
  FileReport report;
  std::string_view name = path;
  if (EndsWith(name, kBadSpoolExtension)) {
    report.setAside = true;
    name.remove_suffix(kBadSpoolExtension.size());
  }
  const bool p7 = EndsWith(name, kProtocol7SpoolExtension);
  const bool p8 = EndsWith(name, kProtocol8SpoolExtension);

  const Content content = Read(path);
  std::string line = Escaped(path) + " size=" + content.size;
  bool bad = false;
  std::string fields;
  if (!p7 && !p8) {
    line += " kind=unknown";
    bad = true;
    fields = "bad: not a spool file (.ddm, .dd8, or either with .bad set aside)";
  } else {
    line += p7 ? " kind=protocol-7" : " kind=protocol-8";
    if (!content.error.empty()) {
      bad = true;
      fields = "bad: " + content.error;
    } else {
      fields = p7 ? Protocol7Fields(content.bytes, bad) : Protocol8Fields(content.bytes, bad);
    }
  }
  if (report.setAside) line += " set-aside";
  report.line = line + " " + fields;
  report.bad = bad && !report.setAside;
  return report;
}

std::vector<std::string> ListSpoolFiles(std::string_view prefix) {
  std::vector<std::string> files = FindSpoolFiles(prefix, kProtocol7SpoolExtension);
  const auto protocol8 = FindSpoolFiles(prefix, kProtocol8SpoolExtension);
  files.insert(files.end(), protocol8.begin(), protocol8.end());
  std::vector<std::string> aside;
  for (const std::string_view extension : {kProtocol7SpoolExtension, kProtocol8SpoolExtension}) {
    const auto more = FindSpoolFiles(prefix, std::string(extension) + std::string(kBadSpoolExtension));
    aside.insert(aside.end(), more.begin(), more.end());
  }
  std::sort(aside.begin(), aside.end());
  files.insert(files.end(), aside.begin(), aside.end());
  return files;
}

std::string PrefixOf(std::string_view argument) {
  std::string prefix(argument);
  struct stat st {};
  if (!prefix.empty() && prefix.back() != '/' && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    prefix += '/';
  return prefix;
}

std::string DirectoryOf(std::string_view prefix) {
  const std::size_t slash = prefix.rfind('/');
  return slash == std::string_view::npos ? std::string(".") : std::string(prefix.substr(0, slash + 1));
}

}  // namespace vorel::spoolinspector
