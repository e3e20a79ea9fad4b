// The driver's settings, read once at start-up from "vorel.ini" in the
// current directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/datetime.h"
#include "base/port_id.h"

namespace vorel {

inline constexpr char kIniFileName[] = "vorel.ini";
// The port name that means "no port configured" (compared with case).
inline constexpr char kNoPortName[] = "COM255";

// Sections "port" (main port) and "portUSB" (second port). The line settings
// stay texts: they are applied to the serial component at start-up.
struct PortSettings {
  std::string ComPort = kNoPortName;
  std::string BaudRate = "9600";
  std::string DataBits = "8";
  std::string Parity = "N";
  std::string StopBits = "1";
  bool DTR = false;
  // CutAtFrameEnd: a packet is handed over as soon as its bytes end with a
  // whole frame instead of 200 ms after its first byte (incomplete bytes
  // still wait for the 200 ms or the 256 bytes). Off by default.
  bool CutAtFrameEnd = false;

  bool operator==(const PortSettings&) const = default;
};

// The most spool files a link replays per tick (SoobPerTick is cut to it).
inline constexpr std::int32_t kMaxSoobPerTick = 1000;

struct Settings {
  PortSettings port;
  PortSettings portUSB;
  // Section "main".
  std::int32_t n_abs = -1;
  bool Log = true;
  bool OKAY = true;
  bool SendMivo7 = false;
  bool SendMivo8 = true;
  bool NotSendToDiskMivo8 = false;
  std::int32_t FirstNumber = 31;
  std::string PathForSoob;
  // How many spool files each link may replay per 200-ms tick. 1, the
  // default, is the steady pace: one file per tick, and on protocol 8 one
  // every 3 s while its files go unacknowledged. More lets a backlog go as
  // fast as the links take it, up to that many files on their way at once.
  std::int32_t SoobPerTick = 1;
  TDateTime Attention = 10.0 / (24 * 60);  // "00:10:00"
  std::string host = "localhost";

  const PortSettings& Port(PortId id) const { return id == PortId::Main ? port : portUSB; }
  bool operator==(const Settings&) const = default;
};

// Section "ServerHost", read by the protocol-8 link before each attempt.
struct ServerAddress {
  std::string Address = "127.0.0.1";
  std::int32_t Port = 12543;

  bool operator==(const ServerAddress&) const = default;
};

// Reads the keys in their fixed order into `settings`, each key as it comes:
// a bad "Attention" raises its error with the keys before it already set and
// "host" not read.
void LoadSettings(const std::filesystem::path& file, Settings& settings);

ServerAddress ReadServerAddress(const std::filesystem::path& file);

// Writes ComPort of the port's section (the name in UTF-8, stored as
// Windows-1251) with WriteIniValue; raises "Unable to write to <path>".
void SavePortName(const std::filesystem::path& file, PortId port, std::string_view name);

const char* SectionName(PortId port);

}  // namespace vorel
