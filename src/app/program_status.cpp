#include "app/program_status.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <utility>

namespace vorel {
namespace {

constexpr std::uint32_t kLookEveryMs = 1000;
constexpr std::uint32_t kRewriteEveryMs = 10'000;

const char* Text(LinkState state) {
  switch (state) {
    case LinkState::Up: return "up";
    case LinkState::Down: return "down";
    case LinkState::Off: break;
  }
  return "off";
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

void AddPort(std::string& text, const char* key, const SerialPortStatus& port) {
  const std::string k(key);
  text += k + ".port=" + port.name + "\n";
  text += k + ".open=" + YesNo(port.open) + "\n";
  text += k + ".station=" + (port.stationLinkUp ? "up" : "down") + "\n";
}

}  // namespace

std::string IsoDateTime(TDateTime value) {
  const std::optional<DateTimeFields> f = DecodeDateTime(value);
  if (!f) return "none";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", f->year, f->month, f->day, f->hour, f->minute,
                f->second);
  return text;
}

std::string StatusSummary(const ProgramStatus& s) {
  const auto port = [](const char* key, const SerialPortStatus& p) {
    return std::string(key) + " " + p.name + (p.open ? " open" : " closed") + ", station " +
           (p.stationLinkUp ? "up" : "down");
  };
  return port("main", s.main) + "; " + port("second", s.second) + "; protocol 7 " + Text(s.protocol7) +
         "; protocol 8 " + Text(s.protocol8) + "; spool " + std::to_string(s.ddmFiles) + " .ddm, " +
         std::to_string(s.dd8Files) + " .dd8";
}

std::string ComposeStatus(const ProgramStatus& s) {
  std::string text = std::string("state=") + (s.running ? "running" : "stopped") + "\n";
  text += "pid=" + std::to_string(s.pid) + "\n";
  text += "started=" + IsoDateTime(s.started) + "\n";
  if (s.running) {
    AddPort(text, "main", s.main);
    AddPort(text, "second", s.second);
    text += std::string("protocol7=") + Text(s.protocol7) + "\n";
    text += std::string("protocol8=") + Text(s.protocol8) + "\n";
  }
  text += "main.last_frame=" + (s.main.lastFrame ? IsoDateTime(*s.main.lastFrame) : "none") + "\n";
  text += "second.last_frame=" + (s.second.lastFrame ? IsoDateTime(*s.second.lastFrame) : "none") + "\n";
  text += "spool.ddm=" + std::to_string(s.ddmFiles) + "\n";
  text += "spool.dd8=" + std::to_string(s.dd8Files) + "\n";
  if (s.longestStallMs) text += "loop.longest_stall_ms=" + std::to_string(*s.longestStallMs) + "\n";
  return text;
}

StatusFile::StatusFile(std::filesystem::path file, IClock& clock, std::function<void(const std::string&)> report)
    : file_(std::move(file)), clock_(clock), report_(std::move(report)) {}

void StatusFile::Tick(const std::function<ProgramStatus()>& look) {
  const std::uint32_t now = clock_.TickCount();
  if (looked_ && now - lastLook_ < kLookEveryMs) return;
  looked_ = true;
  lastLook_ = now;
  const std::string body = ComposeStatus(look());
  if (body == lastBody_ && now - lastWrite_ < kRewriteEveryMs) return;
  WriteText(body);
}

void StatusFile::Write(const ProgramStatus& status) { WriteText(ComposeStatus(status)); }

void StatusFile::WriteText(const std::string& body) {
  lastWrite_ = clock_.TickCount();
  lastBody_ = body;
  const std::string text = body + "updated=" + IsoDateTime(clock_.Now()) + "\n";
  std::filesystem::path temporary = file_;
  temporary += ".tmp";
  std::error_code error;
  {
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
      error = errno != 0 ? std::error_code(errno, std::generic_category()) : std::make_error_code(std::errc::io_error);
    } else {
      out << text;
      out.close();
      if (!out) error = std::make_error_code(std::errc::io_error);
    }
  }
  if (!error) std::filesystem::rename(temporary, file_, error);
  if (!error) {
    failing_ = false;
    return;
  }
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  if (failing_) return;
  failing_ = true;
  if (report_) report_("status file " + file_.string() + " not written: " + error.message());
}

}  // namespace vorel
