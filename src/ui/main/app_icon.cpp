#include "ui/main/app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QRadialGradient>

namespace velmora::ui {

namespace {

QPixmap DrawIcon(int side) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 64.0, side / 64.0);
    // Tile.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(38, 50, 64));
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    // Lens rings.
    p.setBrush(QColor(120, 134, 150));
    p.drawEllipse(QPointF(32, 32), 22, 22);
    p.setBrush(QColor(20, 24, 30));
    p.drawEllipse(QPointF(32, 32), 17, 17);
    QRadialGradient glass(QPointF(28, 28), 14);
    glass.setColorAt(0, QColor(90, 170, 230));
    glass.setColorAt(1, QColor(16, 60, 110));
    p.setBrush(glass);
    p.drawEllipse(QPointF(32, 32), 12, 12);
    // Highlight and the green status light of the preset tiles.
    p.setBrush(QColor(255, 255, 255, 190));
    p.drawEllipse(QPointF(27, 27), 3.5, 3.5);
    p.setBrush(QColor(33, 177, 75));
    p.drawEllipse(QPointF(52, 12), 4, 4);
    return pixmap;
}

}  // namespace

QIcon VelmoraIcon() {
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128}) icon.addPixmap(DrawIcon(side));
    return icon;
}

}  // namespace velmora::ui
