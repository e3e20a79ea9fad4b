#include "base/cp1251.h"

#include <array>
#include <cstdint>

namespace vorel {
namespace {

// Code points of the bytes 0x80..0xFF; 0 marks the one byte (0x98) that has no
// character.
constexpr std::array<char16_t, 128> kUpperHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence at i; returns false (and advances by one byte)
// when the bytes there are not a valid sequence.
bool NextCodePoint(std::string_view s, std::size_t& i, char32_t& cp) {
  const auto b0 = static_cast<std::uint8_t>(s[i]);
  int len = 0;
  char32_t min = 0;
  if (b0 < 0x80) {
    cp = b0;
    ++i;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++i;
    return false;
  }
  if (s.size() - i < static_cast<std::size_t>(len)) {
    ++i;
    return false;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<std::uint8_t>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return false;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return false;
  }
  i += len;
  return true;
}

}  // namespace

std::string Utf8ToCp1251(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    if (!NextCodePoint(utf8, i, cp)) {
      out += '?';
      continue;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      continue;
    }
    char byte = '?';
    for (std::size_t k = 0; k < kUpperHalf.size(); ++k) {
      if (kUpperHalf[k] != 0 && kUpperHalf[k] == cp) {
        byte = static_cast<char>(0x80 + k);
        break;
      }
    }
    out += byte;
  }
  return out;
}

std::string Cp1251ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if (b < 0x80) {
      out += c;
    } else {
      const char16_t cp = kUpperHalf[b - 0x80];
      AppendUtf8(out, cp != 0 ? cp : U'\uFFFD');
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp = 0;
    if (!NextCodePoint(bytes, i, cp)) return false;
  }
  return true;
}

std::string DecodeText8(std::string_view bytes) {
  return IsValidUtf8(bytes) ? std::string(bytes) : Cp1251ToUtf8(bytes);
}

}  // namespace vorel
