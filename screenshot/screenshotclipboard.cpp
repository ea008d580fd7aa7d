#include "screenshot/screenshotclipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <memory>

void copyScreenshotToClipboard(const QByteArray& png, const QImage& image)
{
    auto data = std::make_unique<QMimeData>();
    // Given first-hand, so image/png is not encoded a second time.
    data->setData(QStringLiteral("image/png"), png);
    data->setImageData(image);
    // The clipboard takes ownership.
    QGuiApplication::clipboard()->setMimeData(data.release());
}
