// The line-setting texts of a port section as choices for the serial
// component, compared exactly. A text that is not listed leaves that setting
// at the serial component's default.
#pragma once

#include <optional>

#include "config/settings.h"
#include "serial/serial_types.h"

namespace vorel {

struct LineSettingsChoice {
  std::optional<TBaudRate> baudRate;  // "110" ... "256000"
  std::optional<TDataBits> dataBits;  // "5" ... "8"
  TParity parity = ptNONE;            // only "N" is known, and anything else gives no parity too
  TStopBits stopBits = sb1BITS;       // "2" gives two, anything else one
};

LineSettingsChoice ParseLineSettings(const PortSettings& port);

}  // namespace vorel
