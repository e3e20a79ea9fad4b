// A serial device in memory: bytes fed by the test wait in its input queue;
// every call is recorded; each result can be made to fail.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "serial/serial_device.h"
#include "support/fake_clock.h"

namespace vorel::test {

class FakeSerialDevice final : public ISerialDevice {
 public:
  explicit FakeSerialDevice(FakeClock* clock = nullptr) : clock_(clock) {}

  // --- script ---
  bool openResult = true;
  bool setStateResult = true;
  bool purgeResult = true;
  bool queueSizesResult = true;
  bool statusResult = true;
  bool readResult = true;
  bool modemResult = true;
  bool gone = false;                   // the device went away: status and reads fail
  std::deque<std::uint8_t> input;      // received, not yet read
  std::uint32_t outQueue = 0;          // reported bytes waiting to go out
  TLineStatus modem;                   // reported modem lines
  // How many of `count` bytes one write takes; all of them when unset.
  std::function<std::uint32_t(std::uint32_t count)> writeAccepts;
  // Milliseconds the fake clock moves on each queue-status query (the device
  // takes time to answer; lets a stalled send run out of time).
  std::uint32_t msPerStatusQuery = 0;

  // --- record ---
  bool isOpen = false;
  int opens = 0;
  std::string openedName;
  std::vector<std::string> calls;  // operation names in order, since the last ClearCalls
  std::vector<DeviceSettings> states;
  std::vector<std::pair<bool, bool>> purges;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> queueSizes;
  std::optional<DeviceTimeouts> timeouts;
  std::vector<std::pair<ModemLine, bool>> lineCalls;
  std::vector<std::uint8_t> written;
  std::uint32_t largestRead = 0;      // the largest count ever asked of Read
  std::uint32_t lastProgressTick = 0; // tick of the last write that took bytes

  void Feed(const std::vector<std::uint8_t>& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }
  void ClearCalls() {
    calls.clear();
    states.clear();
    purges.clear();
    queueSizes.clear();
    lineCalls.clear();
  }

  bool Open(const std::string& portName) override {
    calls.push_back("Open");
    ++opens;
    if (!openResult) return false;
    isOpen = true;
    openedName = portName;
    return true;
  }
  void Close() override {
    calls.push_back("Close");
    isOpen = false;
    gone = false;
    input.clear();  // what the line delivered to a closed port is gone
  }
  bool SetState(const DeviceSettings& settings) override {
    calls.push_back("SetState");
    states.push_back(settings);
    return isOpen && setStateResult;
  }
  bool SetQueueSizes(std::uint32_t in, std::uint32_t out) override {
    calls.push_back("SetQueueSizes");
    queueSizes.emplace_back(in, out);
    return isOpen && queueSizesResult;
  }
  bool SetTimeouts(const DeviceTimeouts& t) override {
    calls.push_back("SetTimeouts");
    timeouts = t;
    return isOpen;
  }
  bool Purge(bool in, bool out) override {
    calls.push_back("Purge");
    purges.emplace_back(in, out);
    if (!isOpen || !purgeResult) return false;
    if (in) input.clear();
    if (out) outQueue = 0;
    return true;
  }
  bool GetQueueStatus(QueueStatus& status) override {
    if (clock_ != nullptr) clock_->Advance(msPerStatusQuery);
    if (!isOpen || !statusResult || gone) return false;
    status.inQueue = static_cast<std::uint32_t>(input.size());
    status.outQueue = outQueue;
    return true;
  }
  bool Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read) override {
    largestRead = std::max(largestRead, count);
    read = 0;
    if (!isOpen || !readResult || gone) return false;
    read = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(input.size()));
    std::copy_n(input.begin(), read, buffer);
    input.erase(input.begin(), input.begin() + read);
    return true;
  }
  bool Write(const std::uint8_t* data, std::uint32_t count, std::uint32_t& n) override {
    n = 0;
    if (!isOpen) return false;
    n = writeAccepts ? std::min(writeAccepts(count), count) : count;
    written.insert(written.end(), data, data + n);
    if (n != 0 && clock_ != nullptr) lastProgressTick = clock_->TickCount();
    return true;
  }
  bool GetModemStatus(TLineStatus& status) override {
    if (!isOpen || !modemResult) return false;
    status = modem;
    return true;
  }
  bool SetModemLine(ModemLine line, bool on) override {
    lineCalls.emplace_back(line, on);
    return isOpen && modemResult;
  }
  bool Gone() const override { return gone; }

 private:
  FakeClock* clock_;
};

// Bytes 0, 1, 2, ... (mod 256), starting at `first`.
inline std::vector<std::uint8_t> Sequence(std::size_t count, std::uint8_t first = 0) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

}  // namespace vorel::test
