#include "ui/AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace tyq::ui {

namespace {

// The same drawing as resources/tyqlmftp.svg, on a 64 by 64 grid.
QPixmap drawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2f, 0x6d, 0xb3));
    painter.drawRoundedRect(QRectF(6, 14, 52, 38), 4, 4);

    QPainterPath flap;
    flap.moveTo(6, 18);
    flap.lineTo(32, 36);
    flap.lineTo(58, 18);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 4));
    painter.drawPath(flap);

    QPainterPath arrow;
    arrow.moveTo(32, 40);
    arrow.lineTo(32, 58);
    arrow.moveTo(24, 50);
    arrow.lineTo(32, 58);
    arrow.lineTo(40, 50);
    painter.setPen(QPen(QColor(0xf2, 0xb6, 0x32), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(arrow);
    return pixmap;
}

}  // namespace

QIcon applicationIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64}) {
        icon.addPixmap(drawIcon(size));
    }
    return icon;
}

}  // namespace tyq::ui
