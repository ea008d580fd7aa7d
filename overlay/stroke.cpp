#include "overlay/stroke.h"

#include <QPainter>
#include <QPen>

#include <algorithm>

double eraseRadius(double currentWidth)
{
    return std::max(currentWidth * 3.0, 18.0);
}

void eraseStrokesAt(QList<Stroke>& strokes, QPointF p, double currentWidth, StrokeEdits& removed)
{
    const double r = eraseRadius(currentWidth);
    const double threshold = r * r;
    qsizetype index = 0;
    const auto hit = [&](const Stroke& s) {
        const bool isHit = std::any_of(s.points.cbegin(), s.points.cend(), [&](QPointF q) {
            const double dx = q.x() - p.x();
            const double dy = q.y() - p.y();
            return dx * dx + dy * dy <= threshold;
        });
        // Each removal is counted in the list left by the ones before it.
        if (isHit)
            removed.append({index, s, false});
        else
            ++index;
        return isHit;
    };
    strokes.erase(std::remove_if(strokes.begin(), strokes.end(), hit), strokes.end());
}

QRectF strokeBounds(const Stroke& stroke)
{
    if (stroke.points.isEmpty())
        return {};
    double left = stroke.points.first().x(), right = left;
    double top = stroke.points.first().y(), bottom = top;
    for (const QPointF& q : stroke.points) {
        left = std::min(left, q.x());
        right = std::max(right, q.x());
        top = std::min(top, q.y());
        bottom = std::max(bottom, q.y());
    }
    // Half the width for the caps, plus a pixel of antialiasing.
    const double margin = stroke.width / 2.0 + 1.0;
    return QRectF(QPointF(left, top), QPointF(right, bottom))
        .adjusted(-margin, -margin, margin, margin);
}

void paintStroke(QPainter& painter, const Stroke& stroke)
{
    if (stroke.points.size() < 2)
        return;
    painter.setPen(QPen(stroke.color, stroke.width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(stroke.points.constData(), int(stroke.points.size()));
}
