// Line settings and options of the serial component. The ordinals are stored
// in files and passed between components; keep them.
#pragma once

#include <cstdint>
#include <optional>

namespace vorel {

enum TPortNumber : std::uint8_t {
  pnCustom = 0, pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8,
  pnCOM9, pnCOM10, pnCOM11, pnCOM12, pnCOM13, pnCOM14, pnCOM15, pnCOM16
};

enum TBaudRate : std::uint8_t {
  brCustom = 0, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000
};

enum TDataBits : std::uint8_t { db5BITS = 0, db6BITS, db7BITS, db8BITS };
enum TStopBits : std::uint8_t { sb1BITS = 0, sb1HALFBITS, sb2BITS };
enum TParity : std::uint8_t { ptNONE = 0, ptODD, ptEVEN, ptMARK, ptSPACE };
enum THwFlowControl : std::uint8_t { hfNONE = 0, hfNONERTSON, hfRTSCTS, hfRTSTOG };
enum TSwFlowControl : std::uint8_t { sfNONE = 0, sfXONXOFF };
enum TPacketMode : std::uint8_t { pmDiscard = 0, pmPass };

// Bits per second of a named rate; 0 for brCustom.
std::uint32_t BaudRateNumber(TBaudRate rate);

// The named rate for a number of bits per second, if there is one.
std::optional<TBaudRate> BaudRateFromNumber(std::uint32_t bitsPerSecond);

// Modem input lines as read from the device.
struct TLineStatus {
  bool cts = false;   // clear to send
  bool dsr = false;   // data set ready
  bool ring = false;  // ring indicator
  bool rlsd = false;  // carrier detect
  bool Empty() const { return !cts && !dsr && !ring && !rlsd; }
  bool operator==(const TLineStatus&) const = default;
};

}  // namespace vorel
