#include "app/port_page.h"

#include <QAbstractItemView>

#include <algorithm>

namespace vorel {

PortPanel::PortPanel(QWidget* page, const QString& caption, int top)
    : box_(new QGroupBox(caption, page)), list_(new QComboBox(box_)),
      startStop_(new QPushButton(box_)), rescan_(new QPushButton("Сканировать заново", box_)) {
  box_->setGeometry(5, top, 428, 62);
  list_->setGeometry(18, 25, 103, 19);
  list_->setEditable(true);  // the list shows the configured name even when it is not an entry
  // A device path is longer than the list is wide: the whole name on hover.
  QObject::connect(list_, &QComboBox::currentTextChanged, list_,
                   [this](const QString& text) { list_->setToolTip(text); });
  startStop_->setGeometry(143, 22, 94, 25);
  QFont bold = startStop_->font();
  bold.setBold(true);
  startStop_->setFont(bold);
  startStop_->setStyleSheet("color: green");
  rescan_->setGeometry(243, 22, 170, 25);
  SetRunning();  // both panels begin running; start-up stops those that do not open
}

bool PortPanel::IsRunning() const { return startStop_->text() == kStopCaption; }

void PortPanel::SetRunning() {
  startStop_->setText(kStopCaption);
  list_->setEnabled(false);
  rescan_->setEnabled(false);
}

void PortPanel::SetStopped() {
  startStop_->setText(kStartCaption);
  list_->setEnabled(true);
  rescan_->setEnabled(true);
}

void PortPanel::FitListToEntries() {
  QAbstractItemView* view = list_->view();
  view->setMinimumWidth(std::max(list_->width(), view->sizeHintForColumn(0) + 2 * view->frameWidth() + 16));
}

PortPage::PortPage(QWidget* parent)
    : QWidget(parent), main_(this, "Com порт", 3), second_(this, "Com порт USB", 71) {
  setObjectName("setup");
  setFixedSize(447, 194);
}

}  // namespace vorel
