// Line settings as a terminal-device configuration. Pure functions that only
// change a termios structure, so every mapping can be checked without a
// device. The device layer reads the current structure, stores the settings
// into it and writes it back.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "serial/serial_device.h"
#include "serial/serial_types.h"

namespace vorel::termios_setup {

// Raw bytes both ways (no echo, no line editing, no CR/LF translation, no
// signals), receiver on, modem control lines ignored, and reads that return at
// once with whatever is there (VMIN 0, VTIME 0).
void StoreRaw(termios& t);

// 5..8 data bits; false otherwise.
bool StoreByteSize(termios& t, int bits);

// Mark and space parity use the sticky-parity bit CMSPAR.
bool StoreParity(termios& t, TParity parity);

// One and a half stop bits has no flag of its own: CSTOPB gives 1.5 stop bits
// with 5 data bits on the usual UARTs and 2 otherwise.
bool StoreStopBits(termios& t, TStopBits stopBits);

// hfRTSCTS maps to CRTSCTS; XON/XOFF to IXON|IXOFF with the given characters.
// The other hardware modes have no termios flag (RTS is set as a modem line).
bool StoreFlowControl(termios& t, THwFlowControl hw, TSwFlowControl sw, char xonChar, char xoffChar);

// The B-constant of a rate that termios can name, if it has one.
std::optional<speed_t> StandardSpeed(std::uint32_t bitsPerSecond);

// Input and output speed. False when termios has no constant for the rate: the
// caller then sets it through the arbitrary-rate interface (arbitrary_baud.h).
bool StoreSpeed(termios& t, std::uint32_t bitsPerSecond);

enum class StoreResult { Ok, NeedsArbitraryRate, Invalid };

// Everything of DeviceSettings that termios holds. Invalid when a value is out
// of range (a byte size outside 5..8, a rate of 0, an unknown ordinal); t is
// then unspecified.
StoreResult StoreSettings(termios& t, const DeviceSettings& settings);

}  // namespace vorel::termios_setup
