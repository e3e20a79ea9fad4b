#include "p8/spool_replay.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "base/bytes.h"
#include "p8/link.h"
#include "p8/record_types.h"

namespace vorel {
namespace {

const std::string kPattern = ".dd8";

struct SpoolFile {
  std::int32_t recordType;
  Bytes payload;
};

std::optional<SpoolFile> ReadSpoolFile(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::path(path), ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || content.size() < 4) return std::nullopt;
  return SpoolFile{GetLE<std::int32_t>(content, 0), Bytes(content.begin() + 4, content.end())};
}

}  // namespace

std::vector<std::string> ListSpoolFiles8(const std::string& pathForSoob) {
  std::string::size_type slash = pathForSoob.find_last_of('/');
  std::string directory = slash == std::string::npos ? "." : pathForSoob.substr(0, slash + 1);
  std::string namePrefix = slash == std::string::npos ? pathForSoob : pathForSoob.substr(slash + 1);
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(directory, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.size() >= namePrefix.size() + kPattern.size() && name.starts_with(namePrefix) && name.ends_with(kPattern))
      names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

void SpoolReplay8::Step(cl& link, const std::string& pathForSoob, TDateTime now,
                        const std::function<void(const std::string&)>& addLogLine) {
  if (!link.LinkUp) return;
  std::vector<std::string> names = ListSpoolFiles8(pathForSoob);
  if (names.empty() || !link.Spool().ReplayDue(now)) return;
  std::string::size_type slash = pathForSoob.find_last_of('/');
  std::string directoryPart = slash == std::string::npos ? std::string() : pathForSoob.substr(0, slash + 1);
  for (const std::string& name : names) {
    // The full path as the acknowledgement will find it again.
    std::string path = directoryPart + name;
    if (passedOver_.contains(path)) continue;
    std::optional<SpoolFile> file = ReadSpoolFile(path);
    if (!file) {
      std::error_code ec;
      std::filesystem::rename(path, path + ".bad", ec);
      if (ec) {
        passedOver_.insert(path);
        addLogLine("Файл очереди " + path + " не читается и не переименован.");
      } else {
        addLogLine("Файл очереди " + path + " не читается - переименован в " + path + ".bad.");
      }
      continue;
    }
    // The slot and the time first: the acknowledgement may come back before
    // this function returns.
    link.Spool().Replayed(file->recordType == rtEventSecond ? SpoolSlot::Second : SpoolSlot::Main, path, now);
    link.EnqueueReplayed(file->recordType, file->payload);
    return;
  }
}

}  // namespace vorel
