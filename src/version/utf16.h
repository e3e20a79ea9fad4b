// UTF-8 (the program's texts in memory) to and from UTF-16 (the texts of
// version blocks). Malformed input becomes U+FFFD; nothing throws.
#pragma once

#include <string>
#include <string_view>

namespace vorel {

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace vorel
