// The main window as the widget tests make it, over a station runtime of its
// own: fake serial devices, a fake
// clock, scripted password answers (or the real dialogs), uncaught errors
// recorded, and a fresh working directory (where "vorel.ini" and "error.txt"
// live) per test. Both server links go to a loopback address of the test's
// own where nothing listens, unless the test names its servers: a demo or
// another test listening on the default addresses never sees the tests.
#pragma once

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/status_keeper.h"
#include "base/uncaught_error.h"
#include "support/fake_clock.h"
#include "support/fake_serial_ports.h"
#include "support/temp_dir.h"
#include "system/protocol7_address.h"

namespace vorel {

using test::FakeClock;
using test::FakeSerialPorts;

class FakeDialogs final : public IShellDialogs {
 public:
  PasswordOutcome AskClosePassword(const QString& password) override {
    asked.push_back(password);
    PasswordOutcome outcome = answers.empty() ? PasswordOutcome::Cancelled : answers.front();
    if (!answers.empty()) answers.pop_front();
    return outcome;
  }
  void ShowMessage(const QString& text) override { messages.push_back(text); }
  void EndOfProgram() override { ++ends; }

  std::deque<PasswordOutcome> answers;
  std::vector<QString> asked;
  std::vector<QString> messages;
  int ends = 0;
};

class FakeClockSetter final : public ILocalClockSetter {
 public:
  void SetLocalDateTime(TDateTime local) override { requested.push_back(local); }
  std::vector<TDateTime> requested;
};

const LocaleFormats kFormats{"%d.%m.%Y", "%H:%M:%S"};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::path(dir_.path().toStdString()));
    ports_.clock = &clock_;
    // Serial adapters only where a test puts them, never the machine's.
    deviceRoots_ = {std::filesystem::current_path() / "serial" / "by-id", std::filesystem::current_path() / "dev"};
    previousSink_ = SetUncaughtErrorSink([this](const std::string& m) { errors_.push_back(m); });
  }
  void TearDown() override {
    form_.reset();
    statusKeeper_.reset();
    runtime_.reset();
    passwordDialog_.reset();
    messageBox_.reset();
    SetUncaughtErrorSink(previousSink_);
    std::filesystem::current_path(previous_);
  }

  void WriteIni(const std::string& text) { std::ofstream(kIniFileName, std::ios::binary) << text; }

  // The test's own loopback address: nothing listens there unless the test
  // puts its own protocol-7 server on port 7788.
  const std::string& OwnAddress() const { return own_.Text(); }
  // A [ServerHost] section that sends the protocol-8 link there, to a port
  // where nothing listens (refused at once).
  std::string NoProtocol8Server() const { return "[ServerHost]\nAddress=" + OwnAddress() + "\nPort=1\n"; }

  TForm1& Start() {
    // A settings file without the protocol-8 server's address would send the
    // link to 127.0.0.1:12543, where a demo server may listen.
    const std::string ini =
        std::filesystem::exists(kIniFileName) ? test::ReadFile(std::filesystem::path(kIniFileName)) : std::string();
    if (ini.find("[ServerHost]") == std::string::npos) {
      std::ofstream(kIniFileName, std::ios::binary | std::ios::app)
          << (ini.empty() || ini.ends_with('\n') ? "" : "\n") << NoProtocol8Server();
    }
    StationRuntime::Parts parts;
    parts.clock = &clock_;
    parts.clockSetter = &clockSetter_;
    if (!realDevices_) parts.makeSerialDevice = [this] { return ports_.Make(); };
    ShellServices services;
    services.dialogs = &dialogs_;
    services.serialDevices = deviceRoots_;
    if (realDialogs_) {
      passwordDialog_ = std::make_unique<TForm2>();
      messageBox_ = std::make_unique<Tadvsm>();
      shellDialogs_ = std::make_unique<ShellDialogs>();
      shellDialogs_->Attach(passwordDialog_.get(), messageBox_.get());
      services.dialogs = shellDialogs_.get();
    }
    services.formats = kFormats;
    services.endProgram = [this] { ++ended_; };
    services.closing = [this](CloseReason reason) {
      closings_.push_back({reason, runtime_->CommPortDriver1()->IsOpen()});
    };
    // A window of an earlier start in the same test goes before its runtime.
    form_.reset();
    statusKeeper_.reset();
    runtime_ = std::make_unique<StationRuntime>(std::move(parts));
    statusKeeper_ = std::make_unique<StatusKeeper>(*runtime_, kStatusFileName, nullptr);
    form_ = std::make_unique<TForm1>(*runtime_, services);
    return *form_;
  }
  // The serial components, the protocol-7 client and the station core.
  StationRuntime& Runtime() const { return *runtime_; }
  // What the program does once its event loop has ended: the station closed
  // (if the window did not close it), the status file's last word.
  void EndProgram() {
    form_.reset();
    runtime_->Close();
    statusKeeper_->WriteEnded();
  }

  QTemporaryDir dir_;
  test::Protocol7Address own_;
  std::filesystem::path previous_;
  FakeClock clock_{46366.5, 5000};  // 2026-12-10 12:00:00
  FakeSerialPorts ports_;
  FakeDialogs dialogs_;
  FakeClockSetter clockSetter_;
  std::vector<std::string> errors_;
  // Each end told to the shell, and whether the main port was still open
  // then.
  std::vector<std::pair<CloseReason, bool>> closings_;
  UncaughtErrorSink previousSink_;
  int ended_ = 0;
  bool realDevices_ = false;  // the system's serial devices instead of ports_
  SerialDeviceRoots deviceRoots_;  // where the rescan finds adapters: empty directories of the test
  bool realDialogs_ = false;  // the program's own dialogs instead of dialogs_
  std::unique_ptr<TForm2> passwordDialog_;
  std::unique_ptr<Tadvsm> messageBox_;
  std::unique_ptr<ShellDialogs> shellDialogs_;
  std::unique_ptr<StationRuntime> runtime_;
  std::unique_ptr<StatusKeeper> statusKeeper_;
  std::unique_ptr<TForm1> form_;
};

}  // namespace vorel
