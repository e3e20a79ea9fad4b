#include "station_frames.h"

#include <stdexcept>

namespace vorel::station {
namespace {

constexpr std::string_view kHeader = "011";  // receiver 01, line 1

bool AllFieldChars(std::string_view text) {
  for (char c : text) {
    if (!IsFieldChar(c)) return false;
  }
  return true;
}

void Append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool IsFieldChar(char c) { return c >= 0x21 && c <= 0x7E; }

Bytes MainEventFrame(std::string_view account, std::string_view code) {
  if (account.size() != 4 || !AllFieldChars(account)) {
    throw std::invalid_argument("main-port account must be 4 printable characters");
  }
  if (code.size() != 2 || !AllFieldChars(code)) {
    throw std::invalid_argument("event code must be 2 printable characters");
  }
  Bytes frame{kLf};
  Append(frame, kHeader);
  Append(frame, account);
  frame.push_back(' ');
  Append(frame, code);
  frame.push_back(kCr);
  return frame;
}

Bytes KeepAliveFrame() {
  Bytes frame{kLf};
  Append(frame, kHeader);
  Append(frame, "OKAY");
  frame.push_back(kCr);
  return frame;
}

Bytes RestartFrame() {
  Bytes frame{kLf};
  Append(frame, kHeader);
  Append(frame, "RSYN");
  frame.push_back(kCr);
  return frame;
}

Bytes SecondPortFrame(std::string_view account, char detail1, char detail2) {
  if (account.size() != 4 || !AllFieldChars(account)) {
    throw std::invalid_argument("second-port account must be 4 printable characters");
  }
  if (!IsFieldChar(detail1) || !IsFieldChar(detail2)) {
    throw std::invalid_argument("detail characters must be printable");
  }
  Bytes frame;
  Append(frame, kHeader);
  Append(frame, account);
  frame.push_back(' ');
  frame.push_back(static_cast<std::uint8_t>(detail1));
  frame.push_back(static_cast<std::uint8_t>(detail2));
  Append(frame, "   ");
  frame.push_back(kLf);
  frame.push_back(kCr);
  return frame;
}

std::optional<std::string> AccountField(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  bool digits = true;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (digits) return std::string(4 - text.size(), '0') + std::string(text);
  if (text.size() == 4 && AllFieldChars(text)) return std::string(text);
  return std::nullopt;
}

std::string NumberedAccount(int n) {
  if (n < 1 || n > kMaxAccountNumber) throw std::invalid_argument("account number out of 1..9999");
  const std::string digits = std::to_string(n);
  return std::string(4 - digits.size(), '0') + digits;
}

std::optional<Bytes> DecodeEscapes(std::string_view text, std::string& error) {
  Bytes out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\') {
      out.push_back(static_cast<std::uint8_t>(c));
      continue;
    }
    if (i + 1 >= text.size()) {
      error = "a lone backslash at the end";
      return std::nullopt;
    }
    const char e = text[++i];
    switch (e) {
      case 'n': out.push_back(kLf); break;
      case 'r': out.push_back(kCr); break;
      case 't': out.push_back(0x09); break;
      case '0': out.push_back(0x00); break;
      case '\\': out.push_back('\\'); break;
      case '"': out.push_back('"'); break;
      case 'x': {
        const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
          error = "\\x needs two hexadecimal digits";
          return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
        break;
      }
      default:
        error = std::string("unknown escape \\") + e;
        return std::nullopt;
    }
  }
  return out;
}

std::optional<Bytes> DecodeHex(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return out;
}

std::string HexText(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

}  // namespace vorel::station
