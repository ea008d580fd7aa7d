#include "screenshot/desktopstill.h"

#include <QDir>
#include <QFileInfo>

#include <cmath>

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
    std::vector<StillSource> sources;
    for (const OutputPlacement& output : outputs) {
        const QRectF scaled(QPointF(output.logical.topLeft() - desktop.topLeft()) * scale,
                            QSizeF(output.logical.size()) * scale);
        const QSizeF native = QSizeF(output.logical.size()) * output.ratio;
        sources.push_back({scaled.toRect() & QRect(QPoint(0, 0), image),
                           QSize(qRound(native.width()), qRound(native.height()))});
    }
    return sources;
}

bool isScratchFile(const QString& path, const QStringList& scratchFolders)
{
    const QString folder = QFileInfo(path).absoluteDir().canonicalPath();
    for (const QString& scratch : scratchFolders) {
        if (!folder.isEmpty() && folder == QDir(scratch).canonicalPath())
            return true;
    }
    return false;
}
