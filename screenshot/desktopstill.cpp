#include "screenshot/desktopstill.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{

QSize nativeSize(const OutputPlacement& output)
{
    if (output.native.isValid())
        return output.native;
    const QSizeF native = QSizeF(output.logical.size()) * output.ratio;
    return {qRound(native.width()), qRound(native.height())};
}

} // namespace

std::vector<StillSource> stillSources(const std::vector<OutputPlacement>& outputs, QSize image)
{
    QRect desktop;
    for (const OutputPlacement& output : outputs)
        desktop |= output.logical;
    if (desktop.isEmpty() || image.isEmpty())
        return {};
    const double scale = double(image.width()) / desktop.width();
    // Both sides must agree on the scale, within the rounding of one pixel.
    if (std::abs(desktop.height() * scale - image.height()) >= 1.0)
        return {};
    // A scaled output's reported pixels, where known, must be its geometry's size.
    const bool devicePixels =
        image.width() == desktop.width() &&
        std::any_of(outputs.begin(), outputs.end(),
                    [](const OutputPlacement& o) { return o.ratio > 1; }) &&
        std::all_of(outputs.begin(), outputs.end(), [](const OutputPlacement& o) {
            return !o.native.isValid() || o.native == o.logical.size();
        });
    std::vector<StillSource> sources;
    for (const OutputPlacement& output : outputs) {
        const QRectF scaled(QPointF(output.logical.topLeft() - desktop.topLeft()) * scale,
                            QSizeF(output.logical.size()) * scale);
        const QSize native = devicePixels ? output.logical.size() : nativeSize(output);
        sources.push_back(
            {scaled.toRect() & QRect(QPoint(0, 0), image), native,
             devicePixels ? output.ratio : qreal(native.width()) / output.logical.width()});
    }
    return sources;
}

QImage readDesktopImage(const QString& path, const std::vector<OutputPlacement>& outputs)
{
    QRect desktop;
    double scale = 1;
    for (const OutputPlacement& output : outputs) {
        desktop |= output.logical;
        const QSize native = nativeSize(output);
        scale = std::max({scale, output.ratio, double(native.width()) / output.logical.width()});
    }
    QImageReader reader(path);
    const QSize size = reader.size();
    // Never more than the layout's bounding box at its highest scale, a pixel of rounding more.
    if (!size.isValid() || size.width() > std::ceil(desktop.width() * scale) + 1 ||
        size.height() > std::ceil(desktop.height() * scale) + 1)
        return {};
    // Decoded at four bytes a pixel; the reader's limit is in whole MiB.
    reader.setAllocationLimit(
        int(std::min<qint64>(qint64(size.width()) * size.height() * 4 / (1024 * 1024) + 1,
                             std::numeric_limits<int>::max())));
    return reader.read();
}

FolderListing listFolders(const QStringList& folders)
{
    FolderListing listing;
    for (const QString& folder : folders) {
        const QDir dir(folder);
        const QString canonical = dir.canonicalPath();
        if (canonical.isEmpty() || listing.contains(canonical))
            continue;
        const QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
        listing.insert(canonical, QSet<QString>(names.begin(), names.end()));
    }
    return listing;
}

bool isNewPortalFile(const QString& path, const FolderListing& before)
{
    const QFileInfo file(path);
    const auto folder = before.constFind(file.absoluteDir().canonicalPath());
    return file.isFile() && !file.isSymLink() && folder != before.constEnd() &&
           !folder->contains(file.fileName());
}

QImage imageFromBuffer(const uchar* data, QSize size, int stride, uint32_t format, bool yInvert)
{
    // wl_shm's codes: the first two are its own, the others DRM fourcc codes.
    constexpr uint32_t argb8888 = 0, xrgb8888 = 1, abgr8888 = 0x34324241, xbgr8888 = 0x34324258;
    const bool bgr = format == abgr8888 || format == xbgr8888;
    if ((!bgr && format != argb8888 && format != xrgb8888) || size.isEmpty() ||
        stride < size.width() * 4)
        return {};
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        const uchar* row = data + qsizetype(yInvert ? size.height() - 1 - y : y) * stride;
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const quint32 word = qFromLittleEndian<quint32>(row + x * 4);
            out[x] =
                0xff000000u | (bgr ? (word & 0xff) << 16 | (word & 0xff00) | (word >> 16 & 0xff)
                                   : word & 0xffffff);
        }
    }
    return image;
}
