#include "app/message_box.h"

#include <QFont>
#include <QFontMetrics>

#include <algorithm>

namespace vorel {
namespace {
constexpr int kFontPoints = 12;
constexpr int kHeight = 73;
constexpr int kButtonWidth = 72;
constexpr int kButtonHeight = 25;
constexpr int kLabelLeft = 2;
}  // namespace

MessageBoxGeometry ComputeMessageBoxGeometry(int characters, int fontPoints, int textPixelWidth) {
  int width = characters * (fontPoints - 2);
  if (textPixelWidth > 0) width = std::max(width, textPixelWidth + 2 * kLabelLeft);
  return {width, (width - kButtonWidth) / 2};
}

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent), label_(new QLabel(this)), ok_(new QPushButton("ОК", this)) {
  setWindowTitle("advsm");
  setModal(true);
  QFont font("Times New Roman", kFontPoints);
  font.setBold(true);
  label_->setFont(font);
  label_->setAlignment(Qt::AlignCenter);
  QPalette palette = label_->palette();
  palette.setColor(QPalette::WindowText, Qt::black);
  label_->setPalette(palette);
  ok_->resize(kButtonWidth, kButtonHeight);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  setFixedHeight(kHeight);
}

void Tadvsm::Prepare(const QString& text) {
  label_->setText(text);
  const int textWidth = QFontMetrics(label_->font()).horizontalAdvance(text);
  const MessageBoxGeometry g = ComputeMessageBoxGeometry(static_cast<int>(text.size()), kFontPoints, textWidth);
  setFixedWidth(std::max(g.width, 1));
  label_->setGeometry(kLabelLeft, 8, g.width, QFontMetrics(label_->font()).height());
  ok_->move(g.buttonLeft, kHeight - kButtonHeight - 8);
}

void Tadvsm::ShowMessage(const QString& text) {
  Prepare(text);
  exec();
}

}  // namespace vorel
