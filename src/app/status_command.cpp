#include "app/status_command.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "app/program_status.h"

namespace vorel {
namespace {

bool HasLine(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (l == line) return true;
  }
  return false;
}

}  // namespace

std::filesystem::path StatusDirectory(const char* argument) {
  const std::filesystem::path packaged(kPackagedStateDirectory);
  if (argument == nullptr || *argument == '\0') return packaged;
  const std::string text(argument);
  if (text == "." || text == ".." || text.find('/') != std::string::npos) return text;
  return packaged / text;
}

StatusVerdict JudgeStatus(const std::string& text, std::chrono::seconds age) {
  if (HasLine(text, "state=stopped")) return StatusVerdict::Stopped;
  if (!HasLine(text, "state=running")) return StatusVerdict::Missing;
  const std::chrono::seconds distance = age < std::chrono::seconds(0) ? -age : age;
  return distance <= kStatusStaleAfter ? StatusVerdict::Running : StatusVerdict::Stale;
}

int RunStatusCommand(const std::filesystem::path& dir, std::ostream& out, std::ostream& err) {
  namespace fs = std::filesystem;
  const fs::path file = dir / kStatusFileName;
  std::error_code error;
  const fs::file_time_type written = fs::last_write_time(file, error);
  std::ifstream in(file, std::ios::binary);
  if (error || !in) {
    err << "vorel: no status file " << file.string() << ": the driver has not run in this directory\n";
    return static_cast<int>(StatusVerdict::Missing);
  }
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  out << text;
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(fs::file_time_type::clock::now() - written);
  const StatusVerdict verdict = JudgeStatus(text, age);
  switch (verdict) {
    case StatusVerdict::Running: break;
    case StatusVerdict::Stale:
      err << "vorel: the status was last written " << age.count()
          << " s ago: the driver does not run any more, or hangs\n";
      break;
    case StatusVerdict::Stopped: err << "vorel: the driver has ended\n"; break;
    case StatusVerdict::Missing: err << "vorel: " << file.string() << " is not a status file of the driver\n"; break;
  }
  return static_cast<int>(verdict);
}

}  // namespace vorel
