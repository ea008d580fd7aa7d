#include "overlay/cursors.h"

#include <QPainter>
#include <QPixmap>

QCursor eraserCursor()
{
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    for (const auto& [color, width] :
         {std::pair{QColor(Qt::black), 4.0}, {QColor(Qt::white), 2.0}}) {
        painter.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
        painter.drawEllipse(QRectF(3, 3, 18, 18));
        painter.drawLine(QPointF(7, 17), QPointF(17, 7));
    }
    return QCursor(pixmap, 12, 12);
}
