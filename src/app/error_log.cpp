#include "app/error_log.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "base/cp1251.h"

namespace vorel {

void LogError(int code, const std::filesystem::path& file) {
  // Probe: a file that cannot be read is made anew, otherwise appended to.
  const bool exists = std::ifstream(file, std::ios::binary).is_open();
  std::ofstream out(file, std::ios::binary | (exists ? std::ios::app : std::ios::trunc));
  if (!out.is_open())
    throw std::runtime_error("Cannot open file \"" + file.string() + "\". " + std::strerror(errno));
  out << Utf8ToCp1251("ошибка №") << code << "\r\n";
  out.close();
  if (out.fail()) throw std::runtime_error("Cannot write to file \"" + file.string() + "\"");
}

}  // namespace vorel
