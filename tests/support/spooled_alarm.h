// A main-port alarm as an outage leaves it in the spool, for tests and
// benchmarks that start the driver on a backlog.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/bytes.h"
#include "p7/frame.h"
#include "p8/record_types.h"
#include "receiver/event_record.h"
#include "support/temp_dir.h"

namespace vorel::test {

// The alarm's .ddm frame and its .dd8 record, named as the driver names
// them, after `index`, so that a higher index sorts later (newer).
inline void WriteSpooledAlarm(const std::filesystem::path& spool, int index, std::int32_t account) {
  char stem[32];
  std::snprintf(stem, sizeof stem, "%X", 0x2DC00000u + static_cast<unsigned>(index) * 7u);
  EventRecord record{};
  record[event_record::kKind] = 3;
  record[event_record::kPortTag] = 31;
  PutLE<std::int32_t>(record, event_record::kAccount, account);
  const p7::Frame frame = p7::BuildEventFrame(record);
  WriteFile(spool / (std::string(stem) + "_-1.ddm"),
            std::string(reinterpret_cast<const char*>(frame.data()), frame.size()));
  Bytes dd8(4 + kMainEventPayloadSize, 0x30);
  PutLE<std::int32_t>(dd8, 0, rtEventMain);
  PutLE<std::int32_t>(dd8, 4, account);
  WriteFile(spool / (std::string(stem) + ".dd8"), std::string(reinterpret_cast<const char*>(dd8.data()), dd8.size()));
}

}  // namespace vorel::test
