// The two modal operations of the shell: Ask close password and Show message.
// The window calls them through this interface so that tests can answer them.
#pragma once

#include <QString>

#include "app/message_box.h"
#include "app/password_dialog.h"

namespace vorel {

class IShellDialogs {
 public:
  virtual ~IShellDialogs() = default;
  virtual PasswordOutcome AskClosePassword(const QString& password) = 0;
  virtual void ShowMessage(const QString& text) = 0;
};

// The real dialogs, created after the main window; until then a message is
// not shown and a password request is cancelled.
class ShellDialogs final : public IShellDialogs {
 public:
  void Attach(TForm2* passwordDialog, Tadvsm* messageBox) {
    passwordDialog_ = passwordDialog;
    messageBox_ = messageBox;
  }
  PasswordOutcome AskClosePassword(const QString& password) override {
    return passwordDialog_ ? passwordDialog_->Ask(password) : PasswordOutcome::Cancelled;
  }
  void ShowMessage(const QString& text) override {
    if (messageBox_) messageBox_->ShowMessage(text);
  }

 private:
  TForm2* passwordDialog_ = nullptr;
  Tadvsm* messageBox_ = nullptr;
};

}  // namespace vorel
