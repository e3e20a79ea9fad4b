#include "station/line_settings.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <utility>

namespace vorel {
namespace {

constexpr std::array<std::pair<std::string_view, TDataBits>, 4> kDataBits = {{
    {"5", db5BITS}, {"6", db6BITS}, {"7", db7BITS}, {"8", db8BITS},
}};

// Only the plain decimal text of a named rate: "019200", "+9600" or
// "9600 baud" name none.
std::optional<TBaudRate> BaudRateFromText(std::string_view text) {
  if (text.empty() || text.front() == '0') return std::nullopt;
  std::uint32_t number = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  if (error != std::errc() || stop != end) return std::nullopt;
  return BaudRateFromNumber(number);
}

std::optional<TDataBits> DataBitsFromText(std::string_view text) {
  for (const auto& [name, value] : kDataBits)
    if (name == text) return value;
  return std::nullopt;
}

}  // namespace

LineSettingsChoice ParseLineSettings(const PortSettings& port) {
  LineSettingsChoice choice;
  choice.baudRate = BaudRateFromText(port.BaudRate);
  choice.dataBits = DataBitsFromText(port.DataBits);
  // The station line has no parity; every parity text in the file gives none.
  choice.parity = ptNONE;
  choice.stopBits = port.StopBits == "2" ? sb2BITS : sb1BITS;
  return choice;
}

}  // namespace vorel
