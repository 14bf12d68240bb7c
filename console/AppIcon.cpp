#include "console/AppIcon.h"

#include <QPainter>
#include <QPixmap>

namespace {

// A mast sending waves to both sides, drawn so that no image file has to ship.
QPixmap DrawIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 32.0, size / 32.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 84, 147));
    painter.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    painter.setBrush(QColor(220, 255, 255));
    painter.drawEllipse(QPointF(16, 13), 2.5, 2.5);
    painter.drawPolygon(QPolygonF({QPointF(16, 14), QPointF(11, 28), QPointF(21, 28)}));
    QPen wave(QColor(220, 255, 255), 2.0, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(wave);
    painter.setBrush(Qt::NoBrush);
    for (const double radius : {6.0, 10.5}) {
        const QRectF arc(16 - radius, 13 - radius, 2 * radius, 2 * radius);
        painter.drawArc(arc, -40 * 16, 80 * 16);
        painter.drawArc(arc, 140 * 16, 80 * 16);
    }
    return pixmap;
}

}  // namespace

QIcon AppIcon()
{
    QIcon icon;
    for (const int size : {16, 32, 64})
        icon.addPixmap(DrawIcon(size));
    return icon;
}
