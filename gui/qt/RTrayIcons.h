// The six tray pictures, drawn with QPainter on a 16-unit grid so they stay
// crisp at 16 and 32 pixels (whole-pixel edges at both sizes).
#pragma once

#include <QIcon>
#include <QPixmap>

#include "gui/RStatusText.h"

namespace vantor {

QPixmap DrawTrayPixmap(RTrayIcon icon, int size);
// 16, 32 and 64 pixel versions in one icon.
QIcon TrayIcon(RTrayIcon icon);

}  // namespace vantor
