#include "app/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <functional>

namespace
{

QIcon drawn(const std::function<void(QPainter&)>& paint)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 32.0, size / 32.0);
        paint(painter);
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

namespace Icons
{

QIcon pen()
{
    return drawn([](QPainter& p) {
        QPainterPath scribble;
        scribble.moveTo(3, 27);
        scribble.cubicTo(8, 21, 11, 31, 16, 26);
        p.setPen(QPen(QColor(255, 59, 48), 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(scribble);
        p.setPen(QPen(QColor(40, 40, 40), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(QColor(250, 250, 250));
        const QPointF body[] = {{10, 22}, {24, 4}, {28, 8}, {14, 26}, {9, 27}};
        p.drawPolygon(body, 5);
        p.drawLine(QPointF(21, 8), QPointF(25, 12));
    });
}

QIcon checkMark()
{
    return drawn([](QPainter& p) {
        p.setPen(QPen(QColor(52, 199, 89), 2.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(3, 3, 26, 26));
        p.setPen(QPen(QColor(52, 199, 89), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const QPointF tick[] = {{10, 16.5}, {14.5, 21}, {22.5, 11}};
        p.drawPolyline(tick, 3);
    });
}

} // namespace Icons
