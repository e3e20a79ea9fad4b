#include "app/artwork.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>

namespace vorel {
namespace {

QPixmap Canvas(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

}  // namespace

QIcon StatusPageIcon() {
  QPixmap pixmap = Canvas(48);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(40, 40, 40), 2));
  p.setBrush(QColor(245, 245, 245));
  p.drawRoundedRect(4, 6, 40, 36, 4, 4);
  const QColor bars[] = {QColor(0, 128, 0), QColor(0, 128, 0), QColor(255, 0, 0)};
  for (int i = 0; i < 3; ++i) {
    p.setPen(Qt::NoPen);
    p.setBrush(bars[i]);
    p.drawEllipse(QPointF(14, 15 + i * 9), 3.5, 3.5);
    p.setBrush(QColor(120, 120, 120));
    p.drawRect(21, 14 + i * 9, 17, 3);
  }
  return QIcon(pixmap);
}

QIcon SetupPageIcon() {
  QPixmap pixmap = Canvas(48);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(24, 24);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(70, 90, 120));
  for (int i = 0; i < 8; ++i) {
    p.drawRect(-4, -20, 8, 10);
    p.rotate(45);
  }
  p.drawEllipse(QPointF(0, 0), 14, 14);
  p.setBrush(QColor(245, 245, 245));
  p.drawEllipse(QPointF(0, 0), 6, 6);
  return QIcon(pixmap);
}

QIcon TrayIcon() {
  QPixmap pixmap = Canvas(32);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 128, 0));
  p.drawEllipse(1, 1, 30, 30);
  QPainterPath v;
  v.moveTo(8, 9);
  v.lineTo(16, 24);
  v.lineTo(24, 9);
  p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(v);
  return QIcon(pixmap);
}

}  // namespace vorel
