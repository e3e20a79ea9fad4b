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
  // The program is ending without the password (the server's close command,
  // a termination signal): every modal window on show is closed as
  // cancelled, and none is shown from now on, so whatever waited on one goes
  // on at once and asks nothing more.
  virtual void EndOfProgram() = 0;
};

// The real dialogs, created after the main window; until then a message is
// not shown and a password request is cancelled.
class ShellDialogs final : public IShellDialogs {
 public:
  void Attach(TForm2* passwordDialog, Tadvsm* messageBox) {
    passwordDialog_ = passwordDialog;
    messageBox_ = messageBox;
  }
  PasswordOutcome AskClosePassword(const QString& password) override;
  void ShowMessage(const QString& text) override;
  // Also closes the error boxes of uncaught errors.
  void EndOfProgram() override;

 private:
  TForm2* passwordDialog_ = nullptr;
  Tadvsm* messageBox_ = nullptr;
  bool ending_ = false;
};

}  // namespace vorel
