// Tadvsm: the program's own message box, sized by the length of its text.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QString>

namespace vorel {

struct MessageBoxGeometry {
  int width;       // of the window and of the label
  int buttonLeft;  // of the 72-pixel "ОК" button
};

// Width = characters × (font points − 2), button centred (rounded toward
// zero). When the font is wider than the rule allows, the box grows to fit
// the text (textPixelWidth, 0 to apply the rule alone).
MessageBoxGeometry ComputeMessageBoxGeometry(int characters, int fontPoints, int textPixelWidth = 0);

class Tadvsm : public QDialog {
  Q_OBJECT

 public:
  explicit Tadvsm(QWidget* parent = nullptr);

  // Lays the box out for `text` without showing it.
  void Prepare(const QString& text);
  // Shows the text modally; returns when the operator has closed the box.
  void ShowMessage(const QString& text);

  QLabel* Label() const { return label_; }
  QPushButton* OkButton() const { return ok_; }

 private:
  QLabel* label_;
  QPushButton* ok_;
};

}  // namespace vorel
