#include "config/line_settings.h"

#include <array>
#include <string_view>
#include <utility>

namespace vorel {
namespace {

constexpr std::array<std::pair<std::string_view, TBaudRate>, 15> kBaudRates = {{
    {"110", br110}, {"300", br300}, {"600", br600}, {"1200", br1200}, {"2400", br2400},
    {"4800", br4800}, {"9600", br9600}, {"14400", br14400}, {"19200", br19200}, {"38400", br38400},
    {"56000", br56000}, {"57600", br57600}, {"115200", br115200}, {"128000", br128000}, {"256000", br256000},
}};

constexpr std::array<std::pair<std::string_view, TDataBits>, 4> kDataBits = {{
    {"5", db5BITS}, {"6", db6BITS}, {"7", db7BITS}, {"8", db8BITS},
}};

template <class T, std::size_t N>
std::optional<T> Lookup(const std::array<std::pair<std::string_view, T>, N>& table, std::string_view text) {
  for (const auto& [name, value] : table)
    if (name == text) return value;
  return std::nullopt;
}

}  // namespace

LineSettingsChoice ParseLineSettings(const PortSettings& port) {
  LineSettingsChoice choice;
  choice.baudRate = Lookup(kBaudRates, port.BaudRate);
  choice.dataBits = Lookup(kDataBits, port.DataBits);
  // The station software knew only "N"; every other parity text gave no parity as well.
  choice.parity = ptNONE;
  choice.stopBits = port.StopBits == "2" ? sb2BITS : sb1BITS;
  return choice;
}

}  // namespace vorel
