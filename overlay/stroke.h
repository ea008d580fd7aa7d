#pragma once

#include <QColor>
#include <QList>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QRegion>
#include <Qt>

class QPainter;

enum class DrawingMode { pen, eraser };

// What a pen drag draws: the pointer's path, or a shape spanned by the press point and the pointer.
enum class StrokeShape { freehand, line, rectangle, arrow, ellipse };

// One stroke. Colour and width are fixed when it begins. A freehand stroke holds every pointer
// position, one point per pointer event; a shape holds the press point and the pointer's.
struct Stroke {
    QList<QPointF> points;
    QColor color;
    double width = 0.0;
    StrokeShape shape = StrokeShape::freehand;
};

// The shape the keys held during a pen drag ask for: Shift a straight line, Control a rectangle,
// both an arrow, the ellipse key (Space) an ellipse whatever else is held; none the freehand path.
StrokeShape shapeForKeys(Qt::KeyboardModifiers modifiers, bool ellipseKey);

// The outline a shape's paint follows: a line, a closed rectangle, an ellipse inside that
// rectangle, or a line with an open head at the pointer's end, sized to the width. Empty for
// freehand strokes and for shapes with fewer than two points.
QPainterPath shapePath(const Stroke& stroke);

// Where a stroke's paint can lie: for a shape, small rectangles along its outline, so that a
// shape across the screen repaints the outline and not the box around it; for a freehand stroke,
// its bounds.
QRegion strokeRegion(const Stroke& stroke);

// One stroke entering (added) or leaving a canvas's list at index. A change to a canvas is a list
// of these in the order they were made, each index counted in the list as it was at that moment.
struct StrokeEdit {
    qsizetype index = 0;
    Stroke stroke;
    bool added = false;
};
using StrokeEdits = QList<StrokeEdit>;

// Radius within which a stored point makes the eraser take its whole stroke.
double eraseRadius(double currentWidth);

// Removes, in one pass and keeping the order of the others, every freehand stroke with a stored
// point within eraseRadius(currentWidth) of p, and every shape whose outline passes within it
// (not its inside). Segments between freehand points are not tested. Appends one edit per
// removed stroke, first to last, to `removed`.
void eraseStrokesAt(QList<Stroke>& strokes, QPointF p, double currentWidth, StrokeEdits& removed);

// The area a stroke's paint can touch, round caps included.
QRectF strokeBounds(const Stroke& stroke);

// One open polyline, or the shape's outline, at the stroke's width and colour, round caps and
// joins, never filled. Strokes with fewer than two points are not painted.
void paintStroke(QPainter& painter, const Stroke& stroke);
