// Records what a socket client tells its owner, in order, as short lines:
// "connected", "disconnected", "read <n>", "available <n>",
// "error <code> <text>". The sockets of the error reports are kept apart,
// since a real socket's number is not known in advance.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "p7/SimpleTCP.h"

namespace vorel::test {

struct ClientLog {
  std::vector<std::string> lines;
  std::vector<TSocket> errorSockets;
  std::vector<std::vector<std::uint8_t>> reads;  // the bytes of each OnRead

  void Attach(TSimpleTCPClient& client) {
    client.OnConnected = [this](QObject*) { lines.push_back("connected"); };
    client.OnDisconnected = [this](QObject*) { lines.push_back("disconnected"); };
    client.OnRead = [this](QObject*, TMemoryStream* stream) { Read(*stream); };
    client.OnError = [this](QObject*, std::int32_t socket, std::int32_t code, const std::string& text) {
      errorSockets.push_back(socket);
      lines.push_back("error " + std::to_string(code) + " " + text);
    };
  }

  void Read(TMemoryStream& stream) {
    // The stream comes positioned at its start.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stream.Size()));
    const auto n = stream.Read(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(n));
    reads.push_back(bytes);
    lines.push_back("read " + std::to_string(n));
  }

  std::size_t Count(const std::string& line) const {
    std::size_t n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
  }
};

}  // namespace vorel::test
