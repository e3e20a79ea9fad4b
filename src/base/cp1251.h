// Texts of the program are UTF-8 in memory; every file the program writes
// holds them as Windows-1251 bytes, the code page of the monitoring
// software's machines that read the same files (vorel.ini, the logs, the
// spool files).
#pragma once

#include <string>
#include <string_view>

namespace vorel {

// Characters without a Windows-1251 byte become '?'; invalid UTF-8 bytes too.
std::string Utf8ToCp1251(std::string_view utf8);

std::string Cp1251ToUtf8(std::string_view bytes);

bool IsValidUtf8(std::string_view bytes);

// Reads an 8-bit text from a file that may have been written on a Windows
// machine (Windows-1251) or by a Linux editor (UTF-8): valid UTF-8 is taken
// as it is, anything else as Windows-1251.
std::string DecodeText8(std::string_view bytes);

}  // namespace vorel
