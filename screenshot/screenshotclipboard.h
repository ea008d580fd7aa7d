#pragma once

#include <QByteArray>
#include <QImage>

// Puts a saved screenshot on the clipboard: as image/png, the very bytes written to the file, and
// as an image that other image types are made from on request. The application owns the
// clipboard until another program takes it.
void copyScreenshotToClipboard(const QByteArray& png, const QImage& image);
