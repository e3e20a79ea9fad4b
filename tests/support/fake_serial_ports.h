// The machine's serial devices as tests see them: which names exist, which
// are held by another program, and a log of what the driver did to them.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/clock.h"
#include "serial/serial_device.h"

namespace vorel::test {

struct FakeSerialPorts {
  std::set<std::string> present;  // device names as the driver opens them ("\\.\COM3")
  std::set<std::string> held;     // present, but open in another program
  int openAttempts = 0;           // every Open, whatever came of it
  // What the driver did, in order: "open \\.\COM3", "DTR 0", "RTS 1", "close".
  // With a clock each entry starts with its tick: "@1300 DTR 1".
  std::vector<std::string> log;
  IClock* clock = nullptr;
  // Bytes waiting to be read and bytes written, per device name.
  std::map<std::string, std::deque<std::uint8_t>> input;
  std::map<std::string, std::vector<std::uint8_t>> output;

  std::unique_ptr<ISerialDevice> Make();

  void Log(const std::string& entry) {
    log.push_back(clock ? std::string("@").append(std::to_string(clock->TickCount())).append(" ").append(entry) : entry);
  }
};

class FakePortDevice final : public ISerialDevice {
 public:
  explicit FakePortDevice(FakeSerialPorts& ports) : ports_(ports) {}
  ~FakePortDevice() override { Close(); }

  bool Open(const std::string& portName) override {
    ++ports_.openAttempts;
    if (!ports_.present.contains(portName) || ports_.held.contains(portName)) return false;
    name_ = portName;
    ports_.held.insert(portName);
    ports_.Log("open " + portName);
    return true;
  }
  void Close() override {
    if (name_.empty()) return;
    ports_.held.erase(name_);
    ports_.Log("close " + name_);
    name_.clear();
  }
  bool SetState(const DeviceSettings& s) override {
    settings = s;
    return !name_.empty();
  }
  bool SetQueueSizes(std::uint32_t, std::uint32_t) override { return !name_.empty(); }
  bool SetTimeouts(const DeviceTimeouts&) override { return !name_.empty(); }
  bool Purge(bool input, bool) override {
    if (input) ports_.input[name_].clear();
    return !name_.empty();
  }
  bool GetQueueStatus(QueueStatus& status) override {
    if (name_.empty() || Gone()) return false;
    status.inQueue = static_cast<std::uint32_t>(ports_.input[name_].size());
    status.outQueue = 0;
    return true;
  }
  bool Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read) override {
    read = 0;
    if (name_.empty() || Gone()) return false;
    auto& queue = ports_.input[name_];
    while (read < count && !queue.empty()) {
      buffer[read++] = queue.front();
      queue.pop_front();
    }
    return true;
  }
  bool Write(const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) override {
    written = 0;
    if (name_.empty()) return false;
    ports_.output[name_].insert(ports_.output[name_].end(), data, data + count);
    written = count;
    return true;
  }
  bool GetModemStatus(TLineStatus& status) override {
    status = {};
    return !name_.empty();
  }
  bool SetModemLine(ModemLine line, bool on) override {
    if (name_.empty()) return false;
    ports_.Log(std::string(line == ModemLine::DTR ? "DTR " : "RTS ") + (on ? "1" : "0"));
    return true;
  }

  // Taken out of `present` while open: unplugged.
  bool Gone() const override { return !name_.empty() && !ports_.present.contains(name_); }

  DeviceSettings settings;

 private:
  FakeSerialPorts& ports_;
  std::string name_;
};

inline std::unique_ptr<ISerialDevice> FakeSerialPorts::Make() { return std::make_unique<FakePortDevice>(*this); }

}  // namespace vorel::test
