#pragma once

#include <QColor>
#include <QList>
#include <QPointF>
#include <QRectF>

class QPainter;

enum class DrawingMode { pen, eraser };

// One freehand stroke. Colour and width are fixed when it begins; only the active stroke
// grows, one point per pointer event.
struct Stroke {
    QList<QPointF> points;
    QColor color;
    double width = 0.0;
};

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

// Removes, in one pass and keeping the order of the others, every stroke with a stored point
// within eraseRadius(currentWidth) of p. Segments between points are not tested. Appends one edit
// per removed stroke, first to last, to `removed`.
void eraseStrokesAt(QList<Stroke>& strokes, QPointF p, double currentWidth, StrokeEdits& removed);

// The area a stroke's paint can touch, round caps included.
QRectF strokeBounds(const Stroke& stroke);

// One open polyline at the stroke's width and colour, round caps and joins. Strokes with fewer
// than two points are not painted.
void paintStroke(QPainter& painter, const Stroke& stroke);
