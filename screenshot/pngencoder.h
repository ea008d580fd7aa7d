#pragma once

#include <QByteArray>

class QImage;

// A PNG of the image, 8 bits per channel: RGB, or RGBA when some pixel is not opaque.
// Tuned for screenshots, where the user waits for the file: fast compression on every core
// rather than the smallest file. Empty for a null image or when memory runs out.
QByteArray encodePng(const QImage& image);
