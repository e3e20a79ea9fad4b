#include "station/station_ports.h"

#include "receiver/frame_ends.h"
#include "station/line_settings.h"

namespace vorel {

// How long DTR stays low after an open.
constexpr std::uint32_t kStartPulseMs = 300;

void ConfigureStationPort(TCommPortDriver& port) {
  port.SetPort(pnCustom);
  port.SetPortName(DeviceName("COM1"));
  port.SetPacketSize(256);
  port.SetPacketTimeout(200);
  port.SetPacketMode(pmPass);
  port.SetPollingDelay(5);
  port.SetOutputTimeout(200);
  port.SetInputTimeout(200);
}

void ApplyLineSettings(const PortSettings& settings, TCommPortDriver& port) {
  const LineSettingsChoice choice = ParseLineSettings(settings);
  if (choice.baudRate) port.SetBaudRate(*choice.baudRate);
  if (choice.dataBits) port.SetDataBits(*choice.dataBits);
  port.SetParity(choice.parity);
  port.SetStopBits(choice.stopBits);
}

void ApplyPacketCut(PortId id, const PortSettings& settings, TCommPortDriver& port) {
  if (!settings.CutAtFrameEnd) {
    port.SetPacketEndTest(nullptr);
    return;
  }
  const auto test = id == PortId::Main ? EndsWithMainFrame : EndsWithSecondFrames;
  port.SetPacketEndTest([test](const std::uint8_t* data, std::uint32_t size) { return test({data, size}); });
}

std::string DeviceName(const std::string& portName) { return "\\\\.\\" + portName; }

bool OpenWithStartPulse(TCommPortDriver& port, IScheduler& scheduler) {
  bool opened = false;
  try {
    opened = port.Open();
  } catch (...) {
    opened = false;  // an error while opening counts as a failure
  }
  if (!opened) return false;
  port.SetDTR(false);
  port.SetRTS(false);
  scheduler.After(kStartPulseMs, [&port] {
    if (port.IsOpen()) port.SetDTR(true);
  });
  return true;
}

bool OpenPortAtStartUp(TCommPortDriver& port, const PortSettings& settings, IScheduler& scheduler) {
  if (settings.ComPort == kNoPortName) return false;
  port.SetPortName(DeviceName(settings.ComPort));
  return OpenWithStartPulse(port, scheduler);
}

}  // namespace vorel
