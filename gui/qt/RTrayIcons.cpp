#include "gui/qt/RTrayIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace vantor {
namespace {

bool IsOnline(RTrayIcon i) {
  return i == RTrayIcon::Norm || i == RTrayIcon::User || i == RTrayIcon::Trans;
}
bool HasUser(RTrayIcon i) {
  return i == RTrayIcon::User || i == RTrayIcon::UserOffline;
}
bool HasTransfer(RTrayIcon i) {
  return i == RTrayIcon::Trans || i == RTrayIcon::TransOffline;
}

// The server cabinet: a box with two drive slots and a status lamp.
void DrawCabinet(QPainter& p, bool online) {
  const QColor body = online ? QColor(30, 96, 180) : QColor(112, 112, 112);
  const QColor edge = online ? QColor(12, 44, 96) : QColor(60, 60, 60);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(Qt::NoPen);
  p.fillRect(QRect(2, 1, 10, 14), edge);
  p.fillRect(QRect(3, 2, 8, 12), body);
  p.fillRect(QRect(4, 4, 6, 1), QColor(230, 236, 245));
  p.fillRect(QRect(4, 7, 6, 1), QColor(230, 236, 245));
  p.fillRect(QRect(4, 11, 2, 2), online ? QColor(80, 230, 80) : QColor(220, 40, 40));
}

// A user: head and shoulders in the lower right corner.
void DrawUser(QPainter& p, bool online) {
  const QColor fill = online ? QColor(250, 200, 40) : QColor(200, 190, 150);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(QPen(QColor(60, 40, 0), 0.6));
  p.setBrush(fill);
  p.drawEllipse(QRectF(10.0, 6.5, 4.5, 4.5));
  QPainterPath body;
  body.moveTo(8.0, 15.7);
  body.cubicTo(8.0, 10.5, 16.5, 10.5, 16.5, 15.7);
  body.closeSubpath();
  p.drawPath(body);
}

// A transfer: an up and a down arrow on the right.
void DrawTransfer(QPainter& p, bool online) {
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(QPen(QColor(0, 50, 0), 0.6));
  p.setBrush(online ? QColor(60, 210, 60) : QColor(150, 180, 150));
  const QPolygonF up(
      {{9.5, 6.0}, {12.5, 1.5}, {15.5, 6.0}, {13.5, 6.0}, {13.5, 8.5}, {11.5, 8.5}, {11.5, 6.0}});
  p.drawPolygon(up);
  p.setBrush(online ? QColor(250, 150, 30) : QColor(190, 170, 150));
  const QPolygonF down({{9.5, 11.5},
                        {12.5, 16.0},
                        {15.5, 11.5},
                        {13.5, 11.5},
                        {13.5, 9.0},
                        {11.5, 9.0},
                        {11.5, 11.5}});
  p.drawPolygon(down);
}

}  // namespace

QPixmap DrawTrayPixmap(RTrayIcon icon, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.scale(size / 16.0, size / 16.0);
  const bool online = IsOnline(icon);
  DrawCabinet(p, online);
  if (HasTransfer(icon)) {
    DrawTransfer(p, online);
  } else if (HasUser(icon)) {
    DrawUser(p, online);
  }
  p.end();
  return pm;
}

QIcon TrayIcon(RTrayIcon icon) {
  QIcon i;
  for (int size : {16, 32, 64}) i.addPixmap(DrawTrayPixmap(icon, size));
  return i;
}

}  // namespace vantor
