#include "sim_command.h"

#include <functional>

namespace vorel::station {
namespace {

using Args = std::vector<std::string>;
using std::chrono::milliseconds;

ParsedCommand Error(std::string text) { return {std::nullopt, std::move(text)}; }
ParsedCommand Ok(Command command) { return {std::move(command), {}}; }

// Decimal digits only, no sign, within [low, high].
std::optional<long> Number(const std::string& text, long low, long high) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::string Range(long low, long high) { return std::to_string(low) + ".." + std::to_string(high); }

std::optional<std::string> Code(const std::string& text) {
  if (text.size() != 2 || !IsFieldChar(text[0]) || !IsFieldChar(text[1])) return std::nullopt;
  return text;
}

std::optional<char> Detail(const std::string& text) {
  if (text.size() != 1 || !IsFieldChar(text[0])) return std::nullopt;
  return text[0];
}

const char* const kAccountRule = "1 to 4 digits, or exactly 4 printable characters";

Outgoing MainEvent(const std::string& account, const std::string& code) {
  return {MainEventFrame(account, code), "event account=" + account + " code=" + code};
}

Outgoing SecondEvent(const std::string& account, char d1, char d2) {
  return {SecondPortFrame(account, d1, d2),
          "event2 account=" + account + " d1=" + std::string(1, d1) + " d2=" + std::string(1, d2)};
}

Command Send(std::vector<Outgoing> frames, milliseconds interval = milliseconds(0)) {
  Command c;
  c.kind = CommandKind::Send;
  c.frames = std::move(frames);
  c.interval = interval;
  return c;
}

Command Simple(CommandKind kind, milliseconds duration = milliseconds(0)) {
  Command c;
  c.kind = kind;
  c.duration = duration;
  return c;
}

// "[timeout MS]" at args[from..]; `fallback` when absent.
std::optional<milliseconds> OptionalTimeout(const Args& args, std::size_t from, milliseconds fallback,
                                            std::string& error) {
  if (args.size() == from) return fallback;
  if (args.size() == from + 2 && args[from] == "timeout") {
    if (const auto ms = Number(args[from + 1], 1, kMaxMilliseconds)) return milliseconds(*ms);
    error = "timeout: milliseconds " + Range(1, kMaxMilliseconds);
    return std::nullopt;
  }
  error = "expected nothing more or 'timeout MS'";
  return std::nullopt;
}

ParsedCommand ParseEvent(const Args& a) {
  if (a.size() != 2) return Error("usage: event ACCOUNT CODE");
  const auto account = AccountField(a[0]);
  if (!account) return Error(std::string("account: ") + kAccountRule);
  const auto code = Code(a[1]);
  if (!code) return Error("code: exactly 2 printable characters");
  return Ok(Send({MainEvent(*account, *code)}));
}

ParsedCommand ParseEvent2(const Args& a) {
  if (a.size() != 3) return Error("usage: event2 ACCOUNT D1 D2");
  const auto account = AccountField(a[0]);
  if (!account) return Error(std::string("account: ") + kAccountRule);
  const auto d1 = Detail(a[1]);
  const auto d2 = Detail(a[2]);
  if (!d1 || !d2) return Error("D1, D2: one printable character each");
  return Ok(Send({SecondEvent(*account, *d1, *d2)}));
}

ParsedCommand ParseOkay(const Args& a) {
  if (!a.empty()) return Error("usage: okay");
  return Ok(Send({{KeepAliveFrame(), "okay"}}));
}

ParsedCommand ParseRestart(const Args& a) {
  if (!a.empty()) return Error("usage: restart");
  return Ok(Send({{RestartFrame(), "restart"}}));
}

ParsedCommand ParseRaw(const Args& a) {
  if (a.empty()) return Error("usage: raw HEX...");
  Bytes bytes;
  for (const std::string& word : a) {
    const auto part = DecodeHex(word);
    if (!part) return Error("raw: '" + word + "' is not hexadecimal bytes (two digits each)");
    bytes.insert(bytes.end(), part->begin(), part->end());
  }
  std::string description = "raw hex=" + HexText(bytes);
  return Ok(Send({{std::move(bytes), std::move(description)}}));
}

ParsedCommand ParseText(const Args& a) {
  if (a.size() != 1) return Error("usage: text \"TEXT\" (quote text with blanks)");
  std::string error;
  auto bytes = DecodeEscapes(a[0], error);
  if (!bytes) return Error("text: " + error);
  if (bytes->empty()) return Error("text: nothing to send");
  std::string description = "text hex=" + HexText(*bytes);
  return Ok(Send({{std::move(*bytes), std::move(description)}}));
}

ParsedCommand ParseBurst(const Args& a) {
  if (a.size() != 3) return Error("usage: burst N ACCOUNT_START CODE");
  const auto n = Number(a[0], 1, kMaxAccountNumber);
  if (!n) return Error("burst: N " + Range(1, kMaxAccountNumber));
  const auto first = Number(a[1], 1, kMaxAccountNumber);
  if (!first || a[1].size() > 4) return Error("burst: ACCOUNT_START, a number " + Range(1, kMaxAccountNumber));
  if (*first + *n - 1 > kMaxAccountNumber) return Error("burst: the accounts would pass 9999");
  const auto code = Code(a[2]);
  if (!code) return Error("code: exactly 2 printable characters");
  Bytes all;
  for (long i = 0; i < *n; ++i) {
    const Bytes one = MainEventFrame(NumberedAccount(static_cast<int>(*first + i)), *code);
    all.insert(all.end(), one.begin(), one.end());
  }
  std::string description = "burst count=" + std::to_string(*n) + " first=" +
                            NumberedAccount(static_cast<int>(*first)) +
                            " last=" + NumberedAccount(static_cast<int>(*first + *n - 1)) + " code=" + *code;
  return Ok(Send({{std::move(all), std::move(description)}}));
}

ParsedCommand ParseStream(const Args& a) {
  if (a.size() < 2 || a.size() > 3) return Error("usage: stream N INTERVAL_MS [FIRST]");
  const auto n = Number(a[0], 1, kMaxAccountNumber);
  if (!n) return Error("N: " + Range(1, kMaxAccountNumber));
  const auto interval = Number(a[1], 0, kMaxMilliseconds);
  if (!interval) return Error("INTERVAL_MS: " + Range(0, kMaxMilliseconds));
  const auto first = a.size() == 3 ? Number(a[2], 1, kMaxAccountNumber) : std::optional<long>(1);
  if (!first || (a.size() == 3 && a[2].size() > 4)) return Error("FIRST: a number " + Range(1, kMaxAccountNumber));
  if (*first + *n - 1 > kMaxAccountNumber) return Error("stream: the accounts would pass 9999");
  std::vector<Outgoing> frames;
  const std::string seqTail = "/" + std::to_string(*n);
  for (long i = 0; i < *n; ++i) {
    frames.push_back(MainEvent(NumberedAccount(static_cast<int>(*first + i)), "E1"));
    frames.back().description += " seq=" + std::to_string(i + 1) + seqTail;
  }
  Command c = Send(std::move(frames), milliseconds(*interval));
  c.resend = kStationResend;
  return Ok(std::move(c));
}

ParsedCommand ParseNumbered(const Args& a, bool secondPort) {
  const std::string usage = secondPort ? "usage: numbered2 N INTERVAL_MS [D1 D2]" : "usage: numbered N INTERVAL_MS [CODE]";
  if (a.size() < 2 || a.size() > (secondPort ? 4u : 3u) || (secondPort && a.size() == 3)) return Error(usage);
  const auto n = Number(a[0], 1, kMaxAccountNumber);
  if (!n) return Error("N: " + Range(1, kMaxAccountNumber));
  const auto interval = Number(a[1], 0, kMaxMilliseconds);
  if (!interval) return Error("INTERVAL_MS: " + Range(0, kMaxMilliseconds));
  std::vector<Outgoing> frames;
  const std::string seqTail = "/" + std::to_string(*n);
  if (secondPort) {
    const auto d1 = Detail(a.size() == 4 ? a[2] : "0");
    const auto d2 = Detail(a.size() == 4 ? a[3] : "0");
    if (!d1 || !d2) return Error("D1, D2: one printable character each");
    for (long i = 1; i <= *n; ++i) {
      frames.push_back(SecondEvent(NumberedAccount(static_cast<int>(i)), *d1, *d2));
      frames.back().description += " seq=" + std::to_string(i) + seqTail;
    }
  } else {
    const auto code = Code(a.size() == 3 ? a[2] : "E1");
    if (!code) return Error("code: exactly 2 printable characters");
    for (long i = 1; i <= *n; ++i) {
      frames.push_back(MainEvent(NumberedAccount(static_cast<int>(i)), *code));
      frames.back().description += " seq=" + std::to_string(i) + seqTail;
    }
  }
  return Ok(Send(std::move(frames), milliseconds(*interval)));
}

ParsedCommand ParseWait(const Args& a) {
  if (a.size() != 1) return Error("usage: wait MS");
  const auto ms = Number(a[0], 0, kMaxMilliseconds);
  if (!ms) return Error("wait: milliseconds " + Range(0, kMaxMilliseconds));
  return Ok(Simple(CommandKind::Wait, milliseconds(*ms)));
}

ParsedCommand ParseExpectAck(const Args& a) {
  if (a.empty()) return Error("usage: expect-ack [+]N [timeout MS]");
  const bool relative = !a[0].empty() && a[0][0] == '+';
  const auto n = Number(relative ? a[0].substr(1) : a[0], relative ? 1 : 0, kMaxExpectedAcks);
  if (!n) return Error("expect-ack: N or +N, " + Range(relative ? 1 : 0, kMaxExpectedAcks));
  std::string error;
  const auto timeout = OptionalTimeout(a, 1, kDefaultAckTimeout, error);
  if (!timeout) return Error("expect-ack: " + error);
  Command c = Simple(CommandKind::ExpectAck, *timeout);
  c.count = *n;
  c.relative = relative;
  return Ok(std::move(c));
}

ParsedCommand ParseExpectNoAck(const Args& a) {
  if (a.size() != 1) return Error("usage: expect-no-ack MS");
  const auto ms = Number(a[0], 1, kMaxMilliseconds);
  if (!ms) return Error("expect-no-ack: milliseconds " + Range(1, kMaxMilliseconds));
  return Ok(Simple(CommandKind::ExpectNoAck, milliseconds(*ms)));
}

ParsedCommand ParseWaitDriver(const Args& a, CommandKind kind, const char* name) {
  std::string error;
  const auto timeout = OptionalTimeout(a, 0, kDefaultOpenTimeout, error);
  if (!timeout) return Error(std::string(name) + ": " + error);
  return Ok(Simple(kind, *timeout));
}

ParsedCommand ParseBare(const Args& a, CommandKind kind, const char* name) {
  if (!a.empty()) return Error(std::string("usage: ") + name);
  return Ok(Simple(kind));
}

struct Entry {
  std::string_view name;
  std::function<ParsedCommand(const Args&)> parse;
};

const std::vector<Entry>& Table() {
  static const std::vector<Entry> table{
      {"event", ParseEvent},
      {"event2", ParseEvent2},
      {"okay", ParseOkay},
      {"restart", ParseRestart},
      {"raw", ParseRaw},
      {"text", ParseText},
      {"burst", ParseBurst},
      {"numbered", [](const Args& a) { return ParseNumbered(a, false); }},
      {"numbered2", [](const Args& a) { return ParseNumbered(a, true); }},
      {"stream", ParseStream},
      {"wait", ParseWait},
      {"expect-ack", ParseExpectAck},
      {"expect-no-ack", ParseExpectNoAck},
      {"wait-open", [](const Args& a) { return ParseWaitDriver(a, CommandKind::WaitOpen, "wait-open"); }},
      {"wait-close", [](const Args& a) { return ParseWaitDriver(a, CommandKind::WaitClose, "wait-close"); }},
      {"close", [](const Args& a) { return ParseBare(a, CommandKind::Close, "close"); }},
      {"reopen", [](const Args& a) { return ParseBare(a, CommandKind::Reopen, "reopen"); }},
      {"hold", [](const Args& a) { return ParseBare(a, CommandKind::Hold, "hold"); }},
  };
  return table;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::optional<std::vector<std::string>> Tokenize(std::string_view text, std::string& error) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      word += c;
      word += text[++i];
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;  // "" is an empty word
    } else if (!quoted && IsBlank(c)) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) {
    error = "unterminated quote";
    return std::nullopt;
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::vector<std::string> SplitCommands(std::string_view line) {
  std::vector<std::string> pieces;
  std::string piece;
  bool quoted = false;
  const auto flush = [&] {
    std::size_t b = 0;
    std::size_t e = piece.size();
    while (b < e && IsBlank(piece[b])) ++b;
    while (e > b && IsBlank(piece[e - 1])) --e;
    if (e > b) pieces.push_back(piece.substr(b, e - b));
    piece.clear();
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      piece += c;
      piece += line[++i];
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '#') break;
    if (!quoted && c == ';') {
      flush();
      continue;
    }
    piece += c;
  }
  flush();
  return pieces;
}

ParsedCommand ParseCommand(std::string_view text) {
  std::string error;
  const auto words = Tokenize(text, error);
  if (!words) return Error(error);
  if (words->empty()) return {};
  const std::string& name = words->front();
  const Args args(words->begin() + 1, words->end());
  for (const Entry& entry : Table()) {
    if (entry.name == name) return entry.parse(args);
  }
  return Error("unknown command '" + name + "'");
}

}  // namespace vorel::station
