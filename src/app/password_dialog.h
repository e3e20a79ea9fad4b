// TForm2: the password dialog that guards closing the program and stopping a
// port.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

namespace vorel {

enum class PasswordOutcome { Accepted, Wrong, Cancelled };

// The outcome of the text typed for the expected password; "ОК" pressed.
PasswordOutcome CheckPassword(const QString& typed, const QString& expected);

class TForm2 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm2(QWidget* parent = nullptr);

  // Shows the dialog modally. The entry keeps what was typed last time, all
  // of it selected so that typing replaces it.
  PasswordOutcome Ask(const QString& password);

  QLineEdit* Entry() const { return entry_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLineEdit* entry_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QString expected_;
  PasswordOutcome outcome_ = PasswordOutcome::Cancelled;
};

}  // namespace vorel
