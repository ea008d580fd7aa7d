#include "overlay/stroke.h"

#include <QLineF>
#include <QPainter>
#include <QPen>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace
{

// The longest piece of an outline that one repaint rectangle covers.
constexpr double kRegionPiece = 32.0;

double squaredDistanceToSegment(QPointF p, QPointF a, QPointF b)
{
    const QPointF ab = b - a;
    const double length = QPointF::dotProduct(ab, ab);
    const double t =
        length > 0 ? std::clamp(QPointF::dotProduct(p - a, ab) / length, 0.0, 1.0) : 0.0;
    const QPointF d = p - (a + t * ab);
    return QPointF::dotProduct(d, d);
}

bool outlineWithin(const Stroke& shape, QPointF p, double r)
{
    if (!strokeBounds(shape).adjusted(-r, -r, r, r).contains(p))
        return false;
    for (const QPolygonF& part : shapePath(shape).toSubpathPolygons()) {
        for (qsizetype i = 1; i < part.size(); ++i) {
            if (squaredDistanceToSegment(p, part[i - 1], part[i]) <= r * r)
                return true;
        }
    }
    return false;
}

} // namespace

StrokeShape shapeForKeys(Qt::KeyboardModifiers modifiers, bool ellipseKey)
{
    if (ellipseKey)
        return StrokeShape::ellipse;
    const bool shift = modifiers & Qt::ShiftModifier, control = modifiers & Qt::ControlModifier;
    return shift && control ? StrokeShape::arrow
           : control        ? StrokeShape::rectangle
           : shift          ? StrokeShape::line
                            : StrokeShape::freehand;
}

QPainterPath shapePath(const Stroke& stroke)
{
    QPainterPath path;
    if (stroke.shape == StrokeShape::freehand || stroke.points.size() < 2)
        return path;
    const QPointF a = stroke.points.first(), b = stroke.points.last();
    switch (stroke.shape) {
    case StrokeShape::rectangle:
        path.addPolygon(QPolygonF{a, {b.x(), a.y()}, b, {a.x(), b.y()}});
        path.closeSubpath();
        break;
    case StrokeShape::ellipse:
        path.addEllipse(QRectF(a, b).normalized());
        break;
    case StrokeShape::arrow: {
        path.moveTo(a);
        path.lineTo(b);
        const QLineF back(b, a);
        if (back.length() > 0) {
            // The wings grow with the width, so that a wide shaft's round cap does not hide them.
            QLineF wing(b, b + QPointF(3 * stroke.width + 12, 0));
            wing.setAngle(back.angle() + 28);
            path.moveTo(wing.p2());
            path.lineTo(b);
            wing.setAngle(back.angle() - 28);
            path.lineTo(wing.p2());
        }
        break;
    }
    case StrokeShape::freehand:
    case StrokeShape::line:
        path.moveTo(a);
        path.lineTo(b);
        break;
    }
    return path;
}

QRegion strokeRegion(const Stroke& stroke)
{
    if (stroke.shape == StrokeShape::freehand || stroke.points.size() < 2)
        return strokeBounds(stroke).toAlignedRect();
    const double margin = stroke.width / 2.0 + 1.0;
    QRegion region;
    for (const QPolygonF& part : shapePath(stroke).toSubpathPolygons()) {
        for (qsizetype i = 1; i < part.size(); ++i) {
            const QLineF segment(part[i - 1], part[i]);
            const int pieces = std::max(1, int(std::ceil(segment.length() / kRegionPiece)));
            for (int k = 0; k < pieces; ++k) {
                const QRectF piece(segment.pointAt(double(k) / pieces),
                                   segment.pointAt(double(k + 1) / pieces));
                region +=
                    piece.normalized().adjusted(-margin, -margin, margin, margin).toAlignedRect();
            }
        }
    }
    return region;
}

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
        const bool isHit = s.shape == StrokeShape::freehand
                               ? std::any_of(s.points.cbegin(), s.points.cend(),
                                             [&](QPointF q) {
                                                 const double dx = q.x() - p.x();
                                                 const double dy = q.y() - p.y();
                                                 return dx * dx + dy * dy <= threshold;
                                             })
                               : outlineWithin(s, p, r);
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
    const double margin = stroke.width / 2.0 + 1.0;
    if (stroke.shape != StrokeShape::freehand && stroke.points.size() >= 2)
        return shapePath(stroke).boundingRect().adjusted(-margin, -margin, margin, margin);
    double left = stroke.points.first().x(), right = left;
    double top = stroke.points.first().y(), bottom = top;
    for (const QPointF& q : stroke.points) {
        left = std::min(left, q.x());
        right = std::max(right, q.x());
        top = std::min(top, q.y());
        bottom = std::max(bottom, q.y());
    }
    // Half the width for the caps, plus a pixel of antialiasing.
    return QRectF(QPointF(left, top), QPointF(right, bottom))
        .adjusted(-margin, -margin, margin, margin);
}

void paintStroke(QPainter& painter, const Stroke& stroke)
{
    if (stroke.points.size() < 2)
        return;
    painter.setPen(QPen(stroke.color, stroke.width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    if (stroke.shape == StrokeShape::freehand)
        painter.drawPolyline(stroke.points.constData(), int(stroke.points.size()));
    else
        painter.drawPath(shapePath(stroke));
}
