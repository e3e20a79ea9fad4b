#include "app/link_change_log.h"

namespace vorel {

std::vector<std::pair<Severity, std::string>> LinkChangeLog::Look(const StationStatus& now) {
  std::vector<std::pair<Severity, std::string>> lines;
  if (last_) {
    const auto station = [&lines](const char* which, const SerialPortStatus& before, const SerialPortStatus& after) {
      if (before.stationLinkUp == after.stationLinkUp) return;
      const std::string port = std::string(which) + " port " + after.name;
      if (after.stationLinkUp)
        lines.emplace_back(Severity::Info, "vorel: link: station link of the " + port + " restored\n");
      else
        lines.emplace_back(Severity::Warning, "vorel: link: station link of the " + port + " lost\n");
    };
    station("main", last_->main, now.main);
    station("second", last_->second, now.second);
    // An attempt is no news, nor is its failure: only a link established
    // or one that was up and is not.
    const auto server = [&lines](const char* protocol, LinkState before, LinkState after) {
      if (before == LinkState::Off || after == LinkState::Off) return;
      if (before != LinkState::Up && after == LinkState::Up)
        lines.emplace_back(Severity::Info, std::string("vorel: link: protocol-") + protocol + " server link up\n");
      else if (before == LinkState::Up && after != LinkState::Up)
        lines.emplace_back(Severity::Warning, std::string("vorel: link: protocol-") + protocol + " server link lost\n");
    };
    server("7", last_->protocol7, now.protocol7);
    server("8", last_->protocol8, now.protocol8);
  }
  last_ = now;
  return lines;
}

}  // namespace vorel
