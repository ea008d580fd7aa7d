#pragma once

#include <QImage>
#include <QRectF>
#include <QSize>

// Pixels of a region at a device pixel ratio: max(1, trunc(points x ratio)) each way, so 100.75
// points at ratio 2 give 201 pixels.
QSize nativeSize(const QSizeF& points, qreal ratio);

// The region of a still of a whole screen (its devicePixelRatio set), sized by nativeSize;
// parts outside the still are transparent.
QImage cropStill(const QImage& still, const QRectF& rect);
