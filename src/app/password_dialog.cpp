#include "app/password_dialog.h"

#include <QLabel>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

namespace vorel {

PasswordOutcome CheckPassword(const QString& typed, const QString& expected) {
  return typed == expected ? PasswordOutcome::Accepted : PasswordOutcome::Wrong;
}

TForm2::TForm2(QWidget* parent)
    : QDialog(parent), entry_(new QLineEdit(this)), ok_(new QPushButton("ОК", this)),
      cancel_(new QPushButton("Отмена", this)) {
  setWindowTitle("Закрытый доступ");
  setModal(true);
  setFixedSize(281, 93);
  auto* caption = new QLabel("Введите пароль для доступа", this);
  caption->setGeometry(12, 10, 257, 18);
  entry_->setGeometry(12, 32, 257, 22);
  entry_->setMaxLength(5);
  // The close password is five digits; anything else is never right.
  entry_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), entry_));
  entry_->setEchoMode(QLineEdit::Password);
  entry_->setStyleSheet("lineedit-password-character: 42");  // '*'
  ok_->setGeometry(112, 62, 75, 25);
  ok_->setDefault(true);
  cancel_->setGeometry(194, 62, 75, 25);
  connect(ok_, &QPushButton::clicked, this, [this] {
    outcome_ = CheckPassword(entry_->text(), expected_);
    done(QDialog::Accepted);
  });
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

PasswordOutcome TForm2::Ask(const QString& password) {
  expected_ = password;
  outcome_ = PasswordOutcome::Cancelled;  // also when closed by the title bar
  exec();
  return outcome_;
}

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  entry_->setFocus();
  entry_->selectAll();
}

}  // namespace vorel
