#include "config/settings.h"

#include <algorithm>

#include "config/ini_file.h"

namespace vorel {
namespace {

void LoadPort(const IniFile& ini, const char* section, PortSettings& port) {
  const PortSettings defaults;
  port.ComPort = ReadText(ini, section, "ComPort", defaults.ComPort);
  port.BaudRate = ReadText(ini, section, "BaudRate", defaults.BaudRate);
  port.DataBits = ReadText(ini, section, "DataBits", defaults.DataBits);
  port.Parity = ReadText(ini, section, "Parity", defaults.Parity);
  port.StopBits = ReadText(ini, section, "StopBits", defaults.StopBits);
  port.DTR = ReadFlag(ini, section, "DTR", defaults.DTR);
  port.CutAtFrameEnd = ReadFlag(ini, section, "CutAtFrameEnd", defaults.CutAtFrameEnd);
}

}  // namespace

const char* SectionName(PortId port) { return port == PortId::Main ? "port" : "portUSB"; }

void LoadSettings(const std::filesystem::path& file, Settings& settings) {
  const IniFile ini = IniFile::Load(file);
  const Settings defaults;
  LoadPort(ini, SectionName(PortId::Main), settings.port);
  LoadPort(ini, SectionName(PortId::Second), settings.portUSB);
  const char* main = "main";
  settings.n_abs = ReadInteger(ini, main, "n_abs", defaults.n_abs);
  settings.Log = ReadFlag(ini, main, "Log", defaults.Log);
  settings.OKAY = ReadFlag(ini, main, "OKAY", defaults.OKAY);
  settings.SendMivo7 = ReadFlag(ini, main, "SendMivo7", defaults.SendMivo7);
  settings.SendMivo8 = ReadFlag(ini, main, "SendMivo8", defaults.SendMivo8);
  settings.NotSendToDiskMivo8 = ReadFlag(ini, main, "NotSendToDiskMivo8", defaults.NotSendToDiskMivo8);
  settings.FirstNumber = ReadInteger(ini, main, "FirstNumber", defaults.FirstNumber);
  settings.PathForSoob = ReadText(ini, main, "PathForSoob", defaults.PathForSoob);
  settings.SoobPerTick = std::clamp(ReadInteger(ini, main, "SoobPerTick", defaults.SoobPerTick), 1, kMaxSoobPerTick);
  // Raises for a value that is not a time; the keys after it keep what they had.
  settings.Attention = ReadTime(ini, main, "Attention", "00:10:00");
  settings.host = ReadText(ini, main, "host", defaults.host);
}

ServerAddress ReadServerAddress(const std::filesystem::path& file) {
  const IniFile ini = IniFile::Load(file);
  const ServerAddress defaults;
  ServerAddress address;
  address.Address = ReadText(ini, "ServerHost", "Address", defaults.Address);
  address.Port = ReadInteger(ini, "ServerHost", "Port", defaults.Port);
  return address;
}

void SavePortName(const std::filesystem::path& file, PortId port, std::string_view name) {
  WriteIniValue(file, SectionName(port), "ComPort", name);
}

}  // namespace vorel
