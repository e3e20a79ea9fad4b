#include "app/indicator.h"

#include <QPainter>
#include <QPixmap>

#include <utility>

namespace vorel {

QImage DrawIndicator(bool up, int counter) {
  QImage image(kIndicatorSize, kIndicatorSize, QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.fillRect(0, 0, kIndicatorSize, kIndicatorSize, Qt::white);

  const QColor colour = up ? QColor(0, 128, 0) : QColor(255, 0, 0);
  // Outline of the rectangle (0, 3)-(16, 15), pen 2 pixels wide, no fill.
  painter.setPen(QPen(colour, 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(QRect(0, 3, kIndicatorSize, 12));

  // Five lines from y = 5 to y = 11 at x = counter + k; past 16 they wrap to
  // the left edge, and x = 16 lies just outside the image.
  for (int k = 0; k < 5; ++k) {
    int x = counter + k;
    if (x > kIndicatorSize) x -= kIndicatorSize;
    painter.fillRect(x, 5, 1, 7, colour);
  }
  return image;
}

LinkIndicator::LinkIndicator(QLabel* image, std::function<bool()> linkFlag)
    : image_(image), linkFlag_(std::move(linkFlag)) {}

void LinkIndicator::Redraw() {
  image_->setPixmap(QPixmap::fromImage(DrawIndicator(linkFlag_(), counter_)));
}

void LinkIndicator::Refresh() {
  if (++counter_ > kMaxActivityCounter) counter_ = 0;
  Redraw();
}

}  // namespace vorel
