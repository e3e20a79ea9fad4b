#include "serial/termios_settings.h"

#include <array>
#include <utility>

namespace vorel::termios_setup {

void StoreRaw(termios& t) {
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

bool StoreByteSize(termios& t, int bits) {
  tcflag_t size = 0;
  switch (bits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
  }
  t.c_cflag = (t.c_cflag & ~CSIZE) | size;
  return true;
}

bool StoreParity(termios& t, TParity parity) {
  tcflag_t flags = 0;
  switch (parity) {
    case ptNONE: flags = 0; break;
    case ptODD: flags = PARENB | PARODD; break;
    case ptEVEN: flags = PARENB; break;
    case ptMARK: flags = PARENB | CMSPAR | PARODD; break;
    case ptSPACE: flags = PARENB | CMSPAR; break;
    default: return false;
  }
  t.c_cflag = (t.c_cflag & ~(PARENB | PARODD | CMSPAR)) | flags;
  // Received bytes are passed as they are: no parity check marks, no stripping.
  t.c_iflag &= ~(INPCK | PARMRK | ISTRIP);
  return true;
}

bool StoreStopBits(termios& t, TStopBits stopBits) {
  switch (stopBits) {
    case sb1BITS: t.c_cflag &= ~CSTOPB; return true;
    case sb1HALFBITS:
    case sb2BITS: t.c_cflag |= CSTOPB; return true;
  }
  return false;
}

bool StoreFlowControl(termios& t, THwFlowControl hw, TSwFlowControl sw, char xonChar, char xoffChar) {
  switch (hw) {
    case hfNONE:
    case hfNONERTSON:
    case hfRTSTOG: t.c_cflag &= ~CRTSCTS; break;
    case hfRTSCTS: t.c_cflag |= CRTSCTS; break;
    default: return false;
  }
  switch (sw) {
    case sfNONE: t.c_iflag &= ~(IXON | IXOFF | IXANY); break;
    case sfXONXOFF:
      t.c_iflag = (t.c_iflag & ~IXANY) | IXON | IXOFF;
      t.c_cc[VSTART] = static_cast<cc_t>(xonChar);
      t.c_cc[VSTOP] = static_cast<cc_t>(xoffChar);
      break;
    default: return false;
  }
  return true;
}

std::optional<speed_t> StandardSpeed(std::uint32_t bitsPerSecond) {
  static constexpr std::array<std::pair<std::uint32_t, speed_t>, 30> kSpeeds = {{
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  }};
  for (const auto& [number, constant] : kSpeeds) {
    if (number == bitsPerSecond) return constant;
  }
  return std::nullopt;
}

bool StoreSpeed(termios& t, std::uint32_t bitsPerSecond) {
  const auto speed = StandardSpeed(bitsPerSecond);
  if (!speed) return false;
  cfsetospeed(&t, *speed);
  cfsetispeed(&t, *speed);
  // A rate set earlier through the arbitrary-rate interface leaves its marker
  // in the input-speed bits, and the kernel would keep the old input rate.
  // Zero there means "input as output".
  t.c_cflag &= ~CIBAUD;
  return true;
}

StoreResult StoreSettings(termios& t, const DeviceSettings& settings) {
  StoreRaw(t);
  if (settings.baudRate == 0 || !StoreByteSize(t, settings.byteSize) || !StoreParity(t, settings.parity) ||
      !StoreStopBits(t, settings.stopBits) ||
      !StoreFlowControl(t, settings.hwFlow, settings.swFlow, settings.xonChar, settings.xoffChar)) {
    return StoreResult::Invalid;
  }
  return StoreSpeed(t, settings.baudRate) ? StoreResult::Ok : StoreResult::NeedsArbitraryRate;
}

}  // namespace vorel::termios_setup
