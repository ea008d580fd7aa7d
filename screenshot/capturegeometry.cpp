#include "screenshot/capturegeometry.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{

int nativeLength(double points, qreal ratio)
{
    const double pixels = std::trunc(points * ratio);
    return int(std::clamp(pixels, 1.0, double(std::numeric_limits<int>::max() / 8)));
}

} // namespace

QSize nativeSize(const QSizeF& points, qreal ratio)
{
    return {nativeLength(points.width(), ratio), nativeLength(points.height(), ratio)};
}

QImage cropStill(const QImage& still, const QRectF& rect)
{
    const qreal ratio = still.devicePixelRatio();
    const QRect area(QPoint(int(std::trunc(rect.x() * ratio)), int(std::trunc(rect.y() * ratio))),
                     nativeSize(rect.size(), ratio));
    QImage region;
    if (still.rect().contains(area)) {
        // The usual case: a plain copy, which keeps the still opaque for the encoder.
        region = still.copy(area);
    } else {
        region = QImage(area.size(), QImage::Format_ARGB32_Premultiplied);
        region.fill(Qt::transparent);
        QPainter painter(&region);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        QImage pixels = still;
        pixels.setDevicePixelRatio(1.0);
        painter.drawImage(-area.topLeft(), pixels);
    }
    region.setDevicePixelRatio(ratio);
    return region;
}
