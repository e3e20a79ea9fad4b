#include "app/shell_dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QWidget>

namespace vorel {

PasswordOutcome ShellDialogs::AskClosePassword(const QString& password) {
  if (ending_ || !passwordDialog_) return PasswordOutcome::Cancelled;
  return passwordDialog_->Ask(password);
}

void ShellDialogs::ShowMessage(const QString& text) {
  if (ending_ || !messageBox_) return;
  messageBox_->ShowMessage(text);
}

void ShellDialogs::EndOfProgram() {
  ending_ = true;
  // Dialogs open inside one another: each reject ends its own event loop,
  // and each exec returns as the loops unwind.
  QList<QPointer<QDialog>> open;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isVisible()) open << dialog;
  }
  for (const QPointer<QDialog>& dialog : open) {
    if (dialog) dialog->reject();
  }
}

}  // namespace vorel
