#include "app/status_panel.h"

#include <algorithm>
#include <utility>

namespace vorel {
namespace {
constexpr int kCaptionHeight = 16;
}

StatusPanel::StatusPanel(LinkFlagSources flags, LocaleFormats formats, QWidget* parent)
    : QWidget(parent), formats_(std::move(formats)) {
  setObjectName("Default");
  setFixedSize(447, 194);

  AddCaption("Контроль связи со станцией", 11, 11);
  image2_ = AddImage(161, 10);
  label16_ = AddCaption("Время с последнего сообщения", 183, 11);
  label16_->resize(75, kCaptionHeight);
  AddCaption("Контроль связи по USB", 262, 11);
  image4_ = AddImage(419, 10);

  // Right-aligned to end before the start time; a wider font grows it leftward.
  QLabel* startCaption = AddCaption("Дата и время запуска", 10, 38, Qt::AlignRight);
  const int startWidth = std::max(112, startCaption->sizeHint().width());
  startCaption->setGeometry(std::max(0, 122 - startWidth), 38, startWidth, kCaptionHeight);
  label10_ = AddCaption("", 127, 38);
  label10_->resize(130, kCaptionHeight);
  AddCaption("Связь с сервером сообщений", 262, 39);
  image3_ = AddImage(419, 38);

  AddCaption("Пароль для закрытия", 10, 66);
  label13_ = AddCaption("", 127, 66);
  label13_->resize(60, kCaptionHeight);
  protocol7Caption_ = AddCaption("Связь с сервером сообщений", 262, 66);
  image1_ = AddImage(419, 65);

  memo1_ = new QPlainTextEdit(this);
  memo1_->setGeometry(7, 85, 432, 100);
  memo1_->setMaximumBlockCount(kMaxLogLines);

  port1_ = std::make_unique<LinkIndicator>(image2_, std::move(flags.port1));
  port2_ = std::make_unique<LinkIndicator>(image4_, std::move(flags.port2));
  protocol8_ = std::make_unique<LinkIndicator>(image3_, std::move(flags.protocol8));
  protocol7_ = std::make_unique<LinkIndicator>(image1_, std::move(flags.protocol7));
}

QLabel* StatusPanel::AddCaption(const QString& text, int left, int top, Qt::Alignment align) {
  auto* label = new QLabel(text, this);
  label->setAlignment(align | Qt::AlignVCenter);
  label->move(left, top);
  label->resize(label->sizeHint().width(), kCaptionHeight);
  return label;
}

QLabel* StatusPanel::AddImage(int left, int top) {
  auto* image = new QLabel(this);
  image->setGeometry(left, top, kIndicatorSize, kIndicatorSize);
  return image;
}

LinkIndicator& StatusPanel::Indicator(IndicatorId id) {
  switch (id) {
    case IndicatorId::Port1: return *port1_;
    case IndicatorId::Port2: return *port2_;
    case IndicatorId::Protocol8: return *protocol8_;
    case IndicatorId::Protocol7: break;
  }
  return *protocol7_;
}

void StatusPanel::ShowStartTime(TDateTime value) {
  label10_->setText(QString::fromStdString(DateTimeToStr(value, formats_)));
}

void StatusPanel::ShowPassword(const QString& password) { label13_->setText(password); }

void StatusPanel::ShowTimeSinceLastFrame(TDateTime now, TDateTime lastFrame) {
  label16_->setText(QString::fromStdString(TimeToStr(now - lastFrame, formats_)));
}

void StatusPanel::AddLogLine(TDateTime now, const QString& text) {
  memo1_->appendPlainText(QString::fromStdString(DateTimeToStr(now, formats_)) + ' ' + text);
}

void StatusPanel::SetProtocol7RowVisible(bool visible) {
  protocol7Caption_->setVisible(visible);
  image1_->setVisible(visible);
}

}  // namespace vorel
