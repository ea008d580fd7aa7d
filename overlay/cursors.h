#pragma once

#include <QCursor>

// A ring with a slash: the eraser takes whole strokes away.
QCursor eraserCursor();
