#include "p8/record_types.h"

#include <array>
#include <utility>

namespace vorel {
namespace {

constexpr std::array<std::pair<std::int32_t, std::string_view>, 15> kNames{{
    {rtPoll, "rtPoll"},
    {rtHello, "rtHello"},
    {rtAccept, "rtAccept"},
    {rtPing, "rtPing"},
    {rtAccessDenied, "rtAccessDenied"},
    {rtDisconnect, "rtDisconnect"},
    {rtClose, "rtClose"},
    {rtPingReply, "rtPingReply"},
    {rtVersion, "rtVersion"},
    {rtPortStatus, "rtPortStatus"},
    {rtFirstNumber, "rtFirstNumber"},
    {rtEventMain, "rtEventMain"},
    {rtEventMainAck, "rtEventMainAck"},
    {rtEventSecond, "rtEventSecond"},
    {rtEventSecondAck, "rtEventSecondAck"},
}};

}  // namespace

std::string_view RecordTypeName(std::int32_t recordType) {
  for (const auto& [type, name] : kNames)
    if (type == recordType) return name;
  return {};
}

std::optional<std::int32_t> RecordTypeByName(std::string_view name) {
  for (const auto& [type, typeName] : kNames)
    if (typeName == name) return type;
  return std::nullopt;
}

}  // namespace vorel
