#include "app/program_status.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
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
    case LinkState::Connecting: return "connecting";
    case LinkState::Off: break;
  }
  return "off";
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

// Writes a temporary file, then gives it the file's name.
std::error_code ReplaceFile(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::path temporary = file;
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
  if (!error) std::filesystem::rename(temporary, file, error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
  }
  return error;
}

// A label value with \, " and line ends escaped.
std::string LabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

class Metrics {
 public:
  // A metric's HELP and TYPE lines, before its samples.
  void Begin(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const char* name, const std::string& labels, const std::string& value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + value + "\n";
  }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

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

std::string ComposeMetrics(const ProgramStatus& s, TDateTime now) {
  Metrics m;
  m.Begin("vorel_up", "gauge", "1 while the driver runs, 0 once it has ended.");
  m.Sample("vorel_up", "", s.running ? "1" : "0");
  const auto ports = [&s](const auto& each) {
    each("main", s.main);
    each("second", s.second);
  };
  if (s.running) {
    m.Begin("vorel_port_open", "gauge", "Whether the serial port is open; name is its current name.");
    ports([&m](const char* port, const SerialPortStatus& p) {
      m.Sample("vorel_port_open", std::string("port=\"") + port + "\",name=\"" + LabelValue(p.name) + "\"",
               p.open ? "1" : "0");
    });
    m.Begin("vorel_station_link_up", "gauge", "Whether the station link of the port is up (not silent too long).");
    ports([&m](const char* port, const SerialPortStatus& p) {
      m.Sample("vorel_station_link_up", std::string("port=\"") + port + "\"", p.stationLinkUp ? "1" : "0");
    });
    const std::pair<const char*, LinkState> links[] = {{"7", s.protocol7}, {"8", s.protocol8}};
    m.Begin("vorel_server_link_enabled", "gauge", "Whether the link to the server of the protocol is switched on.");
    for (const auto& [protocol, state] : links)
      m.Sample("vorel_server_link_enabled", std::string("protocol=\"") + protocol + "\"",
               state == LinkState::Off ? "0" : "1");
    m.Begin("vorel_server_link_up", "gauge",
            "Whether the link to the server of the protocol is up: connected, and on protocol 8 answered (links "
            "that are on).");
    for (const auto& [protocol, state] : links) {
      if (state != LinkState::Off)
        m.Sample("vorel_server_link_up", std::string("protocol=\"") + protocol + "\"", state == LinkState::Up ? "1" : "0");
    }
    m.Begin("vorel_server_link_connecting", "gauge",
            "Whether a connection attempt to the server of the protocol is under way (links that are on).");
    for (const auto& [protocol, state] : links) {
      if (state != LinkState::Off)
        m.Sample("vorel_server_link_connecting", std::string("protocol=\"") + protocol + "\"",
                 state == LinkState::Connecting ? "1" : "0");
    }
  }
  m.Begin("vorel_last_frame_age_seconds", "gauge", "Seconds since the port's last frame (ports that had one).");
  ports([&m, now](const char* port, const SerialPortStatus& p) {
    if (p.lastFrame)
      m.Sample("vorel_last_frame_age_seconds", std::string("port=\"") + port + "\"",
               Number((now - *p.lastFrame) * 86400.0));
  });
  m.Begin("vorel_spool_files", "gauge", "Spool files waiting: ddm for protocol 7, dd8 for protocol 8.");
  m.Sample("vorel_spool_files", "kind=\"ddm\"", std::to_string(s.ddmFiles));
  m.Sample("vorel_spool_files", "kind=\"dd8\"", std::to_string(s.dd8Files));
  m.Begin("vorel_spool_oldest_age_seconds", "gauge",
          "Seconds since the spool file the replay takes next (the oldest by name) was written.");
  if (s.ddmOldestAge) m.Sample("vorel_spool_oldest_age_seconds", "kind=\"ddm\"", Number(*s.ddmOldestAge));
  if (s.dd8OldestAge) m.Sample("vorel_spool_oldest_age_seconds", "kind=\"dd8\"", Number(*s.dd8OldestAge));
  const auto counter = [&m](const char* name, const char* help, std::uint64_t value) {
    m.Begin(name, "counter", help);
    m.Sample(name, "", std::to_string(value));
  };
  m.Begin("vorel_alarms_received_total", "counter",
          "Alarm frames (with an account) since the start; on the main port each is acknowledged, not "
          "acknowledged or awaiting its acknowledgement.");
  m.Sample("vorel_alarms_received_total", "port=\"main\"", std::to_string(s.alarms.received));
  m.Sample("vorel_alarms_received_total", "port=\"second\"", std::to_string(s.alarms.receivedSecond));
  counter("vorel_alarms_acknowledged_total", "Alarms of the main port the station got the ACK for.",
          s.alarms.acknowledged);
  counter("vorel_alarms_not_acknowledged_total",
          "Alarms of the main port without an ACK (nothing kept them, or the port closed first); the station "
          "sends them again.",
          s.alarms.notAcknowledged);
  m.Begin("vorel_alarms_awaiting_ack", "gauge",
          "Alarms of the main port whose ACK waits for a server's answer or for an earlier frame's.");
  m.Sample("vorel_alarms_awaiting_ack", "", std::to_string(s.alarms.awaitingAck));
  counter("vorel_alarms_not_kept_total",
          "Copies of events for an output that were neither delivered, nor on their way, nor spooled.",
          s.alarms.notKept);
  counter("vorel_alarms_dropped_total",
          "Protocol-8 copies of events dropped by NotSendToDiskMivo8 while the link could not take them "
          "(the station was acknowledged all the same).",
          s.alarms.dropped);
  m.Begin("vorel_delivered_total", "counter",
          "Events (on protocol 7 also station-link reports) their server has: acknowledged by its TCP "
          "(protocol 7) or answered (protocol 8).");
  m.Sample("vorel_delivered_total", "protocol=\"7\"", std::to_string(s.alarms.deliveredProtocol7));
  m.Sample("vorel_delivered_total", "protocol=\"8\"", std::to_string(s.alarms.deliveredProtocol8));
  return m.Text();
}

std::optional<double> SpoolFileAge(const std::optional<std::string>& file) {
  if (!file) return std::nullopt;
  std::error_code error;
  const auto written = std::filesystem::last_write_time(*file, error);
  if (error) return std::nullopt;
  const std::chrono::duration<double> age = std::filesystem::file_time_type::clock::now() - written;
  return std::max(0.0, age.count());
}

StatusFile::StatusFile(std::filesystem::path file, IClock& clock, std::function<void(const std::string&)> report)
    : file_(std::move(file)), clock_(clock), report_(std::move(report)) {}

void StatusFile::Tick(const std::function<ProgramStatus()>& look) {
  const std::uint32_t now = clock_.TickCount();
  if (looked_ && now - lastLook_ < kLookEveryMs) return;
  looked_ = true;
  lastLook_ = now;
  const ProgramStatus status = look();
  const std::string body = ComposeStatus(status);
  if (body == lastBody_ && now - lastWrite_ < kRewriteEveryMs) return;
  WriteText(body, status);
}

void StatusFile::Write(const ProgramStatus& status) { WriteText(ComposeStatus(status), status); }

void StatusFile::WriteText(const std::string& body, const ProgramStatus& status) {
  lastWrite_ = clock_.TickCount();
  lastBody_ = body;
  const std::string text = body + "updated=" + IsoDateTime(clock_.Now()) + "\n";
  std::error_code error = ReplaceFile(file_, text);
  if (!error) error = ReplaceFile(file_.parent_path() / kMetricsFileName, ComposeMetrics(status, clock_.Now()));
  if (!error) {
    failing_ = false;
    return;
  }
  if (failing_) return;
  failing_ = true;
  if (report_) report_("status file " + file_.string() + " not written: " + error.message());
}

}  // namespace vorel
